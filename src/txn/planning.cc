#include "txn/planning.h"

#include <sys/statfs.h>

#include <vector>

#include "txn/paths.h"

namespace installer {

std::uint64_t deviceOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_dev) : 0;
}

std::int64_t plannedUse(const Manifest& m, const std::string& dir) {
  if (m.planning == nullptr) return 0;
  const auto used = m.planning->usedOnDevice.find(deviceOf(dir));
  return used == m.planning->usedOnDevice.end() ? 0 : used->second;
}

void notePlannedUse(Manifest& m, const std::string& dir, std::int64_t bytes) {
  if (m.planning != nullptr) m.planning->usedOnDevice[deviceOf(dir)] += bytes;
}

namespace {

// The copies the commit would make onto one file system.
struct Copies {
  std::string dir;  // a directory on it
  std::vector<std::uint64_t> sizes;
};

// Whether the copies fit what the file system has left once the run's
// staged files are there; each takes whole blocks.
bool copiesFit(const Manifest& m, const Copies& copies) {
  struct statfs fs;
  if (statfs(copies.dir.c_str(), &fs) != 0 || fs.f_bsize <= 0) return true;
  const auto block = static_cast<std::uint64_t>(fs.f_bsize);
  std::uint64_t needed = 0;
  for (const std::uint64_t size : copies.sizes) needed += (size + block - 1) / block * block;
  const auto freeBytes = static_cast<std::int64_t>(static_cast<std::uint64_t>(fs.f_bfree) * block);
  return static_cast<std::int64_t>(needed) <= freeBytes - plannedUse(m, copies.dir);
}

}  // namespace

CommitOutcome predictCommit(const Manifest& m) {
  std::map<std::uint64_t, Copies> byDevice;
  for (const auto& [target, entry] : m.entries) {
    if (entry.op != ManifestOp::kMove && entry.op != ManifestOp::kMoveStaged) continue;
    struct stat source;
    struct stat there;
    const std::string anchor = existingDirAbove(parentDir(std::string(target)));
    if (!statStagedSource(m, sourceOf(target, entry), source) ||
        stat(anchor.c_str(), &there) != 0 || there.st_dev == source.st_dev) {
      continue;
    }
    Copies& copies = byDevice[static_cast<std::uint64_t>(there.st_dev)];
    copies.dir = anchor;
    copies.sizes.push_back(static_cast<std::uint64_t>(source.st_size));
  }
  for (const auto& [device, copies] : byDevice) {
    if (!copiesFit(m, copies)) return CommitOutcome::kNoSpace;
  }
  return CommitOutcome::kCommitted;
}

bool statStagedSource(const Manifest& m, const std::string& source, struct stat& st) {
  if (m.planning != nullptr) {
    const auto planned = m.planning->sizes.find(source);
    if (planned != m.planning->sizes.end()) {
      if (stat(parentDir(source).c_str(), &st) != 0) return false;
      st.st_mode = S_IFREG | 0600;
      st.st_size = static_cast<off_t>(planned->second);
      return true;
    }
  }
  return stat(source.c_str(), &st) == 0;
}

}  // namespace installer
