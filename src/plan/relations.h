// Relations between packages shared by the acceptance check and planning.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "records/package.h"
#include "records/repository.h"

namespace installer {

// -1, 0 or +1: a older than, same as, newer than b; 0 for unrelated packages.
int comparePackages(const Package& a, const Package& b);
// Whether a conflicts with b (not symmetric).
bool conflictsWith(const Package& a, const Package& b);

// Calls `visit` with every name that conflictsWith looks at for `p`: its own,
// those it provides and conflicts with, and those of its members. Two
// packages that share none of these names conflict in neither direction.
template <typename Visit>
void forEachConflictName(const Package& p, const Visit& visit) {
  visit(p.name);
  for (const Dependency& offer : p.provides) visit(offer.name);
  for (const Dependency& entry : p.conflicts) visit(entry.name);
  for (const auto& member : p.members) forEachConflictName(*member, visit);
}
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
