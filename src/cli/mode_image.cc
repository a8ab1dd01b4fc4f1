// The image mode: one package or bundle read from standard input; an
// image-based one is captured on the way into a file that becomes its kept
// image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "apply/schedule.h"
#include "base/ignore.h"
#include "cli/fd_streams.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/console.h"
#include "console/failure_report.h"
#include "console/postlog.h"
#include "package/fd_input.h"
#include "package/held_copy.h"
#include "txn/commit.h"
#include "txn/file_io.h"
#include "txn/manifest.h"
#include "upgrade/stream_install.h"

namespace installer {

namespace {

// The doubled slash is the historical spelling; it names
// "/flash/var/pdb/image".
constexpr const char* kCapturePath = "/flash/var/pdb//image";
constexpr const char* kCaptureSource = kCaptureTemporary;
constexpr const char* kBootImage = "/flash/bootimage";
constexpr const char* kDatabasePrefix = "/flash/var/pdb/";

// NAME of a package directory "/flash/var/pdb/NAME/".
std::string directoryName(const std::string& packageDirectory) {
  std::string name = packageDirectory.substr(std::string(kDatabasePrefix).size());
  if (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

// The capture is a plain file of ours: a link planted in its place is not
// followed, and anything else there is refused without waiting on it.
int openCapture() { return openOwnRegularFile(kCapturePath, O_WRONLY | O_CREAT | O_TRUNC, 0666); }

// The label of the package (or bundle) the run installed: the first record
// that was not in the repository before it.
std::string installedLabel(const Repository& repo,
                           const std::vector<const InstalledPackage*>& before) {
  for (const auto& record : repo.packages) {
    if (record->name.empty()) continue;  // an off-by-default blocker
    if (std::find(before.begin(), before.end(), record.get()) == before.end()) {
      return displayLabel(*record);
    }
  }
  return "-";
}

// The capture of standard input. Only an image-based package or bundle can
// keep it, and that shows only in its header: the bytes before are held in
// memory, and the file is created only for a stream that can keep it, so a
// plain package writes no byte twice. A header longer than memory is to hold
// goes to the file at once; the file is removed as soon as the stream turns
// out plain.
class Capture {
 public:
  explicit Capture(Manifest& m)
      : m_(m), copy_([this] { return open(); }, kHeldCopyLimit, [this] { discard(); }) {}

  HeldCopy& copy() { return copy_; }
  bool opened() const { return file_.has_value(); }
  // Writes out what is buffered and closes the file; false (error() tells
  // why) when a write failed. Nothing to do when there is no file.
  bool close() { return !file_ || file_->close(); }
  int error() const { return file_ ? file_->error() : 0; }

 private:
  // The capture is a temporary of the run until the commit makes it the
  // kept image: listed before it exists, so that no way of ending leaves it.
  std::streambuf* open() {
    if (!m_.temporaries.note(kCaptureSource)) return nullptr;
    const int fd = openCapture();
    if (fd < 0) return nullptr;
    return &file_.emplace(fd);
  }

  // A plain package keeps no capture: what its header spilled goes at once,
  // so that it takes no room the install needs.
  void discard() {
    if (!file_) return;
    ignoreResult(file_->close());
    file_.reset();
    if (unlink(kCaptureSource) != 0 && errno != ENOENT) std::perror("unlink");
  }

  Manifest& m_;
  std::optional<FdOutputBuf> file_;
  HeldCopy copy_;
};

// What the install from standard input left for the rest of the run.
struct StreamResult {
  ExitStatus status = ExitStatus::kFailed;
  std::string packageDirectory;  // of an image-based package that keeps its capture
  bool bootImage = false;
  std::string label;
};

StreamResult installStandardInput(Repository& repo, RunOutput& output, Manifest& manifest,
                                  const RunOptions& options, Capture& capture) {
  FdInputBuf standardInput(STDIN_FILENO);
  std::istream input(&standardInput);
  StreamResult r;
  const std::size_t reportsBefore = output.messages.size();
  const KeptState noChoices;
  StreamOutcome outcome = installFromStream(
      {repo, output, manifest, noChoices, options.installFlags | kFlagUpgrade, &capture.copy()},
      input);
  const StreamInstall stopped = outcome.status;
  r.packageDirectory = std::move(outcome.packageDir);
  r.bootImage = outcome.bootImage;
  r.label = std::move(outcome.label);
  r.status = exitStatusOf(stopped);
  // A file that cannot fit the flash was refused before any byte of it was
  // staged: reported as a write to a full flash is.
  if (r.status == ExitStatus::kFailed && stopped == StreamInstall::kNoSpace) {
    errno = ENOSPC;
    reportWriteFailure(output, r.label, "");
  }
  // Standard input that could not be read is no broken package: what it
  // held is unknown, so nothing of it is kept, whatever was installed from
  // the bytes before the failed read.
  if (standardInput.error() != 0) {
    reportError(output, "could not read %s", "-");
    r.status = ExitStatus::kFailed;
    return r;
  }
  // Input that is no package at all (no file header, no readable package
  // header) is refused without a word further down; the run still says why it failed, naming
  // standard input as "-" as the command line does.
  if (r.status != ExitStatus::kSuccess && output.messages.size() == reportsBefore &&
      capture.copy().state() != HeldCopy::State::kNoTarget) {
    reportError(output, "broken package %s", "-");
  }
  return r;
}

// Stages the capture of an installed image-based package as its kept image,
// or as the boot image. The boot image stays even when the package's own
// settling took its record out again; a link is only made into a database
// directory that stays.
void stageCapture(Repository& repo, Manifest& manifest, const StreamResult& r) {
  const std::string keptImage = r.packageDirectory + "image";
  if (!r.bootImage) {
    addMove(manifest, kCaptureSource, keptImage);
    return;
  }
  addMove(manifest, kCaptureSource, kBootImage);
  if (findRecord(repo, directoryName(r.packageDirectory)) != nullptr) {
    addLink(manifest, kBootImage, keptImage);
  }
}

// A failed install changes nothing on the flash: what it staged before
// failing (the removal of the older version, say) is dropped with it.
ExitStatus settleManifest(Repository& repo, RunOutput& output, Manifest& manifest,
                          ExitStatus status,
                          const std::vector<const InstalledPackage*>& recordsBefore,
                          RunReport& report) {
  if (status != ExitStatus::kSuccess) {
    cancelManifest(manifest);
    report.conclude(RunOutcome::kRefused, status == ExitStatus::kBundleFailed ? "bundle-refused"
                                          : status == ExitStatus::kNoMember   ? "no-member"
                                                                              : "package-refused");
    return status;
  }
  if (manifest.empty()) report.conclude(RunOutcome::kNothingToDo);
  releaseFileLists(repo);
  std::string heldDirectory;
  CommitOptions options;
  options.heldDirectory = &heldDirectory;
  TxnFailures failures;
  const CommitOutcome committed = report.commit(manifest, options, status, &failures);
  reportFailures(std::cerr, failures);
  if (!heldDirectory.empty()) {
    reportError(output, "could not replace directory %s: it holds other files",
                heldDirectory.c_str());
  }
  if (committed == CommitOutcome::kNoSpace) {
    // The files staged in "/ram" could not all be copied onto the flash:
    // nothing changed there.
    reportError(output, "installation of %s failed: disk is too small",
                installedLabel(repo, recordsBefore).c_str());
  }
  // Each other failure was reported above; the run must not end as a
  // success.
  return committed == CommitOutcome::kCommitted ? status : ExitStatus::kFailed;
}

}  // namespace

ExitStatus runImageMode(Repository& repo, RunOutput& output, const RunOptions& options,
                        RunReport& report) {
  Manifest manifest;
  applyScheduledActions(repo, output, manifest, Verbosity::kReport);
  std::vector<const InstalledPackage*> recordsBefore;
  for (const auto& record : repo.packages) recordsBefore.push_back(record.get());

  Capture capture(manifest);
  StreamResult r = installStandardInput(repo, output, manifest, options, capture);
  if (capture.copy().state() == HeldCopy::State::kNoTarget) {
    // Nothing is committed; the state files staged above are dropped with
    // their temporary files.
    cancelManifest(manifest);
    *output.stream << "ERROR: could not open image" << std::endl;
    report.conclude(RunOutcome::kRefused, "no-capture");
    return ExitStatus::kNoCapture;
  }
  // A capture that could not be written means a full or failing flash,
  // whatever the package: the commit would fail part-way on it too.
  if (!capture.close() && r.status == ExitStatus::kSuccess) {
    errno = capture.error();
    reportWriteFailure(output, r.label, "image");
    r.status = ExitStatus::kFailed;
  }
  // Only an image-based package installed by this run has its capture kept;
  // one passed over as installed returns no directory: the installed
  // version's image stays.
  const bool captureStaged =
      r.status == ExitStatus::kSuccess && !r.packageDirectory.empty() && capture.opened();
  if (captureStaged) stageCapture(repo, manifest, r);

  report.noteStream(r.label, r.status == ExitStatus::kSuccess);
  const ExitStatus status = settleManifest(repo, output, manifest, r.status, recordsBefore, report);
  if (capture.opened() && !captureStaged && unlink(kCaptureSource) != 0 && errno != ENOENT) {
    std::perror("unlink");
  }
  writePostlog(output);
  return status;
}

}  // namespace installer
