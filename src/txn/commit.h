// The commit of a manifest: checked, copied and journalled before the first
// rename, all or nothing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "txn/failure.h"
#include "txn/manifest.h"

namespace installer {

enum class [[nodiscard]] CommitOutcome{
    kCommitted,   // every operation carried out and flushed to the storage
    kNoSpace,     // refused before anything changed: the copies do not fit
    kRefused,     // refused before anything changed; a planning manifest,
                  // a held directory (heldDirectory), or a failure noted
    kRolledBack,  // an operation failed (noted); the old state is back
    kUnfinished,  // failed and could not be undone: the next start does it
};

struct CommitOptions {
  // Called after each block a move across file systems copies (the commit
  // mode turns its spinner there); may be empty.
  std::function<void()> onCopiedBlock;
  bool keptManifest = false;  // carrying out "/ram/MANIFEST" of "--safe"
  // Where a refusal names a directory that a file of the commit would
  // replace but that holds more than the commit removes (its caller reports
  // it with the run's messages); without it the refusal is the failure
  // "rename PATH: Is a directory".
  std::string* heldDirectory = nullptr;
};

// A commit checked and journalled, ready to be carried out.
struct PreparedCommit {
  CommitOptions options;
  std::vector<std::string> fileSystems;  // one directory of each touched
  std::vector<std::string> copiedStaged;
  std::vector<std::string> madeForJournal;
  std::vector<std::string> backedUpDirs;  // directories a file replaced
  bool ready = false;
  bool journalled = false;  // false for an empty manifest
};

// The whole run, all or nothing. Removals and links first, then moves, all
// in path order; everything below "/flash/var/pdb/" (the package database)
// after everything else. Before the first rename every check is made (a
// directory or an overlong name at a target, a file where a parent
// directory must be, a missing source), files that cross file systems are
// copied beside their targets, the journal is written and the file systems
// are flushed; replaced and removed files are kept under backup names until
// the last operation is done and flushed. The manifest's entries are left
// as they are; the run's temporaries are gone afterwards (unless the
// outcome is kUnfinished, when the next start sees to them). A planning
// manifest is refused at once: kRefused, nothing touched. Every step that
// failed is added to `failures` when given (for the caller to report, each
// with its path); nothing is printed here.
CommitOutcome commitManifest(Manifest& m, const CommitOptions& options = {},
                             TxnFailures* failures = nullptr);

// The two halves of commitManifest, for a caller that must know that the
// commit can be made before it announces anything. A refused preparation has
// removed what it made; a prepared commit must be carried out.
CommitOutcome prepareCommit(Manifest& m, const CommitOptions& options, PreparedCommit& prepared,
                            TxnFailures* failures = nullptr);
CommitOutcome carryOutCommit(Manifest& m, PreparedCommit& prepared,
                             TxnFailures* failures = nullptr);

}  // namespace installer
