// What `pkgtool inspect` shows: every part of a package or bundle file as
// the reader delivers it, decoded where the installer interprets it.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "records/package.h"

namespace installer {

struct InspectedEntry {
  std::uint16_t mode = 0;
  std::uint8_t hardwareClass = 0;
  std::uint32_t size = 0;
  std::string name;
};

struct InspectedPart {
  int type = 0;
  std::uint64_t offset = 0;  // of the part header
  std::uint32_t length = 0;  // declared data length
  bool truncated = false;    // the file ends inside the data
  // Header parts (1, 18).
  std::optional<Package> header;
  bool hasFlags = false;
  // Texts (24, 16, 2, 23).
  std::optional<std::string> text;
  // Lists (3, 19, 17, 20); listBroken when shorter than its count says.
  std::optional<std::vector<Dependency>> list;
  bool listBroken = false;
  // The payload (4); payloadBroken when an entry is cut inside its name or
  // data.
  std::vector<InspectedEntry> files;
  std::uint64_t unpackedSize = 0;
  bool payloadBroken = false;
  // The signature (9): whether the older scheme's half holds anything.
  bool legacyHalf = false;
};

struct InspectedFile {
  std::uint32_t magic = 0;
  bool magicKnown = false;
  std::uint64_t size = 0;           // bytes in the file
  std::uint64_t declaredSize = 0;   // payload length + 8
  std::uint64_t trailingBytes = 0;  // after the last whole part
  std::vector<InspectedPart> parts;
};

// False when not even the 8-byte file header could be read.
[[nodiscard]] bool inspectFile(std::istream& in, std::uint64_t size, InspectedFile& file);

// "header", "depends", ... or "unknown".
const char* partKindName(int type);

std::string renderInspectText(const InspectedFile& file, const std::string& path);
std::string renderInspectJson(const InspectedFile& file, const std::string& path);

}  // namespace installer
