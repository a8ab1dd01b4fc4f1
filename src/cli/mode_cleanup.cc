#include "apply/schedule.h"
#include "cli/modes.h"
#include "txn/manifest.h"

namespace installer {

int runCleanupMode(Repository& repo) {
  Manifest m;
  cleanupPackages(repo, m);
  commitManifest(m, false);
  return 0;
}

}  // namespace installer
