// The process-wide repository: every package record known to the run, the
// running system's architecture and the console state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "records/package.h"

namespace installer {

struct Repository {
  std::string arch;
  // Owned records in load order; listing, scheduling and checks visit them
  // in this order.
  std::vector<std::unique_ptr<InstalledPackage>> packages;
  std::string statusLine;             // the status line currently drawn
  std::vector<std::string> messages;  // every printed message, for the postlog
  bool quiet = false;
};

// Created empty on first use; the same object for the whole process.
Repository& getRepository();

// Index of the first record named exactly `name`, or -1.
int findPackage(const Repository& repo, const std::string& name);
// The first record named `name`, or null.
InstalledPackage* findRecord(const Repository& repo, const std::string& name);

// Takes `record` out of `packages` by identity (never by name: two records
// may share a name) and hands it to the caller. Null when it is not there.
std::unique_ptr<InstalledPackage> takeRecord(Repository& repo, const InstalledPackage* record);

}  // namespace installer
