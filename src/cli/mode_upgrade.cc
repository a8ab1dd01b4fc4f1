// The upgrade run: the default mode when no mode option is given.
#include <iostream>

#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/console.h"
#include "console/failure_report.h"
#include "console/machine_progress.h"
#include "console/postlog.h"
#include "txn/checked_source.h"
#include "txn/commit.h"
#include "txn/kept_stamp.h"
#include "txn/manifest.h"
#include "txn/manifest_file.h"
#include "txn/temporaries.h"
#include "upgrade/upgrade_run.h"

namespace installer {

namespace {

// A run that staged nothing: nothing to do, unless package files were
// refused (an engine must not read that as success, though the status is 0).
void concludeUnchanged(RunReport& report) {
  const UpgradeTrace& trace = report.trace();
  if (report.printed("ERROR: router installation failed!!!")) {
    report.conclude(RunOutcome::kRefused, "no-packages-left");
  } else if (trace.failed) {
    report.conclude(RunOutcome::kRefused, "package-refused");
  } else if (report.anyRefused()) {
    report.conclude(RunOutcome::kRefused, "all-refused");
  } else {
    report.conclude(RunOutcome::kNothingToDo);
  }
}

const char* const kManifestPath = "/ram/MANIFEST";

}  // namespace

ExitStatus runUpgradeMode(Repository& repo, RunOutput& output, const RunOptions& options,
                          RunReport& report) {
  Manifest manifest;
  UpgradeDecision decision =
      decideUpgrade(repo, output, manifest, options.installFlags, {}, &report.trace());
  std::vector<Package>& installed = decision.installed;
  report.noteInstalled(installed);
  report.noteInstalled(decision.cancelled);
  ExitStatus status = ExitStatus::kSuccess;
  // (A file that could not be read is told even when the changes also did
  // not fit: the space refusal below then sets the status.)
  if (decision.verdict == UpgradeVerdict::kUnreadable || !decision.unreadablePath.empty()) {
    status = ExitStatus::kFailed;
    report.noteUnreadable(decision.unreadablePath);
    report.conclude(RunOutcome::kRefused, "unreadable");
  }
  if (decision.verdict == UpgradeVerdict::kNoSpace) {
    status = ExitStatus::kNoSpace;
    report.conclude(RunOutcome::kRefused, "no-space");
  }

  const bool changed = !manifest.empty();
  PreparedCommit prepared;
  if (changed) {
    if (!stageChangedMarker(output, manifest)) {
      cancelManifest(manifest);
      installed.clear();
      status = ExitStatus::kFailed;
      report.conclude(RunOutcome::kRefused, "write-failed");
    } else if (!options.commitNow) {
      // The manifest is settled before anything is announced, so that a run
      // whose manifest could not be kept claims no installed package.
      // The staged files are kept before the manifest names them: a run
      // ended in between leaves kept files without a manifest, which the
      // next start removes.
      report.measure(manifest);
      keepRunTemporaries(manifest.temporaries);
      // "--commit" refuses the manifest when any run has changed the
      // packages since: its removals and moves were chosen against these.
      // The package files it will move into place are kept by their
      // contents, read again here: first they must still be the files whose
      // signature was checked.
      const std::string changedFile = changedSource(manifest.checkedSources);
      if (!changedFile.empty()) {
        reportFailures(std::cerr, {{"", changedFile, 0, kChangedSinceChecked}});
      }
      if (!changedFile.empty() ||
          !stampKeptList(databaseFingerprint() + sourcesFingerprint(manifest.checkedSources)) ||
          !writeManifest(manifest, kManifestPath)) {
        if (changedFile.empty()) reportError(output, "could not write %s", kManifestPath);
        removeListedTemporaries(TemporaryList::kKept);
        cancelManifest(manifest);
        installed.clear();
        status = ExitStatus::kFailed;
        report.conclude(RunOutcome::kRefused,
                        changedFile.empty() ? "write-failed" : "changed-package-file");
      } else {
        report.conclude(RunOutcome::kKept);
      }
      // The manifest file's own temporary name is gone with its rename.
      endRunTemporaries(manifest.temporaries);
    } else {
      // Everything that can fail before the first rename is tried before
      // anything is announced: copies onto the flash that do not fit are
      // refused as the free-space estimate refuses.
      TxnFailures failures;
      const CommitOutcome ready = prepareUpgradeCommit(
          repo, output, manifest, prepared, failures,
          [&report, status](Manifest& m, const CommitOptions& o, PreparedCommit& p,
                            TxnFailures* f) { return report.prepareCommit(m, o, p, status, f); });
      reportFailures(std::cerr, failures);
      if (ready != CommitOutcome::kCommitted) {
        installed.clear();
        status = ready == CommitOutcome::kNoSpace ? ExitStatus::kNoSpace : ExitStatus::kFailed;
        report.conclude(RunOutcome::kRefused,
                        ready == CommitOutcome::kNoSpace ? "no-space" : "commit-refused");
      }
    }
  }
  for (const auto& package : installed) {
    inform(output, "installed %s", packageLabel(package).c_str());
  }
  if (!changed && !report.concluded()) concludeUnchanged(report);
  if (prepared.ready) {
    TxnFailures failures;
    if (report.carryOutCommit(manifest, prepared, &failures) != CommitOutcome::kCommitted) {
      status = ExitStatus::kFailed;
    }
    reportFailures(std::cerr, failures);
  }
  writePostlog(output);
  return status;
}

}  // namespace installer
