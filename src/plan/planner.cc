#include "plan/planner.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <list>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>

#include "console/console.h"
#include "plan/relations.h"

namespace installer {

namespace {

bool related(const Package& a, const Package& b) {
  return coversName(a, b.name) || coversName(b, a.name);
}

// Candidates are related when one covers the other's name (its own name or
// a member's). This lists, for each candidate, the related ones in list
// order, so that phase 1 need not compare every pair.
class RelatedCandidates {
 public:
  explicit RelatedCandidates(const std::vector<const Package*>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      byOwnName_[list[i]->name].push_back(i);
      note(byCoveredName_[list[i]->name], i);
      for (const auto& member : list[i]->members) note(byCoveredName_[member->name], i);
    }
  }

  void of(const Package& p, std::vector<std::size_t>& indices) const {
    indices.clear();
    add(byCoveredName_, p.name, indices);
    add(byOwnName_, p.name, indices);
    for (const auto& member : p.members) add(byOwnName_, member->name, indices);
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
  }

 private:
  using Index = std::unordered_map<std::string, std::vector<std::size_t>>;
  static void note(std::vector<std::size_t>& list, std::size_t i) {
    if (list.empty() || list.back() != i) list.push_back(i);
  }
  static void add(const Index& index, const std::string& name, std::vector<std::size_t>& out) {
    const auto found = index.find(name);
    if (found != index.end()) out.insert(out.end(), found->second.begin(), found->second.end());
  }

  Index byOwnName_;
  Index byCoveredName_;
};

// Calls `visit` with the names that make a package depend on others in
// phase 2, its members' included: what it depends on, and what it carries
// (its name and what it provides); dependsOn looks no further. Conflicts go
// by forEachConflictName.
template <typename Visit>
void forEachNeededName(const Package& p, const Visit& visit) {
  for (const Dependency& entry : p.depends) visit(entry.name);
  for (const auto& member : p.members) forEachNeededName(*member, visit);
}
template <typename Visit>
void forEachCarriedName(const Package& p, const Visit& visit) {
  visit(p.name);
  for (const Dependency& offer : p.provides) visit(offer.name);
  for (const auto& member : p.members) forEachCarriedName(*member, visit);
}

// The order that phase 2 builds. Each placed package has a label that grows
// along the order, so the last of several placed packages is found without
// walking the order; and placed packages are indexed by the names that can
// relate a newcomer to them, so only those are tested.
class Placement {
 public:
  // Places `p`, candidate `source` of the list, right after the last placed
  // package that it depends on or that conflicts with it, else at the front.
  void place(const Package* p, std::size_t source) {
    candidates_.clear();
    forEachNeededName(*p, [&](const std::string& name) { addCandidates(byCarried_, name); });
    forEachConflictName(*p, [&](const std::string& name) { addCandidates(byConflict_, name); });
    std::sort(candidates_.begin(), candidates_.end(),
              [&](std::size_t a, std::size_t b) { return nodes_[a].label > nodes_[b].label; });
    candidates_.erase(std::unique(candidates_.begin(), candidates_.end()), candidates_.end());
    std::size_t after = kFront;
    for (const std::size_t c : candidates_) {
      const Package& placed = *nodes_[c].package;
      if (dependsOn(*p, placed) || conflictsWith(placed, *p)) {
        after = c;
        break;
      }
    }
    const std::size_t index = nodes_.size();
    nodes_.push_back({p, source, 0, order_.end()});
    insertAfter(after, index);
    forEachCarriedName(*p, [&](const std::string& name) { note(byCarried_[name], index); });
    forEachConflictName(*p, [&](const std::string& name) { note(byConflict_[name], index); });
  }

  // The list indices of the placed candidates, in their order.
  std::vector<std::size_t> ordered() const {
    std::vector<std::size_t> list;
    list.reserve(nodes_.size());
    for (const std::size_t index : order_) list.push_back(nodes_[index].source);
    return list;
  }

 private:
  static constexpr std::size_t kFront = static_cast<std::size_t>(-1);
  static constexpr std::uint64_t kGap = std::uint64_t{1} << 32;
  using Index = std::unordered_map<std::string, std::vector<std::size_t>>;

  struct Node {
    const Package* package;
    std::size_t source;  // the index in the planned list
    std::uint64_t label;
    std::list<std::size_t>::iterator at;
  };

  static void note(std::vector<std::size_t>& list, std::size_t index) {
    if (list.empty() || list.back() != index) list.push_back(index);
  }

  void addCandidates(const Index& index, const std::string& name) {
    const auto found = index.find(name);
    if (found != index.end()) {
      candidates_.insert(candidates_.end(), found->second.begin(), found->second.end());
    }
  }

  // Labels between `after` and the next node, relabelling the whole order
  // when they have run out of room.
  void insertAfter(std::size_t after, std::size_t index) {
    for (;;) {
      const auto next = after == kFront ? order_.begin() : std::next(nodes_[after].at);
      const std::uint64_t low = after == kFront ? 0 : nodes_[after].label;
      const std::uint64_t high = next == order_.end() ? low + 2 * kGap : nodes_[*next].label;
      if (high - low >= 2) {
        nodes_[index].label = low + (high - low) / 2;
        nodes_[index].at = order_.insert(next, index);
        return;
      }
      std::uint64_t label = 0;
      for (const std::size_t i : order_) nodes_[i].label = label += kGap;
    }
  }

  std::vector<Node> nodes_;
  std::list<std::size_t> order_;
  Index byCarried_;
  Index byConflict_;
  std::vector<std::size_t> candidates_;
};

// The one pass above never moves a package once placed, so a package placed
// early can end up before something it needs that comes later (a chain whose
// links arrive in the wrong order). When that happens, this reorders the
// pass's result stably: each package keeps its place unless it has to wait
// for what it needs, and among those free to go the earliest in the pass's
// order goes first. A result that already has every package after what it
// needs is left exactly as it is. Packages that need each other in a cycle
// cannot all follow one another: inside a cycle the pass's order stands.
class DependencyOrder {
 public:
  DependencyOrder(const std::vector<const Package*>& list, const std::vector<std::size_t>& order)
      : list_(list), order_(order), needs_(order.size()) {
    std::unordered_map<std::string, std::vector<std::size_t>> byCarried;
    for (std::size_t at = 0; at < order_.size(); ++at) {
      forEachCarriedName(*package(at), [&](const std::string& name) {
        std::vector<std::size_t>& holders = byCarried[name];
        if (holders.empty() || holders.back() != at) holders.push_back(at);
      });
    }
    for (std::size_t at = 0; at < order_.size(); ++at) {
      std::vector<std::size_t>& needs = needs_[at];
      forEachNeededName(*package(at), [&](const std::string& name) {
        const auto found = byCarried.find(name);
        if (found != byCarried.end()) {
          needs.insert(needs.end(), found->second.begin(), found->second.end());
        }
      });
      std::sort(needs.begin(), needs.end());
      needs.erase(std::unique(needs.begin(), needs.end()), needs.end());
      std::erase_if(needs, [&](std::size_t other) {
        return other == at || !dependsOn(*package(at), *package(other));
      });
    }
  }

  // Whether some package comes before something it needs.
  bool broken() const {
    for (std::size_t at = 0; at < needs_.size(); ++at) {
      if (!needs_[at].empty() && needs_[at].back() > at) return true;
    }
    return false;
  }

  std::vector<std::size_t> repaired() const {
    const std::vector<std::size_t> cycle = cycles();
    const std::size_t count = order_.size();
    std::vector<std::vector<std::size_t>> neededBy(count);
    std::vector<std::size_t> waitingFor(count, 0);
    for (std::size_t at = 0; at < count; ++at) {
      for (const std::size_t other : needs_[at]) {
        if (cycle[other] == cycle[at]) continue;
        neededBy[other].push_back(at);
        ++waitingFor[at];
      }
    }
    // Free packages by their place in the pass's order, earliest first.
    std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> free;
    for (std::size_t at = 0; at < count; ++at) {
      if (waitingFor[at] == 0) free.push(at);
    }
    std::vector<std::size_t> result;
    result.reserve(count);
    while (!free.empty()) {
      const std::size_t at = free.top();
      free.pop();
      result.push_back(order_[at]);
      for (const std::size_t waiting : neededBy[at]) {
        if (--waitingFor[waiting] == 0) free.push(waiting);
      }
    }
    return result;
  }

 private:
  const Package* package(std::size_t at) const { return list_[order_[at]]; }

  // The cycle each package belongs to, as a number shared by the packages
  // that reach one another through what they need (Tarjan's algorithm,
  // without recursion so that long chains cannot exhaust the stack).
  std::vector<std::size_t> cycles() const {
    constexpr std::size_t kUnseen = static_cast<std::size_t>(-1);
    const std::size_t count = order_.size();
    std::vector<std::size_t> cycle(count, kUnseen);
    std::vector<std::size_t> seen(count, kUnseen);
    std::vector<std::size_t> low(count, 0);
    std::vector<std::size_t> open;
    std::vector<bool> isOpen(count, false);
    std::vector<std::pair<std::size_t, std::size_t>> walk;  // package, next need to follow
    std::size_t counter = 0;
    std::size_t cycles = 0;
    for (std::size_t root = 0; root < count; ++root) {
      if (seen[root] != kUnseen) continue;
      walk.emplace_back(root, 0);
      while (!walk.empty()) {
        auto& [at, next] = walk.back();
        if (next == 0) {
          seen[at] = low[at] = counter++;
          open.push_back(at);
          isOpen[at] = true;
        }
        if (next < needs_[at].size()) {
          const std::size_t other = needs_[at][next++];
          if (seen[other] == kUnseen) {
            walk.emplace_back(other, 0);
          } else if (isOpen[other]) {
            low[at] = std::min(low[at], seen[other]);
          }
          continue;
        }
        const std::size_t done = at;
        walk.pop_back();
        if (!walk.empty()) low[walk.back().first] = std::min(low[walk.back().first], low[done]);
        if (low[done] == seen[done]) {
          std::size_t member;
          do {
            member = open.back();
            open.pop_back();
            isOpen[member] = false;
            cycle[member] = cycles;
          } while (member != done);
          ++cycles;
        }
      }
    }
    return cycle;
  }

  const std::vector<const Package*>& list_;
  const std::vector<std::size_t>& order_;
  std::vector<std::vector<std::size_t>> needs_;  // the places of what each needs, ascending
};

// Phase 1: whether candidate `n` (index `self`) survives the comparison with
// every other allowed candidate. Among equals the earlier entry stays, and a
// bundle stays over a separate package it carries.
bool isWinner(RunOutput& output, const std::vector<const Package*>& list,
              const std::vector<bool>& allowed, const std::vector<std::size_t>& relatedIndices,
              std::size_t self, Version threshold, bool verbose) {
  const Package& n = *list[self];
  const bool newestWins = threshold == kPreferNewest;
  for (const std::size_t i : relatedIndices) {
    if (i == self || !allowed[i]) continue;
    const Package& m = *list[i];
    if (!related(n, m)) continue;
    int order = comparePackages(m, n);
    if (!newestWins) order = -order;
    if (order > 0) {
      if (verbose) {
        warn(output,
             newestWins ? "omitting package %s: newer package is already provided"
                        : "omitting package %s: older package is already provided",
             packageLabel(n).c_str());
      }
      return false;
    }
    if (order == 0) {
      if (n.isBundle && !m.isBundle) continue;
      if (n.isBundle == m.isBundle && i > self) continue;  // the later copy drops out
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<std::size_t> plannedOrder(RunOutput& output, const std::vector<const Package*>& list,
                                      Version threshold, bool verbose) {
  // A candidate below the floor is refused and takes no part in the
  // comparisons of the others.
  std::vector<bool> allowed(list.size(), true);
  for (std::size_t i = 0; i < list.size(); ++i) {
    allowed[i] = threshold == kPreferNewest || list[i]->version >= threshold;
  }
  std::vector<std::size_t> winners;
  const RelatedCandidates relatedCandidates(list);
  std::vector<std::size_t> relatedIndices;
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (!allowed[i]) {
      // The doubled "m" is what scripts watching the console match: it stays.
      warn(output, "ommitting package %s: not allowed", packageLabel(*list[i]).c_str());
      continue;
    }
    relatedCandidates.of(*list[i], relatedIndices);
    if (isWinner(output, list, allowed, relatedIndices, i, threshold, verbose)) {
      winners.push_back(i);
    }
  }

  // Phase 2: each winner goes right after the last placed package it needs
  // or that conflicts with it, else to the front.
  Placement placement;
  for (const std::size_t i : winners) placement.place(list[i], i);
  std::vector<std::size_t> order = placement.ordered();
  const DependencyOrder dependencies(list, order);
  if (dependencies.broken()) order = dependencies.repaired();
  return order;
}

bool dependsOn(const Package& a, const Package& b) {
  for (const Dependency& entry : a.depends) {
    if (satisfies(b, entry) || providesMatch(b, entry)) return true;
  }
  for (const auto& member : b.members) {
    if (dependsOn(a, *member)) return true;
  }
  for (const auto& member : a.members) {
    if (dependsOn(*member, b)) return true;
  }
  return false;
}

bool coversName(const Package& p, const std::string& name) {
  if (p.name == name) return true;
  for (const auto& member : p.members) {
    if (member->name == name) return true;
  }
  return false;
}

ProviderAvailability providerAvailability(const std::vector<InstalledPackage*>& providers) {
  bool someDisabled = false;
  for (const InstalledPackage* p : providers) {
    // A pending enable ends enabled, whether the provider is disabled now or
    // already enabled.
    if (p->action == PendingAction::kEnable) return ProviderAvailability::kAvailable;
    if (!p->disabled && p->action == PendingAction::kNone) return ProviderAvailability::kAvailable;
    if (p->disabled || p->action == PendingAction::kDisable) someDisabled = true;
  }
  return someDisabled ? ProviderAvailability::kDisabled : ProviderAvailability::kMissing;
}

void keepRequired(Repository& repo, RunOutput& output, InstalledPackage& p, bool verbose,
                  const ProviderIndex* index) {
  if (!p.bundle.name.empty()) {
    if (InstalledPackage* bundle = findRecord(repo, p.bundle.name)) {
      reviveProvider(repo, output, *bundle, p, verbose, index);
    }
  }
  for (const Dependency& entry : p.depends) {
    const std::vector<InstalledPackage*> providers =
        index != nullptr ? index->findProviders(entry, true) : findProviders(repo, entry, true);
    if (providerAvailability(providers) == ProviderAvailability::kAvailable) continue;
    // Nothing could meet this requirement: the rest are not looked at.
    if (providers.empty()) return;
    std::vector<InstalledPackage*> candidates = providers;
    planPackages(output, candidates, kPreferNewest, false);
    if (candidates.empty()) continue;
    reviveProvider(repo, output, *candidates.back(), p, verbose, index);
  }
}

void reviveProvider(Repository& repo, RunOutput& output, InstalledPackage& provider,
                    const InstalledPackage& dependent, bool verbose, const ProviderIndex* index) {
  if (provider.action == PendingAction::kUninstall || provider.action == PendingAction::kDisable) {
    if (verbose) {
      warn(output, "can not %s %s: %s depends on it", actionWord(provider.action),
           packageLabel(provider).c_str(), dependent.name.c_str());
    }
    provider.action = PendingAction::kNone;
    keepRequired(repo, output, provider, verbose, index);
  } else if (provider.disabled) {
    provider.action = PendingAction::kEnable;
    keepRequired(repo, output, provider, verbose, index);
  }
}

}  // namespace installer
