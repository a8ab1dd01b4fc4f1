// The installer binary's command line, start-up and the two-step commit,
// driven as the boot and upgrade scripts drive it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "support/sandbox.h"

namespace {

namespace ts = testing_support;

const std::string kUsage = "usage: installer [-q] [-r <root>] [-]\n";
const std::string kCommitText = "finishing install... \b \n";

ts::RunOptions onBoard(const std::string& board) {
  ts::RunOptions options;
  options.env["board"] = board;
  return options;
}

// A router root with the file systems' top directories.
class RootTest : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeDirs(root_ / "/flash/var/pdb");
    ts::makeDirs(root_ / "/ram");
  }

  // The binary run with its root changed to the router root, as the modes
  // that act before the installer's own root change need.
  ts::RunResult runInside(const std::vector<std::string>& args, ts::RunOptions options = {}) {
    options.chrootTo = root_.path();
    return ts::runInstaller(args, options);
  }

  // The lock file that every run which may change something leaves in
  // "/ram" is no change.
  std::string flashAndRam() const {
    std::string ram = ts::treeListing(root_ / "/ram");
    if (ram.rfind("/installer.lock ", 0) == 0) ram.erase(0, ram.find('\n') + 1);
    return ts::treeListing(root_ / "/flash") + "--\n" + ram;
  }

  ts::TempRoot root_;
};

TEST(CommandLine, UsageLineForWhatIsNotAnOption) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"-r"}, {"-q", "--bogus"}, {"--show", "-x", "--commit"}, {"--SHOW"}, {""},
  };
  for (const auto& args : cases) {
    const auto run = ts::runInstaller(args);
    EXPECT_EQ(run.status, 0) << args[0];
    EXPECT_EQ(run.out, kUsage) << args[0];
    EXPECT_EQ(run.err, "") << args[0];
  }
}

TEST(CommandLine, ReinstallNoticeComesAtOnce) {
  const auto run = ts::runInstaller({"-q", "--reinstall", "--bogus"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "\nResuming upgrade...\n" + kUsage);
}

TEST(CommandLine, EmulatedBoardDoesNothingAtAll) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"--bogus"}, {"--reinstall"}, {"-r", "/nowhere"}}) {
    const auto run = ts::runInstaller(args, onBoard("qemu_p9"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
  }
  // Any other board value is an ordinary run.
  const auto other = ts::runInstaller({"--bogus"}, onBoard("qemu_p9x"));
  EXPECT_EQ(other.out, kUsage);
}

TEST(CommandLine, MissingRootStopsTheRun) {
  const auto run = ts::runInstaller({"-r", "/does/not/exist", "--show"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, std::string("chroot: ") + strerror(ENOENT) + "\n");
}

TEST_F(RootTest, EmulatedBoardLeavesAStagedManifestAlone) {
  ts::writeFile(root_ / "/ram/MANIFEST", "U /flash/keep\n");
  ts::writeFile(root_ / "/flash/keep", "x");
  const std::string before = flashAndRam();
  const auto run = runInside({"--commit"}, onBoard("qemu_p9"));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(flashAndRam(), before);
}

TEST_F(RootTest, ShowListsWithoutReadingInput) {
  ts::RunOptions options;
  options.input = "not a package";
  const auto run = ts::runInstaller({"-r", root_.path(), "--show", "-"}, options);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find("usage:"), std::string::npos);
  EXPECT_FALSE(ts::exists(root_ / "/flash/var/pdb/image"));
}

TEST_F(RootTest, UpgradeRunWithNothingToDoStagesNothing) {
  for (const std::vector<std::string>& extra :
       std::vector<std::vector<std::string>>{{}, {"--safe"}, {"-q", "--reinstall"}}) {
    std::vector<std::string> args = {"-r", root_.path()};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto run = ts::runInstaller(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(ts::exists(root_ / "/flash/PCKGS_CHANGED"));
    EXPECT_FALSE(ts::exists(root_ / "/ram/MANIFEST"));
  }
}

TEST_F(RootTest, CommitDoesRemovalsAndLinksBeforeMoves) {
  // In plain path order the move onto /flash/a would run first and fail;
  // after the link at /flash/c it carries that link to /flash/a.
  ts::writeFile(root_ / "/flash/c", "old file at c");
  ts::writeFile(root_ / "/flash/e", "removed");
  ts::writeFile(root_ / "/ram/MANIFEST",
                "M /flash/a /flash/c\n"
                "L /flash/c /flash/bootimage\n"
                "U /flash/e\n");
  const auto run = runInside({"--show", "--commit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kCommitText);
  EXPECT_EQ(run.err, "");
  char text[64] = {};
  EXPECT_GT(readlink((root_ / "/flash/a").c_str(), text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "/flash/bootimage");
  EXPECT_FALSE(ts::exists(root_ / "/flash/c"));
  EXPECT_FALSE(ts::exists(root_ / "/flash/e"));
  EXPECT_FALSE(ts::exists(root_ / "/ram/MANIFEST")) << "a manifest carried out is spent";
}

// A manifest that cannot be carried out whole changes nothing: a move of
// what a removal takes first, a move onto a directory.
TEST_F(RootTest, CommitRefusesWhatCannotBeDoneAndChangesNothing) {
  ts::makeDirs(root_ / "/flash/dir/inside");
  ts::writeFile(root_ / "/flash/e", "removed first");
  ts::writeFile(root_ / "/ram/one", "1");
  ts::writeFile(root_ / "/ram/two", "2");
  // Each failure names the path it failed at.
  const std::pair<const char*, std::string> cases[] = {
      {"M /flash/b /flash/e\nU /flash/e\nM /flash/z /ram/two\n",
       std::string("rename /flash/e: ") + strerror(ENOENT) + "\n"},
      {"M /flash/dir /ram/one\nM /flash/z /ram/two\n",
       std::string("rename /flash/dir: ") + strerror(EISDIR) + "\n"},
  };
  for (const auto& [manifest, err] : cases) {
    ts::writeFile(root_ / "/ram/MANIFEST", manifest);
    const std::string before = ts::treeListing(root_ / "/flash");
    const auto run = runInside({"--commit"});
    EXPECT_EQ(run.status, 1) << manifest;
    EXPECT_EQ(run.out, kCommitText);
    EXPECT_EQ(run.err, err) << manifest;
    EXPECT_EQ(ts::treeListing(root_ / "/flash"), before) << manifest;
    // The manifest stays for another try, with what it moves.
    EXPECT_EQ(ts::readFile(root_ / "/ram/MANIFEST"), manifest);
    EXPECT_EQ(ts::readFile(root_ / "/ram/two"), "2");
  }
}

TEST_F(RootTest, CommitWithoutAManifestDoesNothing) {
  const std::string before = flashAndRam();
  const auto run = runInside({"--commit"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, kCommitText);
  EXPECT_EQ(flashAndRam(), before);
}

TEST_F(RootTest, CancelOfAManifestReadBackDeletesOnlyTheManifestFile) {
  // The file records every move as a plain one: the temporary files it
  // names are not known to be ours any more.
  ts::writeFile(root_ / "/ram/tmpAbc123", "staged");
  ts::writeFile(root_ / "/flash/old", "kept");
  ts::writeFile(root_ / "/ram/MANIFEST",
                "M /flash/new /ram/tmpAbc123\nU /flash/old\nL /flash/l /x\n");
  const auto run = runInside({"--cancel"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(ts::exists(root_ / "/ram/MANIFEST"));
  EXPECT_EQ(ts::readFile(root_ / "/ram/tmpAbc123"), "staged");
  EXPECT_EQ(ts::readFile(root_ / "/flash/old"), "kept");
  EXPECT_FALSE(ts::exists(root_ / "/flash/new"));
  EXPECT_FALSE(ts::exists(root_ / "/flash/l"));
}

TEST_F(RootTest, CommitCopiesAcrossFileSystemsWithASpinner) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  ASSERT_TRUE(ts::mountTmpfs(root_ / "/ram", "16m"));
  std::string big;
  for (int i = 0; big.size() < 3000000; ++i) big += std::to_string(i) + "\n";
  ts::writeFile(root_ / "/ram/tmpBig", big, 0755);
  ts::writeFile(root_ / "/flash/big", "old");
  ts::writeFile(root_ / "/ram/MANIFEST", "M /flash/big /ram/tmpBig\n");
  const auto run = runInside({"--commit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(ts::readFile(root_ / "/flash/big"), big);
  struct stat st;
  ASSERT_EQ(stat((root_ / "/flash/big").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(ts::readFile(root_ / "/ram/tmpBig"), big) << "a plain move's source stays";
  EXPECT_EQ(ts::listDir(root_ / "/flash"), (std::vector<std::string>{"big", "var"}));

  // One character first, then backspace-character pairs in turn, then the
  // wipe of the last one.
  const std::regex shape("finishing install\\.\\.\\. \\|(\b[|/\\-\\\\])*\b \n");
  EXPECT_TRUE(std::regex_match(run.out, shape)) << run.out;
  const std::string turns = "|/-\\";
  std::size_t expected = 1;
  for (std::size_t at = run.out.find('\b'); at + 1 < run.out.size() - 2;
       at = run.out.find('\b', at + 1)) {
    EXPECT_EQ(run.out[at + 1], turns[expected++ % 4]);
  }
}

TEST_F(RootTest, FailedCopyKeepsTheLiveFile) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  ASSERT_TRUE(ts::mountTmpfs(root_ / "/flash", "64k"));
  ts::writeFile(root_ / "/flash/target", "old contents");
  ts::writeFile(root_ / "/ram/src", std::string(500000, 'n'));
  ts::writeFile(root_ / "/ram/MANIFEST", "M /flash/target /ram/src\n");
  const auto run = runInside({"--commit"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string("copy /flash/target: ") + strerror(ENOSPC) + "\n");
  EXPECT_EQ(ts::readFile(root_ / "/flash/target"), "old contents");
  EXPECT_EQ(ts::listDir(root_ / "/flash"), std::vector<std::string>{"target"});
}

}  // namespace
