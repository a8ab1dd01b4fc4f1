#include "txn/recovery.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/flush.h"
#include "txn/checked_source.h"
#include "txn/journal.h"
#include "txn/paths.h"

namespace installer {
namespace {

bool present(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// False when one could not be removed for another reason than what it
// still holds: hidden names and subdirectories keep a directory, as they
// always did.
bool removeDirectories(const std::vector<std::string>& dirs) {
  bool ok = true;
  for (const std::string& dir : dirs) {
    // ENOTDIR: a file of the commit took the directory's name.
    if (rmdir(dir.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT &&
        errno != ENOTDIR) {
      ok = false;
    }
  }
  return ok;
}

int removeVisited(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

// Removes a backed-up directory with everything in it, links as links. Only
// a directory still at a temporary name of a run: anything else there is
// not the backup, and a backup already gone is done.
bool removeBackedUpDirectory(const std::string& backup) {
  struct stat st;
  if (!isRunTemporary(backup) || lstat(backup.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return true;
  }
  return nftw(backup.c_str(), removeVisited, 16, FTW_DEPTH | FTW_PHYS) == 0;
}

// A kept manifest is a regular file; a FIFO or a link at its name is none.
bool keptManifestThere() {
  struct stat st;
  return lstat(kKeptManifestPath, &st) == 0 && S_ISREG(st.st_mode);
}

void spendKeptManifest(const PlacedNames& placed) {
  removeListedTemporaries(TemporaryList::kKept, placed);
  if (keptManifestThere()) unlink(kKeptManifestPath);
}

// Whether a commit could have written `step`: every target below "/flash/",
// every backup a temporary beside it, every source a temporary or a
// downloaded package file. A journal that says otherwise is not one of ours,
// and nothing it names is touched.
bool confined(const JournalStep& step) {
  if (!isBelowFlash(step.path)) return false;
  switch (step.kind) {
    case StepKind::kMakeDir:
    case StepKind::kRemoveDir:
      return true;
    case StepKind::kBackUp:
      return isRunTemporary(step.other) && isBelowFlash(step.other);
    case StepKind::kPlace:
      return isRunTemporary(step.other) || isDownloadedPackage(step.other);
  }
  return false;
}

}  // namespace

bool recoveryPending() {
  return present(kJournalPath) || temporariesListed(TemporaryList::kRun) ||
         (temporariesListed(TemporaryList::kKept) && !keptManifestThere());
}

std::string damagedRecoveryState() {
  JournalContents journal;
  if (readJournal(kJournalPath, journal)) {
    if (journal.state == JournalState::kDamaged ||
        !std::all_of(journal.steps.begin(), journal.steps.end(), confined)) {
      return kJournalPath;
    }
  }
  for (const TemporaryList list : {TemporaryList::kRun, TemporaryList::kKept}) {
    if (std::string path = damagedList(list); !path.empty()) return path;
  }
  return {};
}

bool setAsideRecoveryState(std::string& where) {
  const std::string names[] = {kJournalPath, kStagedListPath, kKeptListPath,
                               std::string(kStagedListPath).substr(0, strlen(kStagedListPath) - 2),
                               std::string(kKeptListPath).substr(0, strlen(kKeptListPath) - 2)};
  std::vector<std::string> there;
  for (const std::string& name : names) {
    if (present(name.c_str())) there.push_back(name);
  }
  if (there.empty()) {
    errno = ENOENT;
    return false;
  }
  for (unsigned number = 1;; ++number) {
    where = std::string(kStagedListDir) + "/.aside-" + std::to_string(number);
    if (mkdir(where.c_str(), 0700) == 0) break;
    if (errno != EEXIST) return false;
  }
  for (const std::string& name : there) {
    const std::string to = where + "/" + name.substr(name.rfind('/') + 2);
    if (rename(name.c_str(), to.c_str()) != 0) return false;
  }
  // Set aside for good: a power cut must not bring the journal back.
  if (!flushFileSystemOf(kStagedListDir)) return false;
  return true;
}

RecoveryOutcome rollBackJournal(const std::vector<std::string>& fileSystems,
                                TxnFailures* failures) {
  JournalContents journal;
  if (!readJournal(kJournalPath, journal)) return RecoveryOutcome::kRolledBack;
  // Read back damaged, it tells nothing to undo by: it stays, and so does
  // every backup, for the next start to refuse.
  if (journal.state == JournalState::kDamaged) return RecoveryOutcome::kFailed;
  std::map<dev_t, std::string> touched;
  auto touch = [&touched](const std::string& dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) touched.emplace(st.st_dev, dir);
  };
  for (const std::string& dir : fileSystems) touch(dir);
  touch(parentDir(kJournalPath));
  bool ok = true;
  for (auto step = journal.steps.rbegin(); step != journal.steps.rend(); ++step) {
    if (step->kind == StepKind::kRemoveDir) continue;
    touch(existingDirAbove(step->path));
    if (!undoStep(*step)) {
      noteFailure(failures, {"undo", step->path, errno});
      ok = false;
    }
  }
  if (!ok) return RecoveryOutcome::kFailed;
  // The undone renames reach the storage before the journal that describes
  // them is gone.
  for (const auto& [device, dir] : touched) {
    if (!flushFileSystemOf(dir)) {
      noteFailure(failures, {"sync", dir, errno});
      return RecoveryOutcome::kFailed;
    }
  }
  if (unlink(kJournalPath) != 0 && errno != ENOENT) return RecoveryOutcome::kFailed;
  return RecoveryOutcome::kRolledBack;
}

void finishJournal(TemporaryLog& log, const std::vector<std::string>& removeDirs,
                   const std::vector<std::string>& backedUpDirs, bool keptManifest,
                   const PlacedNames& placed) {
  bool done = true;
  for (const std::string& backup : backedUpDirs) done = removeBackedUpDirectory(backup) && done;
  done = endRunTemporaries(log, placed) && done;
  // The removed directories go once the backups in them are gone.
  done = done && removeDirectories(removeDirs);
  if (keptManifest) spendKeptManifest(placed);
  // Whatever could not be removed now is tried again at the next start,
  // which finds the journal and finishes the run as this one would have.
  if (done) unlink(kJournalPath);
}

RecoveryOutcome recoverInterruptedRun(std::string* damaged, TxnFailures* failures) {
  // Damage anywhere stops all of it: the journal may be the only record of
  // where the old files are, and the list names them as temporaries.
  if (std::string path = damagedRecoveryState(); !path.empty()) {
    if (damaged != nullptr) *damaged = std::move(path);
    return RecoveryOutcome::kDamaged;
  }
  RecoveryOutcome outcome = RecoveryOutcome::kNothingToDo;
  JournalContents journal;
  if (readJournal(kJournalPath, journal)) {
    if (journal.committed) {
      std::vector<std::string> removeDirs;
      std::vector<std::string> backups;
      PlacedNames placed;
      for (const JournalStep& step : journal.steps) {
        if (step.kind == StepKind::kRemoveDir) removeDirs.push_back(step.path);
        if (step.kind == StepKind::kPlace) placed.add(step.other);
        // The journal does not say which backups are directories; the
        // names do, and only a directory is removed with what it holds.
        if (step.kind == StepKind::kBackUp) backups.push_back(step.other);
      }
      placed.seal();
      TemporaryLog none;
      finishJournal(none, removeDirs, backups, journal.keptManifest, placed);
      outcome = RecoveryOutcome::kFinished;
    } else {
      outcome = rollBackJournal({}, failures);
      if (outcome == RecoveryOutcome::kFailed) return outcome;
    }
  }
  if (temporariesListed(TemporaryList::kRun)) {
    removeListedTemporaries(TemporaryList::kRun);
    if (outcome == RecoveryOutcome::kNothingToDo) outcome = RecoveryOutcome::kCleanedUp;
  }
  if (temporariesListed(TemporaryList::kKept) && !keptManifestThere()) {
    removeListedTemporaries(TemporaryList::kKept);
    if (outcome == RecoveryOutcome::kNothingToDo) outcome = RecoveryOutcome::kCleanedUp;
  }
  return outcome;
}

}  // namespace installer
