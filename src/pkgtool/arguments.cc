#include "pkgtool/arguments.h"

namespace installer {

std::optional<std::string> Arguments::value(const std::string& option) const {
  const auto it = values.find(option);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

bool parseArguments(const std::vector<std::string>& words, const OptionTable& table,
                    Arguments& arguments, std::string& error) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-') {
      arguments.positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = word;
    std::optional<std::string> inlineValue;
    const std::size_t eq = word.find('=');
    if (word.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = word.substr(0, eq);
      inlineValue = word.substr(eq + 1);
    }
    if (const auto alias = table.aliases.find(name); alias != table.aliases.end()) {
      name = alias->second;
    }
    if (table.flags.count(name) != 0 && !inlineValue) {
      arguments.flags.insert(name);
    } else if (table.withValue.count(name) != 0) {
      if (!inlineValue) {
        if (i + 1 >= words.size()) {
          error = "option " + name + " needs a value";
          return false;
        }
        inlineValue = words[++i];
      }
      arguments.values[name] = *inlineValue;
    } else {
      error = "unknown option " + word;
      return false;
    }
  }
  return true;
}

}  // namespace installer
