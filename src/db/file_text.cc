#include "db/file_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

bool readFileText(const std::string& path, std::string& text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text.clear();
  char block[4096];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(block, static_cast<std::size_t>(got));
  }
  close(fd);
  return true;
}

}  // namespace installer
