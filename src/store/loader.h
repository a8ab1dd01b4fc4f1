// Loading the repository at start-up: records from kept package images and
// from metadata, with their states and the actions scheduled under "/ram/pdb/".
#pragma once

#include <string>

#include "console/run_output.h"
#include "records/repository.h"

namespace installer {

enum class LoadOutcome {
  kLoaded,
  // A database or schedule file is there and could not be read (already
  // reported): what is installed is not known, so nothing may be changed.
  kUnreadable,
};
// Sets the output's `quiet` and the repository's `arch`, then loads.
// `unreadable`, when given, receives the path of the file that could not be
// read (the report is silent with `quiet`).
[[nodiscard]] LoadOutcome openRepository(Repository& repo, RunOutput& output, bool quiet,
                                         const std::string& arch,
                                         std::string* unreadable = nullptr);

// The metadata files of one package's directory (and its schedule), read
// without a listing of the directory: every file is probed.
void readMetadata(InstalledPackage& p);

// "/ram/pdb/" + the name without characters other than letters, digits and
// "-" + "/schedule".
std::string scheduleFilePath(const std::string& packageName);

}  // namespace installer
