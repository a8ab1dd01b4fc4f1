// The run options filled while the command line is parsed.
#pragma once

#include <string>

#include "plan/install_flags.h"

namespace installer {

struct RunOptions {
  bool cleanup = false;
  bool imageFromInput = false;
  bool quiet = false;
  bool show = false;
  InstallFlags installFlags = 0;
  bool commitNow = true;
  std::string root;
  std::string arch = "i386";
};

}  // namespace installer
