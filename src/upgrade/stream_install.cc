#include "upgrade/stream_install.h"

#include <memory>
#include <set>
#include <vector>

#include "apply/install.h"
#include "apply/safe_names.h"
#include "apply/schedule.h"
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

StreamInstall installBundle(Repository& repo, Manifest& m, PackageReader& reader,
                            InstallFlags flags, const KeptState& keptState,
                            std::string* packageDirOut, bool* bootImageOut, std::string* labelOut) {
  if (bootImageOut != nullptr) *bootImageOut = false;

  auto record = std::make_unique<InstalledPackage>();
  if (!readHeader(*record, reader)) return StreamInstall::kNotInstalled;
  if (labelOut != nullptr) *labelOut = displayLabel(*record);
  if (!isSafePackageName(record->name)) {
    reportBrokenPackage(repo, *record);
    return StreamInstall::kNotInstalled;
  }
  if (!record->depends.empty() || !record->provides.empty() || !record->conflicts.empty()) {
    return StreamInstall::kNotInstalled;
  }
  // The bundle's own image part is only carried along (and captured).
  if (reader.partType == kPartImage) reader.nextPart();
  if (record->imageBased && packageDirOut != nullptr) *packageDirOut = packageDir(*record);

  const AcceptResult result = checkAcceptance(repo, *record, flags);
  if ((result & ~flags) != 0) return StreamInstall::kBundleFailed;

  if (InstalledPackage* older = findRecord(repo, record->name)) {
    stagePackageRemoval(repo, *older, m);
    takeRecord(repo, older);
  }
  if (!claimPath(m, packageDir(*record))) return StreamInstall::kNotInstalled;

  // The user's choice for the bundle survives its upgrade like a member's.
  if (auto kept = keptState.find(record->name); kept != keptState.end()) {
    record->disabled = kept->second;
    record->userChoice = true;
  }
  if (!writeMetadata(repo, *record, m)) return StreamInstall::kNotInstalled;

  Dependency reference;
  reference.name = record->name;
  reference.minVersion = record->version;
  reference.maxVersion = record->version;

  if (InstalledPackage* stale = findRecord(repo, record->name)) takeRecord(repo, stale);
  repo.packages.push_back(std::move(record));

  std::set<std::string> previousMembers;
  for (const auto& p : repo.packages) {
    if (p->bundle.name == reference.name) previousMembers.insert(p->name);
  }

  if (reader.partType == kPartOffByDefault) {
    std::vector<Dependency> offByDefault;
    // A list cut short keeps the entries read before the cut.
    static_cast<void>(readDependencyList(reader, offByDefault));
    for (const Dependency& entry : offByDefault) {
      if (keptState.count(entry.name) == 0)
        repo.packages.push_back(offByDefaultBlocker(entry.name));
    }
    reader.nextPart();
  }

  int members = 0;
  while (reader.partType == kPartHeader) {
    bool memberBootImage = false;
    const InstallOutcome member =
        installPackage(repo, m, reader, flags, keptState, &reference, nullptr, &memberBootImage);
    if (!member) return StreamInstall::kBundleFailed;
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
  applyScheduledActions(repo, m, Verbosity::kSilent);
  setStatusLine(repo, "");
  return StreamInstall::kInstalled;
}

}  // namespace

StreamInstall installFromStream(Repository& repo, Manifest& m, std::istream& input,
                                InstallFlags flags, const KeptState& keptState,
                                std::streambuf* copyTo, std::string* packageDirOut,
                                bool* bootImageOut, std::string* labelOut) {
  PackageReader reader(input, true, copyTo);
  reader.wantedTypes = {kPartHeader,  kPartBundleHeader, kPartOffByDefault, kPartArch,
                        kPartDepends, kPartProvides,     kPartConflicts,    kPartImage,
                        kPartPayload, kPartSignature};
  reader.nextPart();

  if (reader.partType != kPartBundleHeader) {
    const InstallOutcome outcome =
        installPackage(repo, m, reader, flags, keptState, nullptr, packageDirOut, bootImageOut);
    if (labelOut != nullptr) *labelOut = outcome.label;
    return outcome ? StreamInstall::kInstalled : StreamInstall::kNotInstalled;
  }
  return installBundle(repo, m, reader, flags, keptState, packageDirOut, bootImageOut, labelOut);
}

}  // namespace installer
