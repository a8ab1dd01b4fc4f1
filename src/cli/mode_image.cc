// The image mode: one package or bundle read from standard input, captured
// on the way into a file that becomes the package's kept image.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string>

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
constexpr const char* kCaptureSource = "/flash/var/pdb/image";
constexpr const char* kBootImage = "/flash/bootimage";
constexpr const char* kDatabasePrefix = "/flash/var/pdb/";

// NAME of a package directory "/flash/var/pdb/NAME/".
std::string directoryName(const std::string& packageDirectory) {
  std::string name = packageDirectory.substr(std::string(kDatabasePrefix).size());
  if (!name.empty() && name.back() == '/') name.pop_back();
  return name;
}

// The record a package directory belongs to, for the label of a report.
InstalledPackage labelRecord(const Repository& repo, const std::string& packageDirectory) {
  const std::string name = directoryName(packageDirectory);
  if (const InstalledPackage* record = findRecord(repo, name)) return *record;
  return InstalledPackage(name);
}

}  // namespace

ExitStatus runImageMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, Verbosity::kReport);

  const int captureFd = open(kCapturePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
  ExitStatus result =
      exitStatusOf(installFromStream(repo, manifest, input, options.installFlags | kFlagUpgrade,
                                     KeptState{}, &capture, &packageDirectory, &bootImage));
  // Input that is no package at all (no file header, no readable package
  // header) is refused without a word further down; the run still says why
  // it failed, naming standard input as "-" as the command line does.
  if (result != ExitStatus::kSuccess && repo.messages.size() == reportsBefore) {
    reportError(repo, "broken package %s", "-");
  }
  const bool captured = capture.close();

  // Only an image-based package installed by this run has its capture kept;
  // one passed over as installed returns no directory, and its capture holds
  // only the parts read before that decision.
  bool captureStaged = false;
  if (result == ExitStatus::kSuccess && !packageDirectory.empty()) {
    if (!captured) {
      errno = capture.error();
      reportWriteFailure(repo, labelRecord(repo, packageDirectory), "image");
      result = ExitStatus::kFailed;
    } else {
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
  }

  // A failed install changes nothing on the flash: what it staged before
  // failing (the removal of the older version, say) is dropped with it.
  if (result != ExitStatus::kSuccess) {
    cancelManifest(manifest);
  } else if (!commitManifest(manifest)) {
    // Each failed step was reported; the run must not end as a success.
    result = ExitStatus::kFailed;
  }
  if (!captureStaged && unlink(kCaptureSource) != 0 && errno != ENOENT) std::perror("unlink");

  writePostlog(repo);
  return result;
}

}  // namespace installer
