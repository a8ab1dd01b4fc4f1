// Carrying out uninstall, enable and disable: settling the pending actions of
// all records together and staging their file changes.
#pragma once

#include <vector>

#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// What settling the actions tells: nothing; the enabled and disabled
// packages with the warnings and errors of the settling; and the uninstalled
// ones too (no caller asks for that today).
enum class Verbosity { kSilent = 0, kReport = 1, kNarrate = 2 };

// True when at least one package was uninstalled, disabled or enabled.
bool applyScheduledActions(Repository& repo, Manifest& m, Verbosity verbosity);
void enablePackages(Repository& repo, Manifest& m, const std::vector<InstalledPackage*>& list,
                    Verbosity verbosity);
// Stages the removal of everything the package put on the flash.
void stagePackageRemoval(InstalledPackage& p, Manifest& m);
bool cleanupPackages(Repository& repo, Manifest& m);

}  // namespace installer
