#include <iostream>

#include "apply/schedule.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/failure_report.h"
#include "txn/commit.h"
#include "txn/manifest.h"

namespace installer {

ExitStatus runCleanupMode(Repository& repo, RunOutput& output, RunReport& report) {
  Manifest m;
  // Whether anything was to be uninstalled does not matter; what was staged
  // is committed.
  cleanupPackages(repo, output, m);
  if (m.empty()) report.conclude(RunOutcome::kNothingToDo);
  TxnFailures failures;
  const CommitOutcome outcome = report.commit(m, {}, ExitStatus::kSuccess, &failures);
  reportFailures(std::cerr, failures);
  // A failed commit has left (or, at the next start, brings back) the old state.
  return outcome == CommitOutcome::kCommitted ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

}  // namespace installer
