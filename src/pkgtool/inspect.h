// What `pkgtool inspect` shows: every part of a package or bundle file as
// the reader delivers it, decoded where the installer interprets it. The
// file is shown as it is read, never held whole: a payload of many entries
// or a text of many megabytes costs no more memory than a small one.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
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
  // Texts (24, 16, 2, 23): their bytes come in pieces between the part's
  // start and end.
  bool isText = false;
  // Lists (3, 19, 17, 20); listBroken when shorter than its count says.
  std::optional<std::vector<Dependency>> list;
  bool listBroken = false;
  // The payload (4): its entries come one by one between the part's start
  // and end; payloadBroken when an entry is cut inside its name or data.
  std::uint64_t fileCount = 0;
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
  std::uint64_t trailingBytes = 0;  // after the last whole part, or beyond
                                    // the declared size
};

// Takes what is found, in file order.
class InspectSink {
 public:
  virtual ~InspectSink() = default;
  virtual void fileStart(const InspectedFile& file) = 0;
  // All that is known before the part's contents: its place, a header, a
  // list.
  virtual void partStart(const InspectedPart& part) = 0;
  virtual void textPiece(std::string_view piece) = 0;
  virtual void entry(const InspectedEntry& entry) = 0;
  // The payload's totals, the signature's form.
  virtual void partEnd(const InspectedPart& part) = 0;
  virtual void fileEnd(const InspectedFile& file) = 0;
};

// Reads the file and hands what it holds to `sink`, parts only up to the
// size the file's header declares. False when not even the 8-byte file
// header could be read; a file of unknown magic reaches the sink not at all
// (file.magicKnown tells).
[[nodiscard]] bool inspectFile(std::istream& in, std::uint64_t size, InspectedFile& file,
                               InspectSink& sink);

// "header", "depends", ... or "unknown".
const char* partKindName(int type);

// Sinks that write the file for people, or as one JSON object, to `out` as
// it is read.
std::unique_ptr<InspectSink> inspectTextWriter(std::ostream& out, const std::string& path);
std::unique_ptr<InspectSink> inspectJsonWriter(std::ostream& out, const std::string& path);

}  // namespace installer
