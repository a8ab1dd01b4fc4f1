#include "cli/run.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <ostream>

#include "base/ignore.h"
#include "cli/command_line.h"
#include "cli/modes.h"
#include "cli/run_report.h"
#include "console/failure_report.h"
#include "console/machine_progress.h"
#include "platform/run_lock.h"
#include "store/loader.h"
#include "txn/recovery.h"

namespace installer {
namespace {

// Where recovery stands before a mode runs.
enum class Recovered {
  kReady,    // nothing left to recover, or recovered now
  kSkipped,  // a listing that could not take the lock: it lists as it is
  kFailed,   // recovery failed, or found damage: change nothing
};

// A run cut short (killed, the power lost, a commit that could not be
// undone) is made whole before anything looks at the flash, and only under
// the lock: a listing that cannot take it lists what it finds. A damaged
// journal or list stops every run that would change the flash, the listing
// not, until an administrator sets it aside.
// `recovered` is set to what was done, when something was.
Recovered recoverFirst(RunLock& lock, bool listingOnly, std::ostream& out,
                       std::optional<RunOutcome>& recovered) {
  if (!recoveryPending()) return Recovered::kReady;
  if (listingOnly && lock.acquire() != LockOutcome::kHeld) return Recovered::kSkipped;
  std::string damaged;
  TxnFailures failures;
  const RecoveryOutcome outcome = recoverInterruptedRun(&damaged, &failures);
  reportFailures(std::cerr, failures);
  if (outcome == RecoveryOutcome::kRolledBack) recovered = RunOutcome::kRolledBack;
  if (outcome == RecoveryOutcome::kFinished) recovered = RunOutcome::kRolledForward;
  if (outcome == RecoveryOutcome::kCleanedUp) recovered = RunOutcome::kCleanedUp;
  if (outcome == RecoveryOutcome::kDamaged) {
    out << "ERROR: " << damaged
        << " is damaged: nothing was changed; inspect it, then set it aside with "
           "\"pkgtool set-aside\""
        << std::endl;
    return Recovered::kFailed;
  }
  if (outcome != RecoveryOutcome::kFailed) return Recovered::kReady;
  out << "ERROR: could not recover the interrupted install" << std::endl;
  return Recovered::kFailed;
}

// The console may go away at any time (a closed terminal, a pager that quit):
// a write to it then fails and is ignored instead of ending the process
// half-way through a commit or the message log. And a standard descriptor
// that was closed before start is taken by /dev/null, so that no file the
// run opens (the image capture, a staged file) becomes standard output.
void prepareProcess() {
  std::signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      // Only possible when a lower descriptor was taken meanwhile; the
      // loop's order rules that out, but a stray descriptor must not leak.
      dup2(opened, fd);
      close(opened);
    }
  }
}

// Every mode but the listing may change the flash: two of them at once
// would interleave their staged files and commits.
bool takeRunLock(RunLock& lock, std::ostream& out) {
  switch (lock.acquire()) {
    case LockOutcome::kHeld:
      return true;
    case LockOutcome::kBusy:
      out << "ERROR: another installer is running" << std::endl;
      return false;
    case LockOutcome::kUnavailable:
      break;
  }
  out << "ERROR: could not lock the installer: " << std::strerror(errno) << std::endl;
  return false;
}

// The name of the mode in the run's record.
const char* modeName(ParseOutcome outcome, const RunOptions& options) {
  if (outcome == ParseOutcome::kCommit) return "commit";
  if (outcome == ParseOutcome::kCancel) return "cancel";
  if (options.show) return "show";
  if (options.cleanup) return "cleanup";
  if (options.imageFromInput) return "image";
  return options.commitNow ? "upgrade" : "safe";
}

// A command line the installer does not understand changes nothing, but an
// engine that called it must still learn that it was refused: the record
// is left in the root the command line named, when it can be reached
// without a word on the console and the lock is free.
void recordUsage(const RunOptions& options, std::time_t started) {
  if (!options.root.empty() && chroot(options.root.c_str()) != 0) return;
  if (chdir("/") != 0) return;
  RunLock lock;
  if (lock.acquire() != LockOutcome::kHeld) return;
  Repository quietRepo;
  RunOutput quietOutput;
  quietOutput.quiet = true;
  RunReport report(quietRepo, quietOutput, started);
  report.setMode("usage");
  report.conclude(RunOutcome::kRefused, "usage");
  report.finish(static_cast<int>(ExitStatus::kSuccess));
}

// The modes that work on the loaded repository and leave a record, in the
// order they are tried: the first one the options choose runs. The listing
// comes before them (it leaves no record of its own), and "--commit" and
// "--cancel" act before anything is loaded.
struct Mode {
  bool (*chosen)(const RunOptions&);
  ExitStatus (*run)(Repository&, RunOutput&, const RunOptions&, RunReport&);
};

constexpr Mode kModes[] = {
    {[](const RunOptions& o) { return o.cleanup; },
     [](Repository& repo, RunOutput& output, const RunOptions&, RunReport& report) {
       return runCleanupMode(repo, output, report);
     }},
    {[](const RunOptions& o) { return o.imageFromInput; }, runImageMode},
    {[](const RunOptions&) { return true; }, runUpgradeMode},
};

const Mode& chosenMode(const RunOptions& options) {
  for (const Mode& mode : kModes) {
    if (mode.chosen(options)) return mode;
  }
  return kModes[std::size(kModes) - 1];
}

}  // namespace

int runInstaller(int argc, char** argv) {
  prepareProcess();
  const std::time_t started = std::time(nullptr);
  Repository& repo = getRepository();
  RunOutput output;

  // The emulated board has no flash to manage.
  const char* board = std::getenv("board");
  if (board != nullptr && std::strcmp(board, "qemu_p9") == 0) {
    return static_cast<int>(ExitStatus::kSuccess);
  }

  // Taken before the root changes: a pipe is opened again through /proc.
  const std::unique_ptr<MachineProgress> progress = MachineProgress::fromEnvironment();
  output.progress = progress.get();
  struct Detach {
    RunOutput& output;
    ~Detach() { output.progress = nullptr; }
  } detach{output};

  RunOptions options;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParseOutcome outcome = parseCommandLine(args, options, *output.stream);
  if (outcome == ParseOutcome::kUsage) {
    *output.stream << "usage: installer [-q] [-r <root>] [-]" << std::endl;
    if (progress) progress->finish("refused", "usage", static_cast<int>(ExitStatus::kSuccess));
    recordUsage(options, started);
    return static_cast<int>(ExitStatus::kSuccess);
  }

  // Going on in the old root would change the running system instead of the
  // one asked for.
  if (!options.root.empty() && chroot(options.root.c_str()) != 0) {
    std::perror("chroot");
    if (progress) progress->finish("refused", "chroot", static_cast<int>(ExitStatus::kFailed));
    return static_cast<int>(ExitStatus::kFailed);
  }
  // Required after chroot, which leaves the working directory outside the
  // new root: a relative path would still reach the old tree. "/" exists in
  // every root, so there is no failure to handle.
  ignoreResult(chdir("/"));

  RunLock lock;
  const bool listingOnly = outcome == ParseOutcome::kRun && options.show;
  if (!listingOnly && !takeRunLock(lock, *output.stream)) {
    if (progress) progress->finish("refused", "busy", static_cast<int>(ExitStatus::kBusy));
    return static_cast<int>(ExitStatus::kBusy);
  }

  // Every run that holds the lock leaves a record of what it did; a busy
  // run holds none, and leaves the record to the run that holds it.
  RunReport report(repo, output, started);
  report.setMode(modeName(outcome, options));
  const auto finish = [&report](ExitStatus status) {
    report.finish(static_cast<int>(status));
    return static_cast<int>(status);
  };

  std::optional<RunOutcome> whatRecovered;
  const Recovered recovered = recoverFirst(lock, listingOnly, *output.stream, whatRecovered);
  if (whatRecovered) {
    report.writeRecovery(*whatRecovered);
    report.setRecovered(*whatRecovered);
  }
  if (recovered == Recovered::kFailed && !listingOnly) {
    report.conclude(RunOutcome::kRefused, "recovery-failed");
    return finish(ExitStatus::kFailed);
  }

  if (outcome == ParseOutcome::kCommit) return finish(runCommitMode(output, report));
  if (outcome == ParseOutcome::kCancel) return finish(runCancelMode(report));

  const char* arch = std::getenv("arch");
  if (arch != nullptr) options.arch = arch;
  repo.bootImageVariable = std::getenv("bootimage") != nullptr;
  output.quiet = options.quiet;
  repo.arch = options.arch;
  // What is installed must be known before anything is changed, or listed.
  if (openRepository(repo, output, options.quiet, options.arch) == LoadOutcome::kUnreadable) {
    if (options.show) {
      if (progress) progress->finish("refused", "unreadable-database", 1);
      return static_cast<int>(ExitStatus::kUnreadable);
    }
    report.conclude(RunOutcome::kRefused, "unreadable-database");
    return finish(ExitStatus::kUnreadable);
  }
  report.noteScheduled(repo);

  // A listing changes nothing and leaves no record of its own (only that
  // of the recovery it made, if it made one).
  if (options.show) {
    ExitStatus status = runShowMode(repo, output);
    // The listing is shown, but the flash is not whole.
    if (recovered == Recovered::kFailed) status = ExitStatus::kFailed;
    if (progress) {
      const bool failed = status != ExitStatus::kSuccess;
      progress->finish(
          failed ? "refused" : outcomeName(whatRecovered.value_or(RunOutcome::kNothingToDo)),
          failed ? "recovery-failed" : "", static_cast<int>(status));
    }
    return static_cast<int>(status);
  }
  return finish(chosenMode(options).run(repo, output, options, report));
}

}  // namespace installer
