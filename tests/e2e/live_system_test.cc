// What a run may do to the system it runs on: only what the command line
// asks for, in the root it names, one run at a time, and all of it even when
// the console goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using Args = std::vector<std::string>;
using ts::describe;
using ts::RouterRoot;

const std::string kUsage = "usage: installer [-q] [-r <root>] [-]\n";
const std::string kBusy = "ERROR: another installer is running\n";

class LiveSystem : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }

  std::string plain(const std::string& name, const std::string& version) {
    return router_.build(describe(name, version), {{"bin/" + name, name + " " + version}});
  }

  // The binary run with its root changed to the router root beforehand: the
  // root it sees is "the live system" of these tests.
  ts::RunResult runInside(const Args& args, ts::RunOptions options = {}) {
    options.chrootTo = router_.path();
    return ts::runInstaller(args, options);
  }

  std::string flashAndRam() const { return router_.tree("/flash") + "--\n" + router_.tree("/ram"); }

  RouterRoot router_;
};

// An option after one that ends the command line used to be dropped without
// a word, so that the run acted on the live system instead of the root it
// was given. Each such command line now prints the usage line and does
// nothing at all.
TEST_F(LiveSystem, NothingMayFollowTheOptionsThatEndTheCommandLine) {
  router_.install({{"tool.npk", plain("tool", "7.1")}});
  const std::string elsewhere = router_.path() + "/elsewhere";
  ts::makeDirs(elsewhere);
  ts::writeFile(router_ / "/ram/staged", "new contents");
  ts::writeFile(router_ / "/ram/MANIFEST", "M /flash/bin/tool /ram/staged\n");
  ts::RunOptions withPackage;
  withPackage.input = plain("other", "7.1");
  const std::string before = flashAndRam();

  const std::vector<Args> cases = {
      {"--cleanup", "-r", "/elsewhere"},
      {"-", "-r", "/elsewhere"},
      {"--commit", "-r", "/elsewhere"},
      {"--cancel", "-r", "/elsewhere"},
      {"--cleanup", "--bogus"},
      {"-", "-q"},
      {"--commit", "--show"},
      {"--cancel", "--commit"},
  };
  for (const Args& args : cases) {
    const ts::RunResult run = runInside(args, withPackage);
    EXPECT_EQ(run.status, 0) << args[0] << " " << args[1];
    EXPECT_EQ(run.out, kUsage) << args[0] << " " << args[1];
    EXPECT_EQ(flashAndRam(), before) << args[0] << " " << args[1];
  }
}

TEST_F(LiveSystem, CommitAndCancelActInsideTheRootGiven) {
  const auto stage = [&] {
    ts::writeFile(router_ / "/ram/staged", "new contents");
    ts::writeFile(router_ / "/ram/MANIFEST", "M /flash/bin/tool /ram/staged\n");
  };
  stage();
  const ts::RunResult commit = ts::runInstaller({"-r", router_.path(), "--commit"});
  EXPECT_EQ(commit.status, 0) << commit.err;
  EXPECT_EQ(commit.out, "finishing install... \b \n");
  EXPECT_EQ(router_.file("/flash/bin/tool"), "new contents");
  EXPECT_FALSE(router_.exists("/ram/MANIFEST"));

  stage();
  const ts::RunResult cancel = ts::runInstaller({"-r", router_.path(), "--cancel"});
  EXPECT_EQ(cancel.status, 0) << cancel.err;
  EXPECT_FALSE(router_.exists("/ram/MANIFEST"));
  EXPECT_EQ(router_.file("/ram/staged"), "new contents");
  EXPECT_EQ(router_.file("/flash/bin/tool"), "new contents");
}

// A manifest once carried out is spent: replayed after a later install it
// would remove that install's files.
TEST_F(LiveSystem, ACommittedManifestIsNeverReplayed) {
  const auto tool = [&](const std::string& version, const std::string& file) {
    return router_.build(describe("tool", version), {{file, version}});
  };
  router_.install({{"tool.npk", tool("7.1", "bin/a")}});
  // 7.2 no longer ships bin/a: its manifest removes it.
  router_.download("tool.npk", tool("7.2", "bin/b"));
  ASSERT_EQ(router_.run({"--safe"}).status, 0);
  ASSERT_TRUE(router_.exists("/ram/MANIFEST"));
  router_.clearDownloads();
  ASSERT_EQ(runInside({"--commit"}).status, 0);
  EXPECT_FALSE(router_.exists("/flash/bin/a"));
  EXPECT_EQ(router_.file("/flash/bin/b"), "7.2");
  EXPECT_FALSE(router_.exists("/ram/MANIFEST"));

  // 7.3 ships bin/a again; a second "--commit" must not remove it.
  router_.install({{"tool.npk", tool("7.3", "bin/a")}});
  const std::string before = router_.tree();
  const ts::RunResult again = runInside({"--commit"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(router_.tree(), before);
  EXPECT_EQ(router_.file("/flash/bin/a"), "7.3");
}

// Holds the run lock of a router root as another installer would.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(flock(fd_, LOCK_EX | LOCK_NB), 0);
  }
  ~HeldLock() { close(fd_); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  int fd_;
};

TEST_F(LiveSystem, OneInstallerAtATime) {
  router_.install({{"tool.npk", plain("tool", "7.1")}});
  ts::writeFile(router_ / "/ram/staged", "new contents");
  ts::writeFile(router_ / "/ram/MANIFEST", "M /flash/bin/tool /ram/staged\n");
  ts::makeDirs(router_ / "/ram/pdb/tool");
  ts::writeFile(router_ / "/ram/pdb/tool/schedule", "disable");
  router_.download("other.npk", plain("other", "7.1"));
  ts::RunOptions withPackage;
  withPackage.input = plain("third", "7.1");
  const std::string before = flashAndRam();
  {
    HeldLock other(router_ / "/ram/installer.lock");
    for (const Args& args : std::vector<Args>{
             {}, {"-"}, {"--cleanup"}, {"--commit"}, {"--cancel"}, {"-q", "--reinstall"}}) {
      const ts::RunResult run = router_.run(args, withPackage);
      const std::string name = args.empty() ? "upgrade run" : args.back();
      EXPECT_EQ(run.status, 1) << name;
      EXPECT_EQ(run.out.substr(run.out.find(kBusy[0])), kBusy) << name;
      EXPECT_EQ(run.err, "") << name;
      EXPECT_EQ(flashAndRam(), before) << name;
    }
    // Listing changes nothing and takes no lock.
    const ts::RunResult show = router_.run({"--show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_NE(show.out.find("tool"), std::string::npos) << show.out;
  }
  // Once the other run has ended, the next one goes ahead.
  const ts::RunResult run = router_.run();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(router_.file("/flash/bin/other"), "other 7.1");
}

// Without a place for the lock file the run goes on as it always has.
TEST_F(LiveSystem, NoPlaceForTheLockIsNoReasonToStop) {
  ts::removeTree(router_ / "/ram");
  ts::writeFile(router_ / "/ram", "a file where the directory should be");
  router_.download("tool.npk", plain("tool", "7.1"));
  const ts::RunResult run = router_.run();
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(router_.file("/flash/bin/tool"), "tool 7.1");
}

// A console that goes away (its reader closed) must not end the run: the
// install, its commit and the message log are carried out in full.
TEST_F(LiveSystem, AConsoleThatGoesAwayChangesNothing) {
  ts::RunOptions gone;
  gone.output = ts::RunOptions::Output::kReaderGone;
  router_.download("tool.npk", plain("tool", "7.1"));
  const ts::RunResult upgrade = router_.run({}, gone);
  EXPECT_EQ(upgrade.status, 0);
  EXPECT_EQ(router_.file("/flash/bin/tool"), "tool 7.1");
  EXPECT_EQ(router_.file("/flash/postlog"), "installed tool-7.1\n");
  router_.clearDownloads();

  gone.input = plain("other", "7.1");
  const ts::RunResult image = router_.run({"-"}, gone);
  EXPECT_EQ(image.status, 0);
  EXPECT_EQ(router_.file("/flash/bin/other"), "other 7.1");
  EXPECT_EQ(router_.file("/flash/postlog"), "installed tool-7.1\n");
}

// With standard output closed at start, the first file the run opened (the
// capture of the image mode) became standard output, and the progress bar
// went into the kept image.
TEST_F(LiveSystem, AClosedStandardOutputTakesNoFileOfTheRun) {
  const std::string image(20000, 'i');
  const std::string package = router_.build(describe("blob", "7.1"), {}, &image);
  ts::RunOptions closed;
  closed.output = ts::RunOptions::Output::kClosed;
  closed.input = package;
  const ts::RunResult run = router_.run({"-"}, closed);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(router_.file("/flash/var/pdb/blob/image"), package);
}

}  // namespace
