// DEVELOPMENT ONLY. The private halves of the development key pair that a
// default build of the installer trusts. They sign test fixtures and the
// packages of a development build; they are public knowledge and must never
// sign a release. Release builds set their own public keys (CMake cache
// variables INSTALLER_ED25519_PUBLIC_KEY and INSTALLER_LEGACY_PUBLIC_KEY).
#pragma once

#include "package/keys.h"
#include "package/signer.h"

namespace testing_support {

inline constexpr char kDevEd25519SeedHex[] =
    "ddfb9d10380913e36f653c6a4e24bb1a5da8d402aa12a346494496c817a7a0c9";
inline constexpr char kDevEd25519PublicHex[] =
    "5ded8249fa9d49b4848a5ca5988df1df5636f47aaaabc5f6e9848f1b8b3f94f5";
inline constexpr char kDevLegacySecretHex[] =
    "e01563142b57072e4e476fff0b4b8ea5ccc49ab495e5425f23646b2a17487003";
inline constexpr char kDevLegacyPublicHex[] =
    "5dd6d85d4f596860d7685c488559f44b9bb2ab63645b6b261fbb677a76b1cf68";

// Both development secrets.
inline installer::SigningKeys devSigningKeys() {
  installer::Key32 seed{};
  installer::Key32 secret{};
  // The constants above are well-formed: parsing them cannot fail.
  static_cast<void>(installer::parseHexKey(kDevEd25519SeedHex, seed));
  static_cast<void>(installer::parseHexKey(kDevLegacySecretHex, secret));
  return {seed, secret};
}

inline installer::PublicKeys devPublicKeys() {
  installer::PublicKeys keys;
  static_cast<void>(installer::parseHexKey(kDevEd25519PublicHex, keys.ed25519));
  static_cast<void>(installer::parseHexKey(kDevLegacyPublicHex, keys.legacy));
  return keys;
}

}  // namespace testing_support
