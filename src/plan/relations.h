// Relations between packages shared by the acceptance check and planning.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "db/package.h"
#include "db/repository.h"

namespace installer {

// -1, 0 or +1: a older than, same as, newer than b; 0 for unrelated packages.
int comparePackages(const Package& a, const Package& b);
// Whether a conflicts with b (not symmetric).
bool conflictsWith(const Package& a, const Package& b);
// Records of the repository, in order, that meet the dependency.
std::vector<InstalledPackage*> findProviders(const Repository& repo, const Dependency& d,
                                             bool includeDisabled);
// The records of a repository by the names findProviders matches on: their
// own, and each name they provide; in repository order. It answers as
// findProviders does while the repository's list of records is unchanged
// (actions and states may change), without looking at every record.
class ProviderIndex {
 public:
  explicit ProviderIndex(const Repository& repo);
  std::vector<InstalledPackage*> findProviders(const Dependency& d, bool includeDisabled) const;

 private:
  std::unordered_map<std::string, std::vector<InstalledPackage*>> byName_;
};

// The first enabled record that conflicts with the candidate, or null.
InstalledPackage* findConflicting(const Repository& repo, const Package& candidate);

}  // namespace installer
