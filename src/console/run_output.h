// The output of a run: where its messages, status line and listing go, and
// what the console has shown so far. Kept apart from the repository: a
// function that only prints takes this object, not the records.
#pragma once

#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace installer {

class MachineProgress;

struct RunOutput {
  // Where messages, the status line and the listing go: standard output
  // unless the caller hands in another stream.
  std::ostream* stream = &std::cout;
  std::string statusLine;             // the status line currently drawn
  std::vector<std::string> messages;  // every printed message, for the postlog
  bool quiet = false;
  // When set, every message is also appended here, prefix included, as it
  // would be printed (also under `quiet`): the run's record says why each
  // package file was refused.
  std::vector<std::string>* messageTap = nullptr;
  // Progress for a machine (INSTALLER_PROGRESS_FD), when one reads it.
  MachineProgress* progress = nullptr;
  // The old post-install log has been read into `messages` in this run.
  bool postlogPreloaded = false;
};

}  // namespace installer
