// The upgrade run: the default mode when no mode option is given.
#include <iostream>

#include "apply/free_space.h"
#include "apply/schedule.h"
#include "cli/modes.h"
#include "console/console.h"
#include "console/failure_report.h"
#include "console/postlog.h"
#include "txn/checked_source.h"
#include "txn/commit.h"
#include "txn/kept_stamp.h"
#include "txn/manifest.h"
#include "txn/manifest_file.h"
#include "txn/staging.h"
#include "txn/temporaries.h"
#include "upgrade/driver.h"

namespace installer {

namespace {

const char* const kManifestPath = "/ram/MANIFEST";
const char* const kChangedMarker = "/flash/PCKGS_CHANGED";

}  // namespace

ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, Verbosity::kReport);
  ExitStatus status = ExitStatus::kSuccess;

  const InstallFlags flags = options.installFlags | kFlagUpgrade;
  UpgradeStop stop;
  std::vector<Package> installed = runUpgrade(repo, manifest, flags, {}, nullptr, &stop);
  // A package file the disk could not give back ends the run as a database
  // file does: nothing changed, and a failure.
  if (stop.reason == UpgradeStop::Reason::kUnreadable) status = ExitStatus::kFailed;

  // A file that could never fit was refused before it was staged; the run
  // ends as one whose staged changes do not fit (also with "--reinstall":
  // such a file could not be committed either).
  if (stop.reason == UpgradeStop::Reason::kNoSpace ||
      ((flags & kFlagReinstall) == 0 && !checkFreeSpace(manifest))) {
    reportError(repo, "not enough space for upgrade");
    cancelManifest(manifest);
    installed.clear();
    status = ExitStatus::kNoSpace;
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
    } else if (!options.commitNow) {
      // The manifest is settled before anything is announced, so that a run
      // whose manifest could not be kept claims no installed package.
      // The staged files are kept before the manifest names them: a run
      // ended in between leaves kept files without a manifest, which the
      // next start removes.
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
        if (changedFile.empty()) reportError(repo, "could not write %s", kManifestPath);
        removeListedTemporaries(TemporaryList::kKept);
        cancelManifest(manifest);
        installed.clear();
        status = ExitStatus::kFailed;
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
      TxnFailures failures;
      const CommitOutcome ready = prepareCommit(manifest, commitOptions, prepared, &failures);
      reportFailures(std::cerr, failures);
      if (!heldDirectory.empty()) {
        reportError(repo, "could not replace directory %s: it holds other files",
                    heldDirectory.c_str());
      }
      if (ready != CommitOutcome::kCommitted) {
        if (ready == CommitOutcome::kNoSpace) reportError(repo, "not enough space for upgrade");
        cancelManifest(manifest);
        installed.clear();
        status = ready == CommitOutcome::kNoSpace ? ExitStatus::kNoSpace : ExitStatus::kFailed;
      }
    }
  }
  for (const auto& package : installed) inform(repo, "installed %s", packageLabel(package).c_str());
  if (prepared.ready) {
    TxnFailures failures;
    if (carryOutCommit(manifest, prepared, &failures) != CommitOutcome::kCommitted) {
      status = ExitStatus::kFailed;
    }
    reportFailures(std::cerr, failures);
  }
  writePostlog(repo);
  return status;
}

}  // namespace installer
