// The modes of a run, one file each. Each returns the exit status; nothing
// exits from deeper code, so the owner of the manifest always settles it.
#pragma once

#include "cli/exit_status.h"
#include "cli/options.h"
#include "console/run_output.h"
#include "records/repository.h"

namespace installer {

class RunReport;

// Commits "/ram/MANIFEST"; the repository is not loaded.
// The modes that may change the flash note what they did in `report`.
[[nodiscard]] ExitStatus runCommitMode(RunOutput& output, RunReport& report);
[[nodiscard]] ExitStatus runCancelMode(RunReport& report);
[[nodiscard]] ExitStatus runShowMode(const Repository& repo, RunOutput& output);
[[nodiscard]] ExitStatus runCleanupMode(Repository& repo, RunOutput& output, RunReport& report);
[[nodiscard]] ExitStatus runImageMode(Repository& repo, RunOutput& output,
                                      const RunOptions& options, RunReport& report);
[[nodiscard]] ExitStatus runUpgradeMode(Repository& repo, RunOutput& output,
                                        const RunOptions& options, RunReport& report);

}  // namespace installer
