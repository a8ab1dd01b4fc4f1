// The signature check of a package: Ed25519 over the SHA-256 digest, or the
// older Curve25519 scheme for packages of older versions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/keys.h"
#include "package/reader.h"
#include "records/package.h"

namespace installer {

// Signature part sizes: the older scheme alone, and with Ed25519 after it.
constexpr std::size_t kLegacySignatureSize = 68;
constexpr std::size_t kFullSignatureSize = 132;
// Offsets inside the signature data.
constexpr std::size_t kLegacyCheckOffset = 20;   // e, 16 bytes
constexpr std::size_t kLegacyScalarOffset = 36;  // s, 32 bytes
constexpr std::size_t kEd25519Offset = 68;       // 64 bytes

// The reader must stand on the signature part with hashing on. Finishes the
// reader's hash and consumes the signature bytes (unhashed); the built-in
// keys, or the ones given.
[[nodiscard]] bool verifySignature(const Package& p, PackageReader& reader);
[[nodiscard]] bool verifySignature(const Package& p, PackageReader& reader, const PublicKeys& keys);

// The core of the check, on the finished digest and the signature bytes
// (132 or more: the full form; 68 to 131: the first 68; fewer: refused).
[[nodiscard]] bool verifySignatureBytes(const std::string& name, Version version,
                                        const std::uint8_t* digest, bool digestIsSha256,
                                        const std::uint8_t* signature, std::size_t size);
[[nodiscard]] bool verifySignatureBytes(const std::string& name, Version version,
                                        const std::uint8_t* digest, bool digestIsSha256,
                                        const std::uint8_t* signature, std::size_t size,
                                        const PublicKeys& keys);

// Whether the older scheme may accept a package of this name and version.
bool legacyPermitted(const std::string& name, Version version);

// What one check tried and what accepted it, for tools that explain a
// verdict; the installer needs only `accepted()`.
enum class SignatureScheme { kNone, kEd25519, kLegacy };

struct SignatureVerdict {
  SignatureScheme acceptedBy = SignatureScheme::kNone;
  std::size_t form = 0;        // 132 or 68 bytes taken; 0: the part is too short
  bool triedEd25519 = false;   // the full form over a SHA-256 digest
  bool legacyAllowed = false;  // the package may use the older scheme
  bool triedLegacy = false;    // allowed, and the scheme is switched on

  bool accepted() const { return acceptedBy != SignatureScheme::kNone; }
};

[[nodiscard]] SignatureVerdict checkSignatureBytes(const std::string& name, Version version,
                                                   const std::uint8_t* digest, bool digestIsSha256,
                                                   const std::uint8_t* signature, std::size_t size,
                                                   const PublicKeys& keys);
// The reader form; a reader not on a hashing signature part gives form 0.
[[nodiscard]] SignatureVerdict checkSignature(const Package& p, PackageReader& reader,
                                              const PublicKeys& keys);

}  // namespace installer
