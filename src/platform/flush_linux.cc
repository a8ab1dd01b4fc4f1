#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/flush.h"

namespace installer {

bool flushFileSystemOf(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  // syncfs writes back only the file system of the descriptor, where sync()
  // would wait for every file system of the machine.
  const bool ok = syncfs(fd) == 0;
  const int error = errno;
  close(fd);
  errno = error;
  return ok;
}

}  // namespace installer
