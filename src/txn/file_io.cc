#include "txn/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (put == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

ReplaceStep replaceFromTemporary(int fd, const std::string& temporary, const std::string& path,
                                 std::string_view bytes, mode_t mode) {
  ReplaceStep failed = ReplaceStep::kDone;
  if (!writeAll(fd, bytes)) {
    failed = ReplaceStep::kWrite;
  } else if (mode != 0 && fchmod(fd, mode) != 0) {
    failed = ReplaceStep::kMode;
  } else if (fsync(fd) != 0) {
    failed = ReplaceStep::kWrite;
  }
  int error = errno;
  if (::close(fd) != 0 && failed == ReplaceStep::kDone) {
    failed = ReplaceStep::kClose;
    error = errno;
  }
  if (failed == ReplaceStep::kDone && ::rename(temporary.c_str(), path.c_str()) != 0) {
    failed = ReplaceStep::kRename;
    error = errno;
  }
  if (failed != ReplaceStep::kDone) {
    ::unlink(temporary.c_str());
    errno = error;
  }
  return failed;
}

int openOwnRegularFile(const char* path, int flags, mode_t mode) {
  const int fd = ::open(path, flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace installer

namespace installer {
namespace {

constexpr std::size_t kReadBlock = 65536;

}  // namespace

LineReader::LineReader(const char* path) : fd_(openOwnRegularFile(path, O_RDONLY, 0)) {}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

bool LineReader::fill() {
  buffer_.erase(0, at_);
  at_ = 0;
  const std::size_t had = buffer_.size();
  buffer_.resize(had + kReadBlock);
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.data() + had, kReadBlock);
  } while (got < 0 && errno == EINTR);
  buffer_.resize(had + (got > 0 ? static_cast<std::size_t>(got) : 0));
  if (got < 0) failed_ = true;
  if (got <= 0) ended_ = true;
  return got > 0;
}

bool LineReader::next(std::string& line, bool& whole) {
  line.clear();
  whole = false;
  if (fd_ < 0) return false;
  std::size_t searched = at_;
  for (;;) {
    const std::size_t end = buffer_.find('\n', searched);
    if (end != std::string::npos) {
      line.assign(buffer_, at_, end - at_);
      at_ = end + 1;
      whole = true;
      return true;
    }
    searched = buffer_.size() - at_;
    if (ended_ || !fill()) break;
  }
  if (failed_ || at_ >= buffer_.size()) return false;
  line.assign(buffer_, at_, std::string::npos);
  at_ = buffer_.size();
  return true;
}

}  // namespace installer
