// Test entry point. Tests that stage, commit or load work inside a chroot of
// their own; as non-root the process first enters a user namespace in which
// it may chroot and mount. Tests that need those rights skip when neither works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <string>

namespace {

bool writeText(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

void enterPrivateNamespaces() {
  if (getuid() != 0) {
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return;
    writeText("/proc/self/setgroups", "deny");
    writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  } else if (unshare(CLONE_NEWNS) != 0) {
    return;
  }
  // Mounts made by tests stay inside this process's namespace.
  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  enterPrivateNamespaces();
  return RUN_ALL_TESTS();
}
