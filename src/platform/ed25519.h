// Ed25519 signature verification (RFC 8032) from the platform's crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

[[nodiscard]] bool ed25519Verify(const std::uint8_t publicKey[32], const std::uint8_t* message,
                                 std::size_t messageSize, const std::uint8_t signature[64]);

}  // namespace installer
