// The signature check on the part a hashing reader stands on; kept apart
// from the check on bytes, which needs no reader.
#include "package/format.h"
#include "package/signature.h"

namespace installer {

bool verifySignature(const Package& p, PackageReader& reader) {
  return verifySignature(p, reader, builtInKeys());
}

bool verifySignature(const Package& p, PackageReader& reader, const PublicKeys& keys) {
  return checkSignature(p, reader, keys).accepted();
}

SignatureVerdict checkSignature(const Package& p, PackageReader& reader, const PublicKeys& keys) {
  PartStreambuf& part = reader.part();
  if (reader.partType != kPartSignature || !part.hashing()) return {};
  // The digest ends with the signature part's own header.
  part.finishHash();
  std::size_t n = 0;
  if (part.partLength >= kFullSignatureSize) {
    n = kFullSignatureSize;
  } else if (part.partLength >= kLegacySignatureSize) {
    n = kLegacySignatureSize;
  } else {
    return {};
  }
  std::uint8_t signature[kFullSignatureSize];
  if (part.readUnhashed(signature, n) != n) return {};
  return checkSignatureBytes(p.name, p.version, part.digest(), part.hashIsSha256(), signature, n,
                             keys);
}

}  // namespace installer
