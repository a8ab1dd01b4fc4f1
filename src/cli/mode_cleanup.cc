#include "apply/schedule.h"
#include "cli/modes.h"
#include "txn/manifest.h"

namespace installer {

int runCleanupMode(Repository& repo) {
  Manifest m;
  cleanupPackages(repo, m);
  // A failed commit has left (or, at the next start, brings back) the old state.
  return commitManifest(m) == CommitOutcome::kCommitted ? 0 : 1;
}

}  // namespace installer
