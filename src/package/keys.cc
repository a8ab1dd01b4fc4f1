#include "package/keys.h"

namespace installer {
namespace {

constexpr int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr bool decodeHex(std::string_view hex, Key32& key) {
  if (hex.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = hexDigit(hex[2 * i]);
    const int low = hexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    key[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return true;
}

constexpr Key32 decodeBuiltIn(std::string_view hex) {
  Key32 key{};
  decodeHex(hex, key);
  return key;
}

constexpr bool validKeyText(std::string_view hex) {
  Key32 key{};
  return decodeHex(hex, key);
}

// An empty legacy key is a build that switched the older scheme off.
constexpr bool kLegacyEnabled = std::string_view(INSTALLER_LEGACY_PUBLIC_KEY_HEX).size() != 0;

// A malformed build setting stops the build instead of yielding a key of
// zeros that nothing verifies against.
static_assert(validKeyText(INSTALLER_ED25519_PUBLIC_KEY_HEX),
              "INSTALLER_ED25519_PUBLIC_KEY must be 64 hex digits");
static_assert(!kLegacyEnabled || validKeyText(INSTALLER_LEGACY_PUBLIC_KEY_HEX),
              "INSTALLER_LEGACY_PUBLIC_KEY must be 64 hex digits or none");

constexpr PublicKeys kBuiltIn = {decodeBuiltIn(INSTALLER_ED25519_PUBLIC_KEY_HEX),
                                 decodeBuiltIn(INSTALLER_LEGACY_PUBLIC_KEY_HEX), kLegacyEnabled};

}  // namespace

PublicKeys builtInKeys() { return kBuiltIn; }

bool parseHexKey(std::string_view hex, Key32& key) {
  Key32 parsed{};
  if (!decodeHex(hex, parsed)) return false;
  key = parsed;
  return true;
}

std::string hexText(const std::uint8_t* bytes, std::size_t size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (std::size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace installer
