// The record of the last run: what the run that last held the lock did, for
// an update engine or an administrator to read after the fact (also after a
// power cut, when the next start's recovery says what it did instead).
//
// File "/flash/var/pdb/.last-run" (hidden, in the database directory, where
// no package may own a path and every reader of the database skips hidden
// names), replaced as a whole: written to "/flash/var/pdb/.last-run.new",
// then renamed over it. It is never flushed on its own: a run that commits
// renames it into place just before its first rename of the commit, so the
// commit's flushes carry it; a run that changes nothing on the flash leaves
// it to the file system's own write-back.
//
// Form: plain text, one "key=value" per line, each ending with a newline:
//
//   installer-run 1         first line: the form, and its version
//   run=N                   the run's number, one more than the record before
//   started=YYYY-MM-DDTHH:MM:SSZ
//   mode=upgrade|safe|commit|cancel|cleanup|image|usage|recovery
//   exit_status=N
//   outcome=CLASS           see RunOutcome
//   reason=WORD             why a run was refused; empty otherwise
//   recovered=CLASS         what the recovery at this run's start did; empty
//   bytes_written=N         bytes of the files the run staged
//   files=K                 then for each package file considered, I = 1..K:
//   file.I.name=NAME        its file name in the download directory
//   file.I.package=NAME     the package's name (empty when unreadable)
//   file.I.version=TEXT     its version (empty when unreadable)
//   file.I.fate=FATE        see FileFate
//   file.I.message=TEXT     the message printed for it, when refused or
//                           passed over; empty otherwise
//   actions=M               then action.J=TEXT, J = 1..M: the scheduled
//                           actions ("uninstalled a-1.0", ...)
//   end=N                   the run number again: the record is whole
//
// Values are escaped: "%", "=", a byte below 0x20, 0x7F or above 0x7F is
// written as "%" and two upper-case hex digits, so that no name can make a
// line or a key of its own. Readers take the key up to the first "=".
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace installer {

inline constexpr const char* kRunRecordPath = "/flash/var/pdb/.last-run";
inline constexpr const char* kRunRecordTemporary = "/flash/var/pdb/.last-run.new";
inline constexpr const char* kRunRecordHeader = "installer-run 1";

enum class RunOutcome {
  kCommitted,      // the run's changes are on the flash
  kNothingToDo,    // nothing to install or carry out; nothing changed
  kKept,           // "--safe": staged and kept for "--commit" or "--cancel"
  kCancelled,      // "--cancel": the kept changes are gone
  kRefused,        // nothing changed; `reason` says why
  kUndone,         // a step of the commit failed and the old state is back
  kUnfinished,     // a step failed and could not be undone: the next start does
  kRolledForward,  // recovery: an interrupted commit was finished
  kRolledBack,     // recovery: an interrupted commit was undone
  kCleanedUp,      // recovery: an interrupted run had changed nothing live;
                   // what it had staged was removed
};

enum class FileFate {
  kInstalled,   // staged with the run's changes (live when they are)
  kPassedOver,  // not installed, by decision: already installed, older, ...
  kRefused,     // broken, failed its checks or its installation
  kNotTried,    // the run stopped before it
  kCancelled,   // staged, then dropped with the whole run
};

std::string_view outcomeName(RunOutcome outcome);
std::string_view fateName(FileFate fate);

struct RunRecord {
  struct File {
    std::string name;
    std::string package;
    std::string version;
    FileFate fate = FileFate::kPassedOver;
    std::string message;
  };

  std::uint64_t run = 0;
  std::time_t started = 0;
  std::string mode;
  int exitStatus = 0;
  RunOutcome outcome = RunOutcome::kNothingToDo;
  std::string reason;
  std::optional<RunOutcome> recovered;
  std::uint64_t bytesWritten = 0;
  std::vector<File> files;
  std::vector<std::string> actions;
};

// The record's text, as written.
std::string formatRunRecord(const RunRecord& record);

// The record read back as keys and values in file order, values unescaped;
// the generic form that "pkgtool status" prints. Empty when the text is no
// whole record of a form this version knows: no header, a line without
// "=", no "end" line last.
struct RecordField {
  std::string key;
  std::string value;
};
std::vector<RecordField> parseRunRecord(std::string_view text);

// The text of the record file, at most `limit` bytes; none when there is no
// regular file (a link, a FIFO, a directory there is no record, and is
// never followed or waited on) or it cannot be read.
std::optional<std::string> readRunRecordText(const char* path = kRunRecordPath,
                                             std::size_t limit = std::size_t{64} << 20);

// The number the next record takes: one more than that of the record there,
// read from its first lines only; 1 when there is none, or it is damaged.
std::uint64_t nextRunNumber(const char* path = kRunRecordPath);

// A record on its way: its text written to the temporary, not yet in place.
enum class [[nodiscard]] RecordWrite{
    kWritten,
    kNoDirectory,  // no database directory: no record, and none is made
    kFailed,       // could not be written (errno set); nothing was left
};

// Writes the record's text to the temporary ("path".new), replacing a file
// or a link left there (a directory there makes it fail). The data is not
// flushed.
RecordWrite stageRunRecord(const RunRecord& record, const char* path = kRunRecordPath);
// Renames the staged temporary over the record. False when it could not be
// (a directory at the record's name): the temporary is removed then.
[[nodiscard]] bool placeRunRecord(const char* path = kRunRecordPath);
// Drops a staged temporary that is not to be placed.
void dropStagedRunRecord(const char* path = kRunRecordPath);
// Both steps. When the record cannot be written, the old record is removed
// (when it is a file or a link): none is better than one that tells of
// another run.
RecordWrite writeRunRecord(const RunRecord& record, const char* path = kRunRecordPath);

}  // namespace installer
