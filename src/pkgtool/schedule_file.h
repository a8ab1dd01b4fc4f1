// Schedule files: the action the running system leaves for a package under
// "/ram/pdb/", which the installer's next run carries out.
#pragma once

#include <string>

#include "records/package.h"

namespace installer {

// Writes the word of `action` into the schedule file of `name` (the path
// loading reads, scheduleFilePath) through a temporary file renamed into
// place, so that a run reading it meanwhile sees the old word or the new
// one. False with a reason.
bool writeSchedule(const std::string& name, PendingAction action, std::string& error);

// Removes the schedule file of `name` and its directory when that is left
// empty. True also when there was none.
bool clearSchedule(const std::string& name, std::string& error);

}  // namespace installer
