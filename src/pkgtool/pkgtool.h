// The package tool: builds, bundles, inspects and verifies package files,
// makes signing keys, and answers questions about an installed router root. One function per
// subcommand, chosen from a table; each returns the process exit status.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "package/signer.h"
#include "pkgtool/arguments.h"

namespace installer {

// Exit statuses of the tool.
enum ToolStatus { kToolOk = 0, kToolFailed = 1, kToolUsage = 2 };

struct ToolContext {
  std::ostream& out;
  std::ostream& err;
  // The development keys, known to the tool's entry point only; used when
  // "--dev-key" asks for them.
  std::optional<SigningKeys> devKeys;
};

// `args` are the words after the program name.
[[nodiscard]] int pkgtoolMain(const std::vector<std::string>& args, ToolContext& context);

// The subcommands ("build", "bundle", "inspect", "verify", "keygen"); `args`
// are the words after the subcommand's name.
[[nodiscard]] int runBuild(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runBundle(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runInspect(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runVerify(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runKeygen(const std::vector<std::string>& args, ToolContext& context);
// The commands on an installed router root ("list", "files", "owner",
// "info", "schedule", "plan", "audit").
[[nodiscard]] int runList(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runFiles(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runOwner(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runInfo(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runSchedule(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runPlan(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runAudit(const std::vector<std::string>& args, ToolContext& context);
[[nodiscard]] int runSetAside(const std::vector<std::string>& args, ToolContext& context);

// Parses a subcommand's words with its option table (to which "--help" and
// "-h" are added). When the subcommand has nothing more to do — a bad
// option, or the usage asked for — returns the exit status it ends with.
[[nodiscard]] std::optional<int> parseCommand(const std::vector<std::string>& words,
                                              OptionTable table, const char* usage,
                                              ToolContext& context, Arguments& args);

// "pkgtool: MESSAGE" on the error stream; returns `status`.
int toolError(ToolContext& context, const std::string& message, int status = kToolFailed);

}  // namespace installer
