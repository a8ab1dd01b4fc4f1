// The installer's entry point: parses the command line, prepares the process
// and runs exactly one mode. Returns the exit status (-1 becomes 255).
#pragma once

namespace installer {

int runInstaller(int argc, char** argv);

}  // namespace installer
