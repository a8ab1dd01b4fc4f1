// The installer's entry point: parses the command line, prepares the process
// and runs exactly one mode. Returns the exit status (see exit_status.h).
#pragma once

namespace installer {

[[nodiscard]] int runInstaller(int argc, char** argv);

}  // namespace installer
