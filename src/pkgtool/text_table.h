// Text for people: columns aligned by their widest cell, and names made safe
// to print on a terminal.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace installer {

class TextTable {
 public:
  void addRow(std::vector<std::string> cells);
  // Each cell padded to its column's width, two blanks between columns, no
  // blanks at the end of a line.
  std::string render() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

// `text` with every byte below 0x20 and 0x7F shown as "?": names come from
// package files and must not move the cursor or clear the screen.
std::string forTerminal(std::string_view text);

}  // namespace installer
