// Test sandboxes: a temporary router root that the test process enters with
// chroot (escaping back afterwards through a saved descriptor), and runs of
// the real binaries against such a root.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh temporary directory to be used as a router root from outside.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // Host path of a path inside the root ("/flash/x" -> "<root>/flash/x").
  std::string operator/(const std::string& inside) const { return path_ + inside; }

 private:
  std::string path_;
};

// Enters a fresh temporary root for the lifetime of the object, so that the
// code under test sees "/flash", "/ram" and friends of its own. Needs chroot
// rights (root, or the user namespace the test main sets up).
class ChrootSandbox {
 public:
  ChrootSandbox();
  ~ChrootSandbox();
  ChrootSandbox(const ChrootSandbox&) = delete;
  ChrootSandbox& operator=(const ChrootSandbox&) = delete;

  bool entered() const { return entered_; }
  const std::string& hostPath() const { return root_.path(); }

 private:
  TempRoot root_;
  int savedRoot_ = -1;
  int savedCwd_ = -1;
  bool entered_ = false;
};

// Whether this process may chroot and mount (root or a user namespace).
bool haveChrootRights();
// A test that needs chroot rights: skipped, with the reason, where there are
// none. A fixture's own SetUp calls this one first and returns when the test
// was skipped.
class ChrootRightsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  }
  bool stopped() const { return IsSkipped(); }
};

// A test inside a fresh temporary root, entered before the fixture's own
// members are made and left after they are gone. A fixture's own SetUp calls
// this one first and returns when the test was skipped or failed.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
    ASSERT_TRUE(sandbox_.entered());
  }
  bool stopped() const { return IsSkipped() || HasFatalFailure(); }

  ChrootSandbox sandbox_;
};

void makeDirs(const std::string& path);

// A sandbox with the directories every staging and commit test works in:
// "/ram" and "/tmp" for temporary files, "/flash" for the live tree.
class RouterDirsTest : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
    for (const char* dir : {"/ram", "/flash", "/tmp"}) makeDirs(dir);
  }
};

// Whether tmpfs can be mounted here (for a second file system in tests).
bool canMountTmpfs();
// Mounts a tmpfs of `size` (as in "size=64k") at `dir`, creating it; the
// sandbox's root removes the mount with itself.
bool mountTmpfs(const std::string& dir, const std::string& size);

// Small file helpers; paths are plain paths of the current root.
void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);
std::optional<std::string> readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirs(const std::string& path);
void removeTree(const std::string& path);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& dir);
// "path mode size sha" lines of every entry below `dir`, sorted; for
// comparing trees before and after a run. `withTimes` adds each entry's
// modification and change times, for runs that must not touch anything.
std::string treeListing(const std::string& dir, bool withTimes = false);

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string input;                       // standard input
  std::map<std::string, std::string> env;  // added to a minimal environment
  std::vector<std::string> unsetEnv;
  // Run the binary with its root changed to this directory (the binary and
  // the host's libraries are bound into a private mount namespace), for the
  // modes that act before the installer's own root change.
  std::string chrootTo;
  // How standard output reaches the program: the pipe that `out` collects,
  // a pipe whose reader has already gone (writes fail with EPIPE), or no
  // descriptor at all.
  enum class Output { kCollected, kReaderGone, kClosed };
  Output output = Output::kCollected;
  // When not 0, the program is killed by SIGALRM after this many seconds:
  // for runs that must not hang (status 128 + 14 then).
  unsigned timeoutSeconds = 0;
  // Run the program on one core only (the first the test may use), as on a
  // router with a single core: the reference for runs that use two.
  bool oneCore = false;
};

// How many cores this process may run on.
unsigned usableCoresOfTest();

RunResult runProgram(const std::string& binary, const std::vector<std::string>& args,
                     const RunOptions& options = {});
RunResult runInstaller(const std::vector<std::string>& args, const RunOptions& options = {});
RunResult runPkgtool(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace testing_support
