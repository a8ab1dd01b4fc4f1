#include "txn/manifest.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/sandbox.h"
#include "txn/paths.h"
#include "txn/spinner.h"

namespace installer {
namespace {

namespace ts = testing_support;

// Every test works inside a fresh root with "/ram" and "/flash" of its own.
class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ts::haveChrootRights() || !sandbox_.entered()) GTEST_SKIP() << "needs chroot rights";
    ts::makeDirs("/ram");
    ts::makeDirs("/flash");
    ts::makeDirs("/tmp");  // where captured standard error is kept
  }

  static std::string linkText(const std::string& path) {
    char text[256];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    return n < 0 ? "<no link>" : std::string(text, static_cast<std::size_t>(n));
  }

  static unsigned permissions(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  ts::ChrootSandbox sandbox_;
};

TEST(ParentDir, DropsTrailingSlashesThenTheLastName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/", "/a"}, {"/a/b", "/a"},   {"a", "."},   {"/", "."},
      {"", "."},       {"/a", "/"},      {"a/b", "a"}, {"//a", "/"},
      {"/a//b", "/a"}, {"/a/b//", "/a"}, {"./x", "."}, {"///", "."},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parentDir(path), parent) << path;
}

TEST_F(ManifestTest, MakeDirsCreatesMissingParentsAndAcceptsExisting) {
  EXPECT_TRUE(makeDirs("/flash/var/pdb/pkg"));
  EXPECT_TRUE(ts::exists("/flash/var/pdb/pkg"));
  EXPECT_TRUE(makeDirs("/flash/var/pdb/pkg"));
  EXPECT_TRUE(makeDirs("relative/dir"));
  EXPECT_TRUE(ts::exists("/relative/dir"));
}

TEST_F(ManifestTest, ReplacingAStagedEntryDeletesItsTemporaryFileOnly) {
  ts::writeFile("/ram/tmp1", "first");
  ts::writeFile("/ram/kept", "plain");
  Manifest m;
  setEntry(m, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmp1");
  addMove(m, "/ram/kept", "/flash/a");
  EXPECT_FALSE(ts::exists("/ram/tmp1"));
  ASSERT_EQ(m.entries.size(), 1u);
  EXPECT_EQ(m.entries["/flash/a"].op, ManifestOp::kMove);
  EXPECT_EQ(m.entries["/flash/a"].source, "/ram/kept");

  // A plain move names a file that is not ours: replacing it keeps the file.
  addLink(m, "/elsewhere", "/flash/a");
  EXPECT_TRUE(ts::exists("/ram/kept"));
  EXPECT_EQ(m.entries["/flash/a"].op, ManifestOp::kLink);
}

TEST_F(ManifestTest, CancelDeletesOnlyStagedSources) {
  ts::writeFile("/ram/tmp1", "staged");
  ts::writeFile("/ram/plain", "plain");
  ts::writeFile("/flash/old", "old");
  Manifest m;
  setEntry(m, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmp1");
  addMove(m, "/ram/plain", "/flash/b");
  setEntry(m, "/flash/old", ManifestOp::kRemove, "");
  addLink(m, "/ram/plain", "/flash/c");
  cancelManifest(m);
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(ts::exists("/ram/tmp1"));
  EXPECT_TRUE(ts::exists("/ram/plain"));
  EXPECT_TRUE(ts::exists("/flash/old"));
  EXPECT_FALSE(ts::exists("/flash/c"));
}

TEST_F(ManifestTest, RemovalsAndLinksHappenBeforeAnyMove) {
  // Each move's source is what a removal or a link of a later path touches,
  // so doing the moves first (in plain path order) would end differently.
  ts::writeFile("/flash/c", "old file at c");
  ts::writeFile("/flash/e", "to be removed");
  Manifest m;
  addLink(m, "/x/target", "/flash/c");
  addMove(m, "/flash/c", "/flash/a");  // moves the new link
  setEntry(m, "/flash/e", ManifestOp::kRemove, "");
  addMove(m, "/flash/e", "/flash/b");  // its source is gone by then
  testing::internal::CaptureStderr();
  EXPECT_FALSE(commitManifest(m)) << "a move failed";
  const std::string err = testing::internal::GetCapturedStderr();

  EXPECT_EQ(linkText("/flash/a"), "/x/target");
  EXPECT_FALSE(ts::exists("/flash/c"));
  EXPECT_FALSE(ts::exists("/flash/b"));
  EXPECT_FALSE(ts::exists("/flash/e"));
  EXPECT_EQ(err, std::string("rename: ") + strerror(ENOENT) + "\n");
  EXPECT_EQ(m.entries.size(), 4u) << "the commit leaves the manifest as it is";
}

TEST_F(ManifestTest, TheDatabaseChangesAfterEverythingElse) {
  // The database move's source only appears once a move outside the
  // database has run; in plain path order the database move would come
  // first and fail.
  ts::writeFile("/flash/var/pdb/p/new-version", "7.2");
  ts::writeFile("/flash/zz/new", "z");
  Manifest m;
  addMove(m, "/flash/var/pdb/p/new-version", "/flash/zz/taken");
  addMove(m, "/flash/zz/new", "/flash/zz/file");
  addMove(m, "/flash/zz/taken", "/flash/var/pdb/p/version");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(commitManifest(m));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ts::readFile("/flash/var/pdb/p/version"), "7.2");
  EXPECT_EQ(ts::readFile("/flash/zz/file"), "z");
}

TEST_F(ManifestTest, RemoveHandlesFilesLinksAndDirectories) {
  ts::writeFile("/flash/file", "x");
  ts::writeFile("/flash/target", "kept");
  symlink("/flash/target", "/flash/link");
  ts::writeFile("/flash/pkg/version", "1");
  ts::writeFile("/flash/pkg/files", "2");
  ts::writeFile("/flash/busy/plain", "1");
  ts::writeFile("/flash/busy/.hidden", "2");
  ts::writeFile("/flash/busy/sub/inner", "3");
  Manifest m;
  for (const char* path :
       {"/flash/file", "/flash/link", "/flash/pkg", "/flash/busy", "/flash/none"}) {
    setEntry(m, path, ManifestOp::kRemove, "");
  }
  EXPECT_TRUE(commitManifest(m));
  EXPECT_FALSE(ts::exists("/flash/file"));
  EXPECT_FALSE(ts::exists("/flash/link"));
  EXPECT_EQ(ts::readFile("/flash/target"), "kept");
  EXPECT_FALSE(ts::exists("/flash/pkg"));
  // Hidden names and subdirectories stay, and with them the directory.
  EXPECT_EQ(ts::listDir("/flash/busy"), (std::vector<std::string>{".hidden", "sub"}));
  EXPECT_TRUE(ts::exists("/flash/busy/sub/inner"));
}

TEST_F(ManifestTest, LinksCreateParentsReplaceFilesAndReportDirectories) {
  ts::writeFile("/flash/old", "file");
  ts::makeDirs("/flash/dir/inside");
  Manifest m;
  addLink(m, "/flash/bootimage", "/flash/var/pdb/p/image");
  addLink(m, "relative text", "/flash/old");
  addLink(m, "/nowhere", "/flash/dir");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(commitManifest(m));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(linkText("/flash/var/pdb/p/image"), "/flash/bootimage");
  EXPECT_EQ(linkText("/flash/old"), "relative text");
  EXPECT_TRUE(ts::exists("/flash/dir/inside"));
  EXPECT_EQ(err, std::string("symlink: ") + strerror(EEXIST) + "\n");
  // Links are made under a temporary name and renamed into place; none is
  // left behind.
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"dir", "old", "var"}));
  EXPECT_EQ(ts::listDir("/flash/var/pdb/p"), std::vector<std::string>{"image"});
}

TEST_F(ManifestTest, ALinkReplacesAnOldLinkUnderItsOwnName) {
  ASSERT_EQ(symlink("/flash/old-image", "/flash/image"), 0);
  Manifest m;
  addLink(m, "/flash/bootimage", "/flash/image");
  EXPECT_TRUE(commitManifest(m));
  EXPECT_EQ(linkText("/flash/image"), "/flash/bootimage");
  EXPECT_EQ(ts::listDir("/flash"), std::vector<std::string>{"image"});
}

TEST_F(ManifestTest, MoveOntoADirectoryIsReportedAndTheCommitGoesOn) {
  ts::makeDirs("/flash/dir/inside");
  ts::writeFile("/ram/one", "1");
  ts::writeFile("/ram/two", "2");
  Manifest m;
  addMove(m, "/ram/one", "/flash/dir");
  addMove(m, "/ram/two", "/flash/new/deep/two");
  testing::internal::CaptureStderr();
  static_cast<void>(commitManifest(m));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("rename: ", 0), 0u) << err;
  EXPECT_TRUE(ts::exists("/flash/dir/inside"));
  EXPECT_EQ(ts::readFile("/ram/one"), "1");
  EXPECT_EQ(ts::readFile("/flash/new/deep/two"), "2");
}

// Moves from a second file system end in a copy.
class CrossDeviceTest : public ManifestTest {
 protected:
  void SetUp() override {
    ManifestTest::SetUp();
    if (IsSkipped()) return;
    if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  }
};

TEST_F(CrossDeviceTest, CopiesAcrossFileSystemsAndDropsOnlyOurOwnSource) {
  ASSERT_TRUE(ts::mountTmpfs("/ram", "4m"));
  const std::string big(200000, 'b');
  ts::writeFile("/ram/tmpStaged", big, 0750);
  ts::writeFile("/ram/plain", "plain", 0604);
  ts::writeFile("/flash/staged", "old contents");
  Manifest m;
  setEntry(m, "/flash/staged", ManifestOp::kMoveStaged, "/ram/tmpStaged");
  addMove(m, "/ram/plain", "/flash/sub/plain");
  testing::internal::CaptureStderr();
  static_cast<void>(commitManifest(m));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  EXPECT_EQ(ts::readFile("/flash/staged"), big);
  EXPECT_EQ(permissions("/flash/staged"), 0750u);
  EXPECT_FALSE(ts::exists("/ram/tmpStaged"));
  EXPECT_EQ(ts::readFile("/flash/sub/plain"), "plain");
  EXPECT_EQ(permissions("/flash/sub/plain"), 0604u);
  EXPECT_EQ(ts::readFile("/ram/plain"), "plain");
  // No copy's temporary file is left beside the targets.
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"staged", "sub"}));
}

TEST_F(CrossDeviceTest, AFailedCopyKeepsTheOldTargetAndTheSource) {
  ASSERT_TRUE(ts::mountTmpfs("/flash", "64k"));
  ts::writeFile("/flash/target", "old contents");
  ts::writeFile("/ram/tmpStaged", std::string(300000, 'n'));
  Manifest m;
  setEntry(m, "/flash/target", ManifestOp::kMoveStaged, "/ram/tmpStaged");
  testing::internal::CaptureStderr();
  static_cast<void>(commitManifest(m));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, std::string("copy: ") + strerror(ENOSPC) + "\n");
  EXPECT_EQ(ts::readFile("/flash/target"), "old contents");
  EXPECT_EQ(ts::listDir("/flash"), std::vector<std::string>{"target"});
  EXPECT_TRUE(ts::exists("/ram/tmpStaged"));
}

TEST_F(CrossDeviceTest, RemovalsThatFailAreReportedAndTheCommitGoesOn) {
  ASSERT_TRUE(ts::mountTmpfs("/flash/ro", "64k"));
  ts::writeFile("/flash/ro/file", "stays");
  ts::writeFile("/flash/ro/dir/entry", "stays too");
  ASSERT_EQ(mount(nullptr, "/flash/ro", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  ts::writeFile("/flash/plain", "goes");
  Manifest m;
  setEntry(m, "/flash/ro/file", ManifestOp::kRemove, "");
  setEntry(m, "/flash/ro/dir", ManifestOp::kRemove, "");
  setEntry(m, "/flash/missing", ManifestOp::kRemove, "");
  setEntry(m, "/flash/plain", ManifestOp::kRemove, "");
  testing::internal::CaptureStderr();
  static_cast<void>(commitManifest(m));
  const std::string err = testing::internal::GetCapturedStderr();
  // The file and the directory are reported; what is not there is not.
  const std::string line = std::string("unlink: ") + strerror(EROFS) + "\n";
  EXPECT_EQ(err, line + line) << err;
  EXPECT_EQ(ts::readFile("/flash/ro/file"), "stays");
  EXPECT_EQ(ts::readFile("/flash/ro/dir/entry"), "stays too");
  EXPECT_FALSE(ts::exists("/flash/plain"));
}

TEST_F(CrossDeviceTest, CopyFileRefusesWhatIsNotARegularFile) {
  ASSERT_TRUE(ts::mountTmpfs("/flash", "64k"));
  ts::makeDirs("/ram/dir");
  EXPECT_EQ(copyFile("/ram/dir", "/flash/x"), EISDIR);
  EXPECT_EQ(copyFile("/ram/missing", "/flash/x"), ENOENT);
  ASSERT_EQ(mkfifo("/ram/fifo", 0600), 0);
  EXPECT_EQ(copyFile("/ram/fifo", "/flash/x"), EINVAL);
  EXPECT_TRUE(ts::listDir("/flash").empty());
}

TEST(Spinner, TurnsAtMostOncePerTwentyTicksAndCatchesUpAfterAPause) {
  SpinnerState state;
  // 1041 is 21 ticks after the step at 1020; the long pause to 1200 is
  // caught up one 20-tick step per block, until at most 20 ticks remain.
  const std::pair<std::uint32_t, const char*> steps[] = {
      {1000, "|"},    {1000, ""},    {1020, ""},    {1021, "\b/"},  {1030, ""},     {1041, "\b-"},
      {1200, "\b\\"}, {1200, "\b|"}, {1200, "\b/"}, {1200, "\b-"},  {1200, "\b\\"}, {1200, "\b|"},
      {1200, "\b/"},  {1200, ""},    {1221, "\b-"}, {1221, "\b\\"}, {1221, ""},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(spinnerStep(state, steps[i].first), steps[i].second) << "step " << i;
  }
}

TEST(Spinner, TickDifferencesSurviveWrapAround) {
  SpinnerState state;
  EXPECT_EQ(spinnerStep(state, 0xFFFFFFF0u), "|");
  EXPECT_EQ(spinnerStep(state, 0x00000004u), "");
  EXPECT_EQ(spinnerStep(state, 0x00000005u), "\b/");
}

}  // namespace
}  // namespace installer
