// The upgrade run: the default mode when no mode option is given.
#include <iostream>

#include "cli/modes.h"
#include "console/console.h"
#include "console/failure_report.h"
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

const char* const kManifestPath = "/ram/MANIFEST";

}  // namespace

ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  UpgradeDecision decision = decideUpgrade(repo, manifest, options.installFlags);
  std::vector<Package>& installed = decision.installed;
  ExitStatus status = ExitStatus::kSuccess;
  if (decision.verdict == UpgradeVerdict::kUnreadable) status = ExitStatus::kFailed;
  if (decision.verdict == UpgradeVerdict::kNoSpace) status = ExitStatus::kNoSpace;

  const bool changed = !manifest.empty();
  PreparedCommit prepared;
  if (changed) {
    if (!stageChangedMarker(repo, manifest)) {
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
      TxnFailures failures;
      const CommitOutcome ready = prepareUpgradeCommit(repo, manifest, prepared, failures);
      reportFailures(std::cerr, failures);
      if (ready != CommitOutcome::kCommitted) {
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
