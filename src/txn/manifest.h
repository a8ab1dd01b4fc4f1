// The manifest of pending file operations: every change an install run makes
// to the live tree, committed at the end of the run or by a later one.
#pragma once

#include <cstdint>
#include <map>
#include <string>

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

// What a planning manifest knows of the files it only pretends to stage:
// the bytes written to each (by its made-up source name), and the bytes
// they would take on each file system (by device), so that staging goes on
// choosing where files go as if they were there.
struct PlannedFiles {
  std::map<std::string, std::uint64_t> sizes;
  std::map<std::uint64_t, std::int64_t> usedOnDevice;
  std::uint64_t count = 0;
};

// Keys are target paths in byte-wise order; every walk goes in this order.
struct Manifest {
  std::map<std::string, ManifestEntry> entries;
  StagingMemo stagingMemo;
  // A planning manifest (for showing what a run would do): staging creates
  // no file, nothing it names is ever deleted, and it is never committed or
  // written.
  bool planOnly = false;
  PlannedFiles planned;
  bool empty() const { return entries.empty(); }
};

// Adds or replaces the entry of `path`; a replaced kMoveStaged entry has its
// temporary file deleted.
void setEntry(Manifest& m, const std::string& path, ManifestOp op, std::string source);
void addMove(Manifest& m, const std::string& source, const std::string& target);
void addLink(Manifest& m, const std::string& linkText, const std::string& path);

// Deletes the temporary file of a kMoveStaged entry that is dropped; a
// planning manifest has none.
void deleteStagedFile(const Manifest& m, const std::string& source);

// Deletes the temporary files of kMoveStaged entries and empties the manifest.
void cancelManifest(Manifest& m);

// Removals and links first, then moves, all in path order; everything below
// "/flash/var/pdb/" (the package database) after everything else, so that
// the database changes only once the files it describes are in place. The
// manifest is left as it is. Each operation that fails is reported on
// standard error and the commit goes on; false when any failed. A planning
// manifest is refused at once: false, nothing touched.
[[nodiscard]] bool commitManifest(const Manifest& m, bool showProgress);

// Writes the manifest file through a temporary file renamed into place.
// False when it could not be written completely or holds an entry that would
// not read back as itself (a newline in a field, a blank in a target path).
// A planning manifest is never written.
[[nodiscard]] bool writeManifest(const Manifest& m, const std::string& path);
// Adds the entries of a manifest file; every move reads back as kMove.
[[nodiscard]] bool readManifest(Manifest& m, const std::string& path);

// The commit's fallback when a rename crosses file systems: copies into a
// temporary file beside the target and renames it over the target only when
// the whole copy reached the disk. Returns 0 on success, else an errno value.
[[nodiscard]] int copyFile(const std::string& source, const std::string& target, bool showProgress);

}  // namespace installer
