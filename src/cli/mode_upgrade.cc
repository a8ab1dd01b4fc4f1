#include "apply/schedule.h"
#include "cli/modes.h"
#include "console/console.h"
#include "upgrade/manifest.h"
#include "upgrade/postlog.h"
#include "upgrade/staging.h"

namespace installer {

// The upgrade run carries out the scheduled actions first; the package files
// of the download directories are not looked at yet, so nothing else is
// installed.
int runUpgradeMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, 1);
  int status = 0;
  if (!manifest.empty()) {
    createStagedFile(manifest, "/flash/PCKGS_CHANGED", 1, 0)->close();
    if (options.commitNow) {
      commitManifest(manifest, false);
    } else if (!writeManifest(manifest, "/ram/MANIFEST")) {
      // A partial manifest must never be left for a later "--commit".
      reportError(repo, "could not write /ram/MANIFEST");
      cancelManifest(manifest);
      status = 1;
    }
  }
  writePostlog(repo);
  return status;
}

}  // namespace installer
