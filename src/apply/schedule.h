// Carrying out uninstall, enable and disable: the actions settled for all
// records together (plan/settle.h) become staged file changes.
#pragma once

#include <vector>

#include "console/run_output.h"
#include "plan/settle.h"
#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// True when at least one package was uninstalled, disabled or enabled.
bool applyScheduledActions(Repository& repo, RunOutput& output, Manifest& m, Verbosity verbosity);
void enablePackages(RunOutput& output, Manifest& m, const std::vector<InstalledPackage*>& list,
                    Verbosity verbosity);
bool cleanupPackages(Repository& repo, RunOutput& output, Manifest& m);

}  // namespace installer
