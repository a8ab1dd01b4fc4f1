#include "package/signer.h"

#include "package/legacy_signature.h"
#include "package/signature.h"
#include "platform/signing.h"

namespace installer {

bool makeSignature(const SigningKeys& keys, SignatureForm form, const std::uint8_t* digest,
                   bool digestIsSha256, std::vector<std::uint8_t>& signature, std::string& error) {
  const bool full = form == SignatureForm::kFull;
  std::vector<std::uint8_t> out(full ? kFullSignatureSize : kLegacySignatureSize, 0);
  if (full) {
    if (!keys.ed25519Seed) {
      error = "no Ed25519 key to sign with";
      return false;
    }
    // The installer checks Ed25519 only over a SHA-256 digest.
    if (!digestIsSha256) {
      error = "an Ed25519 signature needs a SHA-256 digest (a type-25 part before it)";
      return false;
    }
    if (!ed25519Sign(keys.ed25519Seed->data(), digest, 32, out.data() + kEd25519Offset)) {
      error = "Ed25519 signing failed";
      return false;
    }
  } else if (!keys.legacySecret) {
    error = "no legacy key to sign with";
    return false;
  }
  if (keys.legacySecret && !legacySign(*keys.legacySecret, digest, out.data() + kLegacyCheckOffset,
                                       out.data() + kLegacyScalarOffset)) {
    error = "legacy signing failed";
    return false;
  }
  signature = std::move(out);
  return true;
}

}  // namespace installer
