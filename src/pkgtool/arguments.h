// Command-line words of one pkgtool subcommand: options ("--name value",
// "--name=value" or a bare "--flag") and positional arguments; "--" ends
// the options.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace installer {

struct OptionTable {
  std::set<std::string> withValue;             // e.g. "--output"
  std::set<std::string> flags;                 // e.g. "--json"
  std::map<std::string, std::string> aliases;  // e.g. "-o" -> "--output"
};

struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // the last value of each option
  std::set<std::string> flags;

  bool has(const std::string& flag) const { return flags.count(flag) != 0; }
  std::optional<std::string> value(const std::string& option) const;
};

// False with a one-line reason for an unknown option or a missing value.
[[nodiscard]] bool parseArguments(const std::vector<std::string>& words, const OptionTable& table,
                                  Arguments& arguments, std::string& error);

}  // namespace installer
