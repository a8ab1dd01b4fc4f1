// Entry point of the package tool. The development keys are known here and
// in the tests only, so that nothing else links them in.
#include <iostream>

#include "../../tests/support/dev_keys.h"
#include "pkgtool/pkgtool.h"

int main(int argc, char** argv) {
  installer::ToolContext context{std::cout, std::cerr, testing_support::devSigningKeys()};
  const std::vector<std::string> args(argv + 1, argv + argc);
  const int status = installer::pkgtoolMain(args, context);
  std::cout.flush();
  return std::cout ? status : installer::kToolFailed;
}
