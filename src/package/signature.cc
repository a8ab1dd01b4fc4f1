#include "package/signature.h"

#include "package/format.h"
#include "package/legacy_signature.h"
#include "platform/ed25519.h"

namespace installer {

bool legacyPermitted(const std::string& name, Version version) {
  if (name == "branding") return true;
  return version <= 0x062E6608 || (version >= 0x062F0000 && version <= 0x06306600) ||
         (version >= 0x07000000 && version <= 0x07016203);
}

bool verifySignature(const Package& p, PackageReader& reader) {
  return verifySignature(p, reader, builtInKeys());
}

bool verifySignature(const Package& p, PackageReader& reader, const PublicKeys& keys) {
  PartStreambuf& part = reader.part();
  if (reader.partType != kPartSignature || !part.hashing()) return false;
  // The digest ends with the signature part's own header.
  part.finishHash();
  std::size_t n = 0;
  if (part.partLength >= kFullSignatureSize) {
    n = kFullSignatureSize;
  } else if (part.partLength >= kLegacySignatureSize) {
    n = kLegacySignatureSize;
  } else {
    return false;
  }
  std::uint8_t signature[kFullSignatureSize];
  if (part.readUnhashed(signature, n) != n) return false;
  return verifySignatureBytes(p.name, p.version, part.digest(), part.hashIsSha256(), signature, n,
                              keys);
}

bool verifySignatureBytes(const std::string& name, Version version, const std::uint8_t* digest,
                          bool digestIsSha256, const std::uint8_t* signature, std::size_t size) {
  return verifySignatureBytes(name, version, digest, digestIsSha256, signature, size,
                              builtInKeys());
}

bool verifySignatureBytes(const std::string& name, Version version, const std::uint8_t* digest,
                          bool digestIsSha256, const std::uint8_t* signature, std::size_t size,
                          const PublicKeys& keys) {
  if (size < kLegacySignatureSize) return false;
  // Ed25519 needs the 32-byte SHA-256 digest; a SHA-1 digest only feeds the
  // older scheme, which uses its first 20 bytes either way.
  if (size >= kFullSignatureSize && digestIsSha256 &&
      ed25519Verify(keys.ed25519.data(), digest, 32, signature + kEd25519Offset)) {
    return true;
  }
  if (!legacyPermitted(name, version)) return false;
  return legacyVerify(digest, signature + kLegacyCheckOffset, signature + kLegacyScalarOffset,
                      keys.legacy);
}

}  // namespace installer
