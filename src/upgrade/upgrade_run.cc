#include "upgrade/upgrade_run.h"

#include "apply/free_space.h"
#include "apply/schedule.h"
#include "console/console.h"
#include "console/machine_progress.h"
#include "txn/staging.h"

namespace installer {
namespace {

const char* const kChangedMarker = "/flash/PCKGS_CHANGED";

}  // namespace

UpgradeDecision decideUpgrade(Repository& repo, RunOutput& output, Manifest& m, InstallFlags flags,
                              const std::vector<std::string>& dirs, UpgradeTrace* trace) {
  applyScheduledActions(repo, output, m, Verbosity::kReport);
  UpgradeDecision decision;
  UpgradeStop stop;
  if (output.progress != nullptr) output.progress->phase("scan");
  decision.installed = runUpgrade(repo, output, m, flags | kFlagUpgrade, dirs, trace, &stop);
  // A package file the disk could not give back ends the run as a database
  // file does: nothing changed, and a failure.
  if (stop.reason == UpgradeStop::Reason::kUnreadable) {
    decision.verdict = UpgradeVerdict::kUnreadable;
    decision.unreadablePath = stop.path;
  }
  if (output.progress != nullptr) output.progress->phase("check");
  // A file that could never fit was refused before it was staged; the run
  // ends as one whose staged changes do not fit (also with "--reinstall":
  // such a file could not be committed either).
  if (stop.reason == UpgradeStop::Reason::kNoSpace ||
      ((flags & kFlagReinstall) == 0 && !checkFreeSpace(m))) {
    reportError(output, "not enough space for upgrade");
    cancelManifest(m);
    decision.cancelled = std::move(decision.installed);
    decision.installed.clear();
    decision.verdict = UpgradeVerdict::kNoSpace;
  }
  return decision;
}

bool stageChangedMarker(RunOutput& output, Manifest& m) {
  auto marker = createStagedFile(m, kChangedMarker, 1, 0);
  marker->close();
  if (!marker->fail()) return true;
  reportError(output, "could not write %s", kChangedMarker);
  return false;
}

CommitOutcome prepareUpgradeCommit(Repository& repo, RunOutput& output, Manifest& m,
                                   PreparedCommit& prepared, TxnFailures& failures,
                                   const CommitPreparer& prepare) {
  releaseFileLists(repo);
  std::string heldDirectory;
  CommitOptions options;
  options.heldDirectory = &heldDirectory;
  return settleUnreadyCommit(output, m, prepare(m, options, prepared, &failures), heldDirectory);
}

CommitOutcome settleUnreadyCommit(RunOutput& output, Manifest& m, CommitOutcome ready,
                                  const std::string& heldDirectory) {
  if (!heldDirectory.empty()) {
    reportError(output, "could not replace directory %s: it holds other files",
                heldDirectory.c_str());
  }
  if (ready != CommitOutcome::kCommitted) {
    if (ready == CommitOutcome::kNoSpace) reportError(output, "not enough space for upgrade");
    cancelManifest(m);
  }
  return ready;
}

}  // namespace installer
