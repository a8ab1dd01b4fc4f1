#include "package/signature.h"

#include "package/legacy_signature.h"
#include "platform/ed25519.h"

namespace installer {

bool legacyPermitted(const std::string& name, Version version) {
  if (name == "branding") return true;
  return version <= 0x062E6608 || (version >= 0x062F0000 && version <= 0x06306600) ||
         (version >= 0x07000000 && version <= 0x07016203);
}

bool verifySignatureBytes(const std::string& name, Version version, const std::uint8_t* digest,
                          bool digestIsSha256, const std::uint8_t* signature, std::size_t size) {
  return verifySignatureBytes(name, version, digest, digestIsSha256, signature, size,
                              builtInKeys());
}

bool verifySignatureBytes(const std::string& name, Version version, const std::uint8_t* digest,
                          bool digestIsSha256, const std::uint8_t* signature, std::size_t size,
                          const PublicKeys& keys) {
  return checkSignatureBytes(name, version, digest, digestIsSha256, signature, size, keys)
      .accepted();
}

SignatureVerdict checkSignatureBytes(const std::string& name, Version version,
                                     const std::uint8_t* digest, bool digestIsSha256,
                                     const std::uint8_t* signature, std::size_t size,
                                     const PublicKeys& keys) {
  SignatureVerdict verdict;
  if (size < kLegacySignatureSize) return verdict;
  verdict.form = size >= kFullSignatureSize ? kFullSignatureSize : kLegacySignatureSize;
  // Ed25519 needs the 32-byte SHA-256 digest; a SHA-1 digest only feeds the
  // older scheme, which uses its first 20 bytes either way.
  verdict.triedEd25519 = verdict.form == kFullSignatureSize && digestIsSha256;
  if (verdict.triedEd25519 &&
      ed25519Verify(keys.ed25519.data(), digest, 32, signature + kEd25519Offset)) {
    verdict.acceptedBy = SignatureScheme::kEd25519;
    return verdict;
  }
  verdict.legacyAllowed = legacyPermitted(name, version);
  verdict.triedLegacy = verdict.legacyAllowed && keys.legacyEnabled;
  if (verdict.triedLegacy && legacyVerify(digest, signature + kLegacyCheckOffset,
                                          signature + kLegacyScalarOffset, keys.legacy)) {
    verdict.acceptedBy = SignatureScheme::kLegacy;
  }
  return verdict;
}

}  // namespace installer
