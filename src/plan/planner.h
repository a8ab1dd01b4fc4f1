// Planning: one winner among related candidates, in an order where each
// package follows what it needs; and keeping what remaining packages require.
#pragma once

#include <concepts>
#include <cstddef>
#include <vector>

#include "console/run_output.h"
#include "plan/relations.h"
#include "records/package.h"
#include "records/repository.h"

namespace installer {

// No version floor; among related candidates the newest wins.
constexpr Version kPreferNewest = 0xFFFFFFFF;

// The candidates of `list` that win among related ones, as their indices
// into `list`, in an order where each follows what it needs.
std::vector<std::size_t> plannedOrder(RunOutput& output, const std::vector<const Package*>& list,
                                      Version threshold, bool verbose);

// Prunes and reorders `list` in place; never creates or destroys a record.
// The records keep their own type: package files stay package files and
// installed records stay installed records.
template <typename Record>
requires std::derived_from<Record, Package>
void planPackages(RunOutput& output, std::vector<Record*>& list, Version threshold, bool verbose) {
  const std::vector<const Package*> candidates(list.begin(), list.end());
  std::vector<Record*> planned;
  for (const std::size_t index : plannedOrder(output, candidates, threshold, verbose)) {
    planned.push_back(list[index]);
  }
  list = std::move(planned);
}

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
void keepRequired(Repository& repo, RunOutput& output, InstalledPackage& p, bool verbose,
                  const ProviderIndex* index = nullptr);
void reviveProvider(Repository& repo, RunOutput& output, InstalledPackage& provider,
                    const InstalledPackage& dependent, bool verbose,
                    const ProviderIndex* index = nullptr);

}  // namespace installer
