#include "pkgtool/key_file.h"

#include <gtest/gtest.h>

namespace installer {
namespace {

TEST(KeyFileTest, TaggedAndBareKeys) {
  const std::string hex(64, 'a');
  struct {
    std::string text;
    KeyKind expected;
    const char* reason;  // empty: accepted
  } cases[] = {
      {"ed25519-secret " + hex + "\n", KeyKind::kEd25519Secret, ""},
      {hex + "\n", KeyKind::kLegacyPublic, ""},
      {"  legacy-public\t" + hex, KeyKind::kLegacyPublic, ""},
      {"ed25519-public " + hex + "\n", KeyKind::kEd25519Secret,
       "holds the kind ed25519-public where ed25519-secret is needed"},
      {"legacy-secret " + hex + " trailing", KeyKind::kLegacySecret,
       "is not a key file of the kind legacy-secret (64 hex digits)"},
      {"ed25519-secret " + hex.substr(2), KeyKind::kEd25519Secret,
       "is not a key file of the kind ed25519-secret (64 hex digits)"},
      {"# comment\n" + hex, KeyKind::kEd25519Secret,
       "is not a key file of the kind ed25519-secret (64 hex digits)"},
      {"", KeyKind::kEd25519Secret, "is not a key file of the kind ed25519-secret (64 hex digits)"},
  };
  for (const auto& c : cases) {
    Key32 key{};
    std::string reason;
    const bool accepted = parseKeyText(c.text, c.expected, key, reason);
    EXPECT_EQ(accepted, std::string(c.reason).empty()) << c.text;
    EXPECT_EQ(reason, c.reason) << c.text;
    if (accepted) {
      EXPECT_EQ(key[0], 0xAA);
    }
  }
  Key32 key{};
  key[0] = 0x01;
  key[31] = 0xFE;
  std::string reason;
  Key32 back{};
  ASSERT_TRUE(
      parseKeyText(keyFileText(KeyKind::kLegacySecret, key), KeyKind::kLegacySecret, back, reason));
  EXPECT_EQ(back, key);
  EXPECT_EQ(keyFileText(KeyKind::kLegacySecret, key).substr(0, 16), "legacy-secret 01");
}

}  // namespace
}  // namespace installer
