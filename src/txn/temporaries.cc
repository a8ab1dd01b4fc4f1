#include "txn/temporaries.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/flush.h"
#include "txn/file_io.h"

namespace installer {
namespace {

constexpr int kNameAttempts = 100;
constexpr char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

}  // namespace

TemporaryLog::TemporaryLog() {
  // Names need not be unpredictable, only unlikely to meet: the creation
  // itself refuses a name that exists.
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  random_ = static_cast<std::uint64_t>(now) ^ (static_cast<std::uint64_t>(getpid()) << 32) ^
            reinterpret_cast<std::uintptr_t>(this);
}

TemporaryLog::~TemporaryLog() { close(); }

TemporaryLog::TemporaryLog(TemporaryLog&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), random_(other.random_) {}

TemporaryLog& TemporaryLog::operator=(TemporaryLog&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
    random_ = other.random_;
  }
  return *this;
}

bool TemporaryLog::append(const std::string& line) {
  if (unlisted_) return true;
  if (fd_ < 0) {
    fd_ = ::open(kStagedListPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      // A root without a package database (a bare test root) keeps no list.
      unlisted_ = errno == ENOENT;
      return unlisted_;
    }
  }
  // One write per line: appended whole, or (killed) not at all or cut short,
  // which the reader takes as a line of its own (and never removes: it has
  // not the form of a temporary's path).
  return writeAll(fd_, line);
}

bool TemporaryLog::note(const std::string& path) { return append(path + "\n"); }

void TemporaryLog::withdraw(const std::string& path) {
  if (!append("-" + path + "\n")) {
    // The line stays listed: its file, someone else's, could be removed as
    // ours. Better to have no list at all than a wrong one.
  }
}

std::string TemporaryLog::freshName(const std::string& dir) {
  if (dir.find('\n') != std::string::npos) return "";
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = dir + "/tmp";
    for (int i = 0; i < 6; ++i) {
      // xorshift64*: plenty for spreading names.
      random_ ^= random_ >> 12;
      random_ ^= random_ << 25;
      random_ ^= random_ >> 27;
      const std::uint64_t value = random_ * 2685821657736338717ULL;
      name += kNameChars[(value >> 32) % (sizeof kNameChars - 1)];
    }
    if (exists(name)) continue;
    if (!note(name)) return "";
    return name;
  }
  errno = EEXIST;
  return "";
}

void TemporaryLog::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int createTemporaryFile(TemporaryLog& log, const std::string& dir, std::string& path) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = log.freshName(dir);
    if (path.empty()) return -1;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

bool removeListedTemporaries(const char* listPath) {
  std::vector<std::string> listed;
  {
    std::ifstream in(listPath, std::ios::binary);
    if (!in) return errno == ENOENT;
    std::unordered_set<std::string> withdrawn;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      if (line[0] == '-') {
        withdrawn.insert(line.substr(1));
      } else {
        listed.push_back(std::move(line));
      }
    }
    if (!withdrawn.empty())
      std::erase_if(listed, [&](const auto& p) { return withdrawn.count(p); });
  }
  bool allGone = true;
  for (const std::string& path : listed) {
    // A line cut short by a kill, or one that is not ours, is left alone;
    // so is anything but a plain file at the capture's fixed name, which
    // the run refused to open.
    if (!isTemporaryName(path)) continue;
    if (path == kCaptureTemporary) {
      struct stat capture;
      if (lstat(path.c_str(), &capture) != 0 || !S_ISREG(capture.st_mode)) continue;
    }
    if (unlink(path.c_str()) == 0 || errno == ENOENT || errno == ENOTDIR) continue;
    // Gone already (a read-only file system answers so even then), or a
    // directory of that name, which is not one of ours.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) continue;
    allGone = false;
  }
  if (allGone && unlink(listPath) != 0 && errno != ENOENT) allGone = false;
  return allGone;
}

bool endRunTemporaries(TemporaryLog& log) {
  log.close();
  return removeListedTemporaries(kStagedListPath);
}

void keepRunTemporaries(TemporaryLog& log) {
  log.close();
  removeListedTemporaries(kKeptListPath);
  struct stat st;
  if (lstat(kStagedListPath, &st) != 0) return;
  // The staged files and their list reach the flash before the list takes
  // the name that keeps them.
  if (!flushFileSystemOf(kStagedListDir)) {
    // Kept all the same: "--commit" flushes again before its first rename.
  }
  if (rename(kStagedListPath, kKeptListPath) != 0) {
    // The files stay listed as the run's own and go at the next start: a
    // later "--commit" then finds its sources missing and changes nothing.
  }
}

}  // namespace installer
