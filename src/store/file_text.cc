#include "store/file_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

bool DirectoryListing::list(const std::string& dir) {
  names_.clear();
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return false;
  while (const dirent* entry = readdir(handle)) names_.emplace_back(entry->d_name);
  closedir(handle);
  return true;
}

bool DirectoryListing::has(std::string_view name) const {
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool readListedFile(const std::string& dir, std::string_view name, const DirectoryListing* listing,
                    std::string& text) {
  if (listing != nullptr && !listing->has(name)) return false;
  return readFileText(dir + std::string(name), text);
}

}  // namespace installer
