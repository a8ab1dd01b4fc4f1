// The free-space estimate of a staged upgrade on the two flash file systems.
#pragma once

#include <cstdint>
#include <string>

#include "txn/manifest.h"

namespace installer {

struct FsSpace {
  std::string path;
  std::uint64_t blockSize = 1;
  std::int64_t freeBlocks = 0;  // projected after the commit
  std::int64_t freeBlocksNow = 0;
};

FsSpace readFsSpace(const std::string& path);
bool isUnder(const FsSpace& fs, const std::string& path);
void creditRemoval(FsSpace& fs, const std::string& path);
void accountMove(FsSpace& fs, const std::string& source, const std::string& destination);
// False when the projected free space shrank to 32768 bytes or less; a file
// system whose free space does not shrink always passes.
bool keepsEnoughSpace(const FsSpace& fs);
// True when the staged changes leave more than 32768 bytes on every file
// system whose free space shrinks.
[[nodiscard]] bool checkFreeSpace(const Manifest& m);

// Whether a file of `length` bytes can still be staged for `destination`:
// false when it cannot fit the flash file system it is bound for beside what
// is there and what the run has staged so far (its removals credited). Asked
// before any byte of the file is written anywhere, so that a file that can
// never fit does not fill "/ram" first. The answer is taken from the
// manifest's headroom, which is worked out again only when it runs short.
[[nodiscard]] bool roomForStagedFile(Manifest& m, const std::string& destination,
                                     std::uint64_t length);

}  // namespace installer
