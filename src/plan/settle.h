// Settling the scheduled actions: what uninstalling, disabling and enabling
// the packages asked for means for all records together. Records only: the
// file changes that follow are staged by apply/.
#pragma once

#include <vector>

#include "console/run_output.h"
#include "records/repository.h"

namespace installer {

// What settling the actions tells: nothing; the enabled and disabled
// packages with the warnings and errors of the settling; and the uninstalled
// ones too (no caller asks for that today).
enum class Verbosity { kSilent = 0, kReport = 1, kNarrate = 2 };

// The records whose settled action is to be carried out.
struct SettledActions {
  // To uninstall or disable, last record first.
  std::vector<InstalledPackage*> removals;
  // To enable, in the order of dependencies.
  std::vector<InstalledPackage*> enables;
};

// Settles the pending actions of every record in six steps: a bundle's
// action reaches its members, requirements are kept, conflicts settled,
// dependents of what goes follow it, a bundle follows its members, and a
// result that leaves nothing enabled is refused. False for that refusal
// (every action dropped; reported at kReport); else `settled` lists what to
// carry out. Changes only `action` fields and prints on `output`.
bool settleSchedule(Repository& repo, RunOutput& output, Verbosity verbosity,
                    SettledActions& settled);

}  // namespace installer
