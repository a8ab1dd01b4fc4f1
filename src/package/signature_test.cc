#include "package/signature.h"

#include <gtest/gtest.h>

#include "package/signer.h"
#include "support/dev_keys.h"
#include "support/hex.h"
#include "support/versions.h"

namespace installer {
namespace {

using testing_support::devPublicKeys;
using testing_support::devSigningKeys;
using testing_support::fromHex;
using testing_support::kV7_16;
using testing_support::kV7_1beta3;
using testing_support::kV7_1beta4;

TEST(LegacyPermittedTest, RangesAndBranding) {
  struct {
    const char* name;
    Version version;
    bool permitted;
  } cases[] = {
      {"system", 0, true},
      {"system", 0x062E6608, true},  // 6.46.8
      {"system", 0x062E6609, false},
      {"system", 0x062EFFFF, false},
      {"system", 0x062F0000, true},   // 6.47
      {"system", 0x06306600, true},   // 6.48
      {"system", 0x06306601, false},  // 6.48.1
      {"system", 0x06FFFFFF, false},
      {"system", 0x07000000, true},  // 7.0
      {"system", kV7_1beta3, true},
      {"system", kV7_1beta4, false},
      {"system", kV7_16, false},
      {"branding", kV7_16, true},
      {"branding", 0xFFFFFFFF, true},
      {"Branding", kV7_16, false},
      {"branding2", kV7_16, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(legacyPermitted(c.name, c.version), c.permitted)
        << c.name << " " << std::hex << c.version;
  }
}

TEST(KeysTest, BuiltInKeysAreTheDevelopmentPairByDefault) {
  const PublicKeys builtIn = builtInKeys();
  const PublicKeys dev = devPublicKeys();
  EXPECT_EQ(builtIn.ed25519, dev.ed25519);
  EXPECT_EQ(builtIn.legacy, dev.legacy);
}

TEST(KeysTest, HexKeyParsing) {
  Key32 key{};
  EXPECT_TRUE(parseHexKey(std::string(63, 'a') + "B", key));
  EXPECT_EQ(key[31], 0xAB);
  EXPECT_FALSE(parseHexKey(std::string(63, 'a'), key));
  EXPECT_FALSE(parseHexKey(std::string(66, 'a'), key));
  EXPECT_FALSE(parseHexKey(std::string(63, 'a') + "g", key));
  EXPECT_EQ(key[31], 0xAB);  // untouched by the failures
  EXPECT_EQ(hexText(key.data(), 2), "aaaa");
}

// Signatures over one digest with the development keys, and versions of
// them with one half spoilt.
class SignatureBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(
        makeSignature(devSigningKeys(), SignatureForm::kFull, digest.data(), true, full, error))
        << error;
    ASSERT_EQ(full.size(), kFullSignatureSize);
    brokenEd25519 = full;
    brokenEd25519[100] ^= 0x01;
    brokenLegacy = full;
    brokenLegacy[40] ^= 0x01;
    brokenBoth = brokenEd25519;
    brokenBoth[40] ^= 0x01;
    SigningKeys ed25519Only = devSigningKeys();
    ed25519Only.legacySecret.reset();
    ASSERT_TRUE(
        makeSignature(ed25519Only, SignatureForm::kFull, digest.data(), true, noLegacy, error));
  }

  bool check(const std::vector<std::uint8_t>& signature, std::size_t size, Version version,
             bool sha256 = true, const std::string& name = "system") {
    std::vector<std::uint8_t> bytes = signature;
    bytes.resize(std::max(size, bytes.size()), 0xEE);
    return verifySignatureBytes(name, version, digest.data(), sha256, bytes.data(), size,
                                devPublicKeys());
  }

  std::vector<std::uint8_t> digest =
      fromHex("0bf474896363505e5ea5e5d6ace8ebfb13a760a409b1fb467d428fc716f9f284");
  std::vector<std::uint8_t> full, brokenEd25519, brokenLegacy, brokenBoth, noLegacy;
};

TEST_F(SignatureBytesTest, FullForm) {
  EXPECT_TRUE(check(full, 132, kV7_16));
  EXPECT_TRUE(check(full, 200, kV7_16));  // bytes beyond 132 are not taken
  EXPECT_TRUE(check(brokenLegacy, 132, kV7_16));
  EXPECT_TRUE(check(noLegacy, 132, kV7_16));
  EXPECT_TRUE(check(noLegacy, 132, kV7_1beta3));
  EXPECT_FALSE(check(brokenBoth, 132, kV7_1beta3));
  // The built-in keys are the development pair in a default build.
  EXPECT_TRUE(verifySignatureBytes("system", kV7_16, digest.data(), true, full.data(), 132));
}

TEST_F(SignatureBytesTest, FailedEd25519FallsBackToTheOlderSchemeOnlyWherePermitted) {
  EXPECT_TRUE(check(brokenEd25519, 132, kV7_1beta3));
  EXPECT_FALSE(check(brokenEd25519, 132, kV7_1beta4));
  EXPECT_TRUE(check(brokenEd25519, 132, 0x06306600));   // 6.48
  EXPECT_FALSE(check(brokenEd25519, 132, 0x06306601));  // 6.48.1
  EXPECT_TRUE(check(brokenEd25519, 132, kV7_16, true, "branding"));
  EXPECT_FALSE(check(noLegacy, 132, kV7_1beta3, false));
}

TEST_F(SignatureBytesTest, ShortFormNeverUsesEd25519) {
  for (std::size_t size : {68, 100, 131}) {
    SCOPED_TRACE(size);
    EXPECT_FALSE(check(full, size, kV7_16));
    EXPECT_TRUE(check(full, size, kV7_1beta3));
    EXPECT_FALSE(check(brokenLegacy, size, kV7_1beta3));
    EXPECT_TRUE(check(full, size, kV7_16, true, "branding"));
  }
  EXPECT_FALSE(check(full, 67, kV7_1beta3));
  EXPECT_FALSE(check(full, 0, kV7_1beta3));
}

TEST_F(SignatureBytesTest, Sha1DigestOnlyFeedsTheOlderScheme) {
  EXPECT_FALSE(check(full, 132, kV7_16, false));
  EXPECT_TRUE(check(full, 132, kV7_1beta3, false));
}

TEST_F(SignatureBytesTest, OtherKeysRefuse) {
  PublicKeys other = devPublicKeys();
  other.ed25519[0] ^= 1;
  other.legacy = devPublicKeys().ed25519;  // some other valid curve point or none
  EXPECT_FALSE(
      verifySignatureBytes("system", kV7_1beta3, digest.data(), true, full.data(), 132, other));
}

TEST_F(SignatureBytesTest, TheOlderSchemeSwitchedOffAcceptsNothing) {
  PublicKeys off = devPublicKeys();
  off.legacyEnabled = false;
  for (const std::string& name : {std::string("system"), std::string("branding")}) {
    const SignatureVerdict v =
        checkSignatureBytes(name, kV7_1beta3, digest.data(), true, brokenEd25519.data(), 132, off);
    EXPECT_FALSE(v.accepted()) << name;
    EXPECT_TRUE(v.triedEd25519);
    EXPECT_TRUE(v.legacyAllowed);
    EXPECT_FALSE(v.triedLegacy);
  }
  // Ed25519 is untouched by it.
  EXPECT_EQ(
      checkSignatureBytes("system", kV7_16, digest.data(), true, full.data(), 132, off).acceptedBy,
      SignatureScheme::kEd25519);
  EXPECT_EQ(checkSignatureBytes("system", kV7_1beta3, digest.data(), true, brokenEd25519.data(),
                                132, devPublicKeys())
                .acceptedBy,
            SignatureScheme::kLegacy);
}

TEST(SignerTest, MissingKeysAndDigestKinds) {
  const std::vector<std::uint8_t> digest(32, 7);
  std::vector<std::uint8_t> out;
  std::string error;
  SigningKeys none;
  EXPECT_FALSE(makeSignature(none, SignatureForm::kFull, digest.data(), true, out, error));
  EXPECT_EQ(error, "no Ed25519 key to sign with");
  EXPECT_FALSE(makeSignature(none, SignatureForm::kLegacyOnly, digest.data(), true, out, error));
  EXPECT_EQ(error, "no legacy key to sign with");
  EXPECT_FALSE(
      makeSignature(devSigningKeys(), SignatureForm::kFull, digest.data(), false, out, error));
  EXPECT_TRUE(out.empty());

  // A legacy-only signature over a SHA-1 digest (20 bytes used).
  ASSERT_TRUE(makeSignature(devSigningKeys(), SignatureForm::kLegacyOnly, digest.data(), false, out,
                            error));
  ASSERT_EQ(out.size(), kLegacySignatureSize);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 20),
            std::vector<std::uint8_t>(20, 0));
  EXPECT_TRUE(verifySignatureBytes("system", kV7_1beta3, digest.data(), false, out.data(),
                                   out.size(), devPublicKeys()));
}

}  // namespace
}  // namespace installer
