// Installing one package from an open package file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "console/run_output.h"
#include "package/payload.h"
#include "package/reader.h"
#include "plan/install_flags.h"
#include "platform/hardware_class.h"
#include "platform/inflate.h"
#include "records/package.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// What installPackage tells its caller. Plain values, not the record: the
// settling that follows an installation may already have removed the new
// record from the repository again (a bundle member whose requirement is
// missing, for instance), so a pointer could dangle.
struct InstallOutcome {
  // Installed now, or passed over as already installed; false when nothing
  // was installed (the reason has been printed where there is one).
  bool installed = false;
  bool passedOver = false;  // the installed record of the same name was kept
  // Not installed because a file of it cannot fit the flash beside what is
  // there and what the run staged; nothing of that file was staged, and
  // nothing was reported (the caller says it in its own terms).
  bool noSpace = false;
  std::string name;
  std::string label;  // displayLabel of the record, for reports
  std::uint32_t flags = 0;

  explicit operator bool() const { return installed; }
};

// The reader stands on the package's header part (type 1) and hashes. For a
// bundle member `bundle` names the bundle (name and version), else null.
// `packageDirOut` receives the database directory of an image-based package
// that this call really installed and that is still installed after the
// settling (never for one passed over, whose image would be that of the
// installed version), or that brings the boot image. `bootImageOut` receives
// whether the package installed owns the boot image while the environment
// variable "bootimage" was set at the start of the run
// (`repo.bootImageVariable`), also when the settling took its record out
// again: its capture is then the only boot image left. A package passed
// over as installed (a bundle member, or a single package of the installed
// version and build) is still read to its end and refused as broken, like
// any package, when its signature is: only then is the installed record
// returned. Everything is staged in `m`; on failure the staged entries stay
// for the caller to cancel.
[[nodiscard]] InstallOutcome installPackage(Repository& repo, RunOutput& output, Manifest& m,
                                            PackageReader& reader, InstallFlags flags,
                                            const KeptState& keptState, const Dependency* bundle,
                                            std::string* packageDirOut, bool* bootImageOut);

// installPackage for a caller that has read the header itself (readHeader
// into `record`), to decide something on it first.
[[nodiscard]] InstallOutcome installFromHeader(Repository& repo, RunOutput& output, Manifest& m,
                                               PackageReader& reader,
                                               std::unique_ptr<InstalledPackage> record,
                                               InstallFlags flags, const KeptState& keptState,
                                               const Dependency* bundle, std::string* packageDirOut,
                                               bool* bootImageOut);

// Where the machine's hardware class comes from; tests hand in their own.
using HardwareClassSource = std::optional<int> (*)();

enum class Extraction {
  kDone,
  kFailed,   // a broken entry or a write failure, reported
  kNoSpace,  // a file that cannot fit the flash, refused before any byte of it
             // was staged; not reported
};

// Stages every regular file of the payload part the reader stands on and
// records its path in `p.files`. The programs inflate with the backend they
// were built with, and with a second thread where a second core can run it
// and the payload is worth one; tests hold the other ways to the same files
// and console bytes.
[[nodiscard]] Extraction extractFiles(RunOutput& output, InstalledPackage& p, Manifest& m,
                                      PackageReader& reader,
                                      HardwareClassSource machineClass = hardwareClass,
                                      InflateBackend backend = Inflater::configured(),
                                      std::optional<PayloadThreads> threads = std::nullopt);

// "/flash" + ("/x/NAME" when disabled) + "/" + entry name: where an entry of
// the package lands. The same string goes into the package's `files`.
std::string installationPath(const InstalledPackage& p, const std::string& entryName);

}  // namespace installer
