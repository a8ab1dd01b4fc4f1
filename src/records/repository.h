// The repository of a run: every package record known to it, the running
// system's architecture, and the run's console state. Everything that reports
// or installs is handed this object; only the entry point asks for it.
#pragma once

#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "records/package.h"

namespace installer {

struct Repository {
  std::string arch;
  // Owned records in load order; listing, scheduling and checks visit them
  // in this order.
  std::vector<std::unique_ptr<InstalledPackage>> packages;
  // Where messages, the status line and the listing go: standard output
  // unless the caller hands in another stream.
  std::ostream* out = &std::cout;
  std::string statusLine;             // the status line currently drawn
  std::vector<std::string> messages;  // every printed message, for the postlog
  bool quiet = false;
  // The old post-install log has been read into `messages` in this run.
  bool postlogPreloaded = false;
  // The environment variable "bootimage" was set when the run started: the
  // boot loader, not the installer, unpacks the boot image's payload.
  bool bootImageVariable = false;
};

// Created empty on first use; the same object for the whole process. Only
// the entry point asks for it.
Repository& getRepository();

// Index of the first record named exactly `name`, or -1.
int findPackage(const Repository& repo, const std::string& name);
// The first record named `name`, or null.
InstalledPackage* findRecord(const Repository& repo, const std::string& name);

// Lets go of every record's list of files. Once a run has staged all its
// changes, the lists are in the staged database files and only the commit is
// left, which reads none of them: freed before it, they do not add to what
// the commit holds per file at the run's peak of memory.
void releaseFileLists(Repository& repo);

// Takes `record` out of `packages` by identity (never by name: two records
// may share a name) and hands it to the caller. Null when it is not there.
std::unique_ptr<InstalledPackage> takeRecord(Repository& repo, const InstalledPackage* record);

}  // namespace installer
