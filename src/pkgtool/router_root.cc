#include "pkgtool/router_root.h"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace installer {

bool enterRoot(const std::string& given, std::string& error) {
  struct stat st {};
  char resolved[PATH_MAX];
  if (stat(given.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
      realpath(given.c_str(), resolved) == nullptr) {
    error = given + " is not a directory";
    return false;
  }
  const std::string root = resolved;
  // Relative paths keep reaching the old root from here: the working
  // directory does not move with chroot.
  if (chdir("/") != 0) {
    error = std::string("cannot change to /: ") + std::strerror(errno);
    return false;
  }
  if (root == "/") return true;
  if (chroot(root.c_str()) == 0) return true;
  // An unprivileged user may still enter the root inside a user namespace
  // of the process's own: only reading needs no mapping of the user.
  const int chrootError = errno;
  if (chrootError == EPERM && unshare(CLONE_NEWUSER) == 0 && chroot(root.c_str()) == 0) {
    return true;
  }
  error = "cannot enter " + given + ": " + std::strerror(chrootError);
  return false;
}

std::string outsidePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return {};
  return "." + std::string(resolved);
}

}  // namespace installer
