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

void uninstallRecord(Repository& repo, RunOutput& output, Manifest& m, InstalledPackage& p,
                     SharedPaths& shared, Verbosity verbosity) {
  const std::string label = packageLabel(p);
  if (verbosity >= Verbosity::kNarrate) setStatusLine(output, "uninstalling " + label + "...");
  stagePackageRemoval(p, m, shared);
  std::unique_ptr<InstalledPackage> gone = takeRecord(repo, &p);
  if (verbosity >= Verbosity::kNarrate) inform(output, "uninstalled %s", label.c_str());
}

void disableRecord(RunOutput& output, Manifest& m, InstalledPackage& p, Verbosity verbosity) {
  if (verbosity >= Verbosity::kReport)
    setStatusLine(output, "disabling " + packageLabel(p) + "...");
  p.disabled = true;
  p.action = Action::kNone;
  // A state file that could not be staged has been reported; the others go on.
  ignoreResult(writeStateFiles(output, p, m));
  if (verbosity >= Verbosity::kReport) inform(output, "disabled %s", packageLabel(p).c_str());
}

}  // namespace

bool applyScheduledActions(Repository& repo, RunOutput& output, Manifest& m, Verbosity verbosity) {
  SettledActions settled;
  if (!settleSchedule(repo, output, verbosity, settled)) return false;
  const bool changed = !settled.removals.empty() || !settled.enables.empty();

  // Built once for all uninstalls, and only when there is one.
  std::optional<SharedPaths> shared;
  for (InstalledPackage* p : settled.removals) {
    if (p->action == Action::kUninstall) {
      if (!shared) shared.emplace(repo);
      uninstallRecord(repo, output, m, *p, *shared, verbosity);
    } else {
      disableRecord(output, m, *p, verbosity);
    }
  }
  enablePackages(output, m, settled.enables, verbosity);
  return changed;
}

void enablePackages(RunOutput& output, Manifest& m, const std::vector<InstalledPackage*>& list,
                    Verbosity verbosity) {
  for (InstalledPackage* p : list) {
    if (verbosity >= Verbosity::kReport)
      setStatusLine(output, "enabling " + packageLabel(*p) + "...");
    p->disabled = false;
    p->action = Action::kNone;
    // A state file that could not be staged has been reported; the others go on.
    ignoreResult(writeStateFiles(output, *p, m));
    if (verbosity >= Verbosity::kReport) inform(output, "enabled %s", packageLabel(*p).c_str());
  }
}

bool cleanupPackages(Repository& repo, RunOutput& output, Manifest& m) {
  applyScheduledActions(repo, output, m, Verbosity::kSilent);
  for (const auto& record : repo.packages) {
    InstalledPackage& p = *record;
    bool keep = p.name == "velt" || p.name == "disk-drivers" || p.name == "system" || p.isBundle;
    for (const Dependency& d : p.depends) {
      // 3.22 final and later; the pre-releases of 3.22 lie below.
      if (d.name == "system" && d.minVersion > 0x031665FF) keep = true;
    }
    if (!keep) p.action = Action::kUninstall;
  }
  return applyScheduledActions(repo, output, m, Verbosity::kReport);
}

}  // namespace installer
