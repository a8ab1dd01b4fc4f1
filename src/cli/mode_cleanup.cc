#include "apply/schedule.h"
#include "cli/modes.h"
#include "txn/commit.h"
#include "txn/manifest.h"

namespace installer {

ExitStatus runCleanupMode(Repository& repo) {
  Manifest m;
  // Whether anything was to be uninstalled does not matter; what was staged
  // is committed.
  cleanupPackages(repo, m);
  // A failed commit has left (or, at the next start, brings back) the old state.
  return commitManifest(m) == CommitOutcome::kCommitted ? ExitStatus::kSuccess
                                                        : ExitStatus::kFailed;
}

}  // namespace installer
