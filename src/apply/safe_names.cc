#include "apply/safe_names.h"

#include <string_view>

namespace installer {

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool hasBlankOrControl(const std::string& name) {
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == ' ' || isControl(c)) return true;
  }
  return false;
}

}  // namespace

bool isSafePackageName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x21 || c == 0x7F || c == '/') return false;
  }
  return true;
}

bool isSafeEntryName(const std::string& name) {
  if (name.empty() || name.back() == '/' || hasBlankOrControl(name)) return false;
  std::string_view rest(name);
  if (rest.front() == '/') rest.remove_prefix(1);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (component == "." || component == "..") return false;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return true;
}

bool isSafeDependencyName(const std::string& name) {
  return !name.empty() && !hasBlankOrControl(name);
}

bool headerNamesAreSafe(const Package& p) {
  if (!isSafePackageName(p.name)) return false;
  for (const auto* list : {&p.depends, &p.provides, &p.conflicts}) {
    for (const Dependency& d : *list) {
      if (!isSafeDependencyName(d.name)) return false;
    }
  }
  return true;
}

}  // namespace installer
