// The acceptance check of a candidate package against the repository.
#pragma once

#include "console/run_output.h"
#include "plan/install_flags.h"
#include "records/package.h"
#include "records/repository.h"

namespace installer {

// Every finding as a bit; the reason of the first finding the flags do not
// tolerate is printed.
[[nodiscard]] AcceptResult checkAcceptance(const Repository& repo, RunOutput& output,
                                           const Package& candidate, InstallFlags flags);
// The same check, asking `minimumVersion` instead of the flash device for the
// lowest system version the device accepts (asked only for system packages).
[[nodiscard]] AcceptResult checkAcceptance(const Repository& repo, RunOutput& output,
                                           const Package& candidate, InstallFlags flags,
                                           Version (*minimumVersion)());

}  // namespace installer
