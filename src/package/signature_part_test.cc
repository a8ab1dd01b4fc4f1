// The signature check as the installer runs it: on packages built by the
// writer, read back through a hashing reader.
#include <gtest/gtest.h>

#include <sstream>

#include "package/signature.h"
#include "package/signer.h"
#include "package/writer.h"
#include "support/dev_keys.h"
#include "support/versions.h"

namespace installer {
namespace {

using testing_support::devPublicKeys;
using testing_support::devSigningKeys;
using testing_support::kV7_16;
using testing_support::kV7_1beta3;

Package samplePackage(Version version) {
  Package p("routing");
  p.version = version;
  p.buildTime = 1700000000;
  p.arch = "arm";
  p.note = "dynamic routing";
  p.depends = {{"system", makeVersion(7, 1, kStageFinal, 0), 0, 0}};
  p.provides = {{"bgp", 0, 0, 3}};
  return p;
}

enum class Switch { kBeforeHeader, kAfterHeader, kNone };

struct Layout {
  Switch placement = Switch::kBeforeHeader;
  SignatureForm form = SignatureForm::kFull;
  std::uint32_t signatureSize = 132;
  SigningKeys keys = devSigningKeys();
};

// 25, 1, 23, 16, 3, 19, an unknown part 7, 4, 9 (with the default layout).
std::string buildPackage(const Package& p, const Layout& layout = {}) {
  PackageWriter w;
  if (layout.placement == Switch::kBeforeHeader) w.addSha256Switch();
  w.addPackageHeader(p);
  if (layout.placement == Switch::kAfterHeader) w.addSha256Switch();
  w.addPart(7, "data of a part nobody wants");
  w.addPayload({{0100755, 0, "bin/routed", "#!/bin/sh\necho routing\n"},
                {0100644, 0, "etc/routed.conf", "interval 30\n"}});
  const SigningDigest digest = w.signingDigest(layout.signatureSize);
  std::vector<std::uint8_t> signature;
  std::string error;
  EXPECT_TRUE(
      makeSignature(layout.keys, layout.form, digest.bytes, digest.sha256, signature, error))
      << error;
  signature.resize(layout.signatureSize, 0);
  w.addPart(kPartSignature,
            std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size()));
  return w.bytes();
}

enum class Outcome { kAccepted, kRefused, kUnreadable };

// Walks a single package as the installer does: header, payload, signature,
// then the end of the file. `copy` receives every consumed byte.
Outcome check(const std::string& file, std::string* copy = nullptr, bool hashing = true) {
  std::istringstream in(file);
  std::stringbuf copyBuf;
  PackageReader reader(in, hashing, copy != nullptr ? &copyBuf : nullptr);
  reader.wantedTypes = {1, 18, 20, 16, 3, 19, 17, 21, 4, 9};
  Package p;
  if (reader.nextPart() != kPartHeader || !readHeader(p, reader)) return Outcome::kUnreadable;
  if (reader.partType == kPartPayload) reader.nextPart();
  if (reader.partType != kPartSignature) return Outcome::kUnreadable;
  const bool accepted = verifySignature(p, reader, devPublicKeys());
  if (reader.nextPart() != kNoPart) return Outcome::kUnreadable;
  if (copy != nullptr) *copy = copyBuf.str();
  return accepted ? Outcome::kAccepted : Outcome::kRefused;
}

std::size_t partOffset(const std::string& file, std::uint16_t wanted) {
  std::size_t pos = kFileHeaderSize;
  while (pos + kPartHeaderSize <= file.size()) {
    const auto* h = reinterpret_cast<const unsigned char*>(file.data()) + pos;
    if (decodeLe16(h) == wanted) return pos;
    pos += kPartHeaderSize + decodeLe32(h + 2);
  }
  return std::string::npos;
}

TEST(SignaturePartTest, BuiltPackageVerifiesAndIsCopiedWhole) {
  const std::string file = buildPackage(samplePackage(kV7_16));
  std::string copy;
  EXPECT_EQ(check(file, &copy), Outcome::kAccepted);
  EXPECT_EQ(copy, file);  // the unhashed signature bytes are copied too
  // The built-in keys are the development pair in a default build.
  std::istringstream in(file);
  PackageReader reader(in, true);
  reader.wantedTypes = {1, 9};
  Package p;
  ASSERT_EQ(reader.nextPart(), kPartHeader);
  ASSERT_TRUE(readHeader(p, reader));
  while (reader.partType != kPartSignature && reader.nextPart() != kNoPart) {
  }
  EXPECT_TRUE(verifySignature(p, reader));
}

TEST(SignaturePartTest, RefusedWithoutHashingOrOffTheSignaturePart) {
  const std::string file = buildPackage(samplePackage(kV7_16));
  EXPECT_EQ(check(file, nullptr, false), Outcome::kRefused);

  std::istringstream in(file);
  PackageReader reader(in, true);
  reader.wantedTypes = {1, 4, 9};
  Package p;
  ASSERT_EQ(reader.nextPart(), kPartHeader);
  ASSERT_TRUE(readHeader(p, reader));
  ASSERT_EQ(reader.partType, kPartPayload);
  EXPECT_FALSE(verifySignature(p, reader, devPublicKeys()));
}

TEST(SignaturePartTest, EveryFlippedHashedByteIsRefused) {
  // A version where both schemes may accept, so that both must fail.
  const std::string file = buildPackage(samplePackage(kV7_1beta3));
  ASSERT_EQ(check(file), Outcome::kAccepted);
  const std::size_t first = partOffset(file, kPartHeader);
  const std::size_t signature = partOffset(file, kPartSignature);
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(signature, std::string::npos);
  // From the type-1 header up to and including the signature part's header.
  for (std::size_t i = first; i < signature + kPartHeaderSize; ++i) {
    for (int flip : {0x01, 0x80}) {
      std::string spoilt = file;
      spoilt[i] = static_cast<char>(spoilt[i] ^ flip);
      EXPECT_NE(check(spoilt), Outcome::kAccepted) << "byte " << i << " flip " << flip;
    }
  }
}

TEST(SignaturePartTest, SwitchAfterTheHeaderLeavesTheHeaderUnsigned) {
  // Why signed packages put the type-25 part first: after the header, the
  // digest restarts behind it and a changed version still verifies.
  Layout layout;
  layout.placement = Switch::kAfterHeader;
  const std::string file = buildPackage(samplePackage(kV7_16), layout);
  ASSERT_EQ(check(file), Outcome::kAccepted);
  std::string spoilt = file;
  spoilt[partOffset(file, kPartHeader) + kPartHeaderSize + 16] ^= static_cast<char>(1);
  EXPECT_EQ(check(spoilt), Outcome::kAccepted);

  const std::string covered = buildPackage(samplePackage(kV7_16));
  spoilt = covered;
  spoilt[partOffset(covered, kPartHeader) + kPartHeaderSize + 16] ^= static_cast<char>(1);
  EXPECT_EQ(check(spoilt), Outcome::kRefused);
}

TEST(SignaturePartTest, SignatureFormsBySize) {
  struct Case {
    const char* name;
    Switch placement;
    SignatureForm form;
    std::uint32_t size;
    Version version;
    Outcome expected;
  } cases[] = {
      {"full", Switch::kBeforeHeader, SignatureForm::kFull, 132, kV7_16, Outcome::kAccepted},
      {"full, padded", Switch::kBeforeHeader, SignatureForm::kFull, 140, kV7_16,
       Outcome::kAccepted},
      {"100 bytes read as 68, old version", Switch::kBeforeHeader, SignatureForm::kLegacyOnly, 100,
       kV7_1beta3, Outcome::kAccepted},
      {"100 bytes read as 68, new version", Switch::kBeforeHeader, SignatureForm::kLegacyOnly, 100,
       kV7_16, Outcome::kRefused},
      {"68 bytes over a SHA-1 digest", Switch::kNone, SignatureForm::kLegacyOnly, 68, kV7_1beta3,
       Outcome::kAccepted},
  };
  for (const Case& c : cases) {
    Layout layout;
    layout.placement = c.placement;
    layout.form = c.form;
    layout.signatureSize = c.size;
    EXPECT_EQ(check(buildPackage(samplePackage(c.version), layout)), c.expected) << c.name;
  }
}

TEST(SignaturePartTest, ShortSignaturePartIsRefused) {
  Layout layout;
  layout.form = SignatureForm::kLegacyOnly;
  layout.signatureSize = 68;
  std::string file = buildPackage(samplePackage(kV7_1beta3), layout);
  // Cut the part to 67 bytes: shorten its length field and drop the last byte.
  const std::size_t signature = partOffset(file, kPartSignature);
  encodeLe32(reinterpret_cast<unsigned char*>(file.data()) + signature + 2, 67);
  file.pop_back();
  encodeLe32(reinterpret_cast<unsigned char*>(file.data()) + 4,
             static_cast<std::uint32_t>(file.size() - kFileHeaderSize));
  EXPECT_EQ(check(file), Outcome::kRefused);
}

}  // namespace
}  // namespace installer
