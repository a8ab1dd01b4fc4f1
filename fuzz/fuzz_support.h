// Helpers shared by the fuzz targets: a failed check that libFuzzer records
// as a crash, and an independent walk over the parts of a package file (by
// the declared lengths alone) that the targets compare the reader with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "package/format.h"
#include "platform/hash.h"

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

namespace fuzzing {

struct PartSpan {
  std::uint16_t type = 0;
  std::size_t headerOffset = 0;  // of the 6-byte part header
  std::uint32_t length = 0;      // declared data length
};

// The parts of `file` by their declared lengths. `tiled` is true when the
// parts end exactly at the end of the file, or with fewer than 6 bytes left
// (a cut part header, which the reader treats as the end).
struct PartWalk {
  bool headerComplete = false;
  std::vector<PartSpan> parts;
  bool tiled = false;
};

inline PartWalk walkParts(std::string_view file) {
  PartWalk walk;
  if (file.size() < installer::kFileHeaderSize) return walk;
  walk.headerComplete = true;
  std::size_t pos = installer::kFileHeaderSize;
  for (;;) {
    if (file.size() - pos < installer::kPartHeaderSize) {
      walk.tiled = true;
      return walk;
    }
    const auto* header = reinterpret_cast<const unsigned char*>(file.data()) + pos;
    PartSpan span{installer::decodeLe16(header), pos, installer::decodeLe32(header + 2)};
    walk.parts.push_back(span);
    const std::size_t end = pos + installer::kPartHeaderSize + std::size_t{span.length};
    if (end > file.size()) return walk;
    pos = end;
  }
}

// The digest a hashing reader finishes at the end of a tiled file: over the
// bytes from the last type-1 header (or, once a type-25 header came, the
// SHA-256 run from the later of the two) up to the end of the last part.
struct Digest {
  bool sha256 = false;
  std::string bytes;
};

inline Digest digestAtEnd(std::string_view file, const PartWalk& walk) {
  bool sha256 = false;
  std::size_t start = installer::kFileHeaderSize;
  std::size_t end = installer::kFileHeaderSize;
  for (const PartSpan& p : walk.parts) {
    if (p.type == installer::kPartSha256Switch && !sha256) {
      sha256 = true;
      start = p.headerOffset;
    } else if (p.type == installer::kPartHeader) {
      start = p.headerOffset;
    }
    end = p.headerOffset + installer::kPartHeaderSize + p.length;
  }
  auto hasher = installer::Hasher::create(sha256 ? installer::Hasher::Kind::kSha256
                                                 : installer::Hasher::Kind::kSha1);
  hasher->update(file.data() + start, end - start);
  std::uint8_t out[32];
  hasher->finish(out);
  return {sha256, std::string(reinterpret_cast<const char*>(out), hasher->digestSize())};
}

}  // namespace fuzzing
