#include "platform/ed25519.h"

#include <gtest/gtest.h>

#include "platform/signing.h"
#include "support/dev_keys.h"
#include "support/hex.h"

namespace installer {
namespace {

using testing_support::fromHex;
using testing_support::toHex;

struct Rfc8032Case {
  const char* name;
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032 section 7.1, tests 1 to 3.
const Rfc8032Case kCases[] = {
    {"test1", "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
     "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
    {"test2", "4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
     "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    {"test3", "c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac"
     "18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519Test, Rfc8032Vectors) {
  for (const Rfc8032Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto seed = fromHex(c.seed);
    const auto publicKey = fromHex(c.publicKey);
    const auto message = fromHex(c.message);
    const auto signature = fromHex(c.signature);
    EXPECT_TRUE(ed25519Verify(publicKey.data(), message.data(), message.size(), signature.data()));

    std::uint8_t derived[32];
    ASSERT_TRUE(ed25519PublicFromSeed(seed.data(), derived));
    EXPECT_EQ(toHex(derived, 32), c.publicKey);
    std::uint8_t made[64];
    ASSERT_TRUE(ed25519Sign(seed.data(), message.data(), message.size(), made));
    EXPECT_EQ(toHex(made, 64), c.signature);  // Ed25519 signing is deterministic

    auto spoilt = signature;
    spoilt[0] ^= 1;
    EXPECT_FALSE(ed25519Verify(publicKey.data(), message.data(), message.size(), spoilt.data()));
    auto otherMessage = message;
    otherMessage.push_back(0);
    EXPECT_FALSE(ed25519Verify(publicKey.data(), otherMessage.data(), otherMessage.size(),
                               signature.data()));
  }
}

TEST(Ed25519Test, DevelopmentSeedGivesThePublicKey) {
  std::uint8_t derived[32];
  ASSERT_TRUE(ed25519PublicFromSeed(fromHex(testing_support::kDevEd25519SeedHex).data(), derived));
  EXPECT_EQ(toHex(derived, 32), testing_support::kDevEd25519PublicHex);
}

TEST(ScalarTest, ArithmeticModuloTheGroupOrder) {
  const auto order = fromHex("edd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  std::uint8_t out[32];
  ASSERT_TRUE(scalarReduce(order.data(), order.size(), out));
  EXPECT_EQ(toHex(out, 32), std::string(64, '0'));
  std::uint8_t one[32] = {1};
  ASSERT_TRUE(scalarNegate(one, out));
  EXPECT_EQ(toHex(out, 32), "ecd3f55c1a631258d69cf7a2def9de1400000000000000000000000000000010");
  // (5 - 2) / 3 = 1.
  std::uint8_t five[32] = {5};
  std::uint8_t two[32] = {2};
  std::uint8_t three[32] = {3};
  ASSERT_TRUE(scalarSolve(five, two, three, out));
  EXPECT_EQ(toHex(out, 32), toHex(one, 32));
  std::uint8_t zero[32] = {};
  EXPECT_FALSE(scalarSolve(five, two, zero, out));
}

}  // namespace
}  // namespace installer
