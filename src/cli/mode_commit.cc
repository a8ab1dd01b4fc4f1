// The second half of a "--safe" install: committing or cancelling the
// manifest that the first half left in "/ram/MANIFEST".
#include <unistd.h>

#include <cstdio>

#include "cli/modes.h"
#include "txn/manifest.h"

namespace installer {
namespace {

constexpr const char* kManifestPath = "/ram/MANIFEST";

}  // namespace

ExitStatus runCommitMode() {
  Manifest m;
  // A missing or empty file leaves nothing to commit, which is no failure.
  if (!readManifest(m, kManifestPath)) {
  }
  std::fputs("finishing install... ", stdout);
  std::fflush(stdout);
  const bool committed = commitManifest(m, true);
  // Carried out, the manifest is spent: replayed after a later install it
  // would undo that install's files.
  unlink(kManifestPath);
  // The backspace and blank wipe the spinner's last character.
  std::fputs("\b \n", stdout);
  std::fflush(stdout);
  return committed ? ExitStatus::kSuccess : ExitStatus::kFailed;
}

ExitStatus runCancelMode() {
  Manifest m;
  // What could be read is cancelled; a missing file leaves nothing to do.
  if (!readManifest(m, kManifestPath)) {
  }
  cancelManifest(m);
  unlink(kManifestPath);
  return ExitStatus::kSuccess;
}

}  // namespace installer
