#include "apply/install.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "apply/free_space.h"
#include "apply/removal.h"
#include "apply/safe_names.h"
#include "apply/schedule.h"
#include "console/console.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/signature.h"
#include "plan/acceptance.h"
#include "platform/cores.h"
#include "store/metadata.h"
#include "txn/staging.h"

namespace installer {

namespace {

constexpr std::size_t kCopyBufferSize = 16384;
constexpr std::size_t kImageSkipStep = 4096;
constexpr AcceptResult kAllTolerated = 0xFFFFFFFF;

// Header flag bit 0 marks the owner of the boot image, but only a package
// stored whole as an image can be the boot image: a plain package with the
// bit would otherwise skip its payload and claim a boot image nothing
// provides.
bool ownsBootImage(const Package& p) { return p.imageBased && (p.flags & kFlagBootImage) != 0; }

// A system package of the old generation asks the boot scripts to convert
// the configuration, whether or not it is then installed.
void markConversion() {
  const int fd = open("/rw/CONVERT", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd >= 0) close(fd);
}

// Stages the empty marker from which the boot scripts learn that the boot
// image changed. False, with errno telling why, when it could not be staged.
bool stageUpgradedMarker(Manifest& m) {
  std::unique_ptr<StagedFile> marker = createStagedFile(m, "/flash/UPGRADED", 1, 0);
  if (marker->fail()) return false;
  marker->close();
  return !marker->fail();
}

// A package whose input could not be read is not known to be broken: what
// it holds is unknown, and the caller reports the read error instead.
void reportBroken(RunOutput& output, const InstalledPackage& p, const PackageReader& reader) {
  if (reader.inputError() == 0) reportBrokenPackage(output, p);
}

InstallOutcome outcomeOf(const InstalledPackage& record, bool passedOver) {
  InstallOutcome outcome;
  outcome.installed = true;
  outcome.passedOver = passedOver;
  outcome.name = record.name;
  outcome.label = displayLabel(record);
  outcome.flags = record.flags;
  return outcome;
}

// A single package must end after its signature, apart from an optional
// architecture part and an optional empty dependency part.
bool tailIsClean(PackageReader& reader) {
  if (reader.partType == kPartArch) reader.nextPart();
  if (reader.partType == kPartDepends) {
    if (reader.part().partLength != 0) return false;
    reader.nextPart();
  }
  return reader.partType == kNoPart;
}

// A package passed over as already installed is still read to its end and
// its signature checked before anything of it is used: a file that merely
// copies the installed package's header (name, version, build) would
// otherwise pass for it, and its file become the kept image or the boot
// image, its lists those of the installed package. The parts come in the
// order an installation reads them; a single package must also end as one.
bool passOverSigned(const InstalledPackage& p, PackageReader& reader, bool single) {
  if (reader.partType == kPartImage) reader.nextPart();
  if (reader.partType == kPartPayload) reader.nextPart();
  if (reader.partType != kPartSignature || !verifySignature(p, reader)) return false;
  reader.nextPart();
  return !single || tailIsClean(reader);
}

// The image part is not extracted; it is read through in steps so that the
// progress bar moves. A stream cut inside it makes the package broken.
bool passOverImagePart(RunOutput& output, const InstalledPackage& p, PackageReader& reader) {
  char scratch[kImageSkipStep];
  InstallProgress progress(p);
  while (reader.part().partRemaining > 0) {
    progress.show(output, reader.part().consumed(), reader.totalLength);
    const auto step = static_cast<std::streamsize>(
        std::min<std::uint32_t>(reader.part().partRemaining, kImageSkipStep));
    reader.read(scratch, step);
    if (reader.gcount() != step) return false;
  }
  return true;
}

// Consumes `length` bytes of payload data through `buffer`; false when the
// payload ends first.
bool skipPayloadData(std::istream& payload, std::vector<char>& buffer, std::uint32_t length) {
  std::uint32_t left = length;
  while (left > 0) {
    const auto step =
        static_cast<std::streamsize>(std::min<std::uint32_t>(left, std::uint32_t(buffer.size())));
    payload.read(buffer.data(), step);
    if (payload.gcount() != step) return false;
    left -= static_cast<std::uint32_t>(step);
  }
  return true;
}

}  // namespace

std::string installationPath(const InstalledPackage& p, const std::string& entryName) {
  std::string path = "/flash";
  if (p.disabled) path += "/x/" + p.name;
  if (entryName.empty() || entryName.front() != '/') path += '/';
  path += entryName;
  return path;
}

namespace {

// The machine's hardware class, asked once, and only when an entry is made
// for one class.
class MachineClass {
 public:
  explicit MachineClass(HardwareClassSource source) : source_(source) {}
  bool is(int hardwareClass) {
    if (!known_) {
      value_ = source_();
      known_ = true;
    }
    return value_.has_value() && *value_ == hardwareClass;
  }

 private:
  HardwareClassSource source_;
  bool known_ = false;
  std::optional<int> value_;
};

// Only regular files made for every machine, or for this machine's class,
// are written.
bool isWantedEntry(const FileEntry& entry, MachineClass& machine) {
  if ((entry.mode & kModeTypeMask) != kModeRegular) return false;
  return entry.hardwareClass == 0 || machine.is(entry.hardwareClass);
}

enum class EntryCopy { kCopied, kBroken, kWriteFailed };

// Copies `length` bytes of entry data from the payload into `staged` and
// closes it.
EntryCopy copyEntryData(std::istream& payload, std::vector<char>& buffer, std::uint32_t length,
                        StagedFile& staged) {
  std::uint32_t left = length;
  while (left > 0) {
    const auto step =
        static_cast<std::streamsize>(std::min<std::uint32_t>(left, std::uint32_t(buffer.size())));
    payload.read(buffer.data(), step);
    if (payload.gcount() != step) return EntryCopy::kBroken;
    staged.write(buffer.data(), step);
    if (!staged) return EntryCopy::kWriteFailed;
    left -= static_cast<std::uint32_t>(step);
  }
  staged.close();
  return staged.fail() ? EntryCopy::kWriteFailed : EntryCopy::kCopied;
}

// A second thread costs its start and a hand-over per piece: it pays for
// itself on a payload of some size, and only where a second core runs it.
PayloadThreads payloadThreadsFor(const PackageReader& reader) {
  constexpr std::uint32_t kWorthASecondThread = 64 * 1024;
  if (reader.part().partLength < kWorthASecondThread) return PayloadThreads::kOne;
  return usableCores() > 1 ? PayloadThreads::kTwo : PayloadThreads::kOne;
}

}  // namespace

Extraction extractFiles(RunOutput& output, InstalledPackage& p, Manifest& m, PackageReader& reader,
                        HardwareClassSource machineClass, InflateBackend backend,
                        std::optional<PayloadThreads> threads) {
  InflateStreambuf inflate(reader, backend, threads.value_or(payloadThreadsFor(reader)));
  std::istream payload(&inflate);
  std::vector<char> buffer(kCopyBufferSize);
  MachineClass machine(machineClass);
  InstallProgress progress(p);

  while (!payload.fail()) {
    FileEntry entry;
    const EntryRead read = readFileEntry(payload, entry);
    if (read == EntryRead::kEnd) break;
    if (read == EntryRead::kBroken) {
      reportBroken(output, p, reader);
      return Extraction::kFailed;
    }
    if (!isWantedEntry(entry, machine)) {
      if (!skipPayloadData(payload, buffer, entry.dataLength)) {
        reportBroken(output, p, reader);
        return Extraction::kFailed;
      }
      continue;
    }

    // Only what is written is named: an entry passed over never becomes a
    // path. The installer's own files are no payload, wherever the package
    // stands now.
    if (!isSafeEntryName(entry.name) || isReservedEntryName(entry.name)) {
      reportBrokenPackage(output, p);
      return Extraction::kFailed;
    }
    std::string path = installationPath(p, entry.name);
    if (!roomForStagedFile(m, path, entry.dataLength)) return Extraction::kNoSpace;
    std::unique_ptr<StagedFile> staged = createStagedFile(m, path, entry.dataLength, entry.mode);
    if (!*staged) {
      reportWriteFailure(output, p, entry.name);
      return Extraction::kFailed;
    }
    p.files.insert(path);

    const EntryCopy copied = copyEntryData(payload, buffer, entry.dataLength, *staged);
    if (copied == EntryCopy::kBroken) reportBroken(output, p, reader);
    if (copied == EntryCopy::kWriteFailed) reportWriteFailure(output, p, entry.name);
    if (copied != EntryCopy::kCopied) return Extraction::kFailed;
    progress.show(output, inflate.inputConsumed(), reader.totalLength);
  }
  return Extraction::kDone;
}

namespace {

// One package being installed: what every step needs.
struct PackageInstall {
  Repository& repo;
  RunOutput& output;
  Manifest& m;
  PackageReader& reader;
  InstallFlags flags;
  const Dependency* bundle;  // the bundle a member comes with, else null
  std::unique_ptr<InstalledPackage> record;
  bool noSpace = false;  // a file of it cannot fit the flash
};

// The acceptance check's findings, with the state the package arrives in:
// the user's kept choice, the bundle's, or disabled by a conflict (which is
// then no longer a finding).
AcceptResult acceptAndSetState(PackageInstall& in, const KeptState& keptState) {
  InstalledPackage& record = *in.record;
  AcceptResult result = checkAcceptance(
      in.repo, in.output, record, in.bundle != nullptr ? kAllTolerated : in.flags | kFlagConflict);

  if (auto kept = keptState.find(record.name); kept != keptState.end()) {
    record.disabled = kept->second;
    record.userChoice = true;
  } else if (in.bundle != nullptr) {
    // A member the user never chose for itself follows a bundle the user
    // disabled, as the bundle's disable had left it.
    if (auto keptBundle = keptState.find(in.bundle->name);
        keptBundle != keptState.end() && keptBundle->second) {
      record.disabled = true;
    }
  }
  if (result & kFlagConflict) {
    result &= ~AcceptResult{kFlagConflict};
    record.disabled = true;
  }
  return result;
}

// A package the checks refuse: a member or the installed version is passed
// over (when its signature holds), a reinstall of the installed version is
// announced, anything else installs nothing.
InstallOutcome refuse(PackageInstall& in, AcceptResult result, bool* bootImageOut) {
  InstalledPackage& record = *in.record;
  // A member, or a single package of the installed version and build, is
  // passed over only when it is what it claims to be.
  const bool passOver = in.bundle != nullptr || (result & kFlagReinstall) != 0;
  if (!passOver) return {};
  if (!passOverSigned(record, in.reader, in.bundle == nullptr)) {
    if (in.bundle != nullptr) record.bundle = *in.bundle;
    reportBroken(in.output, record, in.reader);
    return {};
  }
  const InstalledPackage* installed = findRecord(in.repo, record.name);
  if (in.bundle != nullptr) {
    return installed != nullptr ? outcomeOf(*installed, true) : InstallOutcome{};
  }
  if (in.flags & kFlagReinstall) {
    // A line of 78 blanks, one short of the console's width, drawn over
    // whatever status line there was before it is taken away.
    setStatusLine(in.output, std::string(78, ' '));
    setStatusLine(in.output, "");
    inform(in.output, "installed %s%s", record.disabled ? "(disabled) " : "",
           packageLabel(record).c_str());
    if (bootImageOut != nullptr && installed != nullptr) {
      *bootImageOut = record.imageBased && (installed->flags & kFlagBootImage) != 0;
    }
  }
  return installed != nullptr ? outcomeOf(*installed, true) : InstallOutcome{};
}

// The parts after the header: the image part read through, the files
// staged (unless the boot loader carries them), the signature checked, and
// nothing after it. False when the package is broken (reported) or a file
// could not be staged.
bool readContents(PackageInstall& in) {
  InstalledPackage& record = *in.record;
  PackageReader& reader = in.reader;
  if (reader.partType == kPartImage) {
    if (!passOverImagePart(in.output, record, reader)) {
      reportBroken(in.output, record, reader);
      return false;
    }
    reader.nextPart();
  }
  if (reader.partType == kPartPayload) {
    // The boot loader carries the payload of the boot image itself.
    if (!(in.repo.bootImageVariable && ownsBootImage(record))) {
      const Extraction extracted = extractFiles(in.output, record, in.m, reader);
      in.noSpace = extracted == Extraction::kNoSpace;
      if (extracted != Extraction::kDone) return false;
    }
    reader.nextPart();
  }
  if (reader.partType != kPartSignature || !verifySignature(record, reader)) {
    reportBroken(in.output, record, reader);
    return false;
  }
  reader.nextPart();
  if (in.bundle == nullptr && !tailIsClean(reader)) {
    reportBroken(in.output, record, reader);
    return false;
  }
  return true;
}

// The record joins the repository and the scheduled actions are settled
// again; the settling may take the new record out again, so what the caller
// needs is taken first.
InstallOutcome addRecord(PackageInstall& in, std::string* packageDirOut, bool* bootImageOut) {
  const InstallOutcome outcome = outcomeOf(*in.record, false);
  const bool imageBased = in.record->imageBased;
  const bool newBootImage = ownsBootImage(*in.record) && in.repo.bootImageVariable;
  const std::string directory = packageDir(*in.record);
  const InstalledPackage* added = in.record.get();
  appendRecord(in.repo, std::move(in.record));

  applyScheduledActions(in.repo, in.output, in.m, Verbosity::kSilent);

  // A package that the settling took out again (it needed what only its
  // older version provided) keeps no image. Its boot image is another
  // matter: the older version's is gone with the older record, and the
  // router must not be left without one.
  const bool stayed = std::any_of(in.repo.packages.begin(), in.repo.packages.end(),
                                  [added](const auto& p) { return p.get() == added; });
  if (bootImageOut != nullptr) *bootImageOut = newBootImage;
  if (packageDirOut != nullptr && imageBased && (stayed || newBootImage)) {
    *packageDirOut = directory;
  }
  return outcome;
}

}  // namespace

InstallOutcome installPackage(Repository& repo, RunOutput& output, Manifest& m,
                              PackageReader& reader, InstallFlags flags, const KeptState& keptState,
                              const Dependency* bundle, std::string* packageDirOut,
                              bool* bootImageOut) {
  auto record = std::make_unique<InstalledPackage>();
  if (!readHeader(*record, reader)) return {};
  return installFromHeader(repo, output, m, reader, std::move(record), flags, keptState, bundle,
                           packageDirOut, bootImageOut);
}

InstallOutcome installFromHeader(Repository& repo, RunOutput& output, Manifest& m,
                                 PackageReader& reader, std::unique_ptr<InstalledPackage> record,
                                 InstallFlags flags, const KeptState& keptState,
                                 const Dependency* bundle, std::string* packageDirOut,
                                 bool* bootImageOut) {
  PackageInstall in{repo, output, m, reader, flags, bundle, std::move(record)};
  if (!headerNamesAreSafe(*in.record)) {
    // A member is reported under its bundle's label, which has been checked.
    if (bundle != nullptr) in.record->bundle = *bundle;
    reportBrokenPackage(output, *in.record);
    return {};
  }
  if (bundle != nullptr && in.record->name == bundle->name) return {};
  if (in.record->name == "system" && versionMajor(in.record->version) <= 6 &&
      m.planning == nullptr) {
    markConversion();
  }

  const AcceptResult result = acceptAndSetState(in, keptState);
  if ((result & (~flags | kFlagReinstall)) != 0) return refuse(in, result, bootImageOut);

  if (bundle != nullptr) in.record->bundle = *bundle;
  const bool sideBySide = reader.magic == kMagicSideBySide;
  if (!sideBySide) {
    if (InstalledPackage* older = findRecord(repo, in.record->name)) {
      stagePackageRemoval(repo, *older, m);
      takeRecord(repo, older);
    }
  }
  showInstallProgress(output, *in.record, reader);
  if (!sideBySide && !claimPath(m, packageDir(*in.record))) return {};
  if (!readContents(in)) {
    InstallOutcome failed;
    failed.noSpace = in.noSpace;
    failed.label = displayLabel(*in.record);
    return failed;
  }
  if (!sideBySide && !writeMetadata(output, *in.record, m)) return {};
  if (ownsBootImage(*in.record) && !stageUpgradedMarker(m)) {
    reportWriteFailure(output, *in.record, "/flash/UPGRADED");
    return {};
  }
  if (bundle == nullptr) setStatusLine(output, "");
  return addRecord(in, packageDirOut, bootImageOut);
}

}  // namespace installer
