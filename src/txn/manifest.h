// The manifest of pending file operations: every change an install run makes
// to the live tree, committed at the end of the run or by a later one.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "base/text_arena.h"
#include "txn/checked_source.h"
#include "txn/temporaries.h"

namespace installer {

struct Planning;

// The codes are those of the operation kinds as they have always been
// numbered; code 2 names no operation and is never used.
enum class ManifestOp : std::uint32_t {
  kMove = 0,        // rename source onto the target
  kMoveStaged = 1,  // as kMove; the source is our temporary file
  kLink = 3,        // symbolic link at the target whose text is source
  kRemove = 4,      // delete the target
};

struct ManifestEntry {
  ManifestOp op = ManifestOp::kRemove;
  // Non-zero when `source` is only a staged file's name and its directory is
  // the target's first `besideLength` bytes (ending in a slash): staging puts
  // nearly every file in its target's directory or an ancestor of it, and
  // the name alone is a few bytes. sourceOf() gives the whole path.
  std::uint16_t besideLength = 0;
  // The source path of a move, the text of a link; kept in the manifest.
  std::string_view source;
};

// The source of the entry at `path`: the path moved from, the link's text.
std::string sourceOf(std::string_view path, const ManifestEntry& entry);

// The entries of a manifest by target path, in byte-wise order. Paths and
// sources are kept in one arena instead of an allocation each, so a run of
// tens of thousands of files keeps its manifest small; what an entry drops
// (a replaced source, an erased path) stays there until clear().
class ManifestEntries {
 public:
  using Map = std::map<std::string_view, ManifestEntry>;
  using iterator = Map::iterator;
  using const_iterator = Map::const_iterator;

  iterator begin() { return map_.begin(); }
  iterator end() { return map_.end(); }
  const_iterator begin() const { return map_.begin(); }
  const_iterator end() const { return map_.end(); }
  bool empty() const { return map_.empty(); }
  std::size_t size() const { return map_.size(); }
  std::size_t count(std::string_view path) const { return map_.count(path); }
  iterator find(std::string_view path) { return map_.find(path); }
  const_iterator find(std::string_view path) const { return map_.find(path); }
  iterator lower_bound(std::string_view path) { return map_.lower_bound(path); }
  const ManifestEntry& at(std::string_view path) const { return map_.at(path); }
  iterator erase(iterator it) { return map_.erase(it); }
  std::size_t erase(std::string_view path) { return map_.erase(path); }
  void clear();

  // Adds the entry of a path that has none, at `hint` (where lower_bound
  // found its place); the path and the source are copied in.
  iterator add(iterator hint, std::string_view path, ManifestOp op, std::string_view source);
  // Gives the entry at `it` a new operation and source (copied in).
  void change(iterator it, ManifestOp op, std::string_view source);

 private:
  void setSource(std::string_view path, ManifestEntry& entry, std::string_view source);

  Map map_;
  TextArena arena_;
};

// Staging's note of the last destination directory it placed a temporary
// file for, and the directory (that one, or its nearest existing ancestor)
// whose file system answered. Missing directories are made only when a
// manifest is committed, so the note holds while files are staged. The free
// space it reported is kept with the bytes staged there since, so that a
// run of small files asks the file system again only now and then.
struct StagingMemo {
  std::string directory;
  std::string existing;
  std::uint64_t freeBytes = 0;
  std::uint64_t stagedSince = 0;
};

// The room the flash file systems ("/flash/boot", "/flash") have left for
// files still to be staged: their free space as the staged changes would
// leave it, less what was staged for them since it was worked out. Worked
// out (and used) where packages are installed; a cancel forgets it.
struct SpaceHeadroom {
  bool known = false;
  bool bootMeasured = false;  // false: "/flash/boot" could not be examined
  bool flashMeasured = false;
  std::int64_t bootBytes = 0;
  std::int64_t flashBytes = 0;
};

// Keys are target paths in byte-wise order; every walk goes in this order.
struct Manifest {
  ManifestEntries entries;
  StagingMemo stagingMemo;
  SpaceHeadroom headroom;
  // Bytes written into this run's staged files (what the run record tells),
  // counted as they are written rather than by a stat of each at the end.
  std::uint64_t stagedBytes = 0;
  // The process's umask, asked once when the first staged file is created;
  // -1 until then.
  int creationMask = -1;
  // Set for a planning manifest (planning.h), which stages nothing; owned
  // by the planning tool and outliving the manifest.
  Planning* planning = nullptr;
  // Every temporary file the run creates is noted here before it exists.
  TemporaryLog temporaries;
  // Package files moved into place as they are, with their identity when
  // their signature was checked: the commit refuses to move one that has
  // changed since.
  CheckedSources checkedSources;
  bool empty() const { return entries.empty(); }
};

// Adds or replaces the entry of `path`; a replaced kMoveStaged entry has its
// temporary file deleted.
void setEntry(Manifest& m, std::string_view path, ManifestOp op, std::string_view source);
void addMove(Manifest& m, const std::string& source, const std::string& target);
void addLink(Manifest& m, const std::string& linkText, const std::string& path);

// Deletes the temporary file of the kMoveStaged entry of `path` that is
// dropped; a planning manifest has none.
void deleteStagedFile(const Manifest& m, std::string_view path, const ManifestEntry& entry);

// Deletes the temporary files of kMoveStaged entries and every other
// temporary the run made, and empties the manifest.
void cancelManifest(Manifest& m);

}  // namespace installer
