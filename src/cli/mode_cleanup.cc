#include "apply/schedule.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "txn/manifest.h"

namespace installer {

ExitStatus runCleanupMode(Repository& repo, RunReport& report) {
  Manifest m;
  // Whether anything was to be uninstalled does not matter; what was staged
  // is committed.
  cleanupPackages(repo, m);
  // A failed commit has left (or, at the next start, brings back) the old state.
  if (m.empty()) report.conclude(RunOutcome::kNothingToDo);
  PreparedCommit prepared;
  CommitOutcome outcome = report.prepareCommit(m, {}, prepared, ExitStatus::kSuccess);
  if (outcome == CommitOutcome::kCommitted) {
    outcome = report.carryOutCommit(m, prepared);
  } else {
    report.conclude(RunOutcome::kRefused,
                    outcome == CommitOutcome::kNoSpace ? "no-space" : "commit-refused");
  }
  return outcome == CommitOutcome::kCommitted ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

}  // namespace installer
