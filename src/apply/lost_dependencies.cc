#include "apply/lost_dependencies.h"

#include <deque>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "plan/planner.h"

namespace installer {

// Every change moves a package towards removal (none or enable, then
// disable, then uninstall) and makes the ratings of the packages that need
// it only worse, so the settled result does not depend on the order in which
// packages are looked at. Instead of starting over from the first package
// after each change, only the packages that need a changed one are looked at
// again, through an index of who offers and who needs each name.
void settleLostDependencies(Repository& repo) {
  auto& records = repo.packages;
  std::unordered_map<std::string_view, std::vector<std::size_t>> offering;
  std::unordered_map<std::string_view, std::vector<std::size_t>> needing;
  auto note = [](std::vector<std::size_t>& list, std::size_t index) {
    if (list.empty() || list.back() != index) list.push_back(index);
  };
  for (std::size_t i = 0; i < records.size(); ++i) {
    const InstalledPackage& p = *records[i];
    for (const Dependency& d : p.depends) note(needing[d.name], i);
    if (isPlaceholder(p)) continue;
    note(offering[p.name], i);
    for (const Dependency& offer : p.provides) note(offering[offer.name], i);
  }

  std::deque<std::size_t> pending;
  std::vector<bool> queued(records.size(), true);
  for (std::size_t i = 0; i < records.size(); ++i) pending.push_back(i);
  std::vector<InstalledPackage*> providers;
  while (!pending.empty()) {
    const std::size_t index = pending.front();
    pending.pop_front();
    queued[index] = false;
    InstalledPackage& p = *records[index];
    const PendingAction before = p.action;
    for (const Dependency& d : p.depends) {
      providers.clear();
      if (auto offers = offering.find(d.name); offers != offering.end()) {
        for (std::size_t j : offers->second) {
          InstalledPackage& candidate = *records[j];
          if (satisfies(candidate, d) || providesMatch(candidate, d)) {
            providers.push_back(&candidate);
          }
        }
      }
      const ProviderAvailability availability = providerAvailability(providers);
      if (availability == ProviderAvailability::kMissing) {
        p.action = PendingAction::kUninstall;
      } else if (availability == ProviderAvailability::kDisabled &&
                 p.action != PendingAction::kUninstall && p.action != PendingAction::kDisable &&
                 !(p.disabled && p.action == PendingAction::kNone)) {
        p.action = PendingAction::kDisable;
      }
    }
    if (p.action == before) continue;
    auto requeue = [&](const std::string& name) {
      auto it = needing.find(name);
      if (it == needing.end()) return;
      for (std::size_t k : it->second) {
        if (queued[k]) continue;
        queued[k] = true;
        pending.push_back(k);
      }
    };
    requeue(p.name);
    for (const Dependency& offer : p.provides) requeue(offer.name);
  }
}

}  // namespace installer
