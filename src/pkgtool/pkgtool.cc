#include "pkgtool/pkgtool.h"

#include <algorithm>

#include "platform/inflate.h"

namespace installer {
namespace {

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>&, ToolContext&);
  const char* summary;
};

const Command kCommands[] = {
    {"build", runBuild, "build a signed package from a description and a directory tree"},
    {"bundle", runBundle, "put member packages together into a bundle"},
    {"inspect", runInspect, "show the parts, header, lists and files of a package or bundle"},
    {"verify", runVerify, "check signatures as the installer does (exit 0 or 1)"},
    {"keygen", runKeygen, "make a new Ed25519 or legacy key pair"},
    {"list", runList, "list the packages installed under a router root"},
    {"files", runFiles, "list the files an installed package put on the flash"},
    {"owner", runOwner, "name the installed packages that list a path"},
    {"info", runInfo, "show everything the database knows of an installed package"},
    {"schedule", runSchedule, "schedule an uninstall, enable or disable for the next run"},
    {"plan", runPlan, "show what the next upgrade run would do, changing nothing"},
    {"audit", runAudit, "compare the installed files with what the packages put there"},
    {"set-aside", runSetAside, "move a damaged commit journal out of the installer's way"},
    {"status", runStatus, "print the installer's record of its last run"},
};

void usage(std::ostream& out) {
  out << "usage: pkgtool COMMAND [ARGUMENTS]\n\ncommands:\n";
  for (const Command& c : kCommands) {
    std::string name = c.name;
    name.resize(std::max<std::size_t>(9, name.size() + 1), ' ');
    out << "  " << name << c.summary << "\n";
  }
  out << "\n\"pkgtool COMMAND --help\" describes a command.\n";
}

}  // namespace

std::optional<int> parseCommand(const std::vector<std::string>& words, OptionTable table,
                                const char* usage, ToolContext& context, Arguments& args) {
  table.flags.insert("--help");
  table.aliases.emplace("-h", "--help");
  std::string error;
  if (!parseArguments(words, table, args, error)) return toolError(context, error, kToolUsage);
  if (args.has("--help")) {
    context.out << usage;
    return kToolOk;
  }
  return std::nullopt;
}

int toolError(ToolContext& context, const std::string& message, int status) {
  context.err << "pkgtool: " << message << "\n";
  return status;
}

int pkgtoolMain(const std::vector<std::string>& args, ToolContext& context) {
  if (args.empty()) {
    usage(context.err);
    return kToolUsage;
  }
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    usage(context.out);
    return kToolOk;
  }
  if (args[0] == "--version") {
    // The installer of the same build inflates payloads with the same backend.
    context.out << "pkgtool (router installer)\npayload inflate: "
                << Inflater::name(Inflater::configured()) << "\n";
    return kToolOk;
  }
  for (const Command& c : kCommands) {
    if (args[0] == c.name) {
      return c.run(std::vector<std::string>(args.begin() + 1, args.end()), context);
    }
  }
  return toolError(context, "unknown command \"" + args[0] + "\" (see pkgtool --help)", kToolUsage);
}

}  // namespace installer
