#include "txn/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include "platform/flush.h"
#include "txn/file_copy.h"
#include "txn/file_io.h"
#include "txn/journal.h"
#include "txn/paths.h"
#include "txn/recovery.h"

namespace installer {
namespace {

constexpr std::size_t kJournalBuffer = 65536;

bool inDatabase(std::string_view path) { return path.starts_with("/flash/var/pdb/"); }

bool isMove(ManifestOp op) { return op == ManifestOp::kMove || op == ManifestOp::kMoveStaged; }

std::string baseName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name the kernel would refuse: too long as a whole or in one component.
bool tooLong(const std::string& path) {
  if (path.size() >= PATH_MAX) return true;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end - start > NAME_MAX) return true;
    start = end + 1;
  }
  return false;
}

// Appends one line to the journal; false with errno set.
bool appendToJournal(const std::string& line) {
  const int fd = openOwnRegularFile(kJournalPath, O_WRONLY | O_APPEND, 0);
  if (fd < 0) return false;
  bool ok = writeAll(fd, line);
  const int error = errno;
  if (::close(fd) != 0 && ok) return false;
  errno = error;
  return ok;
}

// Flushes each file system once; false (noted) when one could not be.
bool flushAll(const std::vector<std::string>& fileSystems, TxnFailures* failures) {
  bool ok = true;
  for (const std::string& dir : fileSystems) {
    if (!flushFileSystemOf(dir)) {
      noteFailure(failures, {"sync", dir, errno});
      ok = false;
    }
  }
  return ok;
}

// Turns the manifest into journal steps, checking each operation and making
// what it needs (copies, link files, backup names) while nothing live has
// changed yet.
class Planner {
 public:
  Planner(Manifest& m, const CommitOptions& options, TxnFailures* failures)
      : m_(m), options_(options), failures_(failures) {}
  ~Planner() {
    if (fd_ >= 0) ::close(fd_);
  }

  CommitOutcome plan();
  // What planning created (copies, links): removed again when refused.
  const std::vector<std::string>& made() const { return made_; }
  // Our own staged files that were copied across: they go once committed.
  const std::vector<std::string>& copiedStaged() const { return copiedStaged_; }
  const std::vector<std::string>& backedUpDirs() const { return backedUpDirs_; }
  std::vector<std::string> fileSystems() const {
    std::vector<std::string> dirs;
    for (const auto& [device, dir] : fileSystems_) dirs.push_back(dir);
    return dirs;
  }

 private:
  CommitOutcome refuse(const char* what, const std::string& path, int error) {
    noteFailure(failures_, {what, path, error});
    return error == ENOSPC || error == EDQUOT ? CommitOutcome::kNoSpace : CommitOutcome::kRefused;
  }
  bool emit(const JournalStep& step) {
    encoder_.append(step, buffer_);
    return buffer_.size() < kJournalBuffer || flushBuffer();
  }
  bool emitLine(const std::string& line);
  bool flushBuffer();
  void touch(const std::string& dir);
  bool anchorDevice(const std::string& anchor, dev_t& device);
  bool stagedDevice(const std::string& source, dev_t& device);
  bool removedBefore(const std::string& path) const;
  bool clearedByDirectoryRemoval(const std::string& path) const;
  bool placedBefore(const std::string& source, const std::string& path) const;
  bool findAnchor(const std::string& path, std::string& anchor);
  bool emptiedByRemovals(const std::string& dir) const;
  CommitOutcome refuseHeldDirectory(const std::string& path);
  CommitOutcome backUp(const std::string& path, bool directory = false);
  CommitOutcome planRemove(const std::string& path);
  CommitOutcome planLink(const std::string& path, const std::string& text);
  CommitOutcome planMove(const std::string& path, const ManifestEntry& entry);

  Manifest& m_;
  const CommitOptions& options_;
  TxnFailures* failures_;
  int fd_ = -1;
  std::string buffer_;
  JournalEncoder encoder_;
  std::map<dev_t, std::string> fileSystems_;
  // Directories the commit creates, each with the existing directory above
  // it whose file system it will be on.
  std::map<std::string, std::string> created_;
  std::string lastParent_;
  std::string lastAnchor_;
  // The device of the anchor asked about last: the files of one directory
  // follow each other and share it.
  std::string deviceAnchor_;
  dev_t device_ = 0;
  // The same for the directory of the staged file asked about last.
  std::string stagedDir_;
  dev_t stagedDevice_ = 0;
  std::set<std::string> movedSources_;
  // A manifest without removals (a fresh installation) needs none of the
  // lookups that ask what a removal clears away.
  bool hasRemovals_ = false;
  std::vector<std::string> made_;
  std::vector<std::string> copiedStaged_;
  std::vector<std::string> backedUpDirs_;
};

bool Planner::flushBuffer() {
  const bool ok = writeAll(fd_, buffer_);
  buffer_.clear();
  return ok;
}

bool Planner::emitLine(const std::string& line) {
  buffer_ += line;
  return buffer_.size() < kJournalBuffer || flushBuffer();
}

void Planner::touch(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) fileSystems_.emplace(st.st_dev, dir);
}

// The device of an existing directory, noted as a file system the commit
// touches; false with errno when it cannot be asked.
bool Planner::anchorDevice(const std::string& anchor, dev_t& device) {
  if (anchor != deviceAnchor_ || deviceAnchor_.empty()) {
    struct stat st;
    if (stat(anchor.c_str(), &st) != 0) return false;
    deviceAnchor_ = anchor;
    device_ = st.st_dev;
    fileSystems_.emplace(device_, anchor);
  }
  device = device_;
  return true;
}

// Whether the manifest removes `path` (a file in the way of a directory)
// before the operation at hand: removals come first in each half.
bool Planner::removedBefore(const std::string& path) const {
  if (!hasRemovals_) return false;
  auto it = m_.entries.find(path);
  if (it != m_.entries.end() && it->second.op == ManifestOp::kRemove) return true;
  return clearedByDirectoryRemoval(path);
}

// Whether the commit places something at `source` before it places `path`:
// the outside of the database before the database, links before moves, and
// moves in path order.
bool Planner::placedBefore(const std::string& source, const std::string& path) const {
  auto it = m_.entries.find(source);
  if (it == m_.entries.end() || it->second.op == ManifestOp::kRemove) return false;
  if (inDatabase(source) != inDatabase(path)) return !inDatabase(source);
  return it->second.op == ManifestOp::kLink || source < path;
}

// Whether `path` is a plain entry of a directory the manifest removes: it is
// backed up with that removal, and is no longer there afterwards.
bool Planner::clearedByDirectoryRemoval(const std::string& path) const {
  if (!hasRemovals_) return false;
  // A directory's removal may be staged with its trailing slash.
  const std::string dir = parentDir(path);
  auto parent = m_.entries.find(dir);
  if (parent == m_.entries.end()) parent = m_.entries.find(dir + "/");
  if (parent == m_.entries.end() || parent->second.op != ManifestOp::kRemove) return false;
  if (baseName(path).starts_with(".")) return false;
  struct stat st;
  return lstat(parentDir(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
         lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The nearest directory above `path` that exists now, emitting a step for
// each missing directory between. False with errno when a file stands where
// a directory must be and nothing removes it.
bool Planner::findAnchor(const std::string& path, std::string& anchor) {
  const std::string parent = parentDir(path);
  if (parent == lastParent_) {
    anchor = lastAnchor_;
    return true;
  }
  std::vector<std::string> missing;
  std::string dir = parent;
  for (;;) {
    if (dir == "/" || dir == ".") {
      anchor = dir;
      break;
    }
    if (auto made = created_.find(dir); made != created_.end()) {
      anchor = made->second;
      break;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        anchor = dir;
        break;
      }
      if (!removedBefore(dir)) {
        errno = ENOTDIR;
        return false;
      }
    } else if (errno != ENOENT && errno != ENOTDIR) {
      return false;
    }
    missing.push_back(dir);
    dir = parentDir(dir);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    created_.emplace(*it, anchor);
    if (!emit({StepKind::kMakeDir, *it, ""})) return false;
  }
  lastParent_ = parent;
  lastAnchor_ = anchor;
  return true;
}

// Whether every entry below `dir`, at any depth, is one the manifest
// removes: the directory holds nothing but what the commit takes away. An
// empty directory below it was never the package's: it is no removed file.
bool Planner::emptiedByRemovals(const std::string& dir) const {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return false;
  bool emptied = true;
  bool anything = false;
  while (const dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    anything = true;
    const std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      emptied = false;
    } else if (S_ISDIR(st.st_mode)) {
      emptied = emptiedByRemovals(path);
    } else {
      emptied = removedBefore(path);
    }
    if (!emptied) break;
  }
  closedir(stream);
  return emptied && anything;
}

// A directory where a file must go that still holds what is not the
// commit's to remove (another package's file, one no package owns).
CommitOutcome Planner::refuseHeldDirectory(const std::string& path) {
  // A caller that does not ask for the path keeps the refusal it always had.
  if (options_.heldDirectory == nullptr) return refuse("rename", path, EISDIR);
  *options_.heldDirectory = path;
  return CommitOutcome::kRefused;
}

// The device of a file this run staged, by its directory: the run made the
// file moments ago, and a look at each of thousands would cost a call each.
bool Planner::stagedDevice(const std::string& source, dev_t& device) {
  std::string dir = parentDir(source);
  if (dir != stagedDir_ || stagedDir_.empty()) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) return false;
    stagedDir_ = std::move(dir);
    stagedDevice_ = st.st_dev;
  }
  device = stagedDevice_;
  return true;
}

CommitOutcome Planner::backUp(const std::string& path, bool directory) {
  const std::string backup = m_.temporaries.freshName(parentDir(path));
  if (backup.empty()) return refuse("rename", path, errno);
  if (tooLong(backup)) return refuse("rename", backup, ENAMETOOLONG);
  if (!emit({StepKind::kBackUp, path, backup})) return refuse("journal", kJournalPath, errno);
  if (directory) backedUpDirs_.push_back(backup);
  return CommitOutcome::kCommitted;
}

CommitOutcome Planner::planRemove(const std::string& staged) {
  std::string path = staged;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return CommitOutcome::kCommitted;  // already gone
  if (clearedByDirectoryRemoval(path)) return CommitOutcome::kCommitted;
  if (!S_ISDIR(st.st_mode)) {
    touch(parentDir(path));
    return backUp(path);
  }
  // A directory: its plain entries go, then the directory itself, which
  // stays when hidden names or subdirectories are left in it.
  std::vector<std::string> plain;
  if (DIR* dir = opendir(path.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      bool isDir = entry->d_type == DT_DIR;
      if (entry->d_type == DT_UNKNOWN) {
        struct stat inner;
        isDir = lstat((path + "/" + name).c_str(), &inner) == 0 && S_ISDIR(inner.st_mode);
      }
      if (!isDir) plain.push_back(name);
    }
    closedir(dir);
  }
  std::sort(plain.begin(), plain.end());
  touch(path);
  for (const std::string& name : plain) {
    const std::string entry = path + "/" + name;
    const std::string backup = m_.temporaries.freshName(path);
    if (backup.empty()) return refuse("unlink", entry, errno);
    if (!emit({StepKind::kBackUp, entry, backup})) return refuse("journal", kJournalPath, errno);
  }
  if (!emit({StepKind::kRemoveDir, path, ""})) return refuse("journal", kJournalPath, errno);
  return CommitOutcome::kCommitted;
}

CommitOutcome Planner::planLink(const std::string& path, const std::string& text) {
  if (tooLong(path)) return refuse("symlink", path, ENAMETOOLONG);
  struct stat st;
  const bool exists = lstat(path.c_str(), &st) == 0;
  if (exists && S_ISDIR(st.st_mode)) return refuse("symlink", path, EEXIST);
  std::string anchor;
  if (!findAnchor(path, anchor)) return refuse("symlink", path, errno);
  // The link is made under a fresh name now and renamed into place with the
  // other operations.
  const std::string temporary = m_.temporaries.freshName(anchor);
  if (temporary.empty()) return refuse("symlink", path, errno);
  if (symlink(text.c_str(), temporary.c_str()) != 0) return refuse("symlink", path, errno);
  made_.push_back(temporary);
  touch(anchor);
  if (exists && !clearedByDirectoryRemoval(path)) {
    if (CommitOutcome o = backUp(path); o != CommitOutcome::kCommitted) return o;
  }
  if (!emit({StepKind::kPlace, path, temporary})) return refuse("journal", kJournalPath, errno);
  return CommitOutcome::kCommitted;
}

CommitOutcome Planner::planMove(const std::string& path, const ManifestEntry& entry) {
  if (tooLong(path)) return refuse("rename", path, ENAMETOOLONG);
  const std::string from = sourceOf(path, entry);
  struct stat source;
  if (entry.op == ManifestOp::kMoveStaged && !options_.keptManifest) {
    // A kept manifest's files waited for "--commit" and are looked at each.
    if (!stagedDevice(from, source.st_dev)) return refuse("rename", from, errno);
  } else if (lstat(from.c_str(), &source) != 0) {
    // A source that an earlier operation of the commit puts in place.
    if (!placedBefore(from, path)) return refuse("rename", from, errno);
    source.st_dev = 0;
  }
  // Two moves of one file, or a move of what a removal takes away first:
  // the move would find its source gone.
  if (entry.op == ManifestOp::kMove && !movedSources_.insert(from).second) {
    return refuse("rename", from, ENOENT);
  }
  if (removedBefore(from)) return refuse("rename", from, ENOENT);
  std::string anchor;
  if (!findAnchor(path, anchor)) return refuse("rename", path, errno);
  // Below a directory the commit makes, nothing stands yet.
  struct stat target;
  const bool exists = anchor == parentDir(path) && lstat(path.c_str(), &target) == 0;
  // A directory where the new version has a file makes way when the
  // commit removes all it holds: it is set aside whole, and its removed
  // files with it, until the commit is done.
  const bool replacesDir = exists && S_ISDIR(target.st_mode);
  if (replacesDir && !emptiedByRemovals(path)) return refuseHeldDirectory(path);
  dev_t there = 0;
  if (!anchorDevice(anchor, there)) return refuse("rename", path, errno);
  std::string placed = from;
  if (source.st_dev != 0 && there != source.st_dev) {
    // Another file system: the copy is made now, beside the target, while
    // the old target still stands; the source stays where it is.
    const int error = copyToTemporary(m_.temporaries, from, anchor, placed, options_.onCopiedBlock);
    if (error != 0) return refuse("copy", path, error);
    made_.push_back(placed);
    if (entry.op == ManifestOp::kMoveStaged) copiedStaged_.push_back(from);
  }
  if (exists && !clearedByDirectoryRemoval(path)) {
    if (CommitOutcome o = backUp(path, replacesDir); o != CommitOutcome::kCommitted) return o;
  }
  if (!emit({StepKind::kPlace, path, placed})) return refuse("journal", kJournalPath, errno);
  return CommitOutcome::kCommitted;
}

CommitOutcome Planner::plan() {
  // Whatever stands at the journal's name now is no journal (the start
  // recovered or refused a real one): a FIFO or a link planted there is
  // replaced, never written through.
  if (unlink(kJournalPath) != 0 && errno != ENOENT) return refuse("journal", kJournalPath, errno);
  fd_ = ::open(kJournalPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) return refuse("journal", kJournalPath, errno);
  touch(parentDir(kJournalPath));
  emitLine(std::string(kJournalHeader) + "\n");
  if (options_.keptManifest) emitLine(journalMark('K'));
  hasRemovals_ = std::any_of(m_.entries.begin(), m_.entries.end(),
                             [](const auto& e) { return e.second.op == ManifestOp::kRemove; });
  // The package database goes last: until its files change it describes what
  // was installed before.
  for (const bool database : {false, true}) {
    // Removals and links first: a move may land where something was removed.
    for (const auto& [target, entry] : m_.entries) {
      if (isMove(entry.op) || inDatabase(target) != database) continue;
      const std::string path(target);
      CommitOutcome o = CommitOutcome::kCommitted;
      if (entry.op == ManifestOp::kRemove) o = planRemove(path);
      if (entry.op == ManifestOp::kLink) o = planLink(path, std::string(entry.source));
      if (o != CommitOutcome::kCommitted) return o;
    }
    for (const auto& [target, entry] : m_.entries) {
      if (!isMove(entry.op) || inDatabase(target) != database) continue;
      if (CommitOutcome o = planMove(std::string(target), entry); o != CommitOutcome::kCommitted) {
        return o;
      }
    }
  }
  if (!emitLine(journalMark('E')) || !flushBuffer()) return refuse("journal", kJournalPath, errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return refuse("journal", kJournalPath, errno);
  return CommitOutcome::kCommitted;
}

// Carries out the journal's steps in order; false (noted) at the first
// that fails. Directories to remove at the end are collected.
bool carryOutSteps(std::vector<std::string>& removeDirs, TxnFailures* failures) {
  JournalReader journal(kJournalPath);
  if (!journal.started()) {
    noteFailure(failures, {"journal", kJournalPath, journal.opened() ? EINVAL : errno});
    return false;
  }
  for (;;) {
    JournalStep step;
    const JournalRecord record = journal.next(step);
    if (record == JournalRecord::kEnd) return true;
    if (record == JournalRecord::kKeptManifest) continue;
    if (record != JournalRecord::kStep) {
      // The journal was written and read back by this run: a line that does
      // not decode, or one missing, is a fault of the storage.
      noteFailure(failures,
                  {"journal", kJournalPath, record == JournalRecord::kCut ? EIO : EINVAL});
      return false;
    }
    switch (step.kind) {
      case StepKind::kMakeDir:
        if (mkdir(step.path.c_str(), 0777) != 0) {
          struct stat st;
          const int error = errno;
          if (error != EEXIST || stat(step.path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            noteFailure(failures, {"mkdir", step.path, error});
            return false;
          }
        }
        break;
      case StepKind::kBackUp:
        if (rename(step.path.c_str(), step.other.c_str()) != 0) {
          noteFailure(failures, {"rename", step.path, errno});
          return false;
        }
        break;
      case StepKind::kPlace:
        if (rename(step.other.c_str(), step.path.c_str()) != 0) {
          noteFailure(failures, {"rename", step.path, errno});
          return false;
        }
        break;
      case StepKind::kRemoveDir:
        removeDirs.push_back(step.path);
        break;
    }
  }
}

// The database directory holds the journal. On a system that has none yet,
// it is made for the commit and taken away again when nothing else came
// into it; `made` lists what was made, top first.
void makeJournalDir(std::vector<std::string>& made) {
  std::string dir = parentDir(kJournalPath);
  struct stat st;
  while (dir != "/" && dir != "." && stat(dir.c_str(), &st) != 0 && errno == ENOENT) {
    made.insert(made.begin(), dir);
    dir = parentDir(dir);
  }
  for (const std::string& path : made) mkdir(path.c_str(), 0755);
}

void removeJournalDir(const std::vector<std::string>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) rmdir(it->c_str());
}

}  // namespace

CommitOutcome prepareCommit(Manifest& m, const CommitOptions& options, PreparedCommit& prepared,
                            TxnFailures* failures) {
  prepared = {};
  prepared.options = options;
  // A planning manifest names files that were never made.
  if (m.planning != nullptr) return CommitOutcome::kRefused;
  if (m.empty()) {
    // Nothing to carry out: no journal, no flush.
    prepared.ready = true;
    return CommitOutcome::kCommitted;
  }
  prepared.journalled = true;
  makeJournalDir(prepared.madeForJournal);
  Planner planner(m, options, failures);
  CommitOutcome outcome = planner.plan();
  prepared.fileSystems = planner.fileSystems();
  prepared.copiedStaged = planner.copiedStaged();
  prepared.backedUpDirs = planner.backedUpDirs();
  // Only planning names a held directory; the caller's string may not
  // outlive this call.
  prepared.options.heldDirectory = nullptr;
  // Everything staged, copied and journalled reaches the storage before the
  // first rename: one flush per file system instead of one per file.
  if (outcome == CommitOutcome::kCommitted && !flushAll(prepared.fileSystems, failures)) {
    outcome = CommitOutcome::kRefused;
  }
  // The last look before the first rename: a package file that is no longer
  // the one whose signature was checked is not moved into place.
  if (outcome == CommitOutcome::kCommitted) {
    if (const std::string changed = changedSource(m.checkedSources); !changed.empty()) {
      noteFailure(failures, {"", changed, 0, kChangedSinceChecked});
      outcome = CommitOutcome::kRefused;
    }
  }
  if (outcome != CommitOutcome::kCommitted) {
    unlink(kJournalPath);
    for (const std::string& path : planner.made()) unlink(path.c_str());
    endRunTemporaries(m.temporaries);
    removeJournalDir(prepared.madeForJournal);
    return outcome;
  }
  prepared.ready = true;
  return outcome;
}

CommitOutcome carryOutCommit(Manifest& m, PreparedCommit& prepared, TxnFailures* failures) {
  if (!prepared.ready) return CommitOutcome::kRefused;
  prepared.ready = false;
  std::vector<std::string> removeDirs;
  if (!prepared.journalled) {
    finishJournal(m.temporaries, removeDirs, {}, prepared.options.keptManifest, {});
    return CommitOutcome::kCommitted;
  }
  bool done = carryOutSteps(removeDirs, failures);
  // The commit point: once this mark and every rename before it are on the
  // storage, the next start finishes the run instead of undoing it.
  if (done && !appendToJournal(journalMark('C'))) {
    noteFailure(failures, {"journal", kJournalPath, errno});
    done = false;
  }
  if (done && !flushAll(prepared.fileSystems, failures)) {
    done = false;
    if (!appendToJournal(journalMark('A'))) {
      // The mark may or may not have reached the storage: leave the journal
      // for the next start, which decides by what it finds.
      noteFailure(failures, {"journal", kJournalPath, errno});
      return CommitOutcome::kUnfinished;
    }
  }
  if (!done) {
    if (rollBackJournal(prepared.fileSystems, failures) != RecoveryOutcome::kRolledBack) {
      return CommitOutcome::kUnfinished;
    }
    endRunTemporaries(m.temporaries);
    removeJournalDir(prepared.madeForJournal);
    return CommitOutcome::kRolledBack;
  }
  // A staged file copied across is ours; once its copy is live it would only
  // hold space (RAM, when it sits in "/ram").
  for (const std::string& path : prepared.copiedStaged) unlink(path.c_str());
  // Every source of a move is in place now, but one copied across: its copy
  // is, and what is left of it goes with the other temporaries.
  std::sort(prepared.copiedStaged.begin(), prepared.copiedStaged.end());
  PlacedNames placed;
  for (const auto& [path, entry] : m.entries) {
    if (!isMove(entry.op)) continue;
    std::string source = sourceOf(path, entry);
    if (!std::binary_search(prepared.copiedStaged.begin(), prepared.copiedStaged.end(), source)) {
      placed.add(std::move(source));
    }
  }
  placed.seal();
  finishJournal(m.temporaries, removeDirs, prepared.backedUpDirs, prepared.options.keptManifest,
                placed);
  removeJournalDir(prepared.madeForJournal);
  return CommitOutcome::kCommitted;
}

CommitOutcome commitManifest(Manifest& m, const CommitOptions& options, TxnFailures* failures) {
  PreparedCommit prepared;
  const CommitOutcome outcome = prepareCommit(m, options, prepared, failures);
  if (outcome != CommitOutcome::kCommitted) return outcome;
  return carryOutCommit(m, prepared, failures);
}

}  // namespace installer
