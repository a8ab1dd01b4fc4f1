#include "apply/schedule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "apply/lost_dependencies.h"
#include "apply/safe_names.h"
#include "base/ignore.h"
#include "console/console.h"
#include "plan/planner.h"
#include "plan/relations.h"
#include "store/metadata.h"
#include "txn/staging.h"

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
void keepRequirements(Repository& repo, bool verbose) {
  // keepRequired changes actions only, never the list itself, so one index
  // of the records serves every search for providers.
  const ProviderIndex index(repo);
  for (std::size_t i = 0; i < repo.packages.size(); ++i) {
    InstalledPackage& p = *repo.packages[i];
    if (endsEnabled(p)) keepRequired(repo, p, verbose, &index);
  }
}

// Step 3: of two conflicting packages that end enabled, one is disabled.
void settleConflicts(Repository& repo, Verbosity verbosity) {
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
        warn(repo, "can not enable %s: %s conflicts with it", p.name.c_str(),
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
bool guardLastEnabled(Repository& repo, Verbosity verbosity) {
  if (repo.packages.empty()) return true;
  for (const auto& record : repo.packages) {
    if (endsEnabled(*record)) return true;
  }
  for (const auto& record : repo.packages) record->action = Action::kNone;
  if (verbosity >= Verbosity::kReport)
    reportError(repo, "can not uninstall or disable all packages");
  return false;
}

void uninstallRecord(Repository& repo, Manifest& m, InstalledPackage& p, SharedPaths& shared,
                     Verbosity verbosity) {
  const std::string label = packageLabel(p);
  if (verbosity >= Verbosity::kNarrate) setStatusLine(repo, "uninstalling " + label + "...");
  stagePackageRemoval(p, m, shared);
  std::unique_ptr<InstalledPackage> gone = takeRecord(repo, &p);
  if (verbosity >= Verbosity::kNarrate) inform(repo, "uninstalled %s", label.c_str());
}

void disableRecord(Repository& repo, Manifest& m, InstalledPackage& p, Verbosity verbosity) {
  if (verbosity >= Verbosity::kReport) setStatusLine(repo, "disabling " + packageLabel(p) + "...");
  p.disabled = true;
  p.action = Action::kNone;
  // A state file that could not be staged has been reported; the others go on.
  ignoreResult(writeStateFiles(repo, p, m));
  if (verbosity >= Verbosity::kReport) inform(repo, "disabled %s", packageLabel(p).c_str());
}

// Drops what this run staged inside `dir`: a package that goes leaves
// neither metadata nor state files behind.
void dropPendingUnder(Manifest& m, const std::string& dir) {
  auto it = m.entries.lower_bound(dir);
  while (it != m.entries.end() && std::string_view(it->first).starts_with(dir)) {
    if (it->second.op == ManifestOp::kMoveStaged) deleteStagedFile(m, it->first, it->second);
    it = m.entries.erase(it);
  }
}

}  // namespace

bool applyScheduledActions(Repository& repo, Manifest& m, Verbosity verbosity) {
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
  if (anyPending || anyDisabled) keepRequirements(repo, verbosity >= Verbosity::kReport);
  settleConflicts(repo, verbosity);
  settleLostDependencies(repo);
  followMembers(repo);
  if (!guardLastEnabled(repo, verbosity)) return false;

  // An off-by-default blocker has no name: it takes part in the checks
  // above, but it is no package and nothing is ever written for it.
  std::vector<InstalledPackage*> removals;
  std::vector<InstalledPackage*> enables;
  for (auto it = repo.packages.rbegin(); it != repo.packages.rend(); ++it) {
    const Action action = (*it)->action;
    if ((*it)->name.empty()) continue;
    if (action == Action::kUninstall || action == Action::kDisable) removals.push_back(it->get());
  }
  for (const auto& record : repo.packages) {
    if (record->action == Action::kEnable && !record->name.empty()) enables.push_back(record.get());
  }
  planPackages(repo, enables, kPreferNewest, false);
  const bool changed = !removals.empty() || !enables.empty();

  // Built once for all uninstalls, and only when there is one.
  std::optional<SharedPaths> shared;
  for (InstalledPackage* p : removals) {
    if (p->action == Action::kUninstall) {
      if (!shared) shared.emplace(repo);
      uninstallRecord(repo, m, *p, *shared, verbosity);
    } else {
      disableRecord(repo, m, *p, verbosity);
    }
  }
  enablePackages(repo, m, enables, verbosity);
  return changed;
}

void enablePackages(Repository& repo, Manifest& m, const std::vector<InstalledPackage*>& list,
                    Verbosity verbosity) {
  for (InstalledPackage* p : list) {
    if (verbosity >= Verbosity::kReport)
      setStatusLine(repo, "enabling " + packageLabel(*p) + "...");
    p->disabled = false;
    p->action = Action::kNone;
    // A state file that could not be staged has been reported; the others go on.
    ignoreResult(writeStateFiles(repo, *p, m));
    if (verbosity >= Verbosity::kReport) inform(repo, "enabled %s", packageLabel(*p).c_str());
  }
}

SharedPaths::SharedPaths(const Repository& repo) {
  // Counted over views first: most paths have one owner and are never
  // copied.
  std::unordered_map<std::string_view, int> counts;
  for (const auto& record : repo.packages) {
    for (const std::string_view path : record->files) ++counts[path];
  }
  for (const auto& [path, count] : counts) {
    if (count > 1) owners_.emplace(std::string(path), count);
  }
}

bool SharedPaths::listedByAnother(std::string_view path) const {
  const auto found = owners_.find(path);
  return found != owners_.end() && found->second > 1;
}

void SharedPaths::forget(const InstalledPackage& p) {
  for (const std::string_view path : p.files) {
    const auto found = owners_.find(path);
    if (found != owners_.end() && --found->second <= 1) owners_.erase(found);
  }
}

SharedPaths::SharedPaths(const Repository& repo, const InstalledPackage& p) {
  if (p.files.empty()) return;
  // Only p's paths are asked about: each other record is searched only when
  // its paths can hold one of them at all.
  const std::string_view first = *p.files.begin();
  const std::string_view last = p.files.back();
  for (const auto& record : repo.packages) {
    if (record.get() == &p || record->files.empty()) continue;
    const PathSet& theirs = record->files;
    if (*theirs.begin() > last || theirs.back() < first) continue;
    for (const std::string_view path : p.files) {
      if (!theirs.contains(path)) continue;
      ++owners_.try_emplace(std::string(path), 1).first->second;
    }
  }
}

void stagePackageRemoval(const Repository& repo, InstalledPackage& p, Manifest& m) {
  SharedPaths shared(repo, p);
  stagePackageRemoval(p, m, shared);
}

void stagePackageRemoval(InstalledPackage& p, Manifest& m, SharedPaths& shared) {
  for (const std::string_view listed : p.files) {
    const std::string path(listed);
    // A database may list anything; only a path an installation could have
    // written is removed, and only once no other package lists it.
    if (!isRemovablePath(path) || shared.listedByAnother(path)) continue;
    // What this run staged for the path goes with the package.
    auto pending = m.entries.find(path);
    if (pending != m.entries.end() && pending->second.op == ManifestOp::kMoveStaged) {
      deleteStagedFile(m, pending->first, pending->second);
      m.entries.erase(pending);
    }
    // A path that is a directory now belongs to something else: removing it
    // would take every file in it.
    struct stat info;
    const bool exists = lstat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) continue;
    if (exists && !S_ISLNK(info.st_mode)) {
      // What stageRemoval would find asking again.
      setEntry(m, path, ManifestOp::kRemove, "");
    } else if (!exists) {
      m.entries.erase(path);
    } else {
      stageRemoval(m, path);  // a link: its target decides
    }
  }
  shared.forget(p);
  p.files.clear();
  const std::string dir = packageDir(p);
  dropPendingUnder(m, dir);
  stageRemoval(m, dir);
  stageRemoval(m, dir + "image");
  struct stat boot;
  if ((p.flags & kFlagBootImage) != 0 && stat("/flash/bootimage", &boot) == 0 &&
      boot.st_nlink == 1) {
    stageRemoval(m, "/flash/bootimage");
  }
  p.action = Action::kNone;
}

bool cleanupPackages(Repository& repo, Manifest& m) {
  applyScheduledActions(repo, m, Verbosity::kSilent);
  for (const auto& record : repo.packages) {
    InstalledPackage& p = *record;
    bool keep = p.name == "velt" || p.name == "disk-drivers" || p.name == "system" || p.isBundle;
    for (const Dependency& d : p.depends) {
      // 3.22 final and later; the pre-releases of 3.22 lie below.
      if (d.name == "system" && d.minVersion > 0x031665FF) keep = true;
    }
    if (!keep) p.action = Action::kUninstall;
  }
  return applyScheduledActions(repo, m, Verbosity::kReport);
}

}  // namespace installer
