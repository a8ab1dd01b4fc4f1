// The second half of a "--safe" install: committing or cancelling the
// manifest that the first half left in "/ram/MANIFEST".
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <ostream>

#include "base/ignore.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/failure_report.h"
#include "console/spinner.h"
#include "txn/commit.h"
#include "txn/kept_stamp.h"
#include "txn/manifest.h"
#include "txn/manifest_file.h"
#include "txn/recovery.h"
#include "txn/temporaries.h"

namespace installer {
namespace {

// The manifest, its file and what the "--safe" run staged for it go.
void cancelKeptManifest(Manifest& m) {
  cancelManifest(m);
  // Only a manifest goes: a FIFO or a link at its name is none of ours.
  struct stat st;
  if (lstat(kKeptManifestPath, &st) == 0 && S_ISREG(st.st_mode)) unlink(kKeptManifestPath);
  removeListedTemporaries(TemporaryList::kKept);
}

}  // namespace

ExitStatus runCommitMode(RunOutput& output, RunReport& report) {
  Manifest m;
  // A missing or empty file leaves nothing to do, which is no failure. After
  // a malformed line or a read error, what was read before it is committed,
  // as it always was: the fingerprint check below still refuses a manifest
  // made against packages that have changed since.
  ignoreResult(readManifest(m, kKeptManifestPath));
  std::ostream& out = *output.stream;
  // Made against packages that another run has changed since, the manifest
  // would remove or replace their files by what it knew then.
  // So would a package file it moves into place that is no longer the one
  // whose signature the run checked.
  for (const auto& [target, entry] : m.entries) {
    if (entry.op != ManifestOp::kMove) continue;
    const std::string source = sourceOf(target, entry);
    if (!isDownloadedPackage(source)) continue;
    // Compared by content below; the identity now guards the moment
    // between that and the rename.
    SourceIdentity now;
    if (!identityAt(source, now)) now = {};
    m.checkedSources.push_back({source, now});
  }
  const std::optional<std::string> seen = keptListFingerprint();
  if (!m.empty() && seen && *seen != databaseFingerprint() + sourcesFingerprint(m.checkedSources)) {
    out << "ERROR: the packages changed since " << kKeptManifestPath << " was made: it is cancelled"
        << std::endl;
    cancelKeptManifest(m);
    report.conclude(RunOutcome::kRefused, "packages-changed");
    return ExitStatus::kFailed;
  }
  out << "finishing install... " << std::flush;
  Spinner spinner{out, {}};
  CommitOptions options;
  options.onCopiedBlock = [&spinner] { advanceSpinner(spinner); };
  options.keptManifest = true;
  if (m.empty()) report.conclude(RunOutcome::kNothingToDo);
  TxnFailures failures;
  const CommitOutcome outcome = report.commit(m, options, ExitStatus::kSuccess, &failures);
  // The backspace and blank wipe the spinner's last character.
  out << "\b \n" << std::flush;
  reportFailures(std::cerr, failures);
  // After a failure the old state stands (or is brought back at the next
  // start), and the manifest can be tried again.
  return outcome == CommitOutcome::kCommitted ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

ExitStatus runCancelMode(RunReport& report) {
  Manifest m;
  // Whatever could be read, the file and the kept temporaries go: a missing
  // or damaged manifest is cancelled as well as a whole one.
  ignoreResult(readManifest(m, kKeptManifestPath));
  report.conclude(m.empty() ? RunOutcome::kNothingToDo : RunOutcome::kCancelled);
  cancelKeptManifest(m);
  return ExitStatus::kSuccess;
}

}  // namespace installer
