#include "plan/settle.h"

#include <algorithm>

#include "console/console.h"
#include "plan/lost_dependencies.h"
#include "plan/planner.h"
#include "plan/relations.h"

namespace installer {
namespace {

using Action = PendingAction;

bool staysEnabled(const InstalledPackage& p) { return !p.disabled && p.action == Action::kNone; }
bool endsEnabled(const InstalledPackage& p) {
  return staysEnabled(p) || p.action == Action::kEnable;
}

// Step 1: a bundle's action reaches every record it brought.
void passBundleActions(Repository& repo) {
  for (const auto& record : repo.packages) {
    InstalledPackage& p = *record;
    if (p.bundle.name.empty()) continue;
    const InstalledPackage* bundle = findRecord(repo, p.bundle.name);
    if (bundle == nullptr) continue;
    switch (bundle->action) {
      case Action::kDisable:
        if (p.action != Action::kUninstall) p.action = Action::kDisable;
        break;
      case Action::kUninstall:
        p.action = Action::kUninstall;
        break;
      case Action::kEnable:
        if (p.disabled) p.action = Action::kEnable;
        break;
      case Action::kNone:
        break;
    }
  }
}

// Step 2: what the packages that end enabled need is kept or enabled.
void keepRequirements(Repository& repo, RunOutput& output, bool verbose) {
  // keepRequired changes actions only, never the list itself, so one index
  // of the records serves every search for providers.
  const ProviderIndex index(repo);
  for (std::size_t i = 0; i < repo.packages.size(); ++i) {
    InstalledPackage& p = *repo.packages[i];
    if (endsEnabled(p)) keepRequired(repo, output, p, verbose, &index);
  }
}

// Step 3: of two conflicting packages that end enabled, one is disabled.
void settleConflicts(Repository& repo, RunOutput& output, Verbosity verbosity) {
  if (!anyConflictNameShared(repo)) return;
  // Only the records that share a relation name with p can change anything
  // below; they are visited in the order of the whole list.
  std::vector<InstalledPackage*> others;
  for (const auto& outer : repo.packages) {
    InstalledPackage& p = *outer;
    if (!endsEnabled(p)) continue;
    recordsSharingConflictNames(repo, p, others);
    for (InstalledPackage* other : others) {
      InstalledPackage& q = *other;
      if (&q == &p) continue;
      const bool qEnabling = q.disabled && q.action == Action::kEnable;
      if (!qEnabling && !staysEnabled(q)) continue;
      if (conflictsWith(p, q)) {
        if (q.action == Action::kNone) q.action = Action::kDisable;
        continue;
      }
      if (p.action != Action::kEnable || !conflictsWith(q, p)) continue;
      if (q.action == Action::kNone) {
        q.action = Action::kDisable;
        continue;
      }
      if (verbosity >= Verbosity::kReport) {
        warn(output, "can not enable %s: %s conflicts with it", p.name.c_str(),
             packageLabel(q).c_str());
      }
      p.action = Action::kNone;
      break;
    }
  }
}

// Step 5: a bundle none of whose members ends enabled goes too.
void followMembers(Repository& repo) {
  for (const auto& record : repo.packages) {
    InstalledPackage& bundle = *record;
    if (!bundle.isBundle || bundle.action == Action::kUninstall) continue;
    // A bundle disabled on purpose stays, disabled, with its members.
    if (!bundle.disabled && bundle.action == Action::kDisable) continue;
    bool someEnabled = false;
    bool someDisabled = false;
    for (const auto& other : repo.packages) {
      const InstalledPackage& member = *other;
      if (isPlaceholder(member) || member.bundle.name != bundle.name) continue;
      if (endsEnabled(member)) {
        someEnabled = true;
        break;
      }
      if (member.action != Action::kUninstall) someDisabled = true;
    }
    if (someEnabled) continue;
    if (!someDisabled || !bundle.disabled) {
      bundle.action = Action::kUninstall;
    } else if (bundle.action == Action::kEnable) {
      bundle.action = Action::kNone;
    }
  }
}

// Step 6: refuses a result in which no package stays enabled.
bool guardLastEnabled(Repository& repo, RunOutput& output, Verbosity verbosity) {
  if (repo.packages.empty()) return true;
  for (const auto& record : repo.packages) {
    if (endsEnabled(*record)) return true;
  }
  for (const auto& record : repo.packages) record->action = Action::kNone;
  if (verbosity >= Verbosity::kReport)
    reportError(output, "can not uninstall or disable all packages");
  return false;
}

}  // namespace

bool settleSchedule(Repository& repo, RunOutput& output, Verbosity verbosity,
                    SettledActions& settled) {
  settled = {};
  // Settling runs after every member of a bundle, mostly over a repository
  // in which nothing is pending: the steps that only ever act on a pending
  // action or a disabled record are passed over when there is none.
  const bool anyPending = std::any_of(repo.packages.begin(), repo.packages.end(),
                                      [](const auto& p) { return p->action != Action::kNone; });
  const bool anyDisabled = std::any_of(repo.packages.begin(), repo.packages.end(),
                                       [](const auto& p) { return p->disabled; });
  // A bundle passes on only an action it has.
  if (anyPending) passBundleActions(repo);
  // With every record enabled and nothing pending, every provider that
  // exists is usable: nothing needs keeping or enabling.
  if (anyPending || anyDisabled) keepRequirements(repo, output, verbosity >= Verbosity::kReport);
  settleConflicts(repo, output, verbosity);
  // Step 4: what depends on a package that goes follows it.
  settleLostDependencies(repo);
  followMembers(repo);
  if (!guardLastEnabled(repo, output, verbosity)) return false;

  // An off-by-default blocker has no name: it takes part in the checks
  // above, but it is no package and nothing is ever written for it.
  std::vector<InstalledPackage*>& removals = settled.removals;
  std::vector<InstalledPackage*>& enables = settled.enables;
  for (auto it = repo.packages.rbegin(); it != repo.packages.rend(); ++it) {
    const Action action = (*it)->action;
    if ((*it)->name.empty()) continue;
    if (action == Action::kUninstall || action == Action::kDisable) removals.push_back(it->get());
  }
  for (const auto& record : repo.packages) {
    if (record->action == Action::kEnable && !record->name.empty()) enables.push_back(record.get());
  }
  planPackages(output, enables, kPreferNewest, false);
  return true;
}

}  // namespace installer
