// A planning run: the installer's own deciding and staging code run to show
// what a run would do, on a manifest that stages nothing. Everything such a
// run knows of the files it only pretends to stage is here.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>

#include "txn/commit.h"
#include "txn/manifest.h"

namespace installer {

// Attached to a manifest (Manifest::planning) by the planning tool. Staging
// then creates no file, a cancel deletes none, and the manifest is never
// committed or written; staging goes on choosing where files go as if they
// were there.
struct Planning {
  // The bytes written to each pretended file, by its made-up source name.
  std::map<std::string, std::uint64_t> sizes;
  // The bytes they (and the reserved log) would take on each file system,
  // by device; negative: freed.
  std::map<std::uint64_t, std::int64_t> usedOnDevice;
  std::uint64_t count = 0;  // files pretended so far
};

// Bytes that a planning manifest counts as taken (negative: freed) on the
// file system of `dir` beyond what it shows now, as a real run would have
// taken them by the time it asks: its staged files, the reserved log. 0 for
// a manifest of a real run.
std::int64_t plannedUse(const Manifest& m, const std::string& dir);
void notePlannedUse(Manifest& m, const std::string& dir, std::int64_t bytes);

// stat() of a manifest entry's source; for a file a planning manifest only
// pretends to have staged, its directory's device and the bytes written.
bool statStagedSource(const Manifest& m, const std::string& source, struct stat& st);

// What preparing the commit would answer for a planning manifest, as far as
// room goes: kNoSpace when the copies of the moves that cross file systems
// (made beside their targets while the old files still stand) would not fit
// the free space of their targets' file systems less what the run staged
// there; kCommitted otherwise.
CommitOutcome predictCommit(const Manifest& m);

// The device of the file system holding `path`; 0 when it cannot be asked.
std::uint64_t deviceOf(const std::string& path);

}  // namespace installer
