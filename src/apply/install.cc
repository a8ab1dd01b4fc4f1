#include "apply/install.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "apply/safe_names.h"
#include "apply/schedule.h"
#include "console/console.h"
#include "package/format.h"
#include "package/payload.h"
#include "package/signature.h"
#include "plan/acceptance.h"
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

InstallOutcome outcomeOf(const InstalledPackage& record, bool passedOver) {
  InstallOutcome outcome;
  outcome.installed = true;
  outcome.passedOver = passedOver;
  outcome.name = record.name;
  outcome.label = displayLabel(record);
  outcome.flags = record.flags;
  return outcome;
}

// A bundle member passed over is still read to its end and its signature
// checked: the bundle header lies outside every signature, so a member that
// merely copies an installed member's header must not pass for it. The
// parts come in the order an installation reads them.
bool passOverMember(const InstalledPackage& p, PackageReader& reader) {
  if (reader.partType == kPartImage) reader.nextPart();
  if (reader.partType == kPartPayload) reader.nextPart();
  if (reader.partType != kPartSignature || !verifySignature(p, reader)) return false;
  reader.nextPart();
  return true;
}

// The image part is not extracted; it is read through in steps so that the
// progress bar moves. A stream cut inside it makes the package broken.
bool passOverImagePart(Repository& repo, const InstalledPackage& p, PackageReader& reader) {
  char scratch[kImageSkipStep];
  while (reader.part().partRemaining > 0) {
    showInstallProgress(repo, p, reader);
    const auto step = static_cast<std::streamsize>(
        std::min<std::uint32_t>(reader.part().partRemaining, kImageSkipStep));
    reader.read(scratch, step);
    if (reader.gcount() != step) return false;
  }
  return true;
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

bool extractFiles(Repository& repo, InstalledPackage& p, Manifest& m, PackageReader& reader,
                  HardwareClassSource machineClass) {
  InflateStreambuf inflate(reader.rdbuf());
  std::istream payload(&inflate);
  std::vector<char> buffer(kCopyBufferSize);
  bool classKnown = false;
  std::optional<int> ourClass;

  while (!payload.fail()) {
    FileEntry entry;
    const EntryRead read = readFileEntry(payload, entry);
    if (read == EntryRead::kEnd) break;
    if (read == EntryRead::kBroken) {
      reportBrokenPackage(repo, p);
      return false;
    }

    bool wanted = (entry.mode & kModeTypeMask) == kModeRegular;
    if (wanted && entry.hardwareClass != 0) {
      if (!classKnown) {
        ourClass = machineClass();
        classKnown = true;
      }
      wanted = ourClass.has_value() && *ourClass == entry.hardwareClass;
    }
    if (!wanted) {
      if (!skipPayloadData(payload, buffer, entry.dataLength)) {
        reportBrokenPackage(repo, p);
        return false;
      }
      continue;
    }

    // Only what is written is named: an entry passed over never becomes a
    // path. The installer's own files are no payload, wherever the package
    // stands now.
    if (!isSafeEntryName(entry.name) || isReservedEntryName(entry.name)) {
      reportBrokenPackage(repo, p);
      return false;
    }
    std::string path = installationPath(p, entry.name);
    std::unique_ptr<StagedFile> staged = createStagedFile(m, path, entry.dataLength, entry.mode);
    if (!*staged) {
      reportWriteFailure(repo, p, entry.name);
      return false;
    }
    p.files.insert(std::move(path));

    std::uint32_t left = entry.dataLength;
    while (left > 0) {
      const auto step =
          static_cast<std::streamsize>(std::min<std::uint32_t>(left, kCopyBufferSize));
      payload.read(buffer.data(), step);
      if (payload.gcount() != step) {
        reportBrokenPackage(repo, p);
        return false;
      }
      staged->write(buffer.data(), step);
      if (!*staged) {
        reportWriteFailure(repo, p, entry.name);
        return false;
      }
      left -= static_cast<std::uint32_t>(step);
    }
    staged->close();
    if (staged->fail()) {
      reportWriteFailure(repo, p, entry.name);
      return false;
    }
    showInstallProgress(repo, p, reader);
  }
  return true;
}

InstallOutcome installPackage(Repository& repo, Manifest& m, PackageReader& reader,
                              InstallFlags flags, const KeptState& keptState,
                              const Dependency* bundle, std::string* packageDirOut,
                              bool* bootImageOut) {
  auto record = std::make_unique<InstalledPackage>();
  if (!readHeader(*record, reader)) return {};
  if (!headerNamesAreSafe(*record)) {
    // A member is reported under its bundle's label, which has been checked.
    if (bundle != nullptr) record->bundle = *bundle;
    reportBrokenPackage(repo, *record);
    return {};
  }
  if (bundle != nullptr && record->name == bundle->name) return {};

  if (record->name == "system" && versionMajor(record->version) <= 6 && !m.planOnly) {
    markConversion();
  }

  AcceptResult result =
      checkAcceptance(repo, *record, bundle != nullptr ? kAllTolerated : flags | kFlagConflict);

  if (auto kept = keptState.find(record->name); kept != keptState.end()) {
    record->disabled = kept->second;
    record->userChoice = true;
  } else if (bundle != nullptr) {
    // A member the user never chose for itself follows a bundle the user
    // disabled, as the bundle's disable had left it.
    if (auto keptBundle = keptState.find(bundle->name);
        keptBundle != keptState.end() && keptBundle->second) {
      record->disabled = true;
    }
  }

  if (result & kFlagConflict) {
    result &= ~AcceptResult{kFlagConflict};
    record->disabled = true;
  }

  const AcceptResult rejecting = result & (~flags | kFlagReinstall);
  if (rejecting != 0) {
    if (bundle != nullptr) {
      if (!passOverMember(*record, reader)) {
        record->bundle = *bundle;
        reportBrokenPackage(repo, *record);
        return {};
      }
      const InstalledPackage* installed = findRecord(repo, record->name);
      return installed != nullptr ? outcomeOf(*installed, true) : InstallOutcome{};
    }
    if ((result & kFlagReinstall) == 0) return {};
    const InstalledPackage* installed = findRecord(repo, record->name);
    if (flags & kFlagReinstall) {
      // A line of 78 blanks, one short of the console's width, drawn over
      // whatever status line there was before it is taken away.
      setStatusLine(repo, std::string(78, ' '));
      setStatusLine(repo, "");
      inform(repo, "installed %s%s", record->disabled ? "(disabled) " : "",
             packageLabel(*record).c_str());
      if (bootImageOut != nullptr && installed != nullptr) {
        *bootImageOut = record->imageBased && (installed->flags & kFlagBootImage) != 0;
      }
    }
    return installed != nullptr ? outcomeOf(*installed, true) : InstallOutcome{};
  }

  if (bundle != nullptr) record->bundle = *bundle;

  const bool sideBySide = reader.magic == kMagicSideBySide;
  if (!sideBySide) {
    if (InstalledPackage* older = findRecord(repo, record->name)) {
      stagePackageRemoval(repo, *older, m);
      takeRecord(repo, older);
    }
  }

  showInstallProgress(repo, *record, reader);

  if (!sideBySide && !claimPath(m, packageDir(*record))) return {};

  if (reader.partType == kPartImage) {
    if (!passOverImagePart(repo, *record, reader)) {
      reportBrokenPackage(repo, *record);
      return {};
    }
    reader.nextPart();
  }

  const bool bootImage = ownsBootImage(*record);
  const bool bootVariable = repo.bootImageVariable;
  if (reader.partType == kPartPayload) {
    // The boot loader carries the payload of the boot image itself.
    if (!(bootVariable && bootImage) && !extractFiles(repo, *record, m, reader)) return {};
    reader.nextPart();
  }

  if (reader.partType != kPartSignature || !verifySignature(*record, reader)) {
    reportBrokenPackage(repo, *record);
    return {};
  }
  reader.nextPart();
  if (bundle == nullptr && !tailIsClean(reader)) {
    reportBrokenPackage(repo, *record);
    return {};
  }

  if (!sideBySide && !writeMetadata(repo, *record, m)) return {};

  if (bootImage && !stageUpgradedMarker(m)) {
    reportWriteFailure(repo, *record, "/flash/UPGRADED");
    return {};
  }
  if (bundle == nullptr) setStatusLine(repo, "");

  // The settling below may take the new record out again; what the caller
  // needs is taken first.
  const InstallOutcome outcome = outcomeOf(*record, false);
  const bool imageBased = record->imageBased;
  const std::string directory = packageDir(*record);
  const InstalledPackage* added = record.get();
  repo.packages.push_back(std::move(record));

  applyScheduledActions(repo, m, Verbosity::kSilent);

  // A package that the settling took out again (it needed what only its
  // older version provided) keeps no image. Its boot image is another
  // matter: the older version's is gone with the older record, and the
  // router must not be left without one.
  const bool stayed = std::any_of(repo.packages.begin(), repo.packages.end(),
                                  [added](const auto& p) { return p.get() == added; });
  const bool newBootImage = bootImage && bootVariable;
  if (bootImageOut != nullptr) *bootImageOut = newBootImage;
  if (packageDirOut != nullptr && imageBased && (stayed || newBootImage)) {
    *packageDirOut = directory;
  }
  return outcome;
}

}  // namespace installer
