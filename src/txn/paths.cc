#include "txn/paths.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/ignore.h"

namespace installer {

std::string parentDir(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return ".";  // "" or only slashes
  const std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return ".";
  end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

std::string existingDirAbove(std::string path) {
  struct stat st;
  while (path != "/" && path != ".") {
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
    path = parentDir(path);
  }
  return path;
}

bool makeDirs(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return true;
  const std::string parent = parentDir(path);
  if (parent == path || path == "/" || path == ".") return false;
  // Whether the parent could be made, the mkdir below tells.
  ignoreResult(makeDirs(parent));
  return mkdir(path.c_str(), 0777) == 0 || errno == EEXIST;
}

}  // namespace installer
