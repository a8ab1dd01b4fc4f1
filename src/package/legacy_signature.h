// The older signature scheme: a check value e (16 bytes) and a scalar s
// (32 bytes) such that legacyHash(u(s*Q + k*B)) starts with e, where k is
// derived from the digest and e, and Q is the signer's public point.
#pragma once

#include <cstdint>

#include "package/keys.h"

namespace installer {

constexpr std::size_t kLegacyCheckSize = 16;

// k = legacyHash(digest[0..20]) with bytes 8..23 XORed with e, clamped as
// Curve25519 scalars are.
Key32 legacyChallenge(const std::uint8_t digest[20], const std::uint8_t e[16]);

// Whether (e, s) signs the first 20 bytes of `digest` under `publicKey`.
[[nodiscard]] bool legacyVerify(const std::uint8_t digest[20], const std::uint8_t e[16],
                                const std::uint8_t s[32], const Key32& publicKey);

// Signing, for the package tool and test fixtures. The secret is a scalar x
// (little-endian, below the group order); the public key is u(x*B).
[[nodiscard]] bool legacyPublicFromSecret(const Key32& secret, Key32& publicKey);
// A fresh secret whose public point x*B has the odd v-coordinate, the one
// the verifier decompresses to.
[[nodiscard]] bool legacyGenerateSecret(Key32& secret);
// Fills e and s with a random nonce; checks the result before returning.
[[nodiscard]] bool legacySign(const Key32& secret, const std::uint8_t digest[20],
                              std::uint8_t e[16], std::uint8_t s[32]);

}  // namespace installer
