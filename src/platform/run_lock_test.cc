#include "platform/run_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

class RunLockTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_.path() + "/installer.lock"; }

  ts::TempRoot dir_;
  std::string path_;
};

TEST_F(RunLockTest, OneHolderAtATime) {
  const char* anchor = dir_.path().c_str();
  {
    RunLock first;
    EXPECT_EQ(first.acquire(path_.c_str(), anchor), LockOutcome::kHeld);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(first.acquire(path_.c_str(), anchor), LockOutcome::kHeld)
        << "taking it again is no-op";
    // Another taker, in this process or another, finds it busy.
    RunLock second;
    EXPECT_EQ(second.acquire(path_.c_str(), anchor), LockOutcome::kBusy);
    EXPECT_FALSE(second.held());
  }
  RunLock after;
  EXPECT_EQ(after.acquire(path_.c_str(), anchor), LockOutcome::kHeld) << "given up with its holder";
}

// Where the lock file cannot be used (no directory for it, a dangling link
// or a FIFO in its place), the directory's lock still keeps a second run
// out, and nothing waits.
TEST_F(RunLockTest, AnUnusableLockFileStillLocks) {
  const std::string link = dir_.path() + "/link.lock";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  const std::string fifo = dir_.path() + "/fifo.lock";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const char* anchor = dir_.path().c_str();
  for (const std::string& path : {dir_.path() + "/missing/installer.lock", link, fifo}) {
    RunLock first;
    EXPECT_EQ(first.acquire(path.c_str(), anchor), LockOutcome::kHeld) << path;
    RunLock second;
    EXPECT_EQ(second.acquire(path.c_str(), anchor), LockOutcome::kBusy) << path;
  }
  EXPECT_FALSE(ts::exists(path_)) << "a planted link is not followed";

  RunLock noDirectory;
  EXPECT_EQ(noDirectory.acquire(path_.c_str(), (dir_.path() + "/missing").c_str()),
            LockOutcome::kUnavailable);
  EXPECT_FALSE(noDirectory.held());
}

// A holder of the lock file alone (an older installer) makes the run busy,
// and the directory is given up again with the refusal.
TEST_F(RunLockTest, AHolderOfTheFileAloneMakesItBusy) {
  const int fd = open(path_.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const char* anchor = dir_.path().c_str();
  RunLock refused;
  EXPECT_EQ(refused.acquire(path_.c_str(), anchor), LockOutcome::kBusy);
  close(fd);
  RunLock next;
  EXPECT_EQ(next.acquire(path_.c_str(), anchor), LockOutcome::kHeld);
}

}  // namespace
}  // namespace installer
