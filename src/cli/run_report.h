// What a run tells its record (see txn/run_record.h): the modes note what
// they decide, the report turns it into the record at the end of the run.
// The messages the run prints are tapped on their way to the console, so
// that each refused file is recorded with the very text printed for it (also
// under "-q", where nothing is printed: the record then holds what would
// have been).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/exit_status.h"
#include "console/run_output.h"
#include "records/package.h"
#include "records/repository.h"
#include "txn/commit.h"
#include "txn/manifest.h"
#include "txn/run_record.h"
#include "upgrade/driver.h"

namespace installer {

class RunReport {
 public:
  // Taps the messages of `output` until it is destroyed; `repo` is read at
  // the end, for the scheduled actions carried out.
  RunReport(const Repository& repo, RunOutput& output, std::time_t started);
  ~RunReport();
  RunReport(const RunReport&) = delete;
  RunReport& operator=(const RunReport&) = delete;

  void setMode(std::string_view mode) { mode_ = mode; }
  // What the recovery at this run's start did.
  void setRecovered(RunOutcome what) { recovered_ = what; }

  // The upgrade run's files: the driver's trace, the packages it returned,
  // and the file it could not read when it stopped on one.
  UpgradeTrace& trace() { return trace_; }
  void noteInstalled(const std::vector<Package>& installed);
  void noteUnreadable(const std::string& path) { unreadable_ = path; }
  // The scheduled actions of the records just loaded: the record tells
  // which of them the run carried out.
  void noteScheduled(const Repository& repo);
  // The image mode's one package stream.
  void noteStream(const std::string& label, bool installed);

  // The bytes of the files the manifest's run staged.
  void measure(const Manifest& m);
  // The outcome the run has come to (the exit status is taken at finish).
  void conclude(RunOutcome outcome, std::string_view reason = {});
  bool concluded() const { return concluded_; }
  RunOutcome outcome() const { return outcome_; }
  // Whether a package file considered so far was refused.
  bool anyRefused() const;
  // Whether the run printed (or, quiet, would have printed) `line`.
  bool printed(std::string_view line) const;
  std::string_view reason() const { return reason_; }

  // The commit, with the record made part of it: staged before the
  // commit's flush before its first rename, and renamed into place just
  // before that rename, so that the commit's flushes carry it and a power
  // cut never leaves a record that tells of another run. The record says
  // committed with `status`; a failure changes it at finish.
  CommitOutcome prepareCommit(Manifest& m, const CommitOptions& options, PreparedCommit& prepared,
                              ExitStatus status, TxnFailures* failures = nullptr);
  CommitOutcome carryOutCommit(Manifest& m, PreparedCommit& prepared,
                               TxnFailures* failures = nullptr);
  // Both halves at once, for a mode that announces nothing between them; a
  // refused preparation concludes the record as refused.
  CommitOutcome commit(Manifest& m, const CommitOptions& options, ExitStatus status,
                       TxnFailures* failures);

  // Writes the record of the run with its exit status, unless the one the
  // commit placed says the same. A record that cannot be written changes
  // nothing of the run (see writeRunRecord).
  void finish(int exitStatus);

  // The record of the recovery made at this start, written at once: the
  // run that follows may end any way at all.
  void writeRecovery(RunOutcome what);

 private:
  RunRecord build(int exitStatus) const;
  std::vector<RunRecord::File> upgradeFiles(bool live) const;
  std::string reasonFor(const std::string& label) const;

  const Repository& repo_;
  RunOutput& output_;
  std::time_t started_;
  std::string mode_;
  std::optional<RunOutcome> recovered_;
  std::vector<std::string> tap_;
  UpgradeTrace trace_;
  std::vector<std::string> installedLabels_;
  struct Scheduled {
    std::string name;
    std::string label;
    PendingAction action;
  };
  std::vector<Scheduled> scheduled_;
  std::string unreadable_;
  bool streamSeen_ = false;
  std::string streamLabel_;
  bool streamInstalled_ = false;
  std::uint64_t bytes_ = 0;
  bool concluded_ = false;
  RunOutcome outcome_ = RunOutcome::kNothingToDo;
  std::string reason_;
  // The record the commit placed, as written; empty when none was.
  std::string placed_;
  std::string staged_;
  std::uint64_t placedRun_ = 0;
};

}  // namespace installer
