// Messages, warnings, errors and the live status line, on the run's output
// stream (standard output in a run). A message's formatted text is cut at
// 255 bytes and its prefix ("WARNING: ", "ERROR: ") comes on top of that;
// every message printed is also appended to the run's message log, the
// post-install log to be. With the quiet flag nothing is printed,
// drawn or logged: a quiet run's messages are in no log either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "console/run_output.h"
#include "records/package.h"

namespace installer {

class PackageReader;

#define INSTALLER_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// `prefix` may be null.
void printMessage(RunOutput& output, const char* prefix, const char* format, ...)
    INSTALLER_PRINTF(3, 4);
void inform(RunOutput& output, const char* format, ...) INSTALLER_PRINTF(2, 3);
void warn(RunOutput& output, const char* format, ...) INSTALLER_PRINTF(2, 3);
void reportError(RunOutput& output, const char* format, ...) INSTALLER_PRINTF(2, 3);

// Draws `text` as the status line; an empty text removes it. Draws nothing
// when the text is unchanged.
void setStatusLine(RunOutput& output, const std::string& text);

// The 77-character progress line for the package being read by `reader`.
std::string installProgressLine(const InstalledPackage& p, std::uint64_t consumed,
                                std::uint64_t total);
void showInstallProgress(RunOutput& output, const InstalledPackage& p, const PackageReader& reader);

// The progress line of one package while its parts are read, shown after
// every file. The line is built again only when its bar grows or when
// something else has taken the status line since: a package of many small
// files would otherwise build the same line once a file.
class InstallProgress {
 public:
  explicit InstallProgress(const InstalledPackage& p);
  // `consumed` of the package's `total` bytes have been read.
  void show(RunOutput& output, std::uint64_t consumed, std::uint64_t total);

 private:
  const InstalledPackage& package_;
  std::size_t barWidth_;
  std::size_t filled_ = 0;
  std::string shown_;  // as the status line holds it; empty before the first
};

// Error reports for a failed installation; reportWriteFailure reads errno.
void reportWriteFailure(RunOutput& output, const InstalledPackage& p, const std::string& fileName);
// The same for a package known by its label alone.
void reportWriteFailure(RunOutput& output, const std::string& label, const std::string& fileName);
void reportBrokenPackage(RunOutput& output, const InstalledPackage& p);

}  // namespace installer
