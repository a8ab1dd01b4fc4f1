// The image mode: one package or bundle read from standard input, captured
// on the way into a file that becomes the package's kept image.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <istream>
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

// The record a package directory "/flash/var/pdb/NAME/" belongs to, for the
// label of a report.
InstalledPackage labelRecord(const Repository& repo, const std::string& packageDirectory) {
  std::string name = packageDirectory.substr(std::string(kDatabasePrefix).size());
  if (!name.empty() && name.back() == '/') name.pop_back();
  if (const InstalledPackage* record = findRecord(repo, name)) return *record;
  return InstalledPackage(name);
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

int runImageMode(Repository& repo, const RunOptions& options) {
  Manifest manifest;
  applyScheduledActions(repo, manifest, 1);

  // The capture is a temporary of the run until the commit makes it the kept
  // image: listed before it exists, so that no way of ending leaves it.
  const int captureFd = manifest.temporaries.note(kCaptureSource)
                            ? open(kCapturePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                            : -1;
  if (captureFd < 0) {
    // Nothing is committed; the state files staged above are dropped with
    // their temporary files.
    cancelManifest(manifest);
    std::cout << "ERROR: could not open image" << std::endl;
    return -1;
  }

  FdOutputBuf capture(captureFd);
  FdInputBuf standardInput(STDIN_FILENO);
  std::istream input(&standardInput);
  std::string packageDirectory;
  bool bootImage = false;
  const std::size_t reportsBefore = repo.messages.size();
  std::vector<const InstalledPackage*> recordsBefore;
  for (const auto& record : repo.packages) recordsBefore.push_back(record.get());
  int result = installFromStream(repo, manifest, input, options.installFlags | kFlagUpgrade,
                                 KeptState{}, &capture, &packageDirectory, &bootImage);
  // Input that is no package at all (no file header, no readable package
  // header) is refused without a word further down; the run still says why
  // it failed, naming standard input as "-" as the command line does.
  if (result != 0 && repo.messages.size() == reportsBefore) {
    reportError(repo, "broken package %s", "-");
  }
  const bool captured = capture.close();

  // Only an image-based package installed by this run has its capture kept;
  // one passed over as installed returns no directory, and its capture holds
  // only the parts read before that decision.
  bool captureStaged = false;
  if (result == 0 && !packageDirectory.empty()) {
    if (!captured) {
      errno = capture.error();
      reportWriteFailure(labelRecord(repo, packageDirectory), "image");
      result = 1;
    } else {
      const std::string keptImage = packageDirectory + "image";
      if (bootImage) {
        addMove(manifest, kCaptureSource, kBootImage);
        addLink(manifest, kBootImage, keptImage);
      } else {
        addMove(manifest, kCaptureSource, keptImage);
      }
      captureStaged = true;
    }
  }

  // A failed install changes nothing on the flash: what it staged before
  // failing (the removal of the older version, say) is dropped with it.
  if (result != 0) {
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
    if (committed != CommitOutcome::kCommitted) result = 1;
  }
  if (!captureStaged && unlink(kCaptureSource) != 0 && errno != ENOENT) std::perror("unlink");

  writePostlog(repo);
  return result;
}

}  // namespace installer
