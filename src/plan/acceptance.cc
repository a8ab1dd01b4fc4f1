#include "plan/acceptance.h"

#include <string_view>

#include "console/console.h"
#include "plan/relations.h"
#include "platform/flash_device.h"

namespace installer {

namespace {

// Packages the flash device holds to its minimum system version.
bool isSystemPackage(const std::string& name) {
  return name == "system" || std::string_view(name).starts_with("talvenix");
}

// Explains at most one finding per candidate: the first one the caller does
// not tolerate. Tolerated findings are counted silently.
class Findings {
 public:
  explicit Findings(InstallFlags flags) : flags_(flags) {}

  // Adds `bit`; true when its reason is to be printed now.
  bool add(AcceptResult bit) {
    result_ |= bit;
    if ((flags_ & bit) != 0 || reported_) return false;
    reported_ = true;
    return true;
  }
  AcceptResult result() const { return result_; }

 private:
  InstallFlags flags_;
  AcceptResult result_ = 0;
  bool reported_ = false;
};

void compareWithInstalled(const Repository& repo, RunOutput& output, const Package& candidate,
                          Findings& findings) {
  // "branding" may be replaced by any version: it is never compared.
  if (candidate.name == "branding") return;
  const InstalledPackage* installed = findRecord(repo, candidate.name);
  if (installed == nullptr) return;
  const int order = comparePackages(candidate, *installed);
  if (order < 0) {
    if (findings.add(kFlagDowngrade)) {
      warn(output, "omitting package %s: newer package %s is already installed",
           packageLabel(candidate).c_str(), packageLabel(*installed).c_str());
    }
  } else if (order == 0) {
    if (findings.add(kFlagReinstall)) {
      warn(output, "omitting package %s: it is already installed", packageLabel(candidate).c_str());
    }
  } else if (findings.add(kFlagUpgrade)) {
    warn(output, "omitting package %s: older package is already installed",
         packageLabel(candidate).c_str());
  }
}

}  // namespace

AcceptResult checkAcceptance(const Repository& repo, RunOutput& output, const Package& candidate,
                             InstallFlags flags) {
  return checkAcceptance(repo, output, candidate, flags, minimumSystemVersion);
}

AcceptResult checkAcceptance(const Repository& repo, RunOutput& output, const Package& candidate,
                             InstallFlags flags, Version (*minimumVersion)()) {
  Findings findings(flags);
  compareWithInstalled(repo, output, candidate, findings);

  if (isSystemPackage(candidate.name)) {
    const Version minimum = minimumVersion();
    if (candidate.version < minimum && findings.add(kFlagUnmet)) {
      reportError(output, "omitting package %s: min Talvenix version is %s",
                  packageLabel(candidate).c_str(), versionText(minimum).c_str());
    }
  }

  if (!candidate.arch.empty() && candidate.arch != repo.arch && findings.add(kFlagUnmet)) {
    reportError(output, "can not install %s: it is not made for %s, but for %s",
                packageLabel(candidate).c_str(), repo.arch.c_str(), candidate.arch.c_str());
  }

  for (const Dependency& entry : candidate.depends) {
    if (!findProviders(repo, entry, false).empty()) continue;
    if (findings.add(kFlagUnmet)) {
      reportError(output, "can not install %s: %s is not installed, but is required",
                  packageLabel(candidate).c_str(), dependencyLabel(entry).c_str());
    }
    break;  // only the first unmet requirement is looked at
  }

  if (const InstalledPackage* other = findConflicting(repo, candidate)) {
    if (findings.add(kFlagConflict)) {
      reportError(output, "can not install %s: it conflicts with %s",
                  packageLabel(candidate).c_str(), packageLabel(*other).c_str());
    }
  }
  return findings.result();
}

}  // namespace installer
