// Carrying out uninstall, enable and disable: settling the pending actions of
// all records together and staging their file changes.
#pragma once

#include <vector>

#include "records/repository.h"
#include "txn/manifest.h"

namespace installer {

// True when at least one package was uninstalled, disabled or enabled.
bool applyScheduledActions(Repository& repo, Manifest& m, int verbosity);
void enablePackages(Repository& repo, Manifest& m, const std::vector<InstalledPackage*>& list,
                    int verbosity);
// Stages the removal of everything the package put on the flash.
void stagePackageRemoval(InstalledPackage& p, Manifest& m);
bool cleanupPackages(Repository& repo, Manifest& m);

}  // namespace installer
