#include "apply/free_space.h"

#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <limits>
#include <string>

#include "txn/paths.h"
#include "txn/planning.h"
#include "txn/staging.h"

namespace installer {

namespace {

// A staged upgrade must leave more than this on every file system it shrinks.
constexpr std::uint64_t kMinimumFreeBytes = 32768;

// Whole blocks a file of `size` bytes occupies; a partly used block counts.
std::int64_t blocksOf(std::int64_t size, std::uint64_t blockSize) {
  if (size <= 0) return 0;
  const auto bytes = static_cast<std::uint64_t>(size);
  return static_cast<std::int64_t>(bytes / blockSize + (bytes % blockSize != 0 ? 1 : 0));
}

// The nearest directory at or above parentDir(path) that exists.
bool nearestExistingDir(const std::string& path, struct stat& st) {
  std::string dir = parentDir(path);
  while (stat(dir.c_str(), &st) != 0) {
    if (dir == "/" || dir == ".") return false;
    dir = parentDir(dir);
  }
  return true;
}

// The answer of nearestExistingDir for the directory of the last destination
// asked about: the files of one directory follow each other in the
// manifest, and the estimate changes nothing on disk.
struct NearestDirMemo {
  std::string dir;
  bool found = false;
  struct stat st {};
};

bool nearestExistingDir(const std::string& path, struct stat& st, NearestDirMemo& memo) {
  std::string dir = parentDir(path);
  if (dir != memo.dir) {
    memo.found = nearestExistingDir(path, memo.st);
    memo.dir = std::move(dir);
  }
  st = memo.st;
  return memo.found;
}

// The device of the directory that holds a staged file, for the files of
// one temporary directory in turn.
struct StagedDirMemo {
  std::string dir;
  bool found = false;
  dev_t device = 0;
};

bool stagedDirDevice(const std::string& source, dev_t& device, StagedDirMemo& memo) {
  std::string dir = parentDir(source);
  if (dir != memo.dir) {
    struct stat st;
    memo.found = stat(dir.c_str(), &st) == 0;
    memo.device = st.st_dev;
    memo.dir = std::move(dir);
  }
  device = memo.device;
  return memo.found;
}

void accountMove(const Manifest& m, FsSpace& fs, const std::string& source,
                 const std::string& destination, NearestDirMemo& memo, StagedDirMemo* staged) {
  if (!isUnder(fs, destination)) return;
  // A file staged beside its target takes no more room when it moves in,
  // whatever its size: its directory tells, without a look at each file.
  struct stat dirStat;
  dev_t stagedDevice = 0;
  if (staged != nullptr && stagedDirDevice(source, stagedDevice, *staged) &&
      nearestExistingDir(destination, dirStat, memo) && dirStat.st_dev == stagedDevice) {
    return;
  }
  struct stat sourceStat;
  if (!statStagedSource(m, source, sourceStat)) {
    creditRemoval(fs, destination);
    return;
  }
  if (nearestExistingDir(destination, dirStat, memo) && dirStat.st_dev == sourceStat.st_dev) {
    // The staged file already occupies blocks here, and the file it replaces
    // is freed only as the new one takes its place.
    return;
  }
  fs.freeBlocks -= blocksOf(sourceStat.st_size, fs.blockSize);
  creditRemoval(fs, destination);
}

}  // namespace

bool keepsEnoughSpace(const FsSpace& fs) {
  if (fs.freeBlocks >= fs.freeBlocksNow) return true;
  if (fs.freeBlocks <= 0) return false;
  // blocks * size <= threshold  <=>  blocks <= threshold / size, in whole
  // blocks; the product is never formed, so nothing can wrap.
  return static_cast<std::uint64_t>(fs.freeBlocks) > kMinimumFreeBytes / fs.blockSize;
}

FsSpace readFsSpace(const std::string& path) {
  FsSpace fs;
  fs.path = path;
  struct statfs info;
  if (statfs(path.c_str(), &info) == 0 && info.f_bsize > 0) {
    fs.blockSize = static_cast<std::uint64_t>(info.f_bsize);
    fs.freeBlocksNow = static_cast<std::int64_t>(info.f_bfree);
    fs.freeBlocks = fs.freeBlocksNow;
  }
  return fs;
}

bool isUnder(const FsSpace& fs, const std::string& path) {
  return path.compare(0, fs.path.size(), fs.path) == 0 && path.size() >= fs.path.size();
}

void creditRemoval(FsSpace& fs, const std::string& path) {
  struct stat st;
  if (!isUnder(fs, path) || stat(path.c_str(), &st) != 0) return;
  fs.freeBlocks += blocksOf(st.st_size, fs.blockSize);
}

void accountMove(FsSpace& fs, const std::string& source, const std::string& destination) {
  NearestDirMemo memo;
  accountMove(Manifest{}, fs, source, destination, memo, nullptr);
}

namespace {

// A planning manifest's staged files (and reserved log) are not on disk; a
// real run's are by now, and the file systems show it.
void takePlannedUse(const Manifest& m, FsSpace& fs) {
  const std::int64_t used = plannedUse(m, fs.path) / static_cast<std::int64_t>(fs.blockSize);
  fs.freeBlocksNow -= used;
  fs.freeBlocks = fs.freeBlocksNow;
}

// The free space of both file systems as the staged changes would leave it.
void projectStagedChanges(const Manifest& m, FsSpace& boot, FsSpace& flash) {
  takePlannedUse(m, boot);
  takePlannedUse(m, flash);
  NearestDirMemo memo;
  StagedDirMemo stagedMemo;
  for (const auto& [target, entry] : m.entries) {
    StagedDirMemo* staged = entry.op == ManifestOp::kMoveStaged ? &stagedMemo : nullptr;
    const std::string path(target);
    switch (entry.op) {
      case ManifestOp::kRemove:
        creditRemoval(boot, path);
        creditRemoval(flash, path);
        break;
      case ManifestOp::kMove:
      case ManifestOp::kMoveStaged: {
        const std::string source = sourceOf(path, entry);
        accountMove(m, boot, source, path, memo, staged);
        accountMove(m, flash, source, path, memo, staged);
        break;
      }
      case ManifestOp::kLink:
        break;
    }
  }
}

bool measured(const FsSpace& fs) { return fs.freeBlocksNow > 0 || fs.blockSize > 1; }

std::int64_t projectedBytes(const FsSpace& fs) {
  return fs.freeBlocks * static_cast<std::int64_t>(fs.blockSize);
}

// Whether `length` bytes fit the headroom of every measured file system the
// destination belongs to; they are taken from it when they do. A file
// system that cannot be examined is left to the estimate at the end.
bool takeHeadroom(SpaceHeadroom& room, const std::string& destination, std::int64_t length) {
  const bool boot = room.bootMeasured && destination.rfind("/flash/boot", 0) == 0;
  const bool flash = room.flashMeasured && destination.rfind("/flash", 0) == 0;
  if ((boot && length > room.bootBytes) || (flash && length > room.flashBytes)) return false;
  if (boot) room.bootBytes -= length;
  if (flash) room.flashBytes -= length;
  return true;
}

}  // namespace

bool checkFreeSpace(const Manifest& m) {
  FsSpace boot = readFsSpace("/flash/boot");
  FsSpace flash = readFsSpace("/flash");
  projectStagedChanges(m, boot, flash);
  return keepsEnoughSpace(boot) && keepsEnoughSpace(flash);
}

bool roomForStagedFile(Manifest& m, const std::string& destination, std::uint64_t length) {
  if (destination.rfind("/flash", 0) != 0) return true;
  const auto wanted = static_cast<std::int64_t>(
      std::min<std::uint64_t>(length, std::numeric_limits<std::int64_t>::max() / 2));
  // Most files fit what is left from the last time it was worked out.
  if (m.headroom.known && takeHeadroom(m.headroom, destination, wanted)) return true;

  // Worked out afresh: removals staged since then are credited now.
  FsSpace boot = readFsSpace("/flash/boot");
  FsSpace flash = readFsSpace("/flash");
  projectStagedChanges(m, boot, flash);
  m.headroom.known = true;
  m.headroom.bootMeasured = measured(boot);
  m.headroom.flashMeasured = measured(flash);
  m.headroom.bootBytes = projectedBytes(boot);
  m.headroom.flashBytes = projectedBytes(flash);
  // The file replaces what is at its destination, unless the run already
  // counted that one as removed.
  std::int64_t replaced = 0;
  struct stat st;
  if (m.entries.find(destination) == m.entries.end() && stat(destination.c_str(), &st) == 0 &&
      S_ISREG(st.st_mode)) {
    replaced = static_cast<std::int64_t>(st.st_size);
  }
  return takeHeadroom(m.headroom, destination, wanted - replaced);
}

}  // namespace installer
