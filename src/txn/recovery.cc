#include "txn/recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "platform/flush.h"
#include "txn/journal.h"
#include "txn/paths.h"

namespace installer {
namespace {

bool present(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0;
}

// The nearest existing directory at or above `path`.
std::string existingDirAbove(std::string path) {
  struct stat st;
  while (path != "/" && path != ".") {
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return path;
    path = parentDir(path);
  }
  return path;
}

// False when one could not be removed for another reason than what it
// still holds: hidden names and subdirectories keep a directory, as they
// always did.
bool removeDirectories(const std::vector<std::string>& dirs) {
  bool ok = true;
  for (const std::string& dir : dirs) {
    if (rmdir(dir.c_str()) != 0 && errno != ENOTEMPTY && errno != EEXIST && errno != ENOENT) {
      ok = false;
    }
  }
  return ok;
}

void spendKeptManifest(const PlacedNames& placed) {
  removeListedTemporaries(TemporaryList::kKept, placed);
  unlink(kKeptManifestPath);
}

}  // namespace

bool recoveryPending() {
  return present(kJournalPath) || temporariesListed(TemporaryList::kRun) ||
         (temporariesListed(TemporaryList::kKept) && !present(kKeptManifestPath));
}

RecoveryOutcome rollBackJournal(const std::vector<std::string>& fileSystems) {
  JournalContents journal;
  if (!readJournal(kJournalPath, journal)) return RecoveryOutcome::kRolledBack;
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
      std::perror("undo");
      ok = false;
    }
  }
  if (!ok) return RecoveryOutcome::kFailed;
  // The undone renames reach the storage before the journal that describes
  // them is gone.
  for (const auto& [device, dir] : touched) {
    if (!flushFileSystemOf(dir)) {
      std::perror("sync");
      return RecoveryOutcome::kFailed;
    }
  }
  if (unlink(kJournalPath) != 0 && errno != ENOENT) return RecoveryOutcome::kFailed;
  return RecoveryOutcome::kRolledBack;
}

void finishJournal(TemporaryLog& log, const std::vector<std::string>& removeDirs, bool keptManifest,
                   const PlacedNames& placed) {
  bool done = endRunTemporaries(log, placed);
  // The removed directories go once the backups in them are gone.
  done = done && removeDirectories(removeDirs);
  if (keptManifest) spendKeptManifest(placed);
  // Whatever could not be removed now is tried again at the next start,
  // which finds the journal and finishes the run as this one would have.
  if (done) unlink(kJournalPath);
}

RecoveryOutcome recoverInterruptedRun() {
  RecoveryOutcome outcome = RecoveryOutcome::kNothingToDo;
  JournalContents journal;
  if (readJournal(kJournalPath, journal)) {
    if (journal.committed) {
      std::vector<std::string> removeDirs;
      PlacedNames placed;
      for (const JournalStep& step : journal.steps) {
        if (step.kind == StepKind::kRemoveDir) removeDirs.push_back(step.path);
        if (step.kind == StepKind::kPlace) placed.add(step.other);
      }
      placed.seal();
      TemporaryLog none;
      finishJournal(none, removeDirs, journal.keptManifest, placed);
      outcome = RecoveryOutcome::kFinished;
    } else {
      outcome = rollBackJournal({});
      if (outcome == RecoveryOutcome::kFailed) return outcome;
    }
  }
  if (temporariesListed(TemporaryList::kRun)) {
    removeListedTemporaries(TemporaryList::kRun);
    if (outcome == RecoveryOutcome::kNothingToDo) outcome = RecoveryOutcome::kCleanedUp;
  }
  if (temporariesListed(TemporaryList::kKept) && !present(kKeptManifestPath)) {
    removeListedTemporaries(TemporaryList::kKept);
    if (outcome == RecoveryOutcome::kNothingToDo) outcome = RecoveryOutcome::kCleanedUp;
  }
  return outcome;
}

}  // namespace installer
