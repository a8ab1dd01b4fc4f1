// The package description file of the package tool: one "field: value" per
// line, with "#" comments and blank lines ignored.
//
//   name: NAME                 at most 16 bytes
//   version: 7.1.3             also 7.1, 7.1rc2, 7.1beta3, 7.1alpha1, 0x07016603
//   build-time: now            or seconds since 1970, or YYYY-MM-DD HH:MM:SS (UTC)
//   arch: TEXT                 note: TEXT, extra-text: TEXT (part 24), aux-text: TEXT (part 2)
//   depends: NAME [min=V] [max=V]                 (repeatable, as are the next two)
//   provides: NAME [min=V] [max=V] [priority=N]
//   conflicts: NAME [min=V] [max=V]
//   flags: boot-image no-metadata                 or a number
//   class: PATTERN CLASS       files matching PATTERN (a shell pattern on the path
//                              inside the package, "*" also matching "/") install
//                              only on hardware class CLASS (1..4; 0 = any); the
//                              first matching line wins
//   magic: package             or side-by-side
//   image: FILE                an image part (type 21) with FILE's bytes; relative
//                              to the description file's directory
//   off-by-default: NAME       bundles only: a member that arrives disabled
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/package.h"

namespace installer {

struct ClassRule {
  std::string pattern;
  std::uint8_t hardwareClass = 0;
};

struct PackageDescription {
  Package header;  // name, version, build time, flags, texts and lists
  bool buildTimeGiven = false;
  std::uint32_t magic = 0;  // 0: the ordinary package magic
  std::vector<ClassRule> classes;
  std::optional<std::string> imageFile;  // resolved path
  std::vector<std::string> offByDefault;
};

// "7.1.3", "7.1", "7.1rc2", "7.1rc", "7.1beta3", "7.1alpha1" or "0x" and
// eight hex digits; every number 0..255.
std::optional<Version> parseVersionText(const std::string& text);

// Parses `text` (the contents of the file at `path`, whose directory
// relative image paths are taken from). On failure `error` holds
// "PATH:LINE: reason".
[[nodiscard]] bool parseDescription(const std::string& text, const std::string& path,
                                    PackageDescription& description, std::string& error);

// The build time of a description without one: SOURCE_DATE_EPOCH when it
// holds a number of seconds (for reproducible builds), else now.
std::uint32_t defaultBuildTime();

// The hardware class of the first rule whose pattern matches `name`, else 0.
std::uint8_t classFor(const std::vector<ClassRule>& rules, const std::string& name);

}  // namespace installer
