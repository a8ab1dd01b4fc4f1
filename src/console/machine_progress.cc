#include "console/machine_progress.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <string>

namespace installer {
namespace {

constexpr const char* kVariable = "INSTALLER_PROGRESS_FD";
constexpr std::int64_t kStageIntervalMs = 100;
// A line stays below the size a pipe writes whole (PIPE_BUF is 4096).
constexpr std::size_t kLabelLimit = 200;

std::int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A JSON string of printable ASCII; every other byte as \u00XX.
void appendString(std::string& out, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += '"';
  for (const char ch : text.substr(0, kLabelLimit)) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += ch;
    } else {
      out += "\\u00";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    }
  }
  out += '"';
}

}  // namespace

std::unique_ptr<MachineProgress> MachineProgress::fromEnvironment() {
  const char* value = std::getenv(kVariable);
  if (value == nullptr || *value == '\0') return nullptr;
  const std::string_view text(value);
  int fd = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), fd);
  if (error != std::errc() || end != text.data() + text.size() || fd <= 2) return nullptr;
  struct stat st;
  if (fcntl(fd, F_GETFD) == -1 || fstat(fd, &st) != 0) return nullptr;
  if (S_ISSOCK(st.st_mode)) {
    return std::unique_ptr<MachineProgress>(new MachineProgress(fd, false, Kind::kSend));
  }
  if (S_ISFIFO(st.st_mode)) {
    // A pipe is opened again for a file description of our own, which may
    // be made non-blocking without changing the one the caller shares.
    const std::string self = "/proc/self/fd/" + std::string(text);
    const int own = open(self.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own >= 0)
      return std::unique_ptr<MachineProgress>(new MachineProgress(own, true, Kind::kWrite));
  }
  // A regular file never waits; anything else (a pipe without /proc, a
  // terminal) is made non-blocking as it is.
  if (!S_ISREG(st.st_mode)) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) return nullptr;
  }
  return std::unique_ptr<MachineProgress>(new MachineProgress(fd, false, Kind::kWrite));
}

MachineProgress::MachineProgress(int fd) : MachineProgress(fd, false, Kind::kWrite) {}

MachineProgress::MachineProgress(int fd, bool owned, Kind kind)
    : fd_(fd), owned_(owned), kind_(kind) {}

MachineProgress::~MachineProgress() {
  if (owned_) close(fd_);
}

void MachineProgress::emit(const std::string& line) {
  if (givenUp_) return;
  for (;;) {
    const ssize_t put = kind_ == Kind::kSend
                            ? send(fd_, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                            : write(fd_, line.data(), line.size());
    if (put < 0 && errno == EINTR) continue;
    // A full pipe drops the line; a line cut short (a regular file that
    // filled up, a socket) or any other failure ends the progress.
    if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (put != static_cast<ssize_t>(line.size())) givenUp_ = true;
    return;
  }
}

void MachineProgress::phase(std::string_view name) {
  std::string line = "{\"phase\":";
  appendString(line, name);
  line += "}\n";
  emit(line);
}

void MachineProgress::bytes(const InstalledPackage& p, std::uint64_t done, std::uint64_t total) {
  if (givenUp_) return;
  // A new package and the end of one are always told; in between, the
  // clock thins the lines out.
  const bool samePackage = &p == lastPackage_;
  if (samePackage && done == lastDone_) return;
  const std::int64_t now = nowMs();
  if (samePackage && done < total && now - lastStageMs_ < kStageIntervalMs) return;
  lastPackage_ = &p;
  lastDone_ = done;
  lastStageMs_ = now;
  std::string line = "{\"phase\":\"stage\",\"package\":";
  appendString(line, displayLabel(p));
  line += ",\"bytes_done\":" + std::to_string(done) + ",\"bytes_total\":" + std::to_string(total) +
          "}\n";
  emit(line);
}

void MachineProgress::finish(std::string_view outcome, std::string_view reason, int exitStatus) {
  std::string line = "{\"phase\":\"done\",\"outcome\":";
  appendString(line, outcome);
  line += ",\"reason\":";
  appendString(line, reason);
  line += ",\"exit_status\":" + std::to_string(exitStatus) + "}\n";
  emit(line);
}

}  // namespace installer
