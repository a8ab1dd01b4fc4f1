// Staging the removal of an installed package: every file it put on the
// flash that no other record lists, its database directory and its kept
// image become removals of the manifest.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// The paths that more than one record of the repository lists in its files,
// with how many records list each. Two packages may ship the same path, and
// a package installed earlier in a run may have taken over a path of one
// that goes later: a removal leaves a path that another record still lists.
class SharedPaths {
 public:
  explicit SharedPaths(const Repository& repo);
  // Only for the paths of `p`, a record of the repository, for removing p
  // alone: no walk over every path of every record.
  SharedPaths(const Repository& repo, const InstalledPackage& p);
  // Whether a record other than the one leaving lists `path`.
  bool listedByAnother(std::string_view path) const;
  // `p` leaves the repository: its paths lose an owner.
  void forget(const InstalledPackage& p);

 private:
  // Looked up by the views a record's files yield, without a copy.
  struct PathHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view path) const {
      return std::hash<std::string_view>{}(path);
    }
  };
  std::unordered_map<std::string, int, PathHash, std::equal_to<>> owners_;
};

// Stages the removal of everything the package put on the flash, apart from
// the paths another record of the repository lists and the paths of its
// files list that an installation could never have written.
void stagePackageRemoval(InstalledPackage& p, Manifest& m, SharedPaths& shared);
void stagePackageRemoval(const Repository& repo, InstalledPackage& p, Manifest& m);

}  // namespace installer
