#include "console/postlog.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

class PostlogTest : public ts::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
    ts::makeDirs("/flash");
  }

  // The preload flag lives as long as the process, so each run that may set
  // it happens in a child of its own; the test looks at the files it left.
  static void inChild(const std::function<void(RunOutput&)>& run) {
    const pid_t pid = fork();
    if (pid == 0) {
      RunOutput output;
      run(output);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
};

TEST_F(PostlogTest, NothingToWriteLeavesTheFileAlone) {
  inChild([](RunOutput& output) { writePostlog(output); });
  EXPECT_FALSE(ts::exists("/flash/postlog"));
  ts::writeFile("/flash/postlog", "old\n");
  inChild([](RunOutput& output) { writePostlog(output); });
  EXPECT_EQ(ts::readFile("/flash/postlog"), "old\n");
}

TEST_F(PostlogTest, WithoutPreloadTheLinesAreAppended) {
  inChild([](RunOutput& output) {
    output.messages = {"first", "ERROR: second"};
    writePostlog(output);
  });
  EXPECT_EQ(ts::readFile("/flash/postlog"), "first\nERROR: second\n");
  ts::writeFile("/flash/postlog", "old\ncut");
  inChild([](RunOutput& output) {
    output.messages = {"new"};
    writePostlog(output);
  });
  EXPECT_EQ(ts::readFile("/flash/postlog"), "old\ncutnew\n");
}

TEST_F(PostlogTest, PreloadKeepsCompleteLinesAndReservesSpace) {
  ts::writeFile("/flash/postlog", "one\n\ntwo\ncut short");
  inChild([](RunOutput& output) {
    preloadPostlog(output);
    if (output.messages != std::vector<std::string>{"one", "", "two"}) _exit(2);
    if (ts::readFile("/flash/postlog") != std::string(4096, '\0')) _exit(3);
    output.messages.push_back("installed p-1.0");
    writePostlog(output);
  });
  EXPECT_EQ(ts::readFile("/flash/postlog"), "one\n\ntwo\ninstalled p-1.0\n");
}

TEST_F(PostlogTest, PreloadedRunWithNoMessagesStillRewritesTheReservedFile) {
  inChild([](RunOutput& output) {
    preloadPostlog(output);
    writePostlog(output);
  });
  EXPECT_EQ(ts::readFile("/flash/postlog"), "");
}

}  // namespace
}  // namespace installer
