#include "apply/free_space.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <string>

#include "support/sandbox.h"
#include "txn/manifest.h"

namespace installer {
namespace {

using testing_support::canMountTmpfs;
using testing_support::ChrootSandbox;
using testing_support::writeFile;

constexpr std::uint64_t kPage = 4096;

FsSpace space(const std::string& path, std::uint64_t blockSize, std::int64_t now,
              std::int64_t projected) {
  FsSpace fs;
  fs.path = path;
  fs.blockSize = blockSize;
  fs.freeBlocksNow = now;
  fs.freeBlocks = projected;
  return fs;
}

TEST(FreeSpaceThreshold, OnlyAShrinkingFileSystemIsHeldToIt) {
  struct Case {
    const char* name;
    std::uint64_t blockSize;
    std::int64_t now, projected;
    bool keeps;
  };
  const Case cases[] = {
      {"exactly 32768 bytes left", 4096, 100, 8, false},
      {"one block more", 4096, 100, 9, true},
      {"32768 single bytes", 1, 40000, 32768, false},
      {"32769 single bytes", 1, 40000, 32769, true},
      {"below zero", 1, 0, -5, false},
      {"nothing left", 4096, 100, 0, false},
      {"unchanged and empty", 1, 0, 0, true},
      {"unchanged and tiny", 4096, 1, 1, true},
      {"growing", 4096, 2, 20, true},
      {"blocks larger than the threshold", 65536, 10, 1, true},
      // 2^20 + 4 blocks of 4 KiB are 2^32 + 16384 bytes: a 32-bit product
      // would wrap to 16384 and refuse a file system with 4 GiB free.
      {"product beyond 32 bits", 4096, (1 << 20) + 10, (1 << 20) + 4, true},
      {"product beyond 63 bits of bytes", 1u << 20, std::int64_t{1} << 45,
       (std::int64_t{1} << 45) - 1, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keepsEnoughSpace(space("/flash", c.blockSize, c.now, c.projected)), c.keeps)
        << c.name;
  }
}

TEST(FreeSpaceIsUnder, ComparesTextOnly) {
  struct Case {
    const char* root;
    const char* path;
    bool under;
  };
  const Case cases[] = {
      {"/flash", "/flash", true},
      {"/flash", "/flash/var/pdb/x/version", true},
      {"/flash", "/flash/boot/image", true},  // counts for both records
      {"/flash", "/flashy", true},            // a text prefix, not a directory test
      {"/flash", "/flas", false},
      {"/flash", "/ram/flash", false},
      {"/flash/boot", "/flash/bootimage", true},
      {"/flash/boot", "/flash/var", false},
      {"/flash/boot", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isUnder(space(c.root, 1, 0, 0), c.path), c.under) << c.root << " " << c.path;
  }
}

class FreeSpaceSandbox : public testing_support::RouterDirsTest {
 protected:
  // A file system of its own at `path`, so that "/ram" and it differ in device.
  void mountTmpfs(const std::string& path, std::uint64_t bytes) {
    testing_support::makeDirs(path);
    const std::string options = "size=" + std::to_string(bytes);
    ASSERT_EQ(mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()), 0) << path;
  }
};

TEST_F(FreeSpaceSandbox, RemovalCreditsWholeBlocksOfFilesUnderTheRecord) {
  struct Case {
    const char* path;
    std::size_t size;  // 0 with `create` false: the file is missing
    bool create;
    std::int64_t credited;
  };
  const Case cases[] = {
      {"/flash/empty", 0, true, 0},    {"/flash/one", 1, true, 1},
      {"/flash/full", 1024, true, 1},  {"/flash/over", 1025, true, 2},
      {"/flash/five", 5000, true, 5},  {"/flash/missing", 0, false, 0},
      {"/ram/outside", 5000, true, 0},
  };
  for (const auto& c : cases) {
    if (c.create) writeFile(c.path, std::string(c.size, 'x'));
    FsSpace fs = space("/flash", 1024, 100, 100);
    creditRemoval(fs, c.path);
    EXPECT_EQ(fs.freeBlocks, 100 + c.credited) << c.path;
    EXPECT_EQ(fs.freeBlocksNow, 100) << c.path;
  }
}

TEST_F(FreeSpaceSandbox, MoveChargesOnlyWhatComesFromAnotherDevice) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts for a second device";
  mountTmpfs("/flash", 1 << 20);
  writeFile("/ram/staged", std::string(10000, 's'));
  writeFile("/flash/tmpbeside", std::string(10000, 's'));
  writeFile("/flash/bin/tool", std::string(5000, 'o'));

  struct Case {
    const char* name;
    const char* source;
    const char* destination;
    std::int64_t change;
  };
  const Case cases[] = {
      {"from /ram over a file: charged 10, credited 5", "/ram/staged", "/flash/bin/tool", -5},
      {"beside the destination: nothing", "/flash/tmpbeside", "/flash/bin/tool", 0},
      {"from /ram into missing directories", "/ram/staged", "/flash/new/deep/file", -10},
      {"beside, into missing directories", "/flash/tmpbeside", "/flash/new/deep/file", 0},
      {"missing source: only the credit", "/ram/gone", "/flash/bin/tool", 5},
      {"destination outside the record", "/ram/staged", "/rw/file", 0},
  };
  for (const auto& c : cases) {
    FsSpace fs = space("/flash", 1024, 500, 500);
    accountMove(fs, c.source, c.destination);
    EXPECT_EQ(fs.freeBlocks, 500 + c.change) << c.name;
  }
}

TEST_F(FreeSpaceSandbox, ReadsTheFileSystemOrCountsItAsEmpty) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  mountTmpfs("/flash", 16 * kPage);
  const FsSpace flash = readFsSpace("/flash");
  EXPECT_EQ(flash.path, "/flash");
  EXPECT_EQ(flash.blockSize, kPage);
  EXPECT_EQ(flash.freeBlocksNow, 16);
  EXPECT_EQ(flash.freeBlocks, 16);

  const FsSpace missing = readFsSpace("/flash/boot");
  EXPECT_EQ(missing.blockSize, 1u);
  EXPECT_EQ(missing.freeBlocksNow, 0);
  EXPECT_EQ(missing.freeBlocks, 0);
}

TEST_F(FreeSpaceSandbox, ThresholdOnTheMainFlash) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  mountTmpfs("/flash", 16 * kPage);
  // 16 free blocks; a file of 7 pages and one byte takes 8 and leaves
  // exactly 32768 bytes, one byte less leaves a block more.
  struct Case {
    std::size_t size;
    bool fits;
  };
  for (const Case c : {Case{7 * kPage + 1, false}, Case{7 * kPage, true}}) {
    writeFile("/ram/staged", std::string(c.size, 'n'));
    Manifest m;
    setEntry(m, "/flash/var/pdb/big/image", ManifestOp::kMove, "/ram/staged");
    setEntry(m, "/flash/var/pdb/big/link", ManifestOp::kLink, "/flash/bootimage");
    EXPECT_EQ(checkFreeSpace(m), c.fits) << c.size;
  }
}

TEST_F(FreeSpaceSandbox, RemovalsAndStagedFilesBesideTheirTargetAlwaysFit) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  mountTmpfs("/flash", 16 * kPage);
  // Fill the file system to its last block.
  writeFile("/flash/old", std::string(14 * kPage, 'o'));
  writeFile("/flash/tmpbeside", std::string(kPage, 'n'));

  Manifest removals;
  setEntry(removals, "/flash/old", ManifestOp::kRemove, "");
  setEntry(removals, "/flash/missing", ManifestOp::kRemove, "");
  EXPECT_TRUE(checkFreeSpace(removals));

  Manifest beside;
  setEntry(beside, "/flash/bin/new", ManifestOp::kMoveStaged, "/flash/tmpbeside");
  EXPECT_TRUE(checkFreeSpace(beside));

  // The same file coming from "/ram" does not fit.
  writeFile("/ram/staged", std::string(kPage, 'n'));
  Manifest fromRam;
  setEntry(fromRam, "/flash/bin/new", ManifestOp::kMoveStaged, "/ram/staged");
  EXPECT_FALSE(checkFreeSpace(fromRam));
}

TEST_F(FreeSpaceSandbox, BootFileSystemIsJudgedOnItsOwn) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  mountTmpfs("/flash", 64 * kPage);
  writeFile("/ram/boot", std::string(kPage, 'b'));
  Manifest m;
  setEntry(m, "/flash/boot/kernel", ManifestOp::kMove, "/ram/boot");

  // No "/flash/boot" to examine: anything charged to it fails.
  EXPECT_FALSE(checkFreeSpace(m));

  mountTmpfs("/flash/boot", 10 * kPage);
  EXPECT_TRUE(checkFreeSpace(m));  // 9 blocks left on the boot file system

  writeFile("/ram/boot", std::string(2 * kPage, 'b'));
  EXPECT_FALSE(checkFreeSpace(m));  // exactly 8 left
}

// A file is refused before it is staged only when it cannot fit beside
// what is there and what the run staged: removals staged by then are
// credited, files staged elsewhere for the flash charged, and what was let
// through counts against the next one.
TEST_F(FreeSpaceSandbox, RoomForAStagedFileCountsWhatTheRunStaged) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  mountTmpfs("/flash", 64 * kPage);
  writeFile("/flash/old", std::string(40 * kPage, 'o'));
  const std::uint64_t left =
      static_cast<std::uint64_t>(readFsSpace("/flash").freeBlocksNow) * kPage;
  Manifest m;
  EXPECT_TRUE(roomForStagedFile(m, "/rw/elsewhere", std::uint64_t{1} << 40));
  EXPECT_FALSE(roomForStagedFile(m, "/flash/new", left + kPage));
  // Replacing a file frees it.
  EXPECT_TRUE(roomForStagedFile(m, "/flash/old", left + kPage));

  Manifest removing;
  setEntry(removing, "/flash/old", ManifestOp::kRemove, "");
  EXPECT_TRUE(roomForStagedFile(removing, "/flash/new", left + 30 * kPage));
  // What was let through (and then staged in "/ram") is taken from the room
  // the next one has.
  writeFile("/ram/new", std::string(static_cast<std::size_t>(left + 30 * kPage), 'n'));
  setEntry(removing, "/flash/new", ManifestOp::kMoveStaged, "/ram/new");
  EXPECT_FALSE(roomForStagedFile(removing, "/flash/newer", 20 * kPage));
  EXPECT_TRUE(roomForStagedFile(removing, "/flash/newer", 5 * kPage));

  Manifest charged;
  writeFile("/ram/staged", std::string(static_cast<std::size_t>(left), 's'));
  setEntry(charged, "/flash/other", ManifestOp::kMoveStaged, "/ram/staged");
  EXPECT_FALSE(roomForStagedFile(charged, "/flash/new", kPage));
}

TEST_F(FreeSpaceSandbox, LargeFreeSpaceDoesNotWrap) {
  if (!canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  // tmpfs reserves no memory for its size: 4 GiB and 5 pages, of which one
  // is charged, leave 2^32 + 16384 bytes.
  mountTmpfs("/flash", (std::uint64_t{1} << 32) + 5 * kPage);
  const FsSpace flash = readFsSpace("/flash");
  if (flash.blockSize != kPage ||
      flash.freeBlocksNow != static_cast<std::int64_t>(((std::uint64_t{1} << 32) / kPage) + 5)) {
    GTEST_SKIP() << "tmpfs did not give the requested size";
  }
  writeFile("/ram/staged", "x");
  Manifest m;
  setEntry(m, "/flash/file", ManifestOp::kMove, "/ram/staged");
  EXPECT_TRUE(checkFreeSpace(m));
}

}  // namespace
}  // namespace installer
