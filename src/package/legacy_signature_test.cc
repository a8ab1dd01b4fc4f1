#include "package/legacy_signature.h"

#include <gtest/gtest.h>

#include "package/legacy_hash.h"
#include "platform/signing.h"
#include "support/dev_keys.h"
#include "support/hex.h"

namespace installer {
namespace {

using testing_support::fromHex;
using testing_support::toHex;

Key32 key(const char* hex) {
  Key32 k{};
  EXPECT_TRUE(parseHexKey(hex, k));
  return k;
}

TEST(LegacyHashTest, ReferenceValues) {
  const std::uint8_t zeros[20] = {};
  EXPECT_EQ(toHex(legacyHash(zeros, sizeof zeros)),
            "40c6cf281b96c85635e1ce80dcd26341b15a918ac905b2355cce30acece6aa24");
  std::uint8_t counting[32];
  for (int i = 0; i < 32; ++i) counting[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(toHex(legacyHash(counting, sizeof counting)),
            "f4bb6409d76b09c5a83b6df743cc96f81601903be5e7a79c027d1ab1131e19f7");
}

TEST(LegacyHashTest, OneBlockLimit) {
  std::uint8_t message[56] = {};
  // 55 bytes still fit the padding and the length; they hash to something.
  EXPECT_NE(toHex(legacyHash(message, 55)), std::string(64, '0'));
  EXPECT_NE(legacyHash(message, 55), legacyHash(message, 54));
  EXPECT_EQ(toHex(legacyHash(message, 56)), std::string(64, '0'));
}

// A signature made with the development secret by an independent signer.
struct Reference {
  std::vector<std::uint8_t> digest =
      fromHex("0bf474896363505e5ea5e5d6ace8ebfb13a760a409b1fb467d428fc716f9f284");
  std::vector<std::uint8_t> signature = fromHex(
      "0000000000000000000000000000000000000000"
      "30e1c05851cc919bd61afd84356bd3a4"
      "831d6e886f8e33a74e2354d2bd0c3fc576b43c1e75383853d26d2e2e3fcab90b");
  const std::uint8_t* e() const { return signature.data() + 20; }
  const std::uint8_t* s() const { return signature.data() + 36; }
};

TEST(LegacySignatureTest, ReferenceSignatureVerifies) {
  const Reference ref;
  const Key32 publicKey = key(testing_support::kDevLegacyPublicHex);
  EXPECT_TRUE(legacyVerify(ref.digest.data(), ref.e(), ref.s(), publicKey));
}

TEST(LegacySignatureTest, EveryFlippedDigestBitFails) {
  const Reference ref;
  const Key32 publicKey = key(testing_support::kDevLegacyPublicHex);
  // The older scheme signs the first 20 bytes of the digest.
  for (int bit = 0; bit < 160; ++bit) {
    auto digest = ref.digest;
    digest[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(legacyVerify(digest.data(), ref.e(), ref.s(), publicKey)) << "bit " << bit;
  }
}

TEST(LegacySignatureTest, FlippedSignatureBitsFail) {
  const Reference ref;
  const Key32 publicKey = key(testing_support::kDevLegacyPublicHex);
  for (int bit = 20 * 8; bit < 68 * 8; ++bit) {
    auto signature = ref.signature;
    signature[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    EXPECT_FALSE(
        legacyVerify(ref.digest.data(), signature.data() + 20, signature.data() + 36, publicKey))
        << "bit " << bit;
  }
}

TEST(LegacySignatureTest, DevelopmentSecretGivesThePublicKey) {
  Key32 publicKey{};
  ASSERT_TRUE(legacyPublicFromSecret(key(testing_support::kDevLegacySecretHex), publicKey));
  EXPECT_EQ(toHex(publicKey), testing_support::kDevLegacyPublicHex);
}

TEST(LegacySignatureTest, SignerRoundTrip) {
  const Reference ref;
  const Key32 secret = key(testing_support::kDevLegacySecretHex);
  const Key32 publicKey = key(testing_support::kDevLegacyPublicHex);
  std::uint8_t e[16];
  std::uint8_t s[32];
  ASSERT_TRUE(legacySign(secret, ref.digest.data(), e, s));
  EXPECT_TRUE(legacyVerify(ref.digest.data(), e, s, publicKey));
  auto other = ref.digest;
  other[0] ^= 1;
  EXPECT_FALSE(legacyVerify(other.data(), e, s, publicKey));
  EXPECT_FALSE(legacyVerify(ref.digest.data(), e, s, key(testing_support::kDevEd25519PublicHex)));
}

TEST(LegacySignatureTest, SignerHandlesTheNegatedSecret) {
  // l - x has the same public u-coordinate as x, but its point is the one
  // with the even v-coordinate; the verifier still reads the odd one.
  const Reference ref;
  Key32 negated{};
  ASSERT_TRUE(scalarNegate(key(testing_support::kDevLegacySecretHex).data(), negated.data()));
  Key32 publicKey{};
  ASSERT_TRUE(legacyPublicFromSecret(negated, publicKey));
  EXPECT_EQ(toHex(publicKey), testing_support::kDevLegacyPublicHex);
  std::uint8_t e[16];
  std::uint8_t s[32];
  ASSERT_TRUE(legacySign(negated, ref.digest.data(), e, s));
  EXPECT_TRUE(legacyVerify(ref.digest.data(), e, s, publicKey));
}

TEST(LegacySignatureTest, GeneratedKeysSignAndVerify) {
  for (int round = 0; round < 3; ++round) {
    Key32 secret{};
    Key32 publicKey{};
    ASSERT_TRUE(legacyGenerateSecret(secret));
    ASSERT_TRUE(legacyPublicFromSecret(secret, publicKey));
    std::uint8_t digest[20];
    ASSERT_TRUE(randomBytes(digest, sizeof digest));
    std::uint8_t e[16];
    std::uint8_t s[32];
    ASSERT_TRUE(legacySign(secret, digest, e, s));
    EXPECT_TRUE(legacyVerify(digest, e, s, publicKey));
  }
}

}  // namespace
}  // namespace installer
