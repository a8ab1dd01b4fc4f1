// The package file container, shared by the reader and the writer: a file
// header, then typed parts back to back. Every integer is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

constexpr std::uint32_t kMagicPackage = 0xBAD0F11E;
// Files with this magic install beside an existing package of the same name.
constexpr std::uint32_t kMagicSideBySide = 0xA1100FFB;

constexpr std::size_t kFileHeaderSize = 8;  // magic, payload length
constexpr std::size_t kFileLengthOffset = 4;
constexpr std::size_t kPartHeaderSize = 6;  // type (2), data length (4)
constexpr std::size_t kPartLengthOffset = 2;

// The data of a package or bundle header part: the name, NUL-padded, then
// the version and build time; 8 bytes nobody reads; the flags word only
// when the part is long enough to hold it.
constexpr std::size_t kHeaderDataSize = 32;
constexpr std::size_t kHeaderDataWithFlags = 36;
constexpr std::size_t kNameSize = 16;
constexpr std::size_t kHeaderVersionOffset = 16;
constexpr std::size_t kHeaderBuildTimeOffset = 20;
constexpr std::size_t kHeaderFlagsOffset = 32;

// A dependency list: a 16-bit count, then entries of a NUL-padded name, the
// lowest version, 4 bytes nobody reads, the highest version and a signed
// priority.
constexpr std::size_t kDependencyCountSize = 2;
constexpr std::size_t kDependencyEntrySize = 32;
constexpr std::size_t kEntryMinVersionOffset = 16;
constexpr std::size_t kEntryMaxVersionOffset = 24;
constexpr std::size_t kEntryPriorityOffset = 28;

enum PartType : std::uint16_t {
  kPartHeader = 1,
  kPartAuxText = 2,
  kPartDepends = 3,
  kPartPayload = 4,
  kPartSignature = 9,
  kPartArch = 16,
  kPartConflicts = 17,
  kPartBundleHeader = 18,
  kPartProvides = 19,
  kPartOffByDefault = 20,
  kPartImage = 21,
  kPartNote = 23,
  kPartExtraText = 24,
  kPartSha256Switch = 25,
};

// The reader's part type when it stands on no part: before the first, after
// the last, after an error.
constexpr int kNoPart = -1;

// Payload file entries, inside the inflated type-4 data.
constexpr std::size_t kFileEntryHeaderSize = 30;
constexpr std::uint16_t kModeTypeMask = 0xF000;
constexpr std::uint16_t kModeRegular = 0x8000;

inline std::uint16_t decodeLe16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t decodeLe32(const unsigned char* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline void encodeLe16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
inline void encodeLe32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace installer
