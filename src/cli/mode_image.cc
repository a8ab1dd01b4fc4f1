// The image mode: one package or bundle read from standard input, captured
// on the way into a file that becomes the package's kept image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "apply/schedule.h"
#include "cli/fd_streams.h"
#include "cli/modes.h"
#include "console/console.h"
#include "txn/manifest.h"
#include "txn/postlog.h"
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
// followed (the image would be written wherever it points), and anything
// else there (a FIFO, a device) is refused without waiting on it.
int openCapture() {
  const int fd =
      open(kCapturePath,
           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

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

}  // namespace

ExitStatus runImageMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, Verbosity::kReport);

  // The capture is a temporary of the run until the commit makes it the kept
  // image: listed before it exists, so that no way of ending leaves it.
  const int captureFd = manifest.temporaries.note(kCaptureSource) ? openCapture() : -1;
  if (captureFd < 0) {
    // Nothing is committed; the state files staged above are dropped with
    // their temporary files.
    cancelManifest(manifest);
    *repo.out << "ERROR: could not open image" << std::endl;
    return ExitStatus::kNoCapture;
  }

  FdOutputBuf capture(captureFd);
  FdInputBuf standardInput(STDIN_FILENO);
  std::istream input(&standardInput);
  std::string packageDirectory;
  bool bootImage = false;
  const std::size_t reportsBefore = repo.messages.size();
  std::string label;
  std::vector<const InstalledPackage*> recordsBefore;
  for (const auto& record : repo.packages) recordsBefore.push_back(record.get());
  ExitStatus result =
      exitStatusOf(installFromStream(repo, manifest, input, options.installFlags | kFlagUpgrade,
                                     KeptState{}, &capture, &packageDirectory, &bootImage, &label));
  // Input that is no package at all (no file header, no readable package
  // header) is refused without a word further down; the run still says why
  // it failed, naming standard input as "-" as the command line does.
  if (result != ExitStatus::kSuccess && repo.messages.size() == reportsBefore) {
    reportError(repo, "broken package %s", "-");
  }
  const bool captured = capture.close();

  // A capture that could not be written means a full or failing flash,
  // whatever the package: the commit would fail part-way on it too.
  if (result == ExitStatus::kSuccess && !captured) {
    errno = capture.error();
    reportWriteFailure(repo, label, "image");
    result = ExitStatus::kFailed;
  }

  // Only an image-based package installed by this run has its capture kept;
  // one passed over as installed returns no directory, and its capture holds
  // only the parts read before that decision.
  bool captureStaged = false;
  if (result == ExitStatus::kSuccess && !packageDirectory.empty()) {
    const std::string keptImage = packageDirectory + "image";
    if (bootImage) {
      // The boot image stays even when the package's own settling took
      // its record out again; a link is only made into a database
      // directory that stays.
      addMove(manifest, kCaptureSource, kBootImage);
      if (findRecord(repo, directoryName(packageDirectory)) != nullptr) {
        addLink(manifest, kBootImage, keptImage);
      }
    } else {
      addMove(manifest, kCaptureSource, keptImage);
    }
    captureStaged = true;
  }

  // A failed install changes nothing on the flash: what it staged before
  // failing (the removal of the older version, say) is dropped with it.
  if (result != ExitStatus::kSuccess) {
    cancelManifest(manifest);
  } else {
    const CommitOutcome committed = commitManifest(manifest);
    if (committed == CommitOutcome::kNoSpace) {
      // The files staged in "/ram" could not all be copied onto the flash:
      // nothing changed there.
      reportError(repo, "installation of %s failed: disk is too small",
                  installedLabel(repo, recordsBefore).c_str());
    }
    // Each other failure was reported as it happened; the run must not end
    // as a success.
    if (committed != CommitOutcome::kCommitted) result = ExitStatus::kFailed;
  }
  if (!captureStaged && unlink(kCaptureSource) != 0 && errno != ENOENT) std::perror("unlink");

  writePostlog(repo);
  return result;
}

}  // namespace installer
