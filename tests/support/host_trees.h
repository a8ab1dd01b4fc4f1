// The host's program and library trees inside another root, for a process
// that changes its root there and must still run dynamically linked
// programs, and /proc, which the sanitizers read their maps from. Used by
// the test sandboxes and the fuzz targets alike, so it is header-only: the
// fuzz targets link nothing of the test support.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace testing_support {

// Binds each tree read-only into `root` (a link such as "/lib" -> "usr/lib"
// is made again as a link). The caller is in a private mount namespace, so
// the binds end with it. False when a tree present on the host could not be
// bound.
inline bool bindHostTrees(const std::string& root) {
  bool ok = true;
  for (const char* top : {"/usr", "/lib", "/lib64", "/lib32", "/bin", "/proc"}) {
    struct stat st;
    if (lstat(top, &st) != 0) continue;
    const std::string inside = root + top;
    if (S_ISLNK(st.st_mode)) {
      char target[256];
      const ssize_t n = readlink(top, target, sizeof target - 1);
      if (n <= 0 ||
          (symlink(std::string(target, static_cast<std::size_t>(n)).c_str(), inside.c_str()) != 0 &&
           errno != EEXIST)) {
        ok = false;
      }
    } else if (S_ISDIR(st.st_mode)) {
      mkdir(inside.c_str(), 0755);
      if (mount(top, inside.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        ok = false;
        continue;
      }
      // Nothing run inside may change the host's trees; where the remount
      // is not permitted (some user namespaces) the bind stays as it is.
      mount(nullptr, inside.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
    }
  }
  return ok;
}

}  // namespace testing_support
