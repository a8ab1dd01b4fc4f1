// Key files of the package tool: one line "KIND HEX", where KIND says what
// the 64 hex digits are, or the bare 64 hex digits (the kind then being the
// one the caller expects).
#pragma once

#include <string>

#include "package/keys.h"

namespace installer {

enum class KeyKind { kEd25519Secret, kEd25519Public, kLegacySecret, kLegacyPublic };

// "ed25519-secret", "ed25519-public", "legacy-secret", "legacy-public".
const char* keyKindName(KeyKind kind);

[[nodiscard]] bool parseKeyText(const std::string& text, KeyKind expected, Key32& key,
                                std::string& reason);
[[nodiscard]] bool readKeyFile(const std::string& path, KeyKind expected, Key32& key,
                               std::string& error);
std::string keyFileText(KeyKind kind, const Key32& key);

}  // namespace installer
