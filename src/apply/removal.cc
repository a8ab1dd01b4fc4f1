#include "apply/removal.h"

#include <sys/stat.h>

#include "apply/safe_names.h"
#include "txn/staging.h"

namespace installer {
namespace {

// Drops what this run staged inside `dir`: a package that goes leaves
// neither metadata nor state files behind.
void dropPendingUnder(Manifest& m, const std::string& dir) {
  auto it = m.entries.lower_bound(dir);
  while (it != m.entries.end() && std::string_view(it->first).starts_with(dir)) {
    if (it->second.op == ManifestOp::kMoveStaged) deleteStagedFile(m, it->first, it->second);
    it = m.entries.erase(it);
  }
}

}  // namespace

SharedPaths::SharedPaths(const Repository& repo) {
  // Counted over views first: most paths have one owner and are never
  // copied.
  std::unordered_map<std::string_view, int> counts;
  for (const auto& record : repo.packages) {
    for (const std::string_view path : record->files) ++counts[path];
  }
  for (const auto& [path, count] : counts) {
    if (count > 1) owners_.emplace(std::string(path), count);
  }
}

bool SharedPaths::listedByAnother(std::string_view path) const {
  const auto found = owners_.find(path);
  return found != owners_.end() && found->second > 1;
}

void SharedPaths::forget(const InstalledPackage& p) {
  for (const std::string_view path : p.files) {
    const auto found = owners_.find(path);
    if (found != owners_.end() && --found->second <= 1) owners_.erase(found);
  }
}

SharedPaths::SharedPaths(const Repository& repo, const InstalledPackage& p) {
  if (p.files.empty()) return;
  // Only p's paths are asked about: each other record is searched only when
  // its paths can hold one of them at all.
  const std::string_view first = *p.files.begin();
  const std::string_view last = p.files.back();
  for (const auto& record : repo.packages) {
    if (record.get() == &p || record->files.empty()) continue;
    const PathSet& theirs = record->files;
    if (*theirs.begin() > last || theirs.back() < first) continue;
    for (const std::string_view path : p.files) {
      if (!theirs.contains(path)) continue;
      ++owners_.try_emplace(std::string(path), 1).first->second;
    }
  }
}

void stagePackageRemoval(const Repository& repo, InstalledPackage& p, Manifest& m) {
  SharedPaths shared(repo, p);
  stagePackageRemoval(p, m, shared);
}

void stagePackageRemoval(InstalledPackage& p, Manifest& m, SharedPaths& shared) {
  for (const std::string_view listed : p.files) {
    const std::string path(listed);
    // A database may list anything; only a path an installation could have
    // written is removed, and only once no other package lists it.
    if (!isRemovablePath(path) || shared.listedByAnother(path)) continue;
    // What this run staged for the path goes with the package.
    auto pending = m.entries.find(path);
    if (pending != m.entries.end() && pending->second.op == ManifestOp::kMoveStaged) {
      deleteStagedFile(m, pending->first, pending->second);
      m.entries.erase(pending);
    }
    // A path that is a directory now belongs to something else: removing it
    // would take every file in it.
    struct stat info;
    const bool exists = lstat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) continue;
    if (exists && !S_ISLNK(info.st_mode)) {
      // What stageRemoval would find asking again.
      setEntry(m, path, ManifestOp::kRemove, "");
    } else if (!exists) {
      m.entries.erase(path);
    } else {
      stageRemoval(m, path);  // a link: its target decides
    }
  }
  shared.forget(p);
  p.files.clear();
  const std::string dir = packageDir(p);
  dropPendingUnder(m, dir);
  stageRemoval(m, dir);
  stageRemoval(m, dir + "image");
  struct stat boot;
  if ((p.flags & kFlagBootImage) != 0 && stat("/flash/bootimage", &boot) == 0 &&
      boot.st_nlink == 1) {
    stageRemoval(m, "/flash/bootimage");
  }
  p.action = PendingAction::kNone;
}

}  // namespace installer
