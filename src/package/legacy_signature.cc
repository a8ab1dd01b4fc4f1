#include "package/legacy_signature.h"

#include "package/curve25519.h"
#include "package/legacy_hash.h"
#include "platform/signing.h"

namespace installer {
namespace {

const std::uint8_t kNine[32] = {9};

bool isZero(const Key32& k) {
  for (std::uint8_t b : k) {
    if (b != 0) return false;
  }
  return true;
}

// A uniformly drawn non-zero scalar below the group order.
bool randomScalar(Key32& out) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::uint8_t wide[64];
    if (!randomBytes(wide, sizeof wide) || !scalarReduce(wide, sizeof wide, out.data())) {
      return false;
    }
    if (!isZero(out)) return true;
  }
  return false;
}

// The verifier reads the public key as the point with the odd v-coordinate;
// that is x*B or -x*B. Telling them apart: Q + B has the u-coordinate of
// (x + 1)*B only when Q = x*B (barring x = 0).
bool secretMatchesOddPoint(const Key32& secret, const Key32& publicKey, bool& matches) {
  CurvePoint q;
  if (!decompressOddPoint(publicKey.data(), q)) return false;
  FieldElement sum;
  FieldElement difference;
  if (!sumAndDifference(basePoint(), q, sum, difference)) return false;
  Key32 next = secret;
  for (std::uint8_t& b : next) {
    if (++b != 0) break;
  }
  Key32 expected;
  scalarProduct(next.data(), kNine, expected.data());
  matches = fieldToBytes(sum) == expected;
  return true;
}

}  // namespace

Key32 legacyChallenge(const std::uint8_t digest[20], const std::uint8_t e[16]) {
  Key32 k = legacyHash(digest, 20);
  for (std::size_t i = 0; i < kLegacyCheckSize; ++i) k[8 + i] ^= e[i];
  k[0] &= 0xF8;
  k[31] = static_cast<std::uint8_t>((k[31] & 0x7F) | 0x40);
  return k;
}

bool legacyVerify(const std::uint8_t digest[20], const std::uint8_t e[16], const std::uint8_t s[32],
                  const Key32& publicKey) {
  const Key32 k = legacyChallenge(digest, e);
  std::uint8_t point[32];
  if (!doubleScalarProduct(s, publicKey.data(), k.data(), point)) return false;
  const auto c = legacyHash(point, sizeof point);
  bool same = true;
  for (std::size_t i = 0; i < kLegacyCheckSize; ++i) same = same && c[i] == e[i];
  return same;
}

bool legacyPublicFromSecret(const Key32& secret, Key32& publicKey) {
  if (isZero(secret)) return false;
  scalarProduct(secret.data(), kNine, publicKey.data());
  return true;
}

bool legacyGenerateSecret(Key32& secret) {
  Key32 x;
  Key32 q;
  bool matches = false;
  if (!randomScalar(x) || !legacyPublicFromSecret(x, q) || !secretMatchesOddPoint(x, q, matches)) {
    return false;
  }
  if (!matches && !scalarNegate(x.data(), x.data())) return false;
  secret = x;
  return true;
}

bool legacySign(const Key32& secret, const std::uint8_t digest[20], std::uint8_t e[16],
                std::uint8_t s[32]) {
  Key32 q;
  bool matches = false;
  if (!legacyPublicFromSecret(secret, q) || !secretMatchesOddPoint(secret, q, matches)) {
    return false;
  }
  Key32 x = secret;
  if (!matches && !scalarNegate(x.data(), x.data())) return false;

  // With R = r*B: e = legacyHash(u(R)), and s*Q + k*B = R when
  // s = (r - k) / x modulo the group order.
  Key32 r;
  if (!randomScalar(r)) return false;
  std::uint8_t rU[32];
  scalarProduct(r.data(), kNine, rU);
  const auto c = legacyHash(rU, sizeof rU);
  for (std::size_t i = 0; i < kLegacyCheckSize; ++i) e[i] = c[i];
  const Key32 k = legacyChallenge(digest, e);
  if (!scalarSolve(r.data(), k.data(), x.data(), s)) return false;
  return legacyVerify(digest, e, s, q);
}

}  // namespace installer
