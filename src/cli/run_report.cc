#include "cli/run_report.h"

#include <sys/stat.h>

#include <algorithm>

#include "console/machine_progress.h"

namespace installer {
namespace {

constexpr std::string_view kBrokenPrefix = "ERROR: broken package ";

// "name-version" back into its two halves: a version's text holds no "-",
// a package name may.
void splitLabel(const std::string& label, std::string& name, std::string& version) {
  const std::size_t dash = label.rfind('-');
  if (dash == std::string::npos) {
    name = label;
    version.clear();
    return;
  }
  name = label.substr(0, dash);
  version = label.substr(dash + 1);
}

std::string baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether the run's changes are (or, kept, will be) live: the files it
// installed and the actions it carried out count only then.
bool changesStand(RunOutcome outcome) {
  return outcome == RunOutcome::kCommitted || outcome == RunOutcome::kKept ||
         outcome == RunOutcome::kUnfinished;
}

}  // namespace

RunReport::RunReport(const Repository& repo, RunOutput& output, std::time_t started)
    : repo_(repo), output_(output), started_(started) {
  output_.messageTap = &tap_;
}

RunReport::~RunReport() {
  if (output_.messageTap == &tap_) output_.messageTap = nullptr;
}

void RunReport::noteInstalled(const std::vector<Package>& installed) {
  for (const Package& p : installed) installedLabels_.push_back(packageLabel(p));
}

void RunReport::noteScheduled(const Repository& repo) {
  for (const auto& record : repo.packages) {
    if (record->action != PendingAction::kNone) {
      scheduled_.push_back({record->name, packageLabel(*record), record->action});
    }
  }
}

void RunReport::noteStream(const std::string& label, bool installed) {
  streamSeen_ = true;
  streamLabel_ = label;
  streamInstalled_ = installed;
}

bool RunReport::anyRefused() const {
  const std::vector<RunRecord::File> files = upgradeFiles(false);
  return std::any_of(files.begin(), files.end(),
                     [](const RunRecord::File& file) { return file.fate == FileFate::kRefused; });
}

bool RunReport::printed(std::string_view line) const {
  return std::find(tap_.begin(), tap_.end(), line) != tap_.end();
}

void RunReport::measure(const Manifest& m) {
  std::uint64_t bytes = m.stagedBytes;
  // The capture of standard input is written by the image mode itself; a
  // move of a file the run did not write (a downloaded package file kept as
  // its image) writes nothing.
  for (const auto& [path, entry] : m.entries) {
    if (entry.op != ManifestOp::kMove || sourceOf(path, entry) != kCaptureTemporary) continue;
    struct stat st;
    if (lstat(kCaptureTemporary, &st) == 0 && S_ISREG(st.st_mode)) {
      bytes += static_cast<std::uint64_t>(st.st_size);
    }
  }
  bytes_ = bytes;
}

void RunReport::conclude(RunOutcome outcome, std::string_view reason) {
  concluded_ = true;
  outcome_ = outcome;
  reason_ = reason;
}

CommitOutcome RunReport::prepareCommit(Manifest& m, const CommitOptions& options,
                                       PreparedCommit& prepared, ExitStatus status,
                                       TxnFailures* failures) {
  staged_.clear();
  if (output_.progress != nullptr) output_.progress->phase("commit");
  if (!m.empty()) {
    measure(m);
    conclude(RunOutcome::kCommitted);
    const RunRecord record = build(static_cast<int>(status));
    if (stageRunRecord(record) == RecordWrite::kWritten) {
      staged_ = formatRunRecord(record);
      placedRun_ = record.run;
    }
  }
  const CommitOutcome outcome = installer::prepareCommit(m, options, prepared, failures);
  if (outcome != CommitOutcome::kCommitted && !staged_.empty()) {
    dropStagedRunRecord();
    staged_.clear();
  }
  return outcome;
}

CommitOutcome RunReport::carryOutCommit(Manifest& m, PreparedCommit& prepared,
                                        TxnFailures* failures) {
  if (!staged_.empty()) {
    if (placeRunRecord()) placed_ = staged_;
    staged_.clear();
  }
  const CommitOutcome outcome = installer::carryOutCommit(m, prepared, failures);
  if (outcome == CommitOutcome::kRolledBack) conclude(RunOutcome::kUndone, "commit-failed");
  if (outcome == CommitOutcome::kUnfinished) conclude(RunOutcome::kUnfinished, "commit-failed");
  return outcome;
}

CommitOutcome RunReport::commit(Manifest& m, const CommitOptions& options, ExitStatus status,
                                TxnFailures* failures) {
  PreparedCommit prepared;
  const CommitOutcome ready = prepareCommit(m, options, prepared, status, failures);
  if (ready == CommitOutcome::kCommitted) return carryOutCommit(m, prepared, failures);
  conclude(RunOutcome::kRefused, ready == CommitOutcome::kNoSpace ? "no-space" : "commit-refused");
  return ready;
}

std::string RunReport::reasonFor(const std::string& label) const {
  for (const std::string& message : tap_) {
    if (!message.starts_with("WARNING: ") && !message.starts_with("ERROR: ")) continue;
    for (std::size_t at = message.find(label); at != std::string::npos;
         at = message.find(label, at + 1)) {
      const std::size_t end = at + label.size();
      // The label itself, not the start of a longer one ("foo-7.1" in
      // "foo-7.1.2"), nor the end of one ("afoo-7.1").
      const bool startsWord = at == 0 || message[at - 1] == ' ';
      const bool endsWord = end == message.size() || message[end] == ':' || message[end] == ' ';
      if (startsWord && endsWord) return message;
    }
  }
  return {};
}

std::vector<RunRecord::File> RunReport::upgradeFiles(bool live) const {
  std::vector<RunRecord::File> files;
  // Files refused while their headers were read never reach the trace.
  for (const std::string& message : tap_) {
    if (!message.starts_with(kBrokenPrefix)) continue;
    RunRecord::File file;
    file.name = message.substr(kBrokenPrefix.size());
    file.fate = FileFate::kRefused;
    file.message = message;
    files.push_back(std::move(file));
  }
  for (const UpgradeTrace::File& found : trace_.found) {
    RunRecord::File file;
    file.name = baseName(found.path);
    splitLabel(found.label, file.package, file.version);
    const auto planned =
        std::find_if(trace_.planned.begin(), trace_.planned.end(),
                     [&found](const UpgradeTrace::File& p) { return p.path == found.path; });
    const std::string reason = reasonFor(found.label);
    if (found.path == unreadable_) {
      file.fate = FileFate::kRefused;
      const std::string line = "ERROR: could not read " + found.path;
      if (std::find(tap_.begin(), tap_.end(), line) != tap_.end()) file.message = line;
    } else if (planned == trace_.planned.end()) {
      file.fate = FileFate::kPassedOver;
      file.message = reason;
    } else if (planned->result > 0) {
      file.fate = FileFate::kRefused;
      file.message = reason;
    } else if (planned->result < 0) {
      // Not opened (gone since it was found), or never reached.
      file.fate = trace_.failed ? FileFate::kNotTried : FileFate::kPassedOver;
    } else if (std::find(installedLabels_.begin(), installedLabels_.end(), found.label) ==
                   installedLabels_.end() ||
               reason.find(": omitting package ") != std::string::npos ||
               reason.starts_with("WARNING: omitting package ") ||
               reason.starts_with("ERROR: omitting package ")) {
      file.fate = FileFate::kPassedOver;
      file.message = reason;
    } else {
      file.fate = live ? FileFate::kInstalled : FileFate::kCancelled;
    }
    files.push_back(std::move(file));
  }
  return files;
}

RunRecord RunReport::build(int exitStatus) const {
  RunRecord record;
  record.run = nextRunNumber();
  record.started = started_;
  record.mode = mode_;
  record.exitStatus = exitStatus;
  if (concluded_) {
    record.outcome = outcome_;
    record.reason = reason_;
  } else if (exitStatus == 0) {
    record.outcome = RunOutcome::kNothingToDo;
  } else {
    record.outcome = RunOutcome::kRefused;
    record.reason = "failed";
  }
  record.recovered = recovered_;
  const bool live = changesStand(record.outcome);
  record.bytesWritten = bytes_;
  if (streamSeen_) {
    RunRecord::File file;
    file.name = "-";
    splitLabel(streamLabel_, file.package, file.version);
    const std::string reason = streamLabel_.empty() ? std::string() : reasonFor(streamLabel_);
    if (streamInstalled_ && reason.find("omitting package ") != std::string::npos) {
      file.fate = FileFate::kPassedOver;
      file.message = reason;
    } else if (streamInstalled_) {
      file.fate = live ? FileFate::kInstalled : FileFate::kCancelled;
    } else {
      file.fate = FileFate::kRefused;
      for (const std::string& message : tap_) {
        if (message.starts_with("ERROR: ")) {
          file.message = message;
          break;
        }
      }
    }
    record.files.push_back(std::move(file));
  } else {
    record.files = upgradeFiles(live);
  }
  // An action is known carried out by its effect on the records: one that
  // was refused (the last package, a dependency) left its record as it was.
  if (live) {
    for (const Scheduled& s : scheduled_) {
      const InstalledPackage* now = findRecord(repo_, s.name);
      const char* done = nullptr;
      if (s.action == PendingAction::kUninstall && now == nullptr) done = "uninstalled ";
      if (s.action == PendingAction::kDisable && now != nullptr && now->disabled) {
        done = "disabled ";
      }
      if (s.action == PendingAction::kEnable && now != nullptr && !now->disabled) {
        done = "enabled ";
      }
      if (done != nullptr) record.actions.push_back(done + s.label);
    }
  }
  return record;
}

void RunReport::finish(int exitStatus) {
  RunRecord record = build(exitStatus);
  if (output_.progress != nullptr) {
    output_.progress->finish(outcomeName(record.outcome), record.reason, exitStatus);
  }
  if (!placed_.empty()) {
    // The record the commit placed took this run's number; it stands when
    // the run ended as it said, and is replaced under the same number when
    // not.
    record.run = placedRun_;
    if (formatRunRecord(record) == placed_) return;
  }
  static_cast<void>(writeRunRecord(record));
}

void RunReport::writeRecovery(RunOutcome what) {
  RunRecord record;
  record.run = nextRunNumber();
  record.started = started_;
  record.mode = "recovery";
  record.exitStatus = 0;
  record.outcome = what;
  static_cast<void>(writeRunRecord(record));
}

}  // namespace installer
