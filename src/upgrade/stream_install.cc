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

enum StreamResult {
  kInstalled = 0,
  kNotInstalled = 1,
  kBundleFailed = 2,
  kNoMember = 3,
};

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
// file that a new member now brings stays: its path is no longer the
// dropped member's, or removing the member would take the new file with it.
void markDroppedMembers(Repository& repo, const std::set<std::string>& names) {
  std::vector<InstalledPackage*> dropped;
  for (const std::string& name : names) {
    if (InstalledPackage* p = findRecord(repo, name)) dropped.push_back(p);
  }
  for (InstalledPackage* p : dropped) p->action = PendingAction::kUninstall;
  for (const auto& kept : repo.packages) {
    if (kept->action == PendingAction::kUninstall) continue;
    for (InstalledPackage* p : dropped) {
      for (const std::string& path : kept->files) p->files.erase(path);
    }
  }
}

int installBundle(Repository& repo, Manifest& m, PackageReader& reader, InstallFlags flags,
                  const KeptState& keptState, std::string* packageDirOut, bool* bootImageOut) {
  if (bootImageOut != nullptr) *bootImageOut = false;

  auto record = std::make_unique<InstalledPackage>();
  if (!readHeader(*record, reader)) return kNotInstalled;
  if (!isSafePackageName(record->name)) {
    reportBrokenPackage(*record);
    return kNotInstalled;
  }
  if (!record->depends.empty() || !record->provides.empty() || !record->conflicts.empty()) {
    return kNotInstalled;
  }
  // The bundle's own image part is only carried along (and captured).
  if (reader.partType == kPartImage) reader.nextPart();
  if (record->imageBased && packageDirOut != nullptr) *packageDirOut = packageDir(*record);

  const AcceptResult result = checkAcceptance(repo, *record, flags);
  if ((result & ~flags) != 0) return kBundleFailed;

  if (InstalledPackage* older = findRecord(repo, record->name)) {
    stagePackageRemoval(*older, m);
    takeRecord(repo, older);
  }
  if (!claimPath(m, packageDir(*record))) return kNotInstalled;

  // The user's choice for the bundle survives its upgrade like a member's.
  if (auto kept = keptState.find(record->name); kept != keptState.end()) {
    record->disabled = kept->second;
    record->userChoice = true;
  }
  if (!writeMetadata(*record, m)) return kNotInstalled;

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
    readDependencyList(reader, offByDefault);
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
    if (!member) return kBundleFailed;
    previousMembers.erase(member.name);
    if (bootImageOut != nullptr && memberBootImage) *bootImageOut = true;
    ++members;
  }

  if (reader.partType == kPartArch) reader.nextPart();
  if (reader.partType != -1) return kBundleFailed;
  // A stream cut between two members looks like a bundle with fewer
  // members; only the length its header declares tells them apart.
  if (reader.part().partStart < reader.totalLength) return kBundleFailed;
  if (members == 0) return kNoMember;

  markDroppedMembers(repo, previousMembers);
  applyScheduledActions(repo, m, 0);
  setStatusLine(repo, "");
  return kInstalled;
}

}  // namespace

int installFromStream(Repository& repo, Manifest& m, std::istream& input, InstallFlags flags,
                      const KeptState& keptState, std::streambuf* copyTo,
                      std::string* packageDirOut, bool* bootImageOut) {
  PackageReader reader(input, true, copyTo);
  reader.wantedTypes = {kPartHeader,  kPartBundleHeader, kPartOffByDefault, kPartArch,
                        kPartDepends, kPartProvides,     kPartConflicts,    kPartImage,
                        kPartPayload, kPartSignature};
  reader.nextPart();

  if (reader.partType != kPartBundleHeader) {
    const InstallOutcome outcome =
        installPackage(repo, m, reader, flags, keptState, nullptr, packageDirOut, bootImageOut);
    return outcome ? kInstalled : kNotInstalled;
  }
  return installBundle(repo, m, reader, flags, keptState, packageDirOut, bootImageOut);
}

}  // namespace installer
