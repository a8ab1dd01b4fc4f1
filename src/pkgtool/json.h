// JSON string literals for pkgtool's machine-readable output.
#pragma once

#include <string>
#include <string_view>

namespace installer {

// Appends `text` to `out` as a quoted JSON string. Valid UTF-8 passes through
// unchanged; quotes, backslashes and control bytes are escaped as JSON
// requires. Package files carry names as raw bytes, so a byte that is not
// part of a valid UTF-8 sequence is written as "\u00XX" (its value as a code
// point): the output stays valid JSON and no byte is dropped silently.
void appendJsonString(std::string& out, std::string_view text);

// The same as a fresh string.
std::string jsonString(std::string_view text);

}  // namespace installer
