#include "txn/run_lock.h"

#include <gtest/gtest.h>
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
  {
    RunLock first;
    EXPECT_EQ(first.acquire(path_.c_str()), LockOutcome::kHeld);
    EXPECT_TRUE(first.held());
    EXPECT_EQ(first.acquire(path_.c_str()), LockOutcome::kHeld) << "taking it again is no-op";
    // Another taker, in this process or another, finds it busy.
    RunLock second;
    EXPECT_EQ(second.acquire(path_.c_str()), LockOutcome::kBusy);
    EXPECT_FALSE(second.held());
  }
  RunLock after;
  EXPECT_EQ(after.acquire(path_.c_str()), LockOutcome::kHeld) << "given up with its holder";
}

TEST_F(RunLockTest, NoPlaceForTheFileLeavesTheRunUnlocked) {
  const std::string link = dir_.path() + "/link.lock";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  const std::string fifo = dir_.path() + "/fifo.lock";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {dir_.path() + "/missing/installer.lock", link}) {
    RunLock lock;
    EXPECT_EQ(lock.acquire(path.c_str()), LockOutcome::kUnavailable) << path;
    EXPECT_FALSE(lock.held()) << path;
  }
  EXPECT_FALSE(ts::exists(path_)) << "a planted link is not followed";
  // Whatever takes the file's place, the run never waits for it.
  RunLock onFifo;
  EXPECT_NE(onFifo.acquire(fifo.c_str()), LockOutcome::kBusy);
}

}  // namespace
}  // namespace installer
