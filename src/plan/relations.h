// Relations between packages shared by the acceptance check and planning.
#pragma once

#include <string>
#include <vector>

#include "records/package.h"
#include "records/repository.h"

namespace installer {

// -1, 0 or +1: a older than, same as, newer than b; 0 for unrelated packages.
int comparePackages(const Package& a, const Package& b);
// Whether a conflicts with b (not symmetric).
bool conflictsWith(const Package& a, const Package& b);

// Records of the repository, in order, that meet the dependency.
std::vector<InstalledPackage*> findProviders(const Repository& repo, const Dependency& d,
                                             bool includeDisabled);
// findProviders over one repository, for callers that search many times.
// The repository keeps its records indexed by name, so this is the same
// search; it stays so that callers need not know.
class ProviderIndex {
 public:
  explicit ProviderIndex(const Repository& repo) : repo_(repo) {}
  std::vector<InstalledPackage*> findProviders(const Dependency& d, bool includeDisabled) const;

 private:
  const Repository& repo_;
};

// The first enabled record that conflicts with the candidate, or null.
InstalledPackage* findConflicting(const Repository& repo, const Package& candidate);

}  // namespace installer
