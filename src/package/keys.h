// The public keys a signature is checked against: the pair built into the
// installer, or a pair given explicitly (the package tool, tests).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace installer {

using Key32 = std::array<std::uint8_t, 32>;

struct PublicKeys {
  Key32 ed25519{};  // RFC 8032 encoding
  Key32 legacy{};   // u-coordinate of a Curve25519 point, little-endian
  // False when the older scheme is switched off: no signature of it is
  // accepted, whatever the package.
  bool legacyEnabled = true;
};

// The keys chosen when the installer was built.
PublicKeys builtInKeys();

// 64 hex digits (either case) into 32 bytes; false on anything else.
[[nodiscard]] bool parseHexKey(std::string_view hex, Key32& key);
std::string hexText(const std::uint8_t* bytes, std::size_t size);

}  // namespace installer
