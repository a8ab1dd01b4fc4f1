// Package records: what a package file header says, what the database holds
// for an installed package, and the tests that match records to dependencies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/path_set.h"
#include "records/version.h"

namespace installer {

// One entry of a depends, provides or conflicts list. Bounds of 0 mean
// "unbounded"; priority only matters in provides lists.
struct Dependency {
  std::string name;
  Version minVersion = 0;
  Version maxVersion = 0;
  std::int32_t priority = 0;
};

enum class PendingAction : std::uint32_t { kNone = 0, kUninstall = 1, kEnable = 2, kDisable = 3 };

// "", "uninstall", "enable", "disable": the schedule-file and message words.
const char* actionWord(PendingAction action);

// Header flag bits.
constexpr std::uint32_t kFlagBootImage = 0x01;
constexpr std::uint32_t kFlagNoMetadata = 0x02;

class Package {
 public:
  explicit Package(std::string packageName = {}) : name(std::move(packageName)) {}
  // Copies are deep: a bundle copy owns copies of its members.
  Package(const Package& other);
  Package& operator=(const Package& other);
  Package(Package&&) = default;
  Package& operator=(Package&&) = default;
  virtual ~Package() = default;

  std::string name;
  Version version = 0;
  std::uint32_t buildTime = 0;
  std::uint32_t flags = 0;
  std::string extraText;  // part 24, stored only
  std::string arch;       // part 16; "i386" when a header is read without one
  std::string auxText;    // part 2, stored only
  std::string note;       // part 23, shown by the listing
  bool imageBased = false;
  std::vector<Dependency> depends;
  std::vector<Dependency> provides;
  std::vector<Dependency> conflicts;
  bool isBundle = false;
  std::vector<std::unique_ptr<Package>> members;  // bundle members in file order
};

class InstalledPackage : public Package {
 public:
  using Package::Package;

  // Absolute paths as extraction created them ("/flash/bin/tool").
  PathSet files;
  Dependency bundle;  // empty name: not part of a bundle
  bool disabled = false;
  bool userChoice = false;
  PendingAction action = PendingAction::kNone;
};

class PackageFile : public Package {
 public:
  using Package::Package;
  std::string path;
};

// Records that take no part in matching, ordering or scheduling.
bool isPlaceholder(const Package& p);

// Calls `visit` with every name that conflictsWith looks at for `p`: its own,
// those it provides and conflicts with, and those of its members. Two
// packages that share none of these names conflict in neither direction.
template <typename Visit>
void forEachConflictName(const Package& p, const Visit& visit) {
  visit(p.name);
  for (const Dependency& offer : p.provides) visit(offer.name);
  for (const Dependency& entry : p.conflicts) visit(entry.name);
  for (const auto& member : p.members) forEachConflictName(*member, visit);
}
bool satisfies(const Package& p, const Dependency& d);
bool providesMatch(const Package& p, const Dependency& d);

// "/flash/var/pdb/NAME/".
std::string packageDir(const Package& p);

// "name-version".
std::string packageLabel(const Package& p);
// "name", or "name-minVersion" when the lower bound is set.
std::string dependencyLabel(const Dependency& d);
// The bundle's label for a bundle member, else packageLabel.
std::string displayLabel(const InstalledPackage& p);

}  // namespace installer
