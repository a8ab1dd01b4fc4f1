// pkgtool set-aside: moves a damaged commit journal and the lists of
// temporaries out of the installer's way, once an administrator has looked
// at them, so that the installer runs again. Nothing they name is removed.
#include <cerrno>
#include <cstring>

#include "pkgtool/pkgtool.h"
#include "pkgtool/router_root.h"
#include "platform/run_lock.h"
#include "txn/recovery.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool set-aside [--root DIR]\n"
    "\n"
    "Moves the installer's commit journal /flash/var/pdb/.journal and its lists\n"
    "of temporary files (/flash/var/pdb/.staged.d, .staged-kept.d, .staged,\n"
    ".staged-kept) into a new directory /flash/var/pdb/.aside-N, where they\n"
    "are kept for inspection. The files they name (backups of replaced files,\n"
    "staged new ones) stay where they are. For a journal or list that the\n"
    "installer refuses as damaged; it runs again afterwards.\n";

}  // namespace

int runSetAside(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--root"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  if (!args.positional.empty()) {
    context.err << kUsage;
    return kToolUsage;
  }
  std::string error;
  if (!enterRoot(args.value("--root").value_or("/"), error)) return toolError(context, error);
  // Not while an installer is at work: its journal is no damage.
  RunLock lock;
  switch (lock.acquire()) {
    case LockOutcome::kHeld:
      break;
    case LockOutcome::kBusy:
      return toolError(context, "another installer is running");
    case LockOutcome::kUnavailable:
      return toolError(context,
                       std::string("could not lock the installer: ") + std::strerror(errno));
  }
  std::string where;
  if (!setAsideRecoveryState(where)) {
    if (errno == ENOENT && where.empty()) return toolError(context, "nothing to set aside");
    return toolError(context, "could not set aside into " + where + ": " + std::strerror(errno));
  }
  context.out << "set aside in " << where << "\n";
  return kToolOk;
}

}  // namespace installer
