#include "pkgtool/description.h"

#include <fnmatch.h>

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

#include "apply/safe_names.h"
#include "console/visible_text.h"
#include "package/format.h"

namespace installer {
namespace {

std::string trim(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

// A whole decimal (or, with allowHex, "0x" hexadecimal) number.
std::optional<std::uint64_t> parseNumber(const std::string& text, bool allowHex = false) {
  int base = 10;
  std::string_view digits = text;
  if (allowHex && digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::optional<std::uint32_t> parseBuildTime(const std::string& text) {
  if (auto seconds = parseNumber(text)) {
    if (*seconds > 0xFFFFFFFFu) return std::nullopt;
    return static_cast<std::uint32_t>(*seconds);
  }
  std::tm tm{};
  char rest = 0;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &rest) != 6) {
    return std::nullopt;
  }
  if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 60) {
    return std::nullopt;
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  const std::time_t t = timegm(&tm);
  if (t < 0 || static_cast<long long>(t) > 0xFFFFFFFFLL) return std::nullopt;
  return static_cast<std::uint32_t>(t);
}

bool validName(const std::string& name) {
  return !name.empty() && name.size() <= kNameSize && name.find('\0') == std::string::npos;
}

// What the installer refuses as a package name, said in a reason.
constexpr char kPackageNameRule[] =
    "a package name must not start with \".\", hold \"/\", a blank or a control byte, or be "
    "\"image\"";

// NAME followed by key=value words.
bool parseDependency(const std::string& value, bool withPriority, Dependency& d,
                     std::string& reason) {
  std::istringstream words(value);
  std::string word;
  words >> d.name;
  if (!validName(d.name)) {
    reason = "a dependency needs a name of 1 to 16 bytes";
    return false;
  }
  if (!isSafeDependencyName(d.name)) {
    reason = "the installer refuses the dependency name \"" + visibleText(d.name) +
             "\": it must not hold a control byte";
    return false;
  }
  while (words >> word) {
    const std::size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    const std::string arg = eq == std::string::npos ? "" : word.substr(eq + 1);
    if (key == "min" || key == "max") {
      const auto v = parseVersionText(arg);
      if (!v) {
        reason = "bad version \"" + arg + "\"";
        return false;
      }
      (key == "min" ? d.minVersion : d.maxVersion) = *v;
    } else if (key == "priority" && withPriority) {
      const bool negative = !arg.empty() && arg[0] == '-';
      const auto n = parseNumber(negative ? arg.substr(1) : arg);
      if (!n || *n > 0x7FFFFFFF) {
        reason = "bad priority \"" + arg + "\"";
        return false;
      }
      d.priority = negative ? -static_cast<std::int32_t>(*n) : static_cast<std::int32_t>(*n);
    } else {
      reason = "unknown dependency setting \"" + word + "\"";
      return false;
    }
  }
  if (d.minVersion != 0 && d.maxVersion != 0 && d.minVersion > d.maxVersion) {
    reason = "min=" + versionText(d.minVersion) + " is above max=" + versionText(d.maxVersion) +
             ": nothing satisfies it";
    return false;
  }
  return true;
}

// A package that depends on or conflicts with itself can never be
// installed as the installer settles it.
bool namesItself(const Package& p, std::string& reason) {
  for (const auto& [list, relation] :
       {std::pair{&p.depends, "depends on"}, std::pair{&p.conflicts, "conflicts with"}}) {
    for (const Dependency& d : *list) {
      if (d.name == p.name) {
        reason = p.name + " " + relation + " itself";
        return true;
      }
    }
  }
  return false;
}

bool parseFlags(const std::string& value, std::uint32_t& flags, std::string& reason) {
  if (auto n = parseNumber(value, true)) {
    if (*n > 0xFFFFFFFFu) {
      reason = "flags do not fit 32 bits";
      return false;
    }
    flags = static_cast<std::uint32_t>(*n);
    return true;
  }
  std::istringstream words(value);
  std::string word;
  flags = 0;
  while (words >> word) {
    if (word == "boot-image") {
      flags |= kFlagBootImage;
    } else if (word == "no-metadata") {
      flags |= kFlagNoMetadata;
    } else {
      reason = "unknown flag \"" + word + "\"";
      return false;
    }
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

}  // namespace

std::optional<Version> parseVersionText(const std::string& text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    const auto n = parseNumber(text, true);
    if (!n || *n > 0xFFFFFFFFu || text.size() != 10) return std::nullopt;
    return static_cast<Version>(*n);
  }
  std::size_t pos = 0;
  auto number = [&](unsigned& out) {
    const std::size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    const auto n = parseNumber(text.substr(start, pos - start));
    if (!n || *n > 255) return false;
    out = static_cast<unsigned>(*n);
    return true;
  };
  unsigned major = 0;
  unsigned minor = 0;
  unsigned patch = 0;
  if (!number(major) || pos >= text.size() || text[pos++] != '.' || !number(minor)) {
    return std::nullopt;
  }
  if (pos == text.size()) return makeVersion(major, minor, kStageFinal, 0);
  if (text[pos] == '.') {
    ++pos;
    if (!number(patch) || pos != text.size()) return std::nullopt;
    return makeVersion(major, minor, kStageFinal, patch);
  }
  static const std::pair<const char*, unsigned> kStages[] = {
      {"alpha", kStageAlpha}, {"beta", kStageBeta}, {"rc", kStageCandidate}};
  for (const auto& [word, stage] : kStages) {
    const std::string w = word;
    if (text.compare(pos, w.size(), w) != 0) continue;
    pos += w.size();
    if (pos == text.size()) return makeVersion(major, minor, stage, 0);
    if (!number(patch) || pos != text.size()) return std::nullopt;
    return makeVersion(major, minor, stage, patch);
  }
  return std::nullopt;
}

namespace {

// Applies one field's value to the description; false with the reason.
using FieldParser = bool (*)(const std::string& value, const std::string& path,
                             PackageDescription& d, std::string& reason);

// A package name the installer takes; `tooLong` and `refused` say which
// name it is in the reasons.
bool checkPackageName(const std::string& value, const char* tooLong, const char* refused,
                      std::string& reason) {
  if (!validName(value)) {
    reason = tooLong;
    return false;
  }
  if (!isSafePackageName(value)) {
    reason = std::string("the installer refuses the ") + refused + " \"" + visibleText(value) +
             "\": " + kPackageNameRule;
    return false;
  }
  return true;
}

template <std::string Package::*text>
bool parseText(const std::string& value, const std::string&, PackageDescription& d, std::string&) {
  d.header.*text = value;
  return true;
}

template <std::vector<Dependency> Package::*list, bool isProvides>
bool parseRelation(const std::string& value, const std::string&, PackageDescription& d,
                   std::string& reason) {
  Dependency dep;
  if (!parseDependency(value, isProvides, dep, reason)) return false;
  (d.header.*list).push_back(dep);
  return true;
}

bool parseClassRule(const std::string& value, const std::string&, PackageDescription& d,
                    std::string& reason) {
  const std::size_t space = value.find_last_of(" \t");
  const auto cls = space == std::string::npos ? std::nullopt : parseNumber(value.substr(space + 1));
  const auto number = cls.value_or(5);
  if (number > 4) {
    reason = "expected \"class: PATTERN CLASS\" with CLASS 0 to 4";
    return false;
  }
  d.classes.push_back({trim(value.substr(0, space)), static_cast<std::uint8_t>(number)});
  return true;
}

struct Field {
  const char* key;
  bool repeatable;
  FieldParser parse;
};

const Field kFields[] = {
    {"name", false,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       if (!checkPackageName(value, "the name must be 1 to 16 bytes", "name", reason)) return false;
       d.header.name = value;
       return true;
     }},
    {"version", false,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       const auto v = parseVersionText(value);
       if (!v) {
         reason = "bad version \"" + value + "\"";
         return false;
       }
       d.header.version = *v;
       return true;
     }},
    {"build-time", false,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       if (value == "now") return true;
       const auto t = parseBuildTime(value);
       if (!t) {
         reason = "bad build time \"" + value + "\"";
         return false;
       }
       d.header.buildTime = *t;
       d.buildTimeGiven = true;
       return true;
     }},
    {"arch", false, parseText<&Package::arch>},
    {"note", false, parseText<&Package::note>},
    {"extra-text", false, parseText<&Package::extraText>},
    {"aux-text", false, parseText<&Package::auxText>},
    {"depends", true, parseRelation<&Package::depends, false>},
    {"provides", true, parseRelation<&Package::provides, true>},
    {"conflicts", true, parseRelation<&Package::conflicts, false>},
    {"flags", false,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       return parseFlags(value, d.header.flags, reason);
     }},
    {"class", true, parseClassRule},
    {"magic", false,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       if (value == "package") {
         d.magic = kMagicPackage;
       } else if (value == "side-by-side") {
         d.magic = kMagicSideBySide;
       } else {
         reason = "magic must be \"package\" or \"side-by-side\"";
         return false;
       }
       return true;
     }},
    {"image", false,
     [](const std::string& value, const std::string& path, PackageDescription& d,
        std::string& reason) {
       if (value.empty()) {
         reason = "an image needs a file";
         return false;
       }
       d.imageFile = value[0] == '/' ? value : directoryOf(path) + value;
       return true;
     }},
    {"off-by-default", true,
     [](const std::string& value, const std::string&, PackageDescription& d, std::string& reason) {
       if (!checkPackageName(value, "a member name must be 1 to 16 bytes", "member name", reason)) {
         return false;
       }
       d.offByDefault.push_back(value);
       return true;
     }},
};

// One line that is neither blank nor a comment; `seen` counts the fields
// given so far.
bool parseLine(const std::string& content, const std::string& path, PackageDescription& d,
               std::map<std::string, int>& seen, std::string& reason) {
  const std::size_t colon = content.find(':');
  if (colon == std::string::npos) {
    reason = "expected \"field: value\"";
    return false;
  }
  const std::string key = trim(content.substr(0, colon));
  const std::string value = trim(content.substr(colon + 1));
  for (const Field& field : kFields) {
    if (key != field.key) continue;
    if (!field.repeatable && seen[key]++ > 0) {
      reason = "\"" + key + "\" given twice";
      return false;
    }
    return field.parse(value, path, d, reason);
  }
  reason = "unknown field \"" + key + "\"";
  return false;
}

// What a description needs whatever its lines: a name, a version, and no
// relation of the package to itself.
bool checkComplete(const PackageDescription& d, std::string& reason) {
  if (d.header.name.empty()) {
    reason = "no name given";
    return false;
  }
  if (d.header.version == 0) {
    reason = "no version given";
    return false;
  }
  return !namesItself(d.header, reason);
}

}  // namespace

bool parseDescription(const std::string& text, const std::string& path,
                      PackageDescription& description, std::string& error) {
  PackageDescription d;
  std::map<std::string, int> seen;
  std::istringstream lines(text);
  std::string line;
  std::string reason;
  for (int lineNumber = 1; std::getline(lines, line); ++lineNumber) {
    const std::string content = trim(line);
    if (content.empty() || content[0] == '#') continue;
    if (!parseLine(content, path, d, seen, reason)) {
      error = path + ":" + std::to_string(lineNumber) + ": " + reason;
      return false;
    }
  }
  if (!checkComplete(d, reason)) {
    error = path + ": " + reason;
    return false;
  }
  description = std::move(d);
  return true;
}

std::uint32_t defaultBuildTime() {
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH")) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(epoch, &end, 10);
    if (*epoch != '\0' && *end == '\0' && value <= 0xFFFFFFFFull) {
      return static_cast<std::uint32_t>(value);
    }
  }
  return static_cast<std::uint32_t>(std::time(nullptr));
}

std::uint8_t classFor(const std::vector<ClassRule>& rules, const std::string& name) {
  for (const ClassRule& rule : rules) {
    if (fnmatch(rule.pattern.c_str(), name.c_str(), 0) == 0) return rule.hardwareClass;
  }
  return 0;
}

}  // namespace installer
