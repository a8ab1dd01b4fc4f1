// Carrying out uninstall, enable and disable: settling the pending actions of
// all records together and staging their file changes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// What settling the actions tells: nothing; the enabled and disabled
// packages with the warnings and errors of the settling; and the uninstalled
// ones too (no caller asks for that today).
enum class Verbosity { kSilent = 0, kReport = 1, kNarrate = 2 };

// True when at least one package was uninstalled, disabled or enabled.
bool applyScheduledActions(Repository& repo, Manifest& m, Verbosity verbosity);
void enablePackages(Repository& repo, Manifest& m, const std::vector<InstalledPackage*>& list,
                    Verbosity verbosity);
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
bool cleanupPackages(Repository& repo, Manifest& m);

}  // namespace installer
