#include "cli/run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "cli/command_line.h"
#include "cli/modes.h"
#include "store/loader.h"
#include "txn/recovery.h"

namespace installer {
namespace {

// A run cut short (killed, the power lost, a commit that could not be
// undone) is made whole before anything looks at the flash. False when it
// could not be: a run that changes the flash must then change nothing.
bool recoverFirst() {
  if (!recoveryPending()) return true;
  if (recoverInterruptedRun() != RecoveryOutcome::kFailed) return true;
  std::cout << "ERROR: could not recover the interrupted install" << std::endl;
  return false;
}

}  // namespace

int runInstaller(int argc, char** argv) {
  Repository& repo = getRepository();

  // The emulated board has no flash to manage.
  const char* board = std::getenv("board");
  if (board != nullptr && std::strcmp(board, "qemu_p9") == 0) return 0;

  RunOptions options;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  switch (parseCommandLine(args, options, std::cout)) {
    case ParseOutcome::kCommit:
      if (!recoverFirst()) return 1;
      return runCommitMode();
    case ParseOutcome::kCancel:
      if (!recoverFirst()) return 1;
      return runCancelMode();
    case ParseOutcome::kUsage:
      std::cout << "usage: installer [-q] [-r <root>] [-]" << std::endl;
      return 0;
    case ParseOutcome::kRun:
      break;
  }

  // Going on in the old root would change the running system instead of the
  // one asked for.
  if (!options.root.empty() && chroot(options.root.c_str()) != 0) {
    std::perror("chroot");
    return 1;
  }
  if (chdir("/") != 0) {
    // Nothing depends on the working directory being "/".
  }

  // The listing shows what it finds even when recovery failed.
  if (!recoverFirst() && !options.show) return 1;

  const char* arch = std::getenv("arch");
  if (arch != nullptr) options.arch = arch;
  repo.quiet = options.quiet;
  repo.arch = options.arch;
  openRepository(repo, options.quiet, options.arch);

  if (options.show) return runShowMode(repo);
  if (options.cleanup) return runCleanupMode(repo);
  if (options.imageFromInput) return runImageMode(repo, options);
  return runUpgradeMode(repo, options);
}

}  // namespace installer
