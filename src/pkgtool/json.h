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

// Appends `text` escaped as inside a JSON string, without the quotes: a long
// text may so be written piece by piece. A piece should not end inside a
// UTF-8 sequence (see utf8CutTail), or its bytes are escaped one by one.
void appendJsonStringBody(std::string& out, std::string_view text);

// How many bytes at the end of `text` begin a UTF-8 sequence that the text
// cuts short: held back, they join the next piece.
std::size_t utf8CutTail(std::string_view text);

// The same as a fresh string.
std::string jsonString(std::string_view text);

}  // namespace installer
