#include "records/package.h"

namespace installer {

const char* actionWord(PendingAction action) {
  static const char* const kWords[] = {"", "uninstall", "enable", "disable"};
  const auto index = static_cast<std::uint32_t>(action);
  return index < 4 ? kWords[index] : "";
}

Package::Package(const Package& other)
    : name(other.name),
      version(other.version),
      buildTime(other.buildTime),
      flags(other.flags),
      extraText(other.extraText),
      arch(other.arch),
      auxText(other.auxText),
      note(other.note),
      imageBased(other.imageBased),
      depends(other.depends),
      provides(other.provides),
      conflicts(other.conflicts),
      isBundle(other.isBundle) {
  members.reserve(other.members.size());
  for (const auto& m : other.members) members.push_back(std::make_unique<Package>(*m));
}

Package& Package::operator=(const Package& other) {
  if (this != &other) {
    Package copy(other);
    *this = std::move(copy);
  }
  return *this;
}

bool isPlaceholder(const Package& p) {
  return p.version == 0xFFFFFFFF && p.buildTime == 0xFFFFFFFF;
}

bool satisfies(const Package& p, const Dependency& d) {
  return p.name == d.name && p.version >= d.minVersion &&
         (d.maxVersion == 0 || d.maxVersion >= p.version);
}

bool providesMatch(const Package& p, const Dependency& d) {
  for (const Dependency& offer : p.provides) {
    if (offer.name != d.name) continue;
    const bool startsAfterEnd =
        offer.minVersion != 0 && d.maxVersion != 0 && offer.minVersion > d.maxVersion;
    const bool endsBeforeStart = offer.maxVersion != 0 && offer.maxVersion < d.minVersion;
    if (!startsAfterEnd && !endsBeforeStart) return true;
  }
  return false;
}

std::string packageDir(const Package& p) { return "/flash/var/pdb/" + p.name + "/"; }

std::string packageLabel(const Package& p) { return p.name + "-" + versionText(p.version); }

std::string dependencyLabel(const Dependency& d) {
  if (d.minVersion == 0) return d.name;
  return d.name + "-" + versionText(d.minVersion);
}

std::string displayLabel(const InstalledPackage& p) {
  return p.bundle.name.empty() ? packageLabel(p) : dependencyLabel(p.bundle);
}

}  // namespace installer
