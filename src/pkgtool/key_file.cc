#include "pkgtool/key_file.h"

#include <sstream>

#include "pkgtool/output_file.h"

namespace installer {

const char* keyKindName(KeyKind kind) {
  switch (kind) {
    case KeyKind::kEd25519Secret:
      return "ed25519-secret";
    case KeyKind::kEd25519Public:
      return "ed25519-public";
    case KeyKind::kLegacySecret:
      return "legacy-secret";
    case KeyKind::kLegacyPublic:
      return "legacy-public";
  }
  return "";
}

bool parseKeyText(const std::string& text, KeyKind expected, Key32& key, std::string& reason) {
  std::istringstream words(text);
  std::string first;
  std::string second;
  std::string extra;
  words >> first >> second >> extra;
  std::string hex = first;
  bool known = false;
  for (KeyKind kind : {KeyKind::kEd25519Secret, KeyKind::kEd25519Public, KeyKind::kLegacySecret,
                       KeyKind::kLegacyPublic}) {
    known = known || first == keyKindName(kind);
  }
  if (known) {
    if (first != keyKindName(expected)) {
      reason = "holds the kind " + first + " where " + keyKindName(expected) + " is needed";
      return false;
    }
    hex = second;
    second.clear();
  }
  if (!second.empty() || !extra.empty() || !parseHexKey(hex, key)) {
    reason =
        std::string("is not a key file of the kind ") + keyKindName(expected) + " (64 hex digits)";
    return false;
  }
  return true;
}

bool readKeyFile(const std::string& path, KeyKind expected, Key32& key, std::string& error) {
  std::string text;
  if (!readWholeFile(path, text, error)) return false;
  std::string reason;
  if (!parseKeyText(text, expected, key, reason)) {
    error = "key file " + path + " " + reason;
    return false;
  }
  return true;
}

std::string keyFileText(KeyKind kind, const Key32& key) {
  return std::string(keyKindName(kind)) + " " + hexText(key.data(), key.size()) + "\n";
}

}  // namespace installer
