// pkgtool status: prints the installer's record of its last run, as it is
// (one "key=value" a line, for a shell) or as one JSON object (for an
// update engine).
#include <charconv>
#include <map>
#include <string>

#include "pkgtool/json.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/router_root.h"
#include "txn/run_record.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool status [--root DIR] [--json]\n"
    "\n"
    "Prints the installer's record of its last run, /flash/var/pdb/.last-run:\n"
    "its number, start, mode, exit status and outcome (committed,\n"
    "nothing-to-do, kept, cancelled, refused with a reason, undone,\n"
    "unfinished, or what the recovery at a start did: rolled-forward,\n"
    "rolled-back, cleaned-up), every package file it considered and what became\n"
    "of it, the scheduled actions it carried out and the bytes it wrote.\n"
    "With --json, one JSON object. Exit status 1 when there is no whole record.\n";

// Keys whose values are numbers in the JSON form.
bool numericKey(const std::string& key) {
  return key == "run" || key == "exit_status" || key == "bytes_written";
}

bool isNumber(const std::string& text) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

void appendMember(std::string& out, bool& first, const std::string& key) {
  out += first ? "" : ",";
  first = false;
  appendJsonString(out, key);
  out += ':';
}

std::string toJson(const std::vector<RecordField>& fields) {
  std::map<unsigned long, std::map<std::string, std::string>> files;
  std::map<unsigned long, std::string> actions;
  std::string out = "{";
  bool first = true;
  appendMember(out, first, "format");
  out += "1";
  for (const RecordField& field : fields) {
    unsigned long index = 0;
    if (field.key.starts_with("file.") || field.key.starts_with("action.")) {
      const bool file = field.key[0] == 'f';
      const std::string rest = field.key.substr(file ? 5 : 7);
      const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), index);
      if (error != std::errc()) continue;
      if (file && *end == '.') files[index][std::string(end + 1)] = field.value;
      if (!file && end == rest.data() + rest.size()) actions[index] = field.value;
      continue;
    }
    if (field.key == "files" || field.key == "actions" || field.key == "end") continue;
    appendMember(out, first, field.key);
    if (numericKey(field.key) && isNumber(field.value)) {
      out += field.value;
    } else {
      appendJsonString(out, field.value);
    }
  }
  appendMember(out, first, "files");
  out += '[';
  bool firstFile = true;
  for (const auto& [index, members] : files) {
    out += firstFile ? "{" : ",{";
    firstFile = false;
    bool firstMember = true;
    for (const char* key : {"name", "package", "version", "fate", "message"}) {
      const auto found = members.find(key);
      appendMember(out, firstMember, key);
      appendJsonString(out, found == members.end() ? std::string() : found->second);
    }
    out += '}';
  }
  out += ']';
  appendMember(out, first, "actions");
  out += '[';
  bool firstAction = true;
  for (const auto& [index, text] : actions) {
    out += firstAction ? "" : ",";
    firstAction = false;
    appendJsonString(out, text);
  }
  out += "]}\n";
  return out;
}

}  // namespace

int runStatus(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--root"};
  table.flags = {"--json"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  if (!args.positional.empty()) {
    context.err << kUsage;
    return kToolUsage;
  }
  std::string error;
  if (!enterRoot(args.value("--root").value_or("/"), error)) return toolError(context, error);
  const std::optional<std::string> text = readRunRecordText();
  if (!text) return toolError(context, std::string("no record of a run at ") + kRunRecordPath);
  const std::vector<RecordField> fields = parseRunRecord(*text);
  if (fields.empty()) {
    return toolError(context, std::string(kRunRecordPath) + " is damaged or of another form");
  }
  if (args.has("--json")) {
    context.out << toJson(fields);
  } else {
    context.out << *text;
  }
  return kToolOk;
}

}  // namespace installer
