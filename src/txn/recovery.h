// Bringing the flash back to a whole state at start: a commit cut short is
// finished or undone, and every temporary file a run left is removed.
#pragma once

#include <string>
#include <vector>

#include "txn/failure.h"
#include "txn/temporaries.h"

namespace installer {

inline constexpr const char* kKeptManifestPath = "/ram/MANIFEST";

enum class [[nodiscard]] RecoveryOutcome{
    kNothingToDo,
    kRolledBack,  // an interrupted commit was undone: the old state is back
    kFinished,    // an interrupted commit had done everything: it was finished
    kCleanedUp,   // no commit was under way; left temporaries were removed
    kFailed,      // an undo step failed: the journal stays for the next try
    kDamaged,     // the journal or a list is damaged, or names what no run
                  // could have written: nothing was done, it all stays
};

// Whether a run left something to recover: a journal, a list of temporaries,
// or the kept list of a "--safe" run whose manifest is gone (cancelled, or
// "/ram" lost with a reboot). Cheap: a few lookups.
bool recoveryPending();

// Recovers what recoveryPending found, in the current root. The caller must
// hold the run lock: another installer's commit in progress looks the same.
// For kDamaged, `damaged` (when given) is set to the path of what was found
// damaged; nothing at all is changed then. Steps that failed are added to
// `failures` when given.
RecoveryOutcome recoverInterruptedRun(std::string* damaged = nullptr,
                                      TxnFailures* failures = nullptr);

// What stands in the way of recovery, without changing anything: the path
// of a damaged journal or list, or empty.
std::string damagedRecoveryState();

// Moves a damaged journal and the lists of temporaries (the run's and the
// kept one, in either form) into a new directory "/flash/var/pdb/.aside-N"
// (N counting up from 1), where they are kept for inspection; the files
// they name stay where they are. The caller holds the run lock. Sets
// `where` to the directory; false with errno when a rename failed (what was
// moved stays moved) or there was nothing to set aside (ENOENT).
[[nodiscard]] bool setAsideRecoveryState(std::string& where);

// Undoes every done step of the journal in reverse order, flushes the file
// systems (those of `fileSystems` and of each touched directory) and removes
// the journal. kRolledBack, or kFailed with the journal kept (the steps
// that failed added to `failures` when given).
RecoveryOutcome rollBackJournal(const std::vector<std::string>& fileSystems,
                                TxnFailures* failures = nullptr);

// The end of a commit whose every step is done and flushed: the run's
// temporaries (backups among them) go, the removed directories go when
// empty, a kept "--safe" manifest and its list are spent, and the journal
// goes last. The sources the commit renamed into place are `placed`.
// `backedUpDirs` are the backups of directories a file replaced: each holds
// only what the commit removed, and goes with all it holds.
void finishJournal(TemporaryLog& log, const std::vector<std::string>& removeDirs,
                   const std::vector<std::string>& backedUpDirs, bool keptManifest,
                   const PlacedNames& placed);

}  // namespace installer
