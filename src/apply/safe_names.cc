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

// No empty, "." or ".." component in `rest` (which has no leading "/").
bool componentsAreSafe(std::string_view rest) {
  for (;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

bool hasControl(const std::string& text) {
  for (const char ch : text) {
    if (isControl(static_cast<unsigned char>(ch))) return true;
  }
  return false;
}

constexpr std::string_view kDatabase = "/flash/var/pdb";
constexpr std::string_view kReservedFiles[] = {"/flash/postlog", "/flash/bootimage",
                                               "/flash/PCKGS_CHANGED", "/flash/UPGRADED"};

}  // namespace

bool isSafePackageName(const std::string& name) {
  if (name.empty() || name.front() == '.' || name == "image") return false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x21 || c == 0x7F || c == '/') return false;
  }
  return true;
}

bool isSafeEntryName(const std::string& name) {
  if (name.empty() || hasBlankOrControl(name)) return false;
  std::string_view rest(name);
  if (rest.front() == '/') rest.remove_prefix(1);
  return componentsAreSafe(rest);
}

bool isReservedPath(const std::string& path) {
  const std::string_view p(path);
  if (p.starts_with(kDatabase) && (p.size() == kDatabase.size() || p[kDatabase.size()] == '/')) {
    return true;
  }
  for (const std::string_view reserved : kReservedFiles) {
    if (p == reserved) return true;
  }
  return false;
}

bool isReservedEntryName(const std::string& name) {
  std::string target = "/flash";
  if (name.empty() || name.front() != '/') target += '/';
  target += name;
  return isReservedPath(target);
}

bool isRemovablePath(const std::string& path) {
  constexpr std::string_view kBase = "/flash/";
  if (!std::string_view(path).starts_with(kBase) || hasControl(path)) return false;
  return componentsAreSafe(std::string_view(path).substr(kBase.size())) && !isReservedPath(path);
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
