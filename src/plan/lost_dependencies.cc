#include "plan/lost_dependencies.h"

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
namespace {

// The action that one look at p's dependencies leaves it with.
template <typename Providers>
PendingAction settledAction(const InstalledPackage& p, const Providers& providersOf,
                            std::vector<InstalledPackage*>& providers) {
  PendingAction action = p.action;
  for (const Dependency& d : p.depends) {
    providers.clear();
    providersOf(d, providers);
    const ProviderAvailability availability = providerAvailability(providers);
    if (availability == ProviderAvailability::kMissing) {
      action = PendingAction::kUninstall;
    } else if (availability == ProviderAvailability::kDisabled &&
               action != PendingAction::kUninstall && action != PendingAction::kDisable &&
               !(p.disabled && action == PendingAction::kNone)) {
      action = PendingAction::kDisable;
    }
  }
  return action;
}

// Whether a first pass over every package would change one: settling after
// each member of a bundle mostly finds nothing lost, and this asks the
// repository's own index instead of building one.
bool anythingLost(const Repository& repo) {
  std::vector<InstalledPackage*> providers;
  auto providersOf = [&](const Dependency& d, std::vector<InstalledPackage*>& out) {
    const std::vector<RecordIndex::Entry>* offers = recordsOffering(repo, d.name);
    if (offers == nullptr) return;
    for (const RecordIndex::Entry& entry : *offers) {
      InstalledPackage& candidate = *entry.record;
      if (isPlaceholder(candidate)) continue;
      if (satisfies(candidate, d) || providesMatch(candidate, d)) out.push_back(&candidate);
    }
  };
  for (const auto& record : repo.packages) {
    if (record->depends.empty()) continue;
    if (settledAction(*record, providersOf, providers) != record->action) return true;
  }
  return false;
}

}  // namespace

void settleLostDependencies(Repository& repo) {
  // Looking at every package once changes nothing: then nothing is lost.
  if (!anythingLost(repo)) return;
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
    p.action = settledAction(
        p,
        [&](const Dependency& d, std::vector<InstalledPackage*>& out) {
          if (auto offers = offering.find(d.name); offers != offering.end()) {
            for (std::size_t j : offers->second) {
              InstalledPackage& candidate = *records[j];
              if (satisfies(candidate, d) || providesMatch(candidate, d)) {
                out.push_back(&candidate);
              }
            }
          }
        },
        providers);
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
