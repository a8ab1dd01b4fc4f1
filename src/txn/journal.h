// The commit journal: every name operation of a commit, written and flushed
// before the first of them, so that a commit cut short (killed, power lost,
// an operation failed) can be undone or finished at the next start.
//
// File "/flash/var/pdb/.journal" (hidden, in the database directory, where
// no package may own a path and the loader skips it): plain text, one record
// per line, each ending with a newline. Paths are escaped: a byte below 0x21,
// 0x7F or "%" is written as "%" and two upper-case hex digits.
//
//   "installer-journal 1"   first line
//   "D PATH"                create directory PATH (it did not exist)
//   "B PATH BACKUP"         rename PATH to BACKUP (a fresh temporary name
//                           beside it): the old file stays until the end
//   "P PATH SOURCE"         rename SOURCE onto PATH (PATH is free by then)
//   "R PATH"                remove directory PATH once the commit is done
//                           (it may stay: hidden names or subdirectories)
//   "K"                     the commit carries out the kept "--safe" manifest
//   "E"                     end of the operations: the journal is complete
//   "C"                     every operation was carried out and flushed
//   "A"                     the commit was abandoned after "C": undo it
//
// Records are carried out in order. A step is known done by the names alone:
// D when PATH is a directory, B when BACKUP exists, P when SOURCE is gone.
// At the next start a journal without "E" means nothing was renamed yet;
// with "E" and no "C" (or an "A" after it) the done steps are undone in
// reverse order; with "C" the run is finished (backups and other temporaries
// removed, R directories removed). Either way the file systems are flushed,
// then the journal is removed, then the run's list of temporaries is
// processed.
#pragma once

#include <string>
#include <vector>

namespace installer {

inline constexpr const char* kJournalPath = "/flash/var/pdb/.journal";
inline constexpr const char* kJournalHeader = "installer-journal 1";

enum class StepKind : char {
  kMakeDir = 'D',
  kBackUp = 'B',
  kPlace = 'P',
  kRemoveDir = 'R',
};

struct JournalStep {
  StepKind kind = StepKind::kMakeDir;
  std::string path;
  std::string other;  // BACKUP for kBackUp, SOURCE for kPlace
};

struct JournalContents {
  std::vector<JournalStep> steps;
  bool complete = false;      // "E" seen
  bool committed = false;     // "C" seen and no "A" after it
  bool keptManifest = false;  // "K" seen
};

// The record's line, without its newline, and back.
std::string encodeStep(const JournalStep& step);
bool parseStep(const std::string& line, JournalStep& step);

// Reads the journal at `path`; false when there is none (or it cannot be
// read). A line that does not parse ends the operations as if cut short.
bool readJournal(const std::string& path, JournalContents& journal);

// Whether a step has taken effect, judged by the names it touches.
bool stepDone(const JournalStep& step);

// Undoes a done step; true when it is undone (or was not done).
bool undoStep(const JournalStep& step);

}  // namespace installer
