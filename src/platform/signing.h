// Primitives that only signing needs (the package tool and test fixtures,
// never the installer's check): Ed25519 signing, random bytes and scalar
// arithmetic modulo the order of the Curve25519 base point, from the
// platform's crypto library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace installer {

bool ed25519PublicFromSeed(const std::uint8_t seed[32], std::uint8_t publicKey[32]);
bool ed25519Sign(const std::uint8_t seed[32], const std::uint8_t* message, std::size_t messageSize,
                 std::uint8_t signature[64]);

// Bytes from the crypto library's generator for secrets.
[[nodiscard]] bool randomBytes(std::uint8_t* out, std::size_t size);

// Scalars are little-endian; l = 2^252 + 27742317777372353535851937790883648493.
// in mod l, for an input of any length.
[[nodiscard]] bool scalarReduce(const std::uint8_t* in, std::size_t size, std::uint8_t out[32]);
// (l - x) mod l.
[[nodiscard]] bool scalarNegate(const std::uint8_t x[32], std::uint8_t out[32]);
// (r - k) / x mod l; false when x is 0 mod l.
[[nodiscard]] bool scalarSolve(const std::uint8_t r[32], const std::uint8_t k[32],
                               const std::uint8_t x[32], std::uint8_t out[32]);

}  // namespace installer
