#include "cli/run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli/command_line.h"
#include "cli/modes.h"
#include "store/loader.h"

namespace installer {

int runInstaller(int argc, char** argv) {
  Repository& repo = getRepository();

  // The emulated board has no flash to manage.
  const char* board = std::getenv("board");
  if (board != nullptr && std::strcmp(board, "qemu_p9") == 0) {
    return static_cast<int>(ExitStatus::kSuccess);
  }

  RunOptions options;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  switch (parseCommandLine(args, options, std::cout)) {
    case ParseOutcome::kCommit:
      return static_cast<int>(runCommitMode());
    case ParseOutcome::kCancel:
      return static_cast<int>(runCancelMode());
    case ParseOutcome::kUsage:
      std::cout << "usage: installer [-q] [-r <root>] [-]" << std::endl;
      return static_cast<int>(ExitStatus::kSuccess);
    case ParseOutcome::kRun:
      break;
  }

  // Going on in the old root would change the running system instead of the
  // one asked for.
  if (!options.root.empty() && chroot(options.root.c_str()) != 0) {
    std::perror("chroot");
    return static_cast<int>(ExitStatus::kFailed);
  }
  if (chdir("/") != 0) {
    // Nothing depends on the working directory being "/".
  }

  const char* arch = std::getenv("arch");
  if (arch != nullptr) options.arch = arch;
  repo.quiet = options.quiet;
  repo.arch = options.arch;
  openRepository(repo, options.quiet, options.arch);

  ExitStatus status;
  if (options.show) {
    status = runShowMode(repo);
  } else if (options.cleanup) {
    status = runCleanupMode(repo);
  } else if (options.imageFromInput) {
    status = runImageMode(repo, options);
  } else {
    status = runUpgradeMode(repo, options);
  }
  return static_cast<int>(status);
}

}  // namespace installer
