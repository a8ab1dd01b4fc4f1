// Installing everything one package stream holds: a single package, or a
// bundle and its members.
#pragma once

#include <istream>
#include <string>

#include "console/run_output.h"
#include "package/held_copy.h"
#include "plan/install_flags.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// The result of installing a stream. The first values are also the image
// mode's exit statuses, which boot scripts read.
enum class StreamInstall {
  kInstalled = 0,
  kNotInstalled = 1,  // the single package or the bundle record was not installed
  kBundleFailed = 2,  // the bundle was refused, a member failed, or parts follow the last member
  kNoMember = 3,      // a bundle without members
  // A file of the package (or of a member) cannot fit the flash beside what
  // is there and what the run staged: refused before any byte of it was
  // staged, and not reported (each mode says it in its own terms).
  kNoSpace = 4,
};

// What a stream is installed with; everything it refers to outlives the
// install.
struct StreamContext {
  Repository& repo;
  RunOutput& output;
  Manifest& manifest;  // where everything is staged
  const KeptState& keptState;
  InstallFlags flags = 0;
  // When given, receives every byte read from the stream, but keeps it only
  // for an image-based package or bundle, the streams whose copy can become
  // a kept image: it is told which once the header has been read. When it
  // cannot hold or keep what it must (its state tells why), nothing is
  // installed and nothing is reported.
  HeldCopy* copy = nullptr;
};

// What installing a stream gave.
struct StreamOutcome {
  StreamInstall status = StreamInstall::kNotInstalled;
  // The database directory of an image-based package (or bundle) that this
  // install really installed and that stays installed, or that brings the
  // boot image: where the stream's copy is kept. Empty for any other.
  std::string packageDir;
  // Whether a package installed owns the boot image while "bootimage" was
  // set at the start of the run (installPackage tells more).
  bool bootImage = false;
  // The label of the package or bundle once its header was read, for the
  // caller's reports.
  std::string label;
};

[[nodiscard]] StreamOutcome installFromStream(const StreamContext& context, std::istream& input);

}  // namespace installer
