// pkgtool schedule: leaves an uninstall, enable or disable of an installed
// package for the installer's next run, or takes it back.
#include "pkgtool/installed.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/router_root.h"
#include "pkgtool/schedule_file.h"
#include "store/loader.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool schedule [--root DIR] uninstall|enable|disable NAME\n"
    "       pkgtool schedule [--root DIR] --clear NAME\n"
    "\n"
    "Writes the schedule file that the installer's next run reads under\n"
    "/ram/pdb/ for installed package NAME, or removes it (--clear).\n";

// kNone for a word that names no action.
PendingAction actionNamed(const std::string& word) {
  for (const PendingAction action :
       {PendingAction::kUninstall, PendingAction::kEnable, PendingAction::kDisable}) {
    if (word == actionWord(action)) return action;
  }
  return PendingAction::kNone;
}

// Why `name` cannot be given a schedule in `repo`, or empty.
std::string refusal(const Repository& repo, const std::string& name) {
  const InstalledPackage* p = findRecord(repo, name);
  if (p == nullptr) return name + " is not installed";
  if (isPlaceholder(*p)) return name + " takes no scheduled action";
  // The file is named after the letters, digits and "-" of the name alone:
  // another package that shares them would be given the same action.
  const std::string path = scheduleFilePath(name);
  for (const auto& other : repo.packages) {
    if (other->name != name && scheduleFilePath(other->name) == path) {
      return name + " shares its schedule file " + path + " with " + other->name;
    }
  }
  return {};
}

// Whether loading now reads `action` for `name`: the proof that the file
// lies where the installer looks.
bool readsBack(const std::string& name, PendingAction action) {
  Repository repo;
  std::string error;
  if (!loadInstalled(repo, error)) return false;
  const InstalledPackage* p = findRecord(repo, name);
  return p != nullptr && p->action == action;
}

}  // namespace

int runSchedule(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--root"};
  table.flags = {"--clear"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  const bool clear = args.has("--clear");
  const PendingAction action =
      clear || args.positional.empty() ? PendingAction::kNone : actionNamed(args.positional[0]);
  if (args.positional.size() != (clear ? 1u : 2u) || (!clear && action == PendingAction::kNone)) {
    context.err << kUsage;
    return kToolUsage;
  }
  const std::string& name = args.positional.back();

  std::string error;
  if (!enterRoot(args.value("--root").value_or("/"), error)) return toolError(context, error);
  if (clear) return clearSchedule(name, error) ? kToolOk : toolError(context, error);

  Repository repo;
  if (!loadInstalled(repo, error)) return toolError(context, error);
  if (std::string why = refusal(repo, name); !why.empty()) return toolError(context, why);
  if (!writeSchedule(name, action, error)) return toolError(context, error);
  if (!readsBack(name, action)) {
    clearSchedule(name, error);
    return toolError(context, "the installer would not read the schedule of " + name + " at " +
                                  scheduleFilePath(name) + "; nothing scheduled");
  }
  context.out << name << ": " << actionWord(action) << " scheduled in " << scheduleFilePath(name)
              << "\n";
  return kToolOk;
}

}  // namespace installer
