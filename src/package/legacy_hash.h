// The one-block hash of the older signature scheme: the SHA-256 compression
// function with its own initial state and round constants.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace installer {

constexpr std::size_t kLegacyHashMaxMessage = 55;  // what fits one padded block

// Pads the message as SHA-256 does (0x80, zeros, 64-bit big-endian bit
// length) into one 64-byte block and compresses it once. `size` must be at
// most kLegacyHashMaxMessage; longer messages yield all zero bytes.
std::array<std::uint8_t, 32> legacyHash(const std::uint8_t* message, std::size_t size);

}  // namespace installer
