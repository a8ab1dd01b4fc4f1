// The second half of a "--safe" install: committing or cancelling the
// manifest that the first half left in "/ram/MANIFEST".
#include <unistd.h>

#include <ostream>

#include "cli/modes.h"
#include "txn/manifest.h"

namespace installer {
namespace {

constexpr const char* kManifestPath = "/ram/MANIFEST";

}  // namespace

ExitStatus runCommitMode(Repository& repo) {
  Manifest m;
  // A missing or empty file leaves nothing to commit, which is no failure.
  if (!readManifest(m, kManifestPath)) {
  }
  std::ostream& out = *repo.out;
  out << "finishing install... " << std::flush;
  Spinner spinner{out, {}};
  const bool committed = commitManifest(m, &spinner);
  // Carried out, the manifest is spent: replayed after a later install it
  // would undo that install's files.
  unlink(kManifestPath);
  // The backspace and blank wipe the spinner's last character.
  out << "\b \n" << std::flush;
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
