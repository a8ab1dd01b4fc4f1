// The upgrade run: the default mode when no mode option is given.
#include <cstdio>

#include "apply/free_space.h"
#include "apply/schedule.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/console.h"
#include "console/machine_progress.h"
#include "txn/checked_source.h"
#include "txn/kept_stamp.h"
#include "txn/manifest.h"
#include "txn/postlog.h"
#include "txn/staging.h"
#include "txn/temporaries.h"
#include "upgrade/driver.h"

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
const char* const kChangedMarker = "/flash/PCKGS_CHANGED";

}  // namespace

ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options, RunReport& report) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, Verbosity::kReport);
  ExitStatus status = ExitStatus::kSuccess;

  const InstallFlags flags = options.installFlags | kFlagUpgrade;
  UpgradeStop stop;
  if (repo.progress != nullptr) repo.progress->phase("scan");
  std::vector<Package> installed = runUpgrade(repo, manifest, flags, {}, &report.trace(), &stop);
  report.noteInstalled(installed);
  // A package file the disk could not give back ends the run as a database
  // file does: nothing changed, and a failure.
  if (stop.reason == UpgradeStop::Reason::kUnreadable) {
    status = ExitStatus::kFailed;
    report.noteUnreadable(stop.path);
    report.conclude(RunOutcome::kRefused, "unreadable");
  }

  // A file that could never fit was refused before it was staged; the run
  // ends as one whose staged changes do not fit (also with "--reinstall":
  // such a file could not be committed either).
  if (repo.progress != nullptr) repo.progress->phase("check");
  if (stop.reason == UpgradeStop::Reason::kNoSpace ||
      ((flags & kFlagReinstall) == 0 && !checkFreeSpace(manifest))) {
    reportError(repo, "not enough space for upgrade");
    cancelManifest(manifest);
    installed.clear();
    status = ExitStatus::kNoSpace;
    report.conclude(RunOutcome::kRefused, "no-space");
  }

  const bool changed = !manifest.empty();
  PreparedCommit prepared;
  if (changed) {
    // The boot scripts learn from this marker that packages changed: a
    // commit without it would go unnoticed by them.
    auto marker = createStagedFile(manifest, kChangedMarker, 1, 0);
    marker->close();
    if (marker->fail()) {
      reportError(repo, "could not write %s", kChangedMarker);
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
        std::fprintf(stderr, "%s: changed since its signature was checked\n", changedFile.c_str());
      }
      if (!changedFile.empty() ||
          !stampKeptList(databaseFingerprint() + sourcesFingerprint(manifest.checkedSources)) ||
          !writeManifest(manifest, kManifestPath)) {
        if (changedFile.empty()) reportError(repo, "could not write %s", kManifestPath);
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
      releaseFileLists(repo);
      std::string heldDirectory;
      CommitOptions commitOptions;
      commitOptions.heldDirectory = &heldDirectory;
      const CommitOutcome ready = report.prepareCommit(manifest, commitOptions, prepared, status);
      if (!heldDirectory.empty()) {
        reportError(repo, "could not replace directory %s: it holds other files",
                    heldDirectory.c_str());
      }
      if (ready != CommitOutcome::kCommitted) {
        if (ready == CommitOutcome::kNoSpace) reportError(repo, "not enough space for upgrade");
        cancelManifest(manifest);
        installed.clear();
        status = ready == CommitOutcome::kNoSpace ? ExitStatus::kNoSpace : ExitStatus::kFailed;
        report.conclude(RunOutcome::kRefused,
                        ready == CommitOutcome::kNoSpace ? "no-space" : "commit-refused");
      }
    }
  }
  for (const auto& package : installed) inform(repo, "installed %s", packageLabel(package).c_str());
  if (!changed && !report.concluded()) concludeUnchanged(report);
  if (prepared.ready && report.carryOutCommit(manifest, prepared) != CommitOutcome::kCommitted) {
    status = ExitStatus::kFailed;
  }
  writePostlog(repo);
  return status;
}

}  // namespace installer
