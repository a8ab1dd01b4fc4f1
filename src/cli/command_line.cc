#include "cli/command_line.h"

namespace installer {

namespace {

// The options that end parsing must come last: an option after one of them
// (a "-r ROOT" above all) would otherwise be dropped without a word, and the
// run would act on the live system instead of the one asked for.
ParseOutcome lastArgument(const std::vector<std::string>& args, std::size_t i,
                          ParseOutcome outcome) {
  return i + 1 == args.size() ? outcome : ParseOutcome::kUsage;
}

}  // namespace

ParseOutcome parseCommandLine(const std::vector<std::string>& args, RunOptions& options,
                              std::ostream& out) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--cleanup") {
      options.cleanup = true;
      return lastArgument(args, i, ParseOutcome::kRun);
    } else if (arg == "--safe") {
      options.commitNow = false;
    } else if (arg == "-r" && i + 1 < args.size()) {
      options.root = args[++i];
    } else if (arg == "-") {
      options.imageFromInput = true;
      return lastArgument(args, i, ParseOutcome::kRun);
    } else if (arg == "-q") {
      options.quiet = true;
    } else if (arg == "-down") {
      options.installFlags |= kFlagDowngrade;
    } else if (arg == "--reinstall") {
      out << "\nResuming upgrade..." << std::endl;
      options.installFlags |= kFlagReinstall;
    } else if (arg == "-b" || arg == "--force" || arg == "--noupgrade" || arg == "-i") {
      // Accepted from older scripts and ignored.
    } else if (arg == "--commit") {
      return lastArgument(args, i, ParseOutcome::kCommit);
    } else if (arg == "--cancel") {
      return lastArgument(args, i, ParseOutcome::kCancel);
    } else if (arg == "--show") {
      options.show = true;
    } else {
      return ParseOutcome::kUsage;
    }
  }
  return ParseOutcome::kRun;
}

}  // namespace installer
