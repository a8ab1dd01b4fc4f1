// Reading a small database file whole, without setting up a stream for the
// many files that are absent (most packages have no "conflicts" file, say).
#pragma once

#include <string>

namespace installer {

// Replaces `text` with the contents of `path`; false when the file cannot be
// opened. A read error ends the text where it happened.
bool readFileText(const std::string& path, std::string& text);

}  // namespace installer
