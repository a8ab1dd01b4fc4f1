// Progress for a machine: when the environment variable
// INSTALLER_PROGRESS_FD names an open descriptor (above 2), one JSON object a
// line is written to it, beside the console output, which stays as it is:
//
//   {"phase":"scan"}
//   {"phase":"stage","package":"tool-7.2","bytes_done":4096,"bytes_total":81920}
//   {"phase":"check"}
//   {"phase":"commit"}
//   {"phase":"done","outcome":"committed","reason":"","exit_status":0}
//
// A package's first and last stage lines are always written, those between
// at most every 100 ms (a cheap clock check per file read); the others as
// the run reaches them. The reader is never waited for: each
// line is one write that goes whole or not at all (a full pipe drops it),
// and a descriptor that fails otherwise (closed, its reader gone) is given
// up for the rest of the run. SIGPIPE is ignored by the process, so a reader
// that went away ends nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "records/package.h"

namespace installer {

class MachineProgress {
 public:
  // The descriptor named by INSTALLER_PROGRESS_FD, taken now (before a
  // change of root, which may leave no /proc behind): null when the
  // variable is missing, no plain number, or names no open descriptor above
  // standard error.
  static std::unique_ptr<MachineProgress> fromEnvironment();
  // Over `fd` directly (for tests).
  explicit MachineProgress(int fd);
  ~MachineProgress();
  MachineProgress(const MachineProgress&) = delete;
  MachineProgress& operator=(const MachineProgress&) = delete;

  void phase(std::string_view name);
  // `done` of the `total` bytes of the package file of `p` read.
  void bytes(const InstalledPackage& p, std::uint64_t done, std::uint64_t total);
  // The last line.
  void finish(std::string_view outcome, std::string_view reason, int exitStatus);

 private:
  enum class Kind { kWrite, kSend };
  MachineProgress(int fd, bool owned, Kind kind);
  void emit(const std::string& line);

  int fd_;
  bool owned_;
  Kind kind_;
  bool givenUp_ = false;
  std::int64_t lastStageMs_ = -1;
  const InstalledPackage* lastPackage_ = nullptr;
  std::uint64_t lastDone_ = 0;
};

}  // namespace installer
