#include "txn/staging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

class StagingTest : public ts::RouterDirsTest {
 protected:
  static std::string stagedSource(const Manifest& m, const std::string& path) {
    auto it = m.entries.find(path);
    if (it == m.entries.end() || it->second.op != ManifestOp::kMoveStaged) return "<none>";
    return installer::sourceOf(path, it->second);
  }

  // The temporary file's directory, checked to be "<dir>/tmpXXXXXX".
  static std::string dirOf(const std::string& temporary) {
    const auto slash = temporary.rfind('/');
    EXPECT_EQ(temporary.size() - slash, 10u) << temporary;
    EXPECT_EQ(temporary.compare(slash, 4, "/tmp"), 0) << temporary;
    return temporary.substr(0, slash);
  }
};

TEST_F(StagingTest, WritesContentsAndAppliesTheModeOnClose) {
  Manifest m;
  auto file = createStagedFile(m, "/flash/bin/tool", 5, 0100755);
  ASSERT_TRUE(*file);
  *file << "hello";
  file->close();
  ASSERT_TRUE(*file);
  const std::string temporary = stagedSource(m, "/flash/bin/tool");
  EXPECT_EQ(ts::readFile(temporary), "hello");
  struct stat st;
  ASSERT_EQ(stat(temporary.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);

  auto plain = createStagedFile(m, "/flash/plain", 0, 0);
  *plain << std::string(50000, 'x');  // more than one buffer's worth
  plain->close();
  ASSERT_TRUE(*plain);
  ASSERT_EQ(stat(stagedSource(m, "/flash/plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u) << "mode 0 leaves mkstemp's permissions";
  EXPECT_EQ(ts::readFile(stagedSource(m, "/flash/plain"))->size(), 50000u);
}

TEST_F(StagingTest, PicksTheTemporaryDirectory) {
  const std::string longDir = "/flash/" + std::string(110, 'd');  // 117 characters
  ts::makeDirs(longDir);
  ts::makeDirs(longDir + "x");  // 118 characters
  struct Case {
    const char* name;
    std::string destination;
    std::uint64_t sizeHint;
    std::string dir;
  };
  const Case cases[] = {
      {"empty file goes to /ram", "/flash/bin/tool", 0, "/ram"},
      {"fits beside", "/flash/tool", 10, "/flash"},
      {"nearest existing ancestor", "/flash/new/pkg/dir/tool", 10, "/flash"},
      {"does not fit", "/flash/tool", std::uint64_t{1} << 62, "/ram"},
      {"size near the top of the range", "/flash/tool", ~std::uint64_t{0} - 100, "/ram"},
      {"117 characters are fine", longDir + "/tool", 10, longDir},
      {"118 characters fall back", longDir + "x/tool", 10, "/ram"},
      {"relative destination", "tool", 10, "."},
  };
  for (const auto& c : cases) {
    Manifest m;
    auto file = createStagedFile(m, c.destination, c.sizeHint, 0);
    EXPECT_TRUE(*file) << c.name;
    EXPECT_EQ(dirOf(stagedSource(m, c.destination)), c.dir) << c.name;
    file->close();
    cancelManifest(m);
  }
}

// Files of one directory are staged one after another; the directory found
// for the first answers for the next, but never past the free-space check,
// and not when it has gone away.
TEST_F(StagingTest, FilesOfOneDirectoryAreStagedAlike) {
  ts::makeDirs("/flash/kept");
  Manifest m;
  const struct {
    const char* name;
    std::string destination;
    std::uint64_t sizeHint;
    std::string dir;
  } steps[] = {
      {"first file of a missing directory", "/flash/new/dir/a", 10, "/flash"},
      {"second file of it", "/flash/new/dir/b", 10, "/flash"},
      {"an existing directory", "/flash/kept/c", 10, "/flash/kept"},
      {"same directory, too large", "/flash/kept/d", std::uint64_t{1} << 62, "/ram"},
      {"same directory again", "/flash/kept/e", 10, "/flash/kept"},
  };
  for (const auto& step : steps) {
    auto file = createStagedFile(m, step.destination, step.sizeHint, 0);
    file->close();
    EXPECT_EQ(dirOf(stagedSource(m, step.destination)), step.dir) << step.name;
  }
  // The directory that answered last is gone: the nearest one is looked for.
  for (const char* path : {"/flash/kept/c", "/flash/kept/e"}) {
    ASSERT_EQ(unlink(stagedSource(m, path).c_str()), 0);
    m.entries.erase(path);
  }
  ASSERT_EQ(rmdir("/flash/kept"), 0);
  auto file = createStagedFile(m, "/flash/kept/f", 10, 0);
  EXPECT_TRUE(*file);
  EXPECT_EQ(dirOf(stagedSource(m, "/flash/kept/f")), "/flash");
  file->close();
  cancelManifest(m);
}

// Many files of one directory on a small file system: the free space asked
// for once answers for the next files less what they took, so no file is
// put beside its target that does not fit there with room to spare, and
// every write succeeds.
TEST_F(StagingTest, FilesOfOneDirectoryFillTheFileSystemOnlyAsFarAsTheyFit) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  ASSERT_TRUE(ts::mountTmpfs("/flash/small", "512k"));
  Manifest m;
  const std::string block(30000, 'x');
  int beside = 0;
  int inRam = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string destination = "/flash/small/dir/f" + std::to_string(i);
    auto file = createStagedFile(m, destination, block.size(), 0);
    ASSERT_TRUE(*file) << destination;
    file->write(block.data(), static_cast<std::streamsize>(block.size()));
    file->close();
    ASSERT_TRUE(*file) << destination << ": " << std::strerror(errno);
    const std::string dir = dirOf(stagedSource(m, destination));
    if (dir == "/flash/small") {
      EXPECT_EQ(inRam, 0) << destination << " went beside after an earlier one did not fit";
      ++beside;
    } else {
      EXPECT_EQ(dir, "/ram") << destination;
      ++inRam;
    }
  }
  // 512 KiB hold more than 30,000 bytes and 64 KiB to spare many times,
  // but not twenty times.
  EXPECT_GT(beside, 5);
  EXPECT_GT(inRam, 0);
  cancelManifest(m);
}

TEST_F(StagingTest, LargeBlocksFollowWhatIsBuffered) {
  Manifest m;
  auto file = createStagedFile(m, "/flash/blob", 30000, 0);
  const std::string block(20000, 'x');
  *file << "head";
  file->write(block.data(), static_cast<std::streamsize>(block.size()));
  *file << "tail";
  file->close();
  ASSERT_TRUE(*file);
  EXPECT_EQ(ts::readFile(stagedSource(m, "/flash/blob")), "head" + block + "tail");
  cancelManifest(m);
}

TEST_F(StagingTest, EmptyFileGoesToTmpWithoutRam) {
  ts::removeTree("/ram");
  Manifest m;
  auto file = createStagedFile(m, "/flash/PCKGS_CHANGED", 0, 0);
  file->close();
  EXPECT_TRUE(*file);
  EXPECT_EQ(dirOf(stagedSource(m, "/flash/PCKGS_CHANGED")), "/tmp");
}

TEST_F(StagingTest, NoTemporaryFileMeansNoEntryAndAFailedStream) {
  ts::removeTree("/ram");
  ts::removeTree("/tmp");
  Manifest m;
  auto file = createStagedFile(m, "/flash/PCKGS_CHANGED", 0, 0);  // no "/ram", no "/tmp"
  EXPECT_FALSE(*file);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_TRUE(m.empty());
  *file << "ignored";
  file->close();
  EXPECT_FALSE(*file);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(StagingTest, AWriteThatDoesNotFitFailsTheStreamWithItsErrno) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  ASSERT_TRUE(ts::mountTmpfs("/ram", "64k"));
  Manifest m;
  auto file = createStagedFile(m, "/flash/big", 0, 0644);
  *file << std::string(200000, 'x');
  errno = 0;
  file->close();
  EXPECT_FALSE(*file);
  EXPECT_EQ(errno, ENOSPC);
}

TEST_F(StagingTest, StagingTheSameDestinationTwiceKeepsTheSecondFile) {
  Manifest m;
  auto first = createStagedFile(m, "/flash/a", 0, 0);
  first->close();
  const std::string firstName = stagedSource(m, "/flash/a");
  auto second = createStagedFile(m, "/flash/a", 0, 0);
  second->close();
  EXPECT_FALSE(ts::exists(firstName));
  EXPECT_NE(stagedSource(m, "/flash/a"), firstName);
  EXPECT_TRUE(ts::exists(stagedSource(m, "/flash/a")));
  EXPECT_EQ(m.entries.size(), 1u);
}

TEST_F(StagingTest, StageRemovalOfExistingAndMissingPaths) {
  ts::writeFile("/flash/present", "x");
  Manifest m;
  auto over = createStagedFile(m, "/flash/present", 0, 0);
  over->close();
  const std::string overName = stagedSource(m, "/flash/present");
  stageRemoval(m, "/flash/present");
  EXPECT_EQ(m.entries.at("/flash/present").op, ManifestOp::kRemove);
  EXPECT_FALSE(ts::exists(overName)) << "the replaced staged file is deleted";

  auto lost = createStagedFile(m, "/flash/missing", 0, 0);
  lost->close();
  const std::string lostName = stagedSource(m, "/flash/missing");
  stageRemoval(m, "/flash/missing");
  EXPECT_EQ(m.entries.count("/flash/missing"), 0u);
  // Nothing would ever delete it once its entry is gone.
  EXPECT_FALSE(ts::exists(lostName)) << "dropping the entry deletes its staged file";

  ts::writeFile("/ram/downloaded", "a file of its own");
  addMove(m, "/ram/downloaded", "/flash/other");
  stageRemoval(m, "/flash/other");
  EXPECT_EQ(m.entries.count("/flash/other"), 0u);
  EXPECT_TRUE(ts::exists("/ram/downloaded")) << "a plain move's source is not ours";
}

TEST_F(StagingTest, ClaimPathAnswers) {
  ts::makeDirs("/flash/var/pdb/dir");
  ts::writeFile("/flash/var/pdb/file", "x");
  struct Case {
    const char* name;
    std::string path;
    bool pendingRemoval, pendingMove, answer;
  };
  const Case cases[] = {
      {"missing", "/flash/var/pdb/new", false, false, true},
      {"directory", "/flash/var/pdb/dir", false, false, true},
      {"regular file", "/flash/var/pdb/file", false, false, false},
      {"removal of a directory", "/flash/var/pdb/dir", true, false, true},
      {"removal of a file", "/flash/var/pdb/file", true, false, false},
      {"pending move", "/flash/var/pdb/new", false, true, false},
  };
  for (const auto& c : cases) {
    Manifest m;
    if (c.pendingRemoval) setEntry(m, c.path, ManifestOp::kRemove, "");
    if (c.pendingMove) addMove(m, "/ram/x", c.path);
    EXPECT_EQ(claimPath(m, c.path), c.answer) << c.name;
    EXPECT_EQ(m.entries.count(c.path), c.pendingMove ? 1u : 0u) << c.name;
  }
}

}  // namespace
}  // namespace installer
