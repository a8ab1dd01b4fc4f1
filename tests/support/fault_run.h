// Runs of the real installer with the fault-injection library preloaded
// (tests/faultshim), and the tree checks of the fault and crash sweeps: a
// snapshot of every path below a directory, and the rule that after a
// failure each path holds either its old or its new state.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testing_support {

struct FaultPlan {
  long at = 0;                  // the counted call that fails; 0: none
  std::string action = "fail";  // "fail", "exit" or "kill"
  std::string error = "EIO";    // for "fail": ENOSPC, EIO, EACCES
  std::string calls;            // kinds counted, comma-separated; empty: all
  std::string log;              // file that lists every counted call
};

// `options` with the library preloaded and the plan in the environment.
// Runs with `chrootTo` see the library and the log inside that root: give
// `plan.log` as a path inside it then. The run's sync() of every file system
// of the machine is skipped (it is still counted and logged): it costs the
// sweeps much time on a busy machine and changes nothing they look at.
RunOptions withFault(RunOptions options, const FaultPlan& plan = {});

// A memory file system for the roots of a sweep, so that the many runs do
// not wait for the disk; plain temporary directories where no tmpfs can be
// mounted. Each CaseRoot is a fresh empty directory in it.
class SweepArea {
 public:
  SweepArea();
  const std::string& path() const { return area_; }

 private:
  TempRoot root_;
  std::string area_;
};

class CaseRoot {
 public:
  explicit CaseRoot(const SweepArea& area);
  ~CaseRoot();
  CaseRoot(const CaseRoot&) = delete;
  CaseRoot& operator=(const CaseRoot&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& inside) const { return path_ + inside; }

 private:
  std::string path_;
};

struct FaultCall {
  long n = 0;
  std::string kind;    // "write", "rename", ...
  std::string detail;  // the path, or "fd=N"
};
std::vector<FaultCall> readFaultLog(const std::string& path);

// Path (below the directory, "/"-led; directories end in "/") -> its mode,
// size and content hash, or link text.
using TreeState = std::map<std::string, std::string>;
TreeState snapshotTree(const std::string& dir);
// Drops the paths that are the run's own log ("/postlog" and the like) from
// a snapshot, for comparisons of what an install changed.
TreeState without(TreeState state, const std::vector<std::string>& paths);

// A temporary file name of staging or of the manifest file ("tmpXXXXXX",
// "NAME.XXXXXX").
bool isTemporaryPath(const std::string& path);

struct OldOrNewReport {
  std::vector<std::string> violations;   // paths in neither state, with both
  std::vector<std::string> temporaries;  // left-over temporary files
  std::vector<std::string> newDirectories;
  bool ok() const { return violations.empty(); }
};
// Every path of `now` must hold its state in `before` or in `after`, and
// every path missing from `now` must be missing from one of them. Temporary
// files and new directories are listed apart, not as violations.
OldOrNewReport checkOldOrNew(const TreeState& before, const TreeState& after, const TreeState& now);

// Durability of a run, from the log of its calls: every file written in the
// run and then renamed into place was flushed (by an fsync of it, or by a
// flush of the whole file system) after its last write and, when it was
// written before the commit began, before the commit's first rename; and a
// flush follows the last rename. Returns what breaks the rule.
std::vector<std::string> checkDurability(const std::vector<FaultCall>& calls);

// Whether a sanitizer build of the installer reported an error on standard
// error (AddressSanitizer ends such a run with status 1, which would
// otherwise pass for a refusal).
bool sanitizerReported(const RunResult& run);

// Sweeps: the outcome of each case, counted and printed in the test output.
struct SweepCounts {
  std::string name;
  int tried = 0;
  int refused = 0;                 // failure reported, the tree unchanged
  int acceptedIdentical = 0;       // ended as the run without the fault does
  int commitPartial = 0;           // failure reported, each path old or new but mixed:
                                   // a broken promise, counted among `other` too
  std::vector<std::string> other;  // anything else: each one fails the test

  void print() const;
};

// FAULT_SWEEP_FULL=1 asks for every case; otherwise sweeps sample.
bool fullSweep();
// 1..count when sweeping fully or when count <= samples; else the first and
// last three and an even spread of about `samples` between them.
std::vector<long> pointsToTry(long count, long samples);

// Copies a prepared root (cp -a) so that each case starts from the same tree.
void copyTree(const std::string& from, const std::string& to);

// How `found` differs from `expected` (missing, extra and changed paths),
// for messages.
std::string describeDifference(const TreeState& expected, const TreeState& found);

// The run record ("/flash/var/pdb/.last-run") around the next start after a
// run was cut short: what it held before the run, what it held when the
// start began (and whether a commit journal was there then), and what the
// start left in it.
struct RecordAroundStart {
  std::optional<std::string> beforeRun;
  std::optional<std::string> beforeStart;
  bool journalBeforeStart = false;
  std::optional<std::string> now;
};
// Reads the record and the journal's presence under `root` into `beforeStart`
// and `journalBeforeStart` (call before the start), or into `now` (after it).
void noteRecordBeforeStart(const std::string& root, RecordAroundStart& record);
void noteRecordAfterStart(const std::string& root, RecordAroundStart& record);
// Empty when the record names what the start did: the recovery's record
// (rolled back to a wholly old tree, rolled forward to a wholly new one, or
// cleaned up) when the start recovered, which it must when it found a
// journal; otherwise the record as it was, which for a wholly new tree is
// the run's own record of its commit. `wholeOld` is unknown for runs whose
// tree is judged only after a further step.
std::string recordProblem(const RecordAroundStart& record, std::optional<bool> wholeOld);

}  // namespace testing_support
