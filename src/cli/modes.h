// The modes of a run, one file each. Each returns the exit status; nothing
// exits from deeper code, so the owner of the manifest always settles it.
#pragma once

#include "cli/exit_status.h"
#include "cli/options.h"
#include "records/repository.h"

namespace installer {

class RunReport;

// Commits "/ram/MANIFEST"; the repository is not loaded, only its output
// stream is used.
// The modes that may change the flash note what they did in `report`.
[[nodiscard]] ExitStatus runCommitMode(Repository& repo, RunReport& report);
[[nodiscard]] ExitStatus runCancelMode(RunReport& report);
[[nodiscard]] ExitStatus runShowMode(Repository& repo);
[[nodiscard]] ExitStatus runCleanupMode(Repository& repo, RunReport& report);
[[nodiscard]] ExitStatus runImageMode(Repository& repo, const RunOptions& options,
                                      RunReport& report);
[[nodiscard]] ExitStatus runUpgradeMode(Repository& repo, const RunOptions& options,
                                        RunReport& report);

}  // namespace installer
