// The deciding half of the upgrade run, shared by the installer's upgrade
// mode and "pkgtool plan": what the run installs, and whether its changes
// fit, decided by the same code whether the manifest is real or a planning
// one. What is left to the mode is only doing: keeping or committing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "console/run_output.h"
#include "plan/install_flags.h"
#include "records/package.h"
#include "records/repository.h"
#include "txn/commit.h"
#include "txn/manifest.h"
#include "upgrade/driver.h"

namespace installer {

enum class UpgradeVerdict {
  kReady,       // the run goes on to keep or commit its manifest
  kUnreadable,  // a package file could not be read (reported): nothing kept
  kNoSpace,     // the changes do not fit (reported: "not enough space for
                // upgrade"); the manifest is cancelled
};

struct UpgradeDecision {
  std::vector<Package> installed;  // in installation order; empty unless kReady
  std::vector<Package> cancelled;  // kNoSpace: what was installed before the check
  std::string unreadablePath;      // kUnreadable: the file that could not be read
  UpgradeVerdict verdict = UpgradeVerdict::kReady;
};

// Settles the scheduled actions, installs the package files found (from
// `dirs` when given) and checks the free space unless the flags hold
// kFlagReinstall. `trace`, when given, receives what became of each file.
UpgradeDecision decideUpgrade(Repository& repo, RunOutput& output, Manifest& m, InstallFlags flags,
                              const std::vector<std::string>& dirs = {},
                              UpgradeTrace* trace = nullptr);

// Stages "/flash/PCKGS_CHANGED", from which the boot scripts learn that
// packages changed: a commit without it would go unnoticed by them. False
// (reported) when it could not be staged.
[[nodiscard]] bool stageChangedMarker(RunOutput& output, Manifest& m);

// Whether the commit can be made, found before anything is announced: every
// check and copy of prepareCommit, so that copies onto the flash that do not
// fit are refused as the free-space estimate refuses (kNoSpace, reported as
// it is, the manifest cancelled). Failed steps go to `failures`, for the
// mode to print. `prepare` is prepareCommit, or a caller's wrapping of it.
using CommitPreparer =
    std::function<CommitOutcome(Manifest&, const CommitOptions&, PreparedCommit&, TxnFailures*)>;
CommitOutcome prepareUpgradeCommit(Repository& repo, RunOutput& output, Manifest& m,
                                   PreparedCommit& prepared, TxnFailures& failures,
                                   const CommitPreparer& prepare);

// What the run makes of a commit that is not `ready` (the answer of
// prepareCommit, or of predictCommit for a planning manifest): reported, and
// the manifest cancelled. `heldDirectory` names a directory the commit
// would have had to replace, or is empty.
CommitOutcome settleUnreadyCommit(RunOutput& output, Manifest& m, CommitOutcome ready,
                                  const std::string& heldDirectory);

}  // namespace installer
