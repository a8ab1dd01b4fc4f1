#include "console/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "console/machine_progress.h"
#include "console/visible_text.h"
#include "package/reader.h"

namespace installer {
namespace {

constexpr std::size_t kMessageBufferSize = 256;  // the expansion keeps at most 255 bytes
// A shown status line is wiped with this many blanks: more than the longest
// line drawn (a progress bar, 77 characters), and one column short of an
// 80-column terminal, so that the wipe never wraps onto a line of its own.
constexpr std::size_t kEraseWidth = 79;
// A progress bar's whole line, head and brackets included.
constexpr std::size_t kProgressLineLength = 77;

const char kHideCursor[] = "\x1b[?25l";
const char kShowCursor[] = "\x1b[?25h";

void printMessageV(Repository& repo, const char* prefix, const char* format, va_list args) {
  char buffer[kMessageBufferSize];
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) buffer[0] = '\0';  // an encoding error prints an empty message
  std::string line = prefix != nullptr ? prefix : "";
  line += buffer;
  // Names are expanded into the text; none may draw on the console or add
  // a line of its own to the post-install log.
  makeVisible(line);

  if (repo.messageTap != nullptr) repo.messageTap->push_back(line);
  if (repo.quiet) return;
  std::ostream& out = *repo.out;
  if (!repo.statusLine.empty()) {
    out << '\r' << std::string(kEraseWidth, ' ') << '\r' << std::flush;
  }
  out << line << std::endl;
  if (!repo.statusLine.empty()) out << repo.statusLine << std::flush;
  repo.messages.push_back(std::move(line));
}

}  // namespace

void printMessage(Repository& repo, const char* prefix, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printMessageV(repo, prefix, format, args);
  va_end(args);
}

void inform(Repository& repo, const char* format, ...) {
  setStatusLine(repo, std::string());
  va_list args;
  va_start(args, format);
  printMessageV(repo, nullptr, format, args);
  va_end(args);
}

void warn(Repository& repo, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printMessageV(repo, "WARNING: ", format, args);
  va_end(args);
}

void reportError(Repository& repo, const char* format, ...) {
  setStatusLine(repo, std::string());
  va_list args;
  va_start(args, format);
  printMessageV(repo, "ERROR: ", format, args);
  va_end(args);
}

void setStatusLine(Repository& repo, const std::string& shown) {
  const std::string text = visibleText(shown);
  if (repo.quiet || text == repo.statusLine) return;
  std::ostream& out = *repo.out;
  out << kHideCursor << '\r' << text;
  // Blank out whatever the previous, longer line left on the console.
  if (text.size() < repo.statusLine.size()) {
    out << std::string(repo.statusLine.size() - text.size(), ' ');
  }
  out << '\r' << kShowCursor << std::flush;
  repo.statusLine = text;
}

namespace {

std::string progressHead(const InstalledPackage& p) {
  std::string line = "installing ";
  if (p.disabled && p.bundle.name.empty()) line += " (disabled) ";
  line += displayLabel(p);
  line += " [";
  return line;
}

// A head too long for the bar gets no bar at all rather than a longer line.
std::size_t barWidth(std::size_t headLength) {
  return headLength < kProgressLineLength - 1 ? kProgressLineLength - 1 - headLength : 0;
}

// A total of 0, or more consumed than the header declared, shows a full bar.
std::size_t barFilled(std::size_t width, std::uint64_t consumed, std::uint64_t total) {
  if (total == 0 || consumed >= total) return width;
  return static_cast<std::size_t>(consumed * width / total);
}

}  // namespace

std::string installProgressLine(const InstalledPackage& p, std::uint64_t consumed,
                                std::uint64_t total) {
  std::string line = progressHead(p);
  const std::size_t width = barWidth(line.size());
  const std::size_t filled = barFilled(width, consumed, total);
  line.append(filled, '#');
  line.append(width - filled, ' ');
  line += ']';
  return line;
}

void showInstallProgress(Repository& repo, const InstalledPackage& p, const PackageReader& reader) {
  if (repo.progress != nullptr)
    repo.progress->bytes(p, reader.part().consumed(), reader.totalLength);
  setStatusLine(repo, installProgressLine(p, reader.part().consumed(), reader.totalLength));
}

InstallProgress::InstallProgress(const InstalledPackage& p)
    : package_(p), barWidth_(barWidth(progressHead(p).size())) {}

void InstallProgress::show(Repository& repo, std::uint64_t consumed, std::uint64_t total) {
  if (repo.progress != nullptr) repo.progress->bytes(package_, consumed, total);
  if (repo.quiet) return;
  const std::size_t filled = barFilled(barWidth_, consumed, total);
  if (filled == filled_ && !shown_.empty() && repo.statusLine == shown_) return;
  setStatusLine(repo, installProgressLine(package_, consumed, total));
  filled_ = filled;
  shown_ = repo.statusLine;
}

void reportWriteFailure(Repository& repo, const InstalledPackage& p, const std::string& fileName) {
  const int error = errno;  // before anything else can change it
  const std::string label = displayLabel(p);
  errno = error;
  reportWriteFailure(repo, label, fileName);
}

void reportWriteFailure(Repository& repo, const std::string& label, const std::string& fileName) {
  const int error = errno;  // before anything else can change it
  if (error == ENOSPC) {
    reportError(repo, "installation of %s failed: disk is too small", label.c_str());
  } else if (error == EIO) {
    reportError(repo, "installation of %s failed: disk error", label.c_str());
  } else {
    reportError(repo, "installation of %s failed: could not create %s: %s", label.c_str(),
                fileName.c_str(), std::strerror(error));
  }
}

void reportBrokenPackage(Repository& repo, const InstalledPackage& p) {
  reportError(repo, "installation of %s failed: broken package", displayLabel(p).c_str());
}

}  // namespace installer
