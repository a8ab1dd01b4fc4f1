// Relations between packages shared by the acceptance check and planning.
#pragma once

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
// The first enabled record that conflicts with the candidate, or null.
InstalledPackage* findConflicting(const Repository& repo, const Package& candidate);

}  // namespace installer
