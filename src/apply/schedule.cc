#include "apply/schedule.h"

#include <optional>
#include <vector>

#include "apply/removal.h"
#include "base/ignore.h"
#include "console/console.h"
#include "store/metadata.h"

namespace installer {

namespace {

using Action = PendingAction;

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

}  // namespace

bool applyScheduledActions(Repository& repo, Manifest& m, Verbosity verbosity) {
  SettledActions settled;
  if (!settleSchedule(repo, verbosity, settled)) return false;
  const bool changed = !settled.removals.empty() || !settled.enables.empty();

  // Built once for all uninstalls, and only when there is one.
  std::optional<SharedPaths> shared;
  for (InstalledPackage* p : settled.removals) {
    if (p->action == Action::kUninstall) {
      if (!shared) shared.emplace(repo);
      uninstallRecord(repo, m, *p, *shared, verbosity);
    } else {
      disableRecord(repo, m, *p, verbosity);
    }
  }
  enablePackages(repo, m, settled.enables, verbosity);
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
