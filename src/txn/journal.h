// The commit journal: every name operation of a commit, written and flushed
// before the first of them, so that a commit cut short (killed, power lost,
// an operation failed) can be undone or finished at the next start.
//
// File "/flash/var/pdb/.journal" (hidden, in the database directory, where
// no package may own a path and the loader skips it): plain text, one record
// per line, each ending with a newline. It is written once per commit and
// its size counts against the flash, so a run of files in one directory
// costs little more than their names.
//
//   "installer-journal 3"   first line
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
// A path field is escaped: a byte below 0x21, 0x7F or "%" is written as "%"
// and two upper-case hex digits. It takes one of three forms:
//   "/..."     an absolute path;
//   NAME       (no "/") that name in the directory of the same field before
//              it: for PATH the previous step's PATH, for BACKUP and SOURCE
//              the latest BACKUP or SOURCE ("a" after "/b" is "/a"). The
//              first such field, and one after a path that does not begin
//              with "/", is written whole;
//   "./..."    a path that does not begin with "/", the rest taken as it is.
// Files placed in one directory from temporaries in one directory (beside
// them, or where the commit makes their directories, the nearest one that
// exists) thus cost "P NAME tmpXXXXXX" each, and every path reads back
// byte for byte as it was written. A mark is one letter; a step's text is
// never that short, whatever its name.
//
// Every line after the first ends in a blank and its check: the CRC-32 of
// the line's text before that blank, in eight lower-case hex digits. A line
// whose check does not match was changed after it was written (a worn
// flash, a hand): the journal is damaged, never taken for one cut short. A
// cut (a kill while the journal was written, a power cut before its flush)
// leaves a prefix of the file: whole lines, then at most the beginning of
// one without its newline. Anything else, a whole line that does not
// decode or a last line that no line written could begin with, is damage.
//
// Two earlier forms are still read: "installer-journal 2", the lines above
// without checks, and "installer-journal 1", which wrote every field as an
// escaped path taken as it is.
//
// Records are carried out in order. A step is known done by the names alone:
// D when PATH is a directory, B when BACKUP exists, P when SOURCE is gone.
// At the next start a journal cut before "E" means nothing was renamed yet;
// with "E" and no "C" (or an "A" after it) the done steps are undone in
// reverse order; with "C" the run is finished (backups and other temporaries
// removed, R directories removed). Either way the file systems are flushed,
// then the journal is removed, then the run's list of temporaries is
// processed. A damaged journal is left as it is, and so is everything it
// and the list name: it may be the only record of where the old files are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "txn/file_io.h"

namespace installer {

inline constexpr const char* kJournalPath = "/flash/var/pdb/.journal";
inline constexpr const char* kJournalHeader = "installer-journal 3";
// The forms of earlier versions, whose journal a new version may find.
inline constexpr const char* kJournalHeaderDense = "installer-journal 2";
inline constexpr const char* kJournalHeaderFull = "installer-journal 1";

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

// What one line of a journal (after its header) holds.
enum class JournalRecord {
  kStep,
  kKeptManifest,  // "K"
  kEnd,           // "E"
  kCommitted,     // "C"
  kAbandoned,     // "A"
  kGarbled,       // a whole line that does not decode, or fails its check
  kCut,           // the end of the file, or a last line cut while written
};

// A mark's whole line in the current form ("E" -> "E d4b45a92\n").
std::string journalMark(char mark);

// Writes the lines of the current form, each field as short as the step
// before allows.
class JournalEncoder {
 public:
  // Appends the step's line and its newline to `out`.
  void append(const JournalStep& step, std::string& out);

 private:
  std::string pathDir_;   // the directory of the previous PATH
  std::string otherDir_;  // the directory of the previous BACKUP or SOURCE
};

// Decodes the lines of every form. The one decoder behind every reader of a
// journal: the commit carrying its steps out and the recovery at a start.
class JournalDecoder {
 public:
  // Takes the first line; false when it is no journal header this version
  // knows.
  [[nodiscard]] bool start(std::string_view header);
  // A line after the header, without its newline; `step` is set for kStep.
  // After kGarbled the steps that follow cannot be decoded.
  [[nodiscard]] JournalRecord decode(std::string_view line, JournalStep& step);
  // Whether `tail`, a last line without its newline, is the beginning of a
  // line that could have been written: a cut. Otherwise it is damage.
  bool couldBeCut(std::string_view tail) const;

 private:
  bool dense_ = true;
  bool checked_ = true;
  std::string pathDir_;   // the directory of the previous PATH
  std::string otherDir_;  // the directory of the previous BACKUP or SOURCE
};

// Reads a journal file line by line through a JournalDecoder. Anything but
// a regular file at the path (a FIFO, a link, a directory) is no journal:
// it is never opened in a way that could wait.
class JournalReader {
 public:
  explicit JournalReader(const std::string& path);
  // Whether a regular file could be opened there.
  bool opened() const { return lines_.opened(); }
  // Whether it began with a known header. A journal whose first line never
  // reached the disk is empty or a beginning of the header: it was cut
  // before it was complete.
  bool started() const { return started_; }
  // Whether its first line is whole and no header this version knows, or
  // no beginning of one: a journal of a form unknown here, or damaged.
  bool unknownForm() const { return unknownForm_; }
  // The next record; kCut once the file ends (and for a journal not
  // started), kGarbled also for a last line no writer could have begun.
  [[nodiscard]] JournalRecord next(JournalStep& step);

 private:
  LineReader lines_;
  JournalDecoder decoder_;
  std::string line_;
  bool started_ = false;
  bool unknownForm_ = false;
};

// What a start finds at the journal's path.
enum class JournalState {
  kNone,        // no journal (or no regular file there)
  kIncomplete,  // cut before "E": nothing was renamed yet
  kComplete,    // "E" seen: the steps count
  kDamaged,     // not what any commit wrote, nor a cut of it: left alone
};

struct JournalContents {
  JournalState state = JournalState::kNone;
  std::vector<JournalStep> steps;
  bool complete = false;      // "E" seen
  bool committed = false;     // "C" seen and no "A" after it
  bool keptManifest = false;  // "K" seen
};

// Reads the journal at `path`; false when there is none (or it cannot be
// read). A journal that is damaged (a line that does not decode or fails
// its check, marks out of order, an unknown form) is kDamaged, with no
// steps: nothing may be done by it.
bool readJournal(const std::string& path, JournalContents& journal);

// Whether a step has taken effect, judged by the names it touches.
bool stepDone(const JournalStep& step);

// Undoes a done step; true when it is undone (or was not done).
bool undoStep(const JournalStep& step);

}  // namespace installer
