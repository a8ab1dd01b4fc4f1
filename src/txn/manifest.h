// The manifest of pending file operations: every change an install run makes
// to the live tree, committed at the end of the run or by a later one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "txn/spinner.h"

namespace installer {

enum class ManifestOp : std::uint32_t {
  kMove = 0,        // rename source onto the target
  kMoveStaged = 1,  // as kMove; the source is our temporary file
  kLink = 3,        // symbolic link at the target whose text is source
  kRemove = 4,      // delete the target
};

struct ManifestEntry {
  ManifestOp op = ManifestOp::kRemove;
  std::string source;
};

// Staging's note of the last destination directory it placed a temporary
// file for, and the directory (that one, or its nearest existing ancestor)
// whose file system answered. Missing directories are made only when a
// manifest is committed, so the note holds while files are staged.
struct StagingMemo {
  std::string directory;
  std::string existing;
};

// Keys are target paths in byte-wise order; every walk goes in this order.
struct Manifest {
  std::map<std::string, ManifestEntry> entries;
  StagingMemo stagingMemo;
  bool empty() const { return entries.empty(); }
};

// Adds or replaces the entry of `path`; a replaced kMoveStaged entry has its
// temporary file deleted.
void setEntry(Manifest& m, const std::string& path, ManifestOp op, std::string source);
void addMove(Manifest& m, const std::string& source, const std::string& target);
void addLink(Manifest& m, const std::string& linkText, const std::string& path);

// Deletes the temporary files of kMoveStaged entries and empties the manifest.
void cancelManifest(Manifest& m);

// Removals and links first, then moves, all in path order; everything below
// "/flash/var/pdb/" (the package database) after everything else, so that
// the database changes only once the files it describes are in place. The
// manifest is left as it is. Each operation that fails is reported on
// standard error and the commit goes on; false when any failed. A copy across
// file systems turns `spinner` when one is given.
[[nodiscard]] bool commitManifest(const Manifest& m, Spinner* spinner = nullptr);

// Writes the manifest file through a temporary file renamed into place.
// False when it could not be written completely or holds an entry that would
// not read back as itself (a newline in a field, a blank in a target path).
[[nodiscard]] bool writeManifest(const Manifest& m, const std::string& path);
// Adds the entries of a manifest file; every move reads back as kMove.
[[nodiscard]] bool readManifest(Manifest& m, const std::string& path);

// The commit's fallback when a rename crosses file systems: copies into a
// temporary file beside the target and renames it over the target only when
// the whole copy reached the disk. Returns 0 on success, else an errno value.
[[nodiscard]] int copyFile(const std::string& source, const std::string& target,
                           Spinner* spinner = nullptr);

}  // namespace installer
