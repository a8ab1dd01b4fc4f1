// Making the data of a signature part from a finished digest: the package
// tool's and the test fixtures' side of the signature check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "package/keys.h"

namespace installer {

struct SigningKeys {
  std::optional<Key32> ed25519Seed;   // RFC 8032 private key
  std::optional<Key32> legacySecret;  // scalar x, little-endian
};

enum class SignatureForm {
  kFull,        // 132 bytes: Ed25519, with the older half when a legacy secret is given
  kLegacyOnly,  // 68 bytes: the older scheme alone
};

// The signature data for `digest` (32 bytes when digestIsSha256, else the
// 20 of a SHA-1 digest). The first 20 bytes are zero. On failure returns
// false with a one-line reason in `error`.
[[nodiscard]] bool makeSignature(const SigningKeys& keys, SignatureForm form,
                                 const std::uint8_t* digest, bool digestIsSha256,
                                 std::vector<std::uint8_t>& signature, std::string& error);

}  // namespace installer
