#include "apply/schedule.h"
#include "cli/modes.h"
#include "txn/manifest.h"

namespace installer {

ExitStatus runCleanupMode(Repository& repo) {
  Manifest m;
  // Whether anything was to be uninstalled does not matter; what was staged
  // is committed.
  cleanupPackages(repo, m);
  return commitManifest(m) ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

}  // namespace installer
