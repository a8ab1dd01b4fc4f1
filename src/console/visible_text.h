// Text from package files and the database shown on a console or written to
// a line-oriented log: a control byte in a name would move the cursor, draw
// escape sequences or start a forged line, so each one is shown as "?".
#pragma once

#include <string>
#include <string_view>

namespace installer {

// Whether `c` is shown as "?": bytes below 0x20 and 0x7F.
constexpr bool isControlByte(unsigned char c) { return c < 0x20 || c == 0x7F; }

// `text` with every control byte replaced by "?".
std::string visibleText(std::string_view text);

// The same in place.
void makeVisible(std::string& text);

}  // namespace installer
