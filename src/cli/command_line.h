// Reading the command line into the run options, left to right, the first
// matching option winning for each argument.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/options.h"

namespace installer {

// How parsing ended: go on with the run, show the usage line, or perform the
// commit or cancel mode. "-", "--cleanup", "--commit" and "--cancel" end the
// command line: any argument after one of them asks for the usage line.
enum class ParseOutcome { kRun, kUsage, kCommit, kCancel };

// `args` are the arguments after the program name. "--reinstall" writes its
// notice to `out` the moment it is read, before any later argument is seen.
ParseOutcome parseCommandLine(const std::vector<std::string>& args, RunOptions& options,
                              std::ostream& out);

}  // namespace installer
