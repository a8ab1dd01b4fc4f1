// The upgrade run: the default mode when no mode option is given.
#include "apply/free_space.h"
#include "apply/schedule.h"
#include "cli/modes.h"
#include "console/console.h"
#include "txn/manifest.h"
#include "txn/postlog.h"
#include "txn/staging.h"
#include "upgrade/driver.h"

namespace installer {

namespace {

const char* const kManifestPath = "/ram/MANIFEST";
const char* const kChangedMarker = "/flash/PCKGS_CHANGED";

}  // namespace

ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, Verbosity::kReport);
  ExitStatus status = ExitStatus::kSuccess;

  const InstallFlags flags = options.installFlags | kFlagUpgrade;
  std::vector<Package> installed = runUpgrade(repo, manifest, flags);

  if ((flags & kFlagReinstall) == 0 && !checkFreeSpace(manifest)) {
    reportError(repo, "not enough space for upgrade");
    cancelManifest(manifest);
    installed.clear();
    status = ExitStatus::kNoSpace;
  }

  const bool changed = !manifest.empty();
  if (changed) {
    // The boot scripts learn from this marker that packages changed: a
    // commit without it would go unnoticed by them.
    auto marker = createStagedFile(manifest, kChangedMarker, 1, 0);
    marker->close();
    if (marker->fail()) {
      reportError(repo, "could not write %s", kChangedMarker);
      cancelManifest(manifest);
      installed.clear();
      status = ExitStatus::kFailed;
    } else if (!options.commitNow && !writeManifest(manifest, kManifestPath)) {
      // The manifest is settled before anything is announced, so that a run
      // whose manifest could not be kept claims no installed package.
      reportError(repo, "could not write %s", kManifestPath);
      cancelManifest(manifest);
      installed.clear();
      status = ExitStatus::kFailed;
    }
  }

  for (const auto& package : installed) inform(repo, "installed %s", packageLabel(package).c_str());

  if (changed && options.commitNow && !commitManifest(manifest)) status = ExitStatus::kFailed;
  writePostlog(repo);
  return status;
}

}  // namespace installer
