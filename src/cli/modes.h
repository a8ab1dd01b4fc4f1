// The modes of a run, one file each. Each returns the exit status; nothing
// exits from deeper code, so the owner of the manifest always settles it.
#pragma once

#include "cli/options.h"
#include "records/repository.h"

namespace installer {

int runCommitMode();
int runCancelMode();
int runShowMode(Repository& repo);
int runCleanupMode(Repository& repo);
int runImageMode(Repository& repo, const RunOptions& options);
int runUpgradeMode(Repository& repo, const RunOptions& options);

}  // namespace installer
