#include "pkgtool/json.h"

#include <cstdint>
#include <cstdio>

namespace installer {
namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and code points above
// U+10FFFF included).
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  }
  return length;
}

void appendUnicodeEscape(std::string& out, unsigned char c) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
  out += escaped;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  appendJsonStringBody(out, text);
  out += '"';
}

void appendJsonStringBody(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      appendUnicodeEscape(out, c);
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const std::size_t n = utf8SequenceLength(text, i); n != 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      appendUnicodeEscape(out, c);
      ++i;
    }
  }
}

std::size_t utf8CutTail(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto c = static_cast<unsigned char>(text[text.size() - back]);
    if (c < 0x80) return 0;
    if (c >= 0xC0) {
      const std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      return length > back ? back : 0;
    }
  }
  return 0;
}

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

}  // namespace installer
