#include "console/postlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "base/ignore.h"
#include "txn/file_io.h"
#include "txn/planning.h"

namespace installer {
namespace {

constexpr const char* kPostlogPath = "/flash/postlog";
constexpr std::size_t kReservedBytes = 4096;

// The log is a plain file of ours: a link planted in its place is not
// followed, and anything else there is left alone.
int openLog(int flags) { return openOwnRegularFile(kPostlogPath, flags, 0644); }

// Write failures are not reported: the log is a courtesy to the reader.
void writeLog(int fd, std::string_view bytes) { ignoreResult(writeAll(fd, bytes)); }

}  // namespace

void preloadPostlog(RunOutput& output) {
  if (const int in = openLog(O_RDONLY); in >= 0) {
    std::string text;
    char block[4096];
    for (;;) {
      const ssize_t got = read(in, block, sizeof block);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(block, static_cast<std::size_t>(got));
    }
    close(in);
    // A last line without its newline was cut short (or is the reserved
    // space of an earlier run) and is left out.
    std::string_view rest = text;
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;) {
      output.messages.emplace_back(rest.substr(0, end));
      rest.remove_prefix(end + 1);
    }
  }
  // Keep room on the flash for the new log while the install fills it.
  if (const int out = openLog(O_WRONLY | O_CREAT | O_TRUNC); out >= 0) {
    writeLog(out, std::string(kReservedBytes, '\0'));
    close(out);
  }
  output.postlogPreloaded = true;
}

void planPostlogPreload(Manifest& m) {
  struct stat st;
  struct statfs fs;
  if (statfs("/flash", &fs) != 0 || fs.f_bsize <= 0) return;
  const auto block = static_cast<std::int64_t>(fs.f_bsize);
  const auto blocks = [block](std::int64_t bytes) { return (bytes + block - 1) / block * block; };
  const std::int64_t old = stat(kPostlogPath, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
  notePlannedUse(m, "/flash", blocks(kReservedBytes) - blocks(old));
}

void writePostlog(RunOutput& output) {
  if (!output.postlogPreloaded && output.messages.empty()) return;
  // After a preload the old lines are among the messages; the file is
  // rewritten from scratch instead of over the reserved zero bytes.
  const int out = openLog(O_WRONLY | O_CREAT | (output.postlogPreloaded ? O_TRUNC : O_APPEND));
  if (out < 0) return;
  std::string text;
  for (const std::string& line : output.messages) {
    text += line;
    text += '\n';
  }
  writeLog(out, text);
  close(out);
}

}  // namespace installer
