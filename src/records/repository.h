// The repository of a run: every package record known to it and the running
// system's architecture. Everything that decides or installs is handed this
// object; only the entry point asks for it. What the run prints is not here
// (console/run_output.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "records/package.h"

namespace installer {

// The records of a repository by the names that relate them to others, each
// name's records in list order, so that lookups do not walk the whole list:
// a bundle of thousands of members looks names up for every member it
// installs. appendRecord and takeRecord keep it current; when the list was
// changed directly (a test building a repository by hand), a change of its
// length makes the next lookup build it again.
struct RecordIndex {
  static constexpr std::size_t kStale = static_cast<std::size_t>(-1);
  // A record with its place in the list: records only ever join at the end,
  // so a number drawn when one joins orders records as the list does.
  struct Entry {
    std::uint64_t order;
    InstalledPackage* record;
  };
  using Names = std::unordered_map<std::string, std::vector<Entry>>;
  Names byName;          // own name
  Names byOffer;         // own name and the names it provides
  Names byConflictName;  // the names of forEachConflictName
  // How many names of byConflictName more than one record carries: while
  // there is none, no two records can conflict.
  std::size_t sharedConflictNames = 0;
  std::uint64_t nextOrder = 0;
  std::size_t covered = kStale;  // the length of the list it was kept for
};

struct Repository {
  std::string arch;
  // Owned records in load order; listing, scheduling and checks visit them
  // in this order. Records are added with appendRecord and taken out with
  // takeRecord, which keep `index` current; a record's name and lists stay
  // as they are while it is here (else reindexRecords).
  std::vector<std::unique_ptr<InstalledPackage>> packages;
  mutable RecordIndex index;
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

// The records, in list order, that carry `name` as their own or provide it;
// null when there are none.
const std::vector<RecordIndex::Entry>* recordsOffering(const Repository& repo,
                                                       const std::string& name);
// The records, in list order, that share a name of forEachConflictName with
// `p` (p itself among them when it is a record of the repository): the only
// ones that can conflict with it either way.
void recordsSharingConflictNames(const Repository& repo, const Package& p,
                                 std::vector<InstalledPackage*>& out);
// Whether two records of the repository share such a name.
bool anyConflictNameShared(const Repository& repo);

// The index no longer stands for the records: their names or lists changed
// while they were in `packages`. The next lookup builds it again.
void reindexRecords(Repository& repo);

// Appends `record` at the end of `packages`.
InstalledPackage& appendRecord(Repository& repo, std::unique_ptr<InstalledPackage> record);

// Takes `record` out of `packages` by identity (never by name: two records
// may share a name) and hands it to the caller. Null when it is not there.
std::unique_ptr<InstalledPackage> takeRecord(Repository& repo, const InstalledPackage* record);

}  // namespace installer
