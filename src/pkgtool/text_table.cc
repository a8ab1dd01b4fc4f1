#include "pkgtool/text_table.h"

#include <algorithm>

namespace installer {
namespace {

// Characters as a terminal shows them: UTF-8 continuation bytes take no
// column of their own.
std::size_t displayWidth(const std::string& text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

void TextTable::addRow(std::vector<std::string> cells) {
  for (std::string& cell : cells) cell = forTerminal(cell);
  rows_.push_back(std::move(cells));
}

std::string TextTable::render() const {
  std::vector<std::size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (std::size_t i = 0; i < row.size(); ++i) {
      widths[i] = std::max(widths[i], displayWidth(row[i]));
    }
  }
  std::string out;
  for (const auto& row : rows_) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) line += "  ";
      line += row[i];
      if (i + 1 < row.size()) line.append(widths[i] - displayWidth(row[i]), ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + '\n';
  }
  return out;
}

std::string forTerminal(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return out;
}

}  // namespace installer
