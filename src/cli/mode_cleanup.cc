#include <iostream>

#include "apply/schedule.h"
#include "cli/modes.h"
#include "console/failure_report.h"
#include "txn/commit.h"
#include "txn/manifest.h"

namespace installer {

ExitStatus runCleanupMode(Repository& repo) {
  Manifest m;
  // Whether anything was to be uninstalled does not matter; what was staged
  // is committed.
  cleanupPackages(repo, m);
  TxnFailures failures;
  const CommitOutcome outcome = commitManifest(m, {}, &failures);
  reportFailures(std::cerr, failures);
  // A failed commit has left (or, at the next start, brings back) the old state.
  return outcome == CommitOutcome::kCommitted ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

}  // namespace installer
