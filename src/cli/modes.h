// The modes of a run, one file each. Each returns the exit status; nothing
// exits from deeper code, so the owner of the manifest always settles it.
#pragma once

#include "cli/exit_status.h"
#include "cli/options.h"
#include "records/repository.h"

namespace installer {

// Commits "/ram/MANIFEST"; the repository is not loaded, only its output
// stream is used.
[[nodiscard]] ExitStatus runCommitMode(Repository& repo);
[[nodiscard]] ExitStatus runCancelMode();
[[nodiscard]] ExitStatus runShowMode(Repository& repo);
[[nodiscard]] ExitStatus runCleanupMode(Repository& repo);
[[nodiscard]] ExitStatus runImageMode(Repository& repo, const RunOptions& options);
[[nodiscard]] ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options);

}  // namespace installer
