#include "console/visible_text.h"

namespace installer {

std::string visibleText(std::string_view text) {
  std::string shown(text);
  makeVisible(shown);
  return shown;
}

void makeVisible(std::string& text) {
  for (char& c : text) {
    if (isControlByte(static_cast<unsigned char>(c))) c = '?';
  }
}

}  // namespace installer
