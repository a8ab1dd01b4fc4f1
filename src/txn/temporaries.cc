#include "txn/temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <unordered_set>
#include <utility>

#include "platform/flush.h"
#include "txn/file_io.h"

namespace installer {
namespace {

constexpr int kNameAttempts = 100;
constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// The list as older runs wrote it: a plain text file.
constexpr const char* kStagedTextList = "/flash/var/pdb/.staged";
constexpr const char* kKeptTextList = "/flash/var/pdb/.staged-kept";
// A record's text stays within what a link holds on a file system of 1 KiB
// blocks; where links hold less, records get shorter (down to one name).
constexpr std::size_t kRecordText = 1000;
// A directory's first batch is small (most directories get a few files);
// each next one is four times the last, up to this many names.
constexpr std::size_t kFirstBatch = 8;
constexpr std::size_t kLargestBatch = 80;
// Directories whose unused names are kept at hand; the names of one pushed
// out stay reserved, unused.
constexpr std::size_t kReserveDirs = 8;

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

const char* listPath(TemporaryList list) {
  return list == TemporaryList::kRun ? kStagedListPath : kKeptListPath;
}

const char* textListPath(TemporaryList list) {
  return list == TemporaryList::kRun ? kStagedTextList : kKeptTextList;
}

// The paths listed and withdrawn in lines of the list's form (one record,
// or a whole list of the older form). A list names every temporary of a
// run, tens of thousands for a large package: its paths are handed on as
// they are read, never held all at once. A first reading gathers the
// withdrawals (few) and checks every line, a second hands on each path that
// none of them withdraws.
struct Listed {
  std::unordered_set<std::string> withdrawn;
  std::function<void(const std::string&)> onPath;  // null in the first reading
  // A line no run writes, or a path no run could have made: nothing of the
  // list may be acted on.
  bool damaged = false;

  // One record's text: made whole or not at all.
  void readRecord(std::string_view text) {
    std::string dir;
    while (!text.empty()) {
      const std::size_t end = text.find('\n');
      if (end == std::string_view::npos) {
        damaged = true;  // every line of a record ends with its newline
        return;
      }
      readLine(std::string(text.substr(0, end)), dir);
      text.remove_prefix(end + 1);
    }
  }

  // A list of the older form, a text file that a kill may have cut in its
  // last line; false when it cannot be read.
  bool readText(const char* path) {
    LineReader lines(path);
    if (!lines.opened()) return false;
    std::string line;
    std::string dir;
    bool whole = false;
    while (lines.next(line, whole)) {
      if (whole) readLine(line, dir);
    }
    return !lines.failed();
  }

 private:
  void readLine(const std::string& line, std::string& dir) {
    if (line.empty()) return;
    if (line[0] == '-') {
      if (!onPath) withdrawn.insert(line.substr(1));
    } else if (line[0] == '/') {
      dir = line.substr(0, line.rfind('/') + 1);
      handOn(line);
    } else if (!dir.empty() && line.find('/') == std::string::npos) {
      handOn(dir + line);
    } else {
      damaged = true;
    }
  }

  void handOn(const std::string& path) {
    if (!onPath) {
      if (!isRunTemporary(path)) damaged = true;
      return;
    }
    if (withdrawn.count(path) == 0) onPath(path);
  }
};

// Opens a list directory without following a link: whatever another hand
// put at the list's name (a link into the user's files, a plain file, a
// FIFO) is no list of ours, and nothing below it is read or removed. -1
// with errno set; ENOTDIR (or ELOOP for a link) when the name holds
// something else.
int openListDir(const char* dir) {
  return ::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

// Whether an open of a list directory failed because the name holds
// something that is not a directory.
bool notADirectory(int error) { return error == ENOTDIR || error == ELOOP; }

// Reads the records of a list directory (their texts into `listed`) and,
// when given, collects the names of its entries. False when the directory
// cannot be read.
bool readRecords(const char* dir, Listed& listed, std::vector<std::string>* entries) {
  const int fd = openListDir(dir);
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return false;
  }
  while (const dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (entries != nullptr) entries->push_back(std::string(dir) + "/" + name);
    if (name == kKeptStampName) continue;
    char text[4096];
    const ssize_t size = readlinkat(fd, name.c_str(), text, sizeof text);
    // Not a record of ours (no link, or none we could have made): it names
    // nothing, and goes with the list.
    if (size <= 0 || static_cast<std::size_t>(size) >= sizeof text) continue;
    listed.readRecord(std::string_view(text, static_cast<std::size_t>(size)));
  }
  closedir(d);
  return true;
}

bool isDirectory(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Something that is not a directory at a list's name was not made by a run
// (every list is a directory): it names nothing, and making way for the list
// repairs the name. A link goes itself, never what it points to.
bool clearForeignList(const char* dir) {
  struct stat st;
  if (lstat(dir, &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) return true;
  return unlink(dir) == 0 || errno == ENOENT;
}

// Removes one listed temporary if it exists; false when it is left.
bool removeTemporary(const std::string& path, const PlacedNames& placed) {
  // Anything but a plain file at the capture's fixed name, which the run
  // refused to open, is left alone.
  if (!isRunTemporary(path) || placed.contains(path)) return true;
  if (path == kCaptureTemporary) {
    struct stat capture;
    if (lstat(path.c_str(), &capture) != 0 || !S_ISREG(capture.st_mode)) return true;
  }
  if (unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) return true;
  // Gone already (a read-only file system answers so even then), or a
  // directory of that name, which is not one of ours.
  struct stat st;
  return lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode);
}

// Whether the list of the older form at `path` is a regular file; anything
// else there (a FIFO, a link) is no list and is left alone.
bool textListThere(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool removeTextList(const char* path, const PlacedNames& placed) {
  if (!textListThere(path)) return true;
  Listed listed;
  bool allGone = true;
  for (int reading = 0; reading < 2; ++reading) {
    if (reading == 1) {
      listed.onPath = [&](const std::string& listedPath) {
        if (!removeTemporary(listedPath, placed)) allGone = false;
      };
    }
    if (!listed.readText(path)) return errno == ENOENT;
    if (listed.damaged) return false;
  }
  if (allGone && unlink(path) != 0 && errno != ENOENT) allGone = false;
  return allGone;
}

bool removeRecordList(const char* dir, const PlacedNames& placed) {
  Listed listed;
  std::vector<std::string> entries;
  if (!readRecords(dir, listed, &entries)) {
    if (notADirectory(errno)) return clearForeignList(dir);
    return errno == ENOENT;
  }
  if (listed.damaged) return false;
  bool allGone = true;
  listed.onPath = [&](const std::string& path) {
    if (!removeTemporary(path, placed)) allGone = false;
  };
  if (!readRecords(dir, listed, nullptr) || !allGone) return false;
  // The records go only once what they name is gone: a run ended in between
  // finds the rest still listed.
  for (const std::string& entry : entries) {
    if (unlink(entry.c_str()) != 0 && errno != ENOENT) allGone = false;
  }
  if (allGone && rmdir(dir) != 0 && errno != ENOENT) allGone = false;
  return allGone;
}

// Moves the records of the run's list into the kept list, which still holds
// some of an earlier run (a file of it could not be removed).
void mergeIntoKept() {
  Listed unused;
  std::vector<std::string> entries;
  if (!readRecords(kStagedListPath, unused, &entries)) return;
  std::uint64_t number = 0;
  for (const std::string& entry : entries) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const std::string kept = std::string(kKeptListPath) + "/k" + std::to_string(++number);
      if (exists(kept)) continue;
      if (rename(entry.c_str(), kept.c_str()) == 0) break;
      // Left in the run's list, its files go at the next start: a later
      // "--commit" then finds its sources missing and changes nothing.
      if (errno != EEXIST && errno != ENOTEMPTY) break;
    }
  }
  rmdir(kStagedListPath);
}

}  // namespace

TemporaryLog::TemporaryLog() : recordText_(kRecordText) {
  // Names need not be unpredictable, only unlikely to meet: the creation
  // itself refuses a name that exists.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  random_ = static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
            reinterpret_cast<std::uintptr_t>(this);
}

bool TemporaryLog::record(const std::string& text) {
  if (unlisted_) return true;
  if (!listMade_) {
    int made = mkdir(kStagedListPath, 0700);
    // A file or a link left at the list's name would make every record fail
    // (or land wherever the link points), for good: it is no list, it goes.
    if (made != 0 && errno == EEXIST && !isDirectory(kStagedListPath) &&
        clearForeignList(kStagedListPath)) {
      made = mkdir(kStagedListPath, 0700);
    }
    if (made != 0 && errno != EEXIST) {
      // A root without a package database (a bare test root) keeps no list.
      unlisted_ = errno == ENOENT;
      return unlisted_;
    }
    listMade_ = true;
  }
  // A link is made whole or not at all, by a kill as by a power cut.
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = std::string(kStagedListPath) + "/" + std::to_string(++next_);
    if (symlink(text.c_str(), name.c_str()) == 0) {
      ++records_;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

bool TemporaryLog::note(const std::string& path) {
  if (path.find('\n') != std::string::npos) {
    errno = EINVAL;
    return false;
  }
  return record(path + "\n");
}

void TemporaryLog::withdraw(const std::string& path) {
  if (!record("-" + path + "\n")) {
    // The name stays listed: its file, someone else's, could be removed as
    // ours. Better to have no list at all than a wrong one.
  }
}

std::string TemporaryLog::randomName(const std::string& dir) {
  std::string name = dir + "/tmp";
  for (int i = 0; i < 6; ++i) {
    // xorshift64*: plenty for spreading names.
    random_ ^= random_ >> 12;
    random_ ^= random_ << 25;
    random_ ^= random_ >> 27;
    const std::uint64_t value = random_ * 2685821657736338717ULL;
    name += kNameChars[(value >> 32) % (sizeof kNameChars - 1)];
  }
  return name;
}

bool TemporaryLog::reserveBatch(Reserve& reserve) {
  const std::size_t wanted =
      reserve.batch == 0 ? kFirstBatch : std::min(reserve.batch * 4, kLargestBatch);
  std::vector<std::string> names;
  std::size_t textSize = 0;
  for (int attempt = 0; attempt < kNameAttempts && names.size() < wanted; ++attempt) {
    // Names are drawn at random from 62^6 and not looked up one by one: the
    // look was the dearest call of staging after the write. A file is only
    // ever created on a name with O_EXCL, a name found taken then is
    // withdrawn from the list, and one taken by a name handed out for a
    // rename or a link is looked up when it is handed out.
    std::string name = randomName(reserve.dir);
    // The first name in full, the others by their own names alone.
    const std::size_t line = names.empty() ? name.size() + 1 : name.size() - reserve.dir.size();
    if (!names.empty() && textSize + line > recordText_) break;
    textSize += line;
    names.push_back(std::move(name));
  }
  while (!names.empty()) {
    std::string text = names.front() + "\n";
    for (std::size_t i = 1; i < names.size(); ++i) {
      text.append(names[i], reserve.dir.size() + 1).push_back('\n');
    }
    if (record(text)) break;
    // Some file systems hold shorter links: later records are kept shorter.
    if (errno != ENAMETOOLONG || names.size() == 1) return false;
    recordText_ = text.size() / 2;
    names.resize(names.size() / 2);
  }
  if (names.empty()) {
    errno = EEXIST;
    return false;
  }
  reserve.batch = names.size();
  reserve.names = std::move(names);
  return true;
}

TemporaryLog::Reserve& TemporaryLog::reserveOf(const std::string& dir) {
  auto found = std::find_if(reserves_.begin(), reserves_.end(),
                            [&dir](const Reserve& r) { return r.dir == dir; });
  if (found == reserves_.end()) {
    if (reserves_.size() == kReserveDirs) reserves_.pop_back();
    reserves_.insert(reserves_.begin(), Reserve{dir, {}, 0});
  } else {
    std::rotate(reserves_.begin(), found, found + 1);
  }
  return reserves_.front();
}

std::string TemporaryLog::freshName(const std::string& dir) { return takeName(dir, true); }

std::string TemporaryLog::nameToCreate(const std::string& dir) { return takeName(dir, false); }

std::string TemporaryLog::takeName(const std::string& dir, bool lookUp) {
  if (dir.find('\n') != std::string::npos) {
    errno = EINVAL;
    return "";
  }
  Reserve& reserve = reserveOf(dir);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    if (reserve.names.empty() && !reserveBatch(reserve)) return "";
    std::string name = std::move(reserve.names.back());
    reserve.names.pop_back();
    // Taken since it was reserved: not ours.
    if (lookUp && exists(name)) {
      withdraw(name);
      continue;
    }
    return name;
  }
  errno = EEXIST;
  return "";
}

void TemporaryLog::close() {
  listMade_ = false;
  reserves_.clear();
}

int createTemporaryFile(TemporaryLog& log, const std::string& dir, std::string& path,
                        unsigned mode) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = log.nameToCreate(dir);
    if (path.empty()) return -1;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return fd;
    const int error = errno;
    if (error != EEXIST) return -1;
    // Taken between the look and the creation: not ours.
    log.withdraw(path);
    errno = error;
  }
  return -1;
}

bool isTemporaryName(const std::string& path) {
  if (path == kCaptureTemporary) return true;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || path.front() != '/') return false;
  const std::string name = path.substr(slash + 1);
  if (name.size() != 9 || name.compare(0, 3, "tmp") != 0) return false;
  for (std::size_t i = 3; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum) return false;
  }
  return true;
}

bool temporariesListed(TemporaryList list) {
  struct stat st;
  return lstat(listPath(list), &st) == 0 || textListThere(textListPath(list));
}

std::string damagedList(TemporaryList list) {
  Listed records;
  if (readRecords(listPath(list), records, nullptr) && records.damaged) return listPath(list);
  const char* text = textListPath(list);
  Listed lines;
  if (textListThere(text) && lines.readText(text) && lines.damaged) return text;
  return {};
}

namespace {

// Whether `path` is absolute, below `top` (with its slash), and free of "."
// and ".." components, which could lead out of it.
bool plainlyBelow(std::string_view path, std::string_view top) {
  if (!path.starts_with(top) || path.size() == top.size()) return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

bool isBelowFlash(std::string_view path) { return plainlyBelow(path, "/flash/"); }

bool isRunTemporary(const std::string& path) {
  if (!isTemporaryName(path)) return false;
  return plainlyBelow(path, "/flash/") || plainlyBelow(path, "/ram/") ||
         plainlyBelow(path, "/tmp/");
}

void PlacedNames::seal() { std::sort(names_.begin(), names_.end()); }

bool PlacedNames::contains(std::string_view name) const {
  return std::binary_search(names_.begin(), names_.end(), name);
}

bool removeListedTemporaries(TemporaryList list, const PlacedNames& placed) {
  const bool records = removeRecordList(listPath(list), placed);
  const bool text = removeTextList(textListPath(list), placed);
  return records && text;
}

bool endRunTemporaries(TemporaryLog& log, const PlacedNames& placed) {
  log.close();
  return removeListedTemporaries(TemporaryList::kRun, placed);
}

void keepRunTemporaries(TemporaryLog& log) {
  log.close();
  removeListedTemporaries(TemporaryList::kKept);
  struct stat st;
  if (lstat(kStagedListPath, &st) != 0) return;
  // The staged files and their list reach the flash before the list takes
  // the name that keeps them.
  if (!flushFileSystemOf(kStagedListDir)) {
    // Kept all the same: "--commit" flushes again before its first rename.
  }
  if (rename(kStagedListPath, kKeptListPath) != 0) mergeIntoKept();
}

}  // namespace installer
