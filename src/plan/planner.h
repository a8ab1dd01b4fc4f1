// Planning: one winner among related candidates, in an order where each
// package follows what it needs; and keeping what remaining packages require.
#pragma once

#include <vector>

#include "plan/relations.h"
#include "records/package.h"
#include "records/repository.h"

namespace installer {

// No version floor; among related candidates the newest wins.
constexpr Version kPreferNewest = 0xFFFFFFFF;

// Prunes and reorders `list` in place; never creates or destroys a record.
void planPackages(Repository& repo, std::vector<Package*>& list, Version threshold, bool verbose);

bool dependsOn(const Package& a, const Package& b);
bool coversName(const Package& p, const std::string& name);

// Whether a requirement will be met after the run by one of its providers.
// The values are those of the rule that rates them (2 is not used).
enum class ProviderAvailability {
  kAvailable = 0,  // some provider ends enabled
  kMissing = 1,    // none is there, or every one goes or was only asked to be enabled again
  kDisabled = 3,   // otherwise some provider is, or is about to be, disabled
};

ProviderAvailability providerAvailability(const std::vector<InstalledPackage*>& providers);

// `index`, when given, stands for the repository's records in the search
// for providers (see ProviderIndex).
void keepRequired(Repository& repo, InstalledPackage& p, bool verbose,
                  const ProviderIndex* index = nullptr);
void reviveProvider(Repository& repo, InstalledPackage& provider, const InstalledPackage& dependent,
                    bool verbose, const ProviderIndex* index = nullptr);

}  // namespace installer
