// The signature check of a package: Ed25519 over the SHA-256 digest, or the
// older Curve25519 scheme for packages of older versions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "db/package.h"
#include "package/reader.h"

namespace installer {

// The reader must stand on the signature part with hashing on.
bool verifySignature(const Package& p, PackageReader& reader);

// The core of the check, on the finished digest and the signature bytes
// (68 or 132 of them).
bool verifySignatureBytes(const std::string& name, Version version, const std::uint8_t* digest,
                          bool digestIsSha256, const std::uint8_t* signature, std::size_t size);

// Whether the older scheme may accept a package of this name and version.
bool legacyPermitted(const std::string& name, Version version);

}  // namespace installer
