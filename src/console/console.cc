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

void printMessageV(RunOutput& output, const char* prefix, const char* format, va_list args) {
  char buffer[kMessageBufferSize];
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) buffer[0] = '\0';  // an encoding error prints an empty message
  std::string line = prefix != nullptr ? prefix : "";
  line += buffer;
  // Names are expanded into the text; none may draw on the console or add
  // a line of its own to the post-install log.
  makeVisible(line);

  if (output.messageTap != nullptr) output.messageTap->push_back(line);
  if (output.quiet) return;
  std::ostream& out = *output.stream;
  if (!output.statusLine.empty()) {
    out << '\r' << std::string(kEraseWidth, ' ') << '\r' << std::flush;
  }
  out << line << std::endl;
  if (!output.statusLine.empty()) out << output.statusLine << std::flush;
  output.messages.push_back(std::move(line));
}

}  // namespace

void printMessage(RunOutput& output, const char* prefix, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printMessageV(output, prefix, format, args);
  va_end(args);
}

void inform(RunOutput& output, const char* format, ...) {
  setStatusLine(output, std::string());
  va_list args;
  va_start(args, format);
  printMessageV(output, nullptr, format, args);
  va_end(args);
}

void warn(RunOutput& output, const char* format, ...) {
  va_list args;
  va_start(args, format);
  printMessageV(output, "WARNING: ", format, args);
  va_end(args);
}

void reportError(RunOutput& output, const char* format, ...) {
  setStatusLine(output, std::string());
  va_list args;
  va_start(args, format);
  printMessageV(output, "ERROR: ", format, args);
  va_end(args);
}

void setStatusLine(RunOutput& output, const std::string& shown) {
  const std::string text = visibleText(shown);
  if (output.quiet || text == output.statusLine) return;
  std::ostream& out = *output.stream;
  out << kHideCursor << '\r' << text;
  // Blank out whatever the previous, longer line left on the console.
  if (text.size() < output.statusLine.size()) {
    out << std::string(output.statusLine.size() - text.size(), ' ');
  }
  out << '\r' << kShowCursor << std::flush;
  output.statusLine = text;
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

void showInstallProgress(RunOutput& output, const InstalledPackage& p,
                         const PackageReader& reader) {
  if (output.progress != nullptr)
    output.progress->bytes(p, reader.part().consumed(), reader.totalLength);
  setStatusLine(output, installProgressLine(p, reader.part().consumed(), reader.totalLength));
}

InstallProgress::InstallProgress(const InstalledPackage& p)
    : package_(p), barWidth_(barWidth(progressHead(p).size())) {}

void InstallProgress::show(RunOutput& output, std::uint64_t consumed, std::uint64_t total) {
  if (output.progress != nullptr) output.progress->bytes(package_, consumed, total);
  if (output.quiet) return;
  const std::size_t filled = barFilled(barWidth_, consumed, total);
  if (filled == filled_ && !shown_.empty() && output.statusLine == shown_) return;
  setStatusLine(output, installProgressLine(package_, consumed, total));
  filled_ = filled;
  shown_ = output.statusLine;
}

void reportWriteFailure(RunOutput& output, const InstalledPackage& p, const std::string& fileName) {
  const int error = errno;  // before anything else can change it
  const std::string label = displayLabel(p);
  errno = error;
  reportWriteFailure(output, label, fileName);
}

void reportWriteFailure(RunOutput& output, const std::string& label, const std::string& fileName) {
  const int error = errno;  // before anything else can change it
  if (error == ENOSPC) {
    reportError(output, "installation of %s failed: disk is too small", label.c_str());
  } else if (error == EIO) {
    reportError(output, "installation of %s failed: disk error", label.c_str());
  } else {
    reportError(output, "installation of %s failed: could not create %s: %s", label.c_str(),
                fileName.c_str(), std::strerror(error));
  }
}

void reportBrokenPackage(RunOutput& output, const InstalledPackage& p) {
  reportError(output, "installation of %s failed: broken package", displayLabel(p).c_str());
}

}  // namespace installer
