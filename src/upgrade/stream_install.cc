#include "upgrade/stream_install.h"

#include <memory>
#include <set>
#include <vector>

#include "apply/install.h"
#include "apply/removal.h"
#include "apply/safe_names.h"
#include "apply/schedule.h"
#include "base/ignore.h"
#include "console/console.h"
#include "package/format.h"
#include "package/reader.h"
#include "plan/acceptance.h"
#include "store/metadata.h"
#include "txn/staging.h"

namespace installer {

namespace {

// A record that conflicts with every version of one member, so that the
// acceptance check finds the member in conflict and it comes in disabled.
// It has no name, is never written and ends with the process.
std::unique_ptr<InstalledPackage> offByDefaultBlocker(const std::string& member) {
  auto blocker = std::make_unique<InstalledPackage>();
  Dependency conflict;
  conflict.name = member;
  blocker->conflicts.push_back(conflict);
  return blocker;
}

// The members of the older bundle that the new one no longer brings go. A
// file that a new member now brings stays: the removal leaves every path
// another record lists.
void markDroppedMembers(Repository& repo, const std::set<std::string>& names) {
  for (const std::string& name : names) {
    if (InstalledPackage* p = findRecord(repo, name)) p->action = PendingAction::kUninstall;
  }
}

// The bundle's own record replaces the installed one: checked, its
// metadata staged, in the repository. False with the result when it cannot.
bool installBundleRecord(Repository& repo, RunOutput& output, Manifest& m, PackageReader& reader,
                         std::unique_ptr<InstalledPackage> record, InstallFlags flags,
                         const KeptState& keptState, std::string* packageDirOut,
                         StreamInstall& failure) {
  failure = StreamInstall::kNotInstalled;
  if (!isSafePackageName(record->name)) {
    reportBrokenPackage(output, *record);
    return false;
  }
  if (!record->depends.empty() || !record->provides.empty() || !record->conflicts.empty()) {
    return false;
  }
  // The bundle's own image part is only carried along (and copied).
  if (reader.partType == kPartImage) reader.nextPart();
  if (record->imageBased && packageDirOut != nullptr) *packageDirOut = packageDir(*record);

  const AcceptResult result = checkAcceptance(repo, output, *record, flags);
  if ((result & ~flags) != 0) {
    failure = StreamInstall::kBundleFailed;
    return false;
  }
  if (InstalledPackage* older = findRecord(repo, record->name)) {
    stagePackageRemoval(repo, *older, m);
    takeRecord(repo, older);
  }
  if (!claimPath(m, packageDir(*record))) return false;

  // The user's choice for the bundle survives its upgrade like a member's.
  if (auto kept = keptState.find(record->name); kept != keptState.end()) {
    record->disabled = kept->second;
    record->userChoice = true;
  }
  if (!writeMetadata(output, *record, m)) return false;
  if (InstalledPackage* stale = findRecord(repo, record->name)) takeRecord(repo, stale);
  appendRecord(repo, std::move(record));
  return true;
}

// The names of the records that came with the installed version of the
// bundle.
std::set<std::string> membersOf(const Repository& repo, const std::string& bundle) {
  std::set<std::string> names;
  for (const auto& p : repo.packages) {
    if (p->bundle.name == bundle) names.insert(p->name);
  }
  return names;
}

// The list of members off by default: each one the user never chose for
// itself meets a blocker and comes in disabled.
void blockOffByDefault(Repository& repo, PackageReader& reader, const KeptState& keptState) {
  if (reader.partType != kPartOffByDefault) return;
  std::vector<Dependency> offByDefault;
  // A list cut short keeps the entries read before the cut.
  ignoreResult(readDependencyList(reader, offByDefault));
  for (const Dependency& entry : offByDefault) {
    if (keptState.count(entry.name) == 0) appendRecord(repo, offByDefaultBlocker(entry.name));
  }
  reader.nextPart();
}

StreamInstall installBundle(Repository& repo, RunOutput& output, Manifest& m, PackageReader& reader,
                            std::unique_ptr<InstalledPackage> record, InstallFlags flags,
                            const KeptState& keptState, std::string* packageDirOut,
                            bool* bootImageOut) {
  if (bootImageOut != nullptr) *bootImageOut = false;
  Dependency reference;
  reference.name = record->name;
  reference.minVersion = record->version;
  reference.maxVersion = record->version;
  StreamInstall failure = StreamInstall::kNotInstalled;
  if (!installBundleRecord(repo, output, m, reader, std::move(record), flags, keptState,
                           packageDirOut, failure)) {
    return failure;
  }
  std::set<std::string> previousMembers = membersOf(repo, reference.name);
  blockOffByDefault(repo, reader, keptState);

  int members = 0;
  while (reader.partType == kPartHeader) {
    bool memberBootImage = false;
    const InstallOutcome member = installPackage(repo, output, m, reader, flags, keptState,
                                                 &reference, nullptr, &memberBootImage);
    if (!member) return member.noSpace ? StreamInstall::kNoSpace : StreamInstall::kBundleFailed;
    previousMembers.erase(member.name);
    if (bootImageOut != nullptr && memberBootImage) *bootImageOut = true;
    ++members;
  }

  if (reader.partType == kPartArch) reader.nextPart();
  if (reader.partType != kNoPart) return StreamInstall::kBundleFailed;
  // A stream cut between two members looks like a bundle with fewer
  // members; only the length its header declares tells them apart.
  if (reader.part().partStart < reader.totalLength) return StreamInstall::kBundleFailed;
  if (members == 0) return StreamInstall::kNoMember;

  markDroppedMembers(repo, previousMembers);
  applyScheduledActions(repo, output, m, Verbosity::kSilent);
  setStatusLine(output, "");
  return StreamInstall::kInstalled;
}

// Only a stream that can become a kept image (or the boot image) keeps its
// copy: an image-based package or bundle. False when the copy cannot go on.
bool settleCopy(HeldCopy* copy, const InstalledPackage& header) {
  if (copy == nullptr) return true;
  return header.imageBased ? copy->keep() : copy->drop();
}

}  // namespace

StreamOutcome installFromStream(const StreamContext& context, std::istream& input) {
  Repository& repo = context.repo;
  RunOutput& output = context.output;
  Manifest& m = context.manifest;
  StreamOutcome out;
  PackageReader reader(input, true, context.copy);
  reader.wantedTypes = {kPartHeader,  kPartBundleHeader, kPartOffByDefault, kPartArch,
                        kPartDepends, kPartProvides,     kPartConflicts,    kPartImage,
                        kPartPayload, kPartSignature};
  reader.nextPart();

  auto record = std::make_unique<InstalledPackage>();
  if (!readHeader(*record, reader) || !settleCopy(context.copy, *record)) return out;
  if (!record->isBundle) {
    const InstallOutcome outcome =
        installFromHeader(repo, output, m, reader, std::move(record), context.flags,
                          context.keptState, nullptr, &out.packageDir, &out.bootImage);
    out.label = outcome.label;
    if (outcome) {
      out.status = StreamInstall::kInstalled;
    } else if (outcome.noSpace) {
      out.status = StreamInstall::kNoSpace;
    }
    return out;
  }
  out.label = displayLabel(*record);
  out.status = installBundle(repo, output, m, reader, std::move(record), context.flags,
                             context.keptState, &out.packageDir, &out.bootImage);
  return out;
}

}  // namespace installer
