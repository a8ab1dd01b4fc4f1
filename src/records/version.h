// Version numbers: one unsigned 32-bit word, compared as a plain integer.
#pragma once

#include <cstdint>
#include <string>

namespace installer {

// major (bits 31-24), minor (23-16), stage letter (15-8), number (7-0).
using Version = std::uint32_t;

enum VersionStage : std::uint8_t {
  kStageAlpha = 0x61,
  kStageBeta = 0x62,
  kStageCandidate = 0x63,
  kStageFinal = 0x66,
};

constexpr Version makeVersion(unsigned major, unsigned minor, unsigned stage, unsigned number) {
  return (Version{major & 0xFF} << 24) | (Version{minor & 0xFF} << 16) |
         (Version{stage & 0xFF} << 8) | Version{number & 0xFF};
}

constexpr unsigned versionMajor(Version v) { return v >> 24; }

// "7.1", "7.1.3", "7.1beta3", "7.1rc", and "7.15" for a stage without a name.
std::string versionText(Version v);

}  // namespace installer
