// A throwaway root for fuzz targets that run code with the installer's fixed
// absolute paths ("/flash/...", "/ram/..."): the process enters a private
// mount namespace and changes its root to a fresh directory in which the
// host's programs and libraries are bound read-only (for the sanitizers'
// symbolizer) and the working directory is bound at "/work" (libFuzzer
// writes its corpus and crash inputs there through relative paths).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/host_trees.h"

namespace fuzzing {

// Removes a tree without following links or entering other file systems.
inline void removeTreeOnDevice(const std::string& path, dev_t device) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || st.st_dev != device) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") removeTreeOnDevice(path + "/" + name, device);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// Empties the directories the installer writes to, inside the root.
inline void clearRouterTree() {
  for (const char* dir : {"/flash", "/ram", "/rw", "/tmp", "/dev"}) {
    struct stat st;
    if (lstat(dir, &st) == 0) removeTreeOnDevice(dir, st.st_dev);
  }
}

inline void writeText(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) < 0) std::perror(path);
  close(fd);
}

inline void enterThrowawayRoot() {
  // On a memory file system the syncs of staged files cost nothing.
  const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string prefix = "fuzz-root-";
  // Roots of earlier runs that have ended (their mounts ended with them).
  if (DIR* dir = opendir(base.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.rfind(prefix, 0) != 0) continue;
      const int pid = std::atoi(name.c_str() + prefix.size());
      if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH)) {
        struct stat st;
        if (lstat((base + "/" + name).c_str(), &st) == 0) {
          removeTreeOnDevice(base + "/" + name, st.st_dev);
        }
      }
    }
    closedir(dir);
  }

  const uid_t uid = getuid();
  const gid_t gid = getgid();
  if (uid != 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
      std::perror("unshare (this target needs root or user namespaces)");
      std::abort();
    }
    writeText("/proc/self/setgroups", "deny");
    writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  } else if (unshare(CLONE_NEWNS) != 0) {
    std::perror("unshare (this target needs root or user namespaces)");
    std::abort();
  }
  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);

  const std::string root = base + "/" + prefix + std::to_string(getpid());
  mkdir(root.c_str(), 0755);
  if (!testing_support::bindHostTrees(root)) std::perror("binding the host's trees");
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) std::abort();
  const std::string work = root + "/work";
  mkdir(work.c_str(), 0755);
  if (mount(cwd, work.c_str(), nullptr, MS_BIND, nullptr) != 0 || chroot(root.c_str()) != 0 ||
      chdir("/work") != 0) {
    std::perror("entering the throwaway root");
    std::abort();
  }
}

}  // namespace fuzzing
