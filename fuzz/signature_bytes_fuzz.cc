// Fuzz target: the signature check on bytes, with the built-in keys and with
// keys taken from the input (the package tool verifies with keys given on
// its command line, which may be any 32 bytes, on the curve or not).
// Input: flags (1 byte: bit 0 SHA-256 digest, bit 1 "branding"), version
// (4), digest (32), Ed25519 key (32), legacy key (32), signature (the rest).
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "package/keys.h"
#include "package/signature.h"

namespace {

constexpr std::size_t kFixed = 1 + 4 + 32 + 32 + 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> in(data, data + size);
  if (in.size() < kFixed) in.resize(kFixed, 0);
  const std::uint8_t flags = in[0];
  const installer::Version version = installer::decodeLe32(in.data() + 1);
  const std::uint8_t* digest = in.data() + 5;
  installer::PublicKeys keys;
  std::memcpy(keys.ed25519.data(), in.data() + 37, 32);
  std::memcpy(keys.legacy.data(), in.data() + 69, 32);
  const std::uint8_t* signature = in.data() + kFixed;
  const std::size_t signatureSize = in.size() - kFixed;
  const std::string name = (flags & 2) ? "branding" : "system";
  const bool sha256 = (flags & 1) != 0;

  const bool builtIn =
      installer::verifySignatureBytes(name, version, digest, sha256, signature, signatureSize);
  const bool given = installer::verifySignatureBytes(name, version, digest, sha256, signature,
                                                     signatureSize, keys);
  // Only the first 132 (or 68) bytes of a signature count.
  if (signatureSize > installer::kFullSignatureSize) {
    FUZZ_CHECK(given == installer::verifySignatureBytes(name, version, digest, sha256, signature,
                                                        installer::kFullSignatureSize, keys));
  } else if (signatureSize > installer::kLegacySignatureSize &&
             signatureSize < installer::kFullSignatureSize) {
    FUZZ_CHECK(given == installer::verifySignatureBytes(name, version, digest, sha256, signature,
                                                        installer::kLegacySignatureSize, keys));
  }
  // Nothing is accepted for a package the older scheme may not sign unless
  // Ed25519 holds, which needs the full form and a SHA-256 digest.
  if ((builtIn || given) && !installer::legacyPermitted(name, version)) {
    FUZZ_CHECK(sha256 && signatureSize >= installer::kFullSignatureSize);
  }
  return 0;
}
