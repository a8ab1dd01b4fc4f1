// Power cuts replayed from a record of calls: the tree a cut after any
// prefix of the record would leave on the disk, under two models of what a
// file system keeps.
//
// Ordered metadata: every name operation up to the cut (create, mkdir,
// symlink, link, rename, unlink, rmdir) and every change of mode or size
// (chmod, truncate) persists, in order. The bytes written reach the disk
// only when flushed: a file shows the contents it had at its last flush
// (fsync or fdatasync of it, syncfs of its file system, sync), with the
// size changes made since applied, or its state before the run when it was
// never flushed (empty when the run made it).
//
// Weak: in addition, the metadata operations that no flush has covered may
// be lost, as any prefix of them: the ones kept are those covered and the
// first `keepUnflushed` of the others. An operation is covered by a later
// sync or syncfs; a name operation also by an fsync of each directory it
// changes; a mode change by an fsync of its file; a size change by an fsync
// or fdatasync of its file (an fsync of a file does not make its name
// durable). An operation that persisted brings along every earlier one on
// the same directory or file, as the disk could not hold it otherwise.
//
// The whole root is one file system. Directories given as volatile (a RAM
// disk: "/ram") come back empty after the cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "powercut/call_record.h"
#include "powercut/tree.h"

namespace powercut {

enum class Model { kOrderedMetadata, kWeak };
const char* modelName(Model model);

struct Effect {
  enum class Kind {
    kCreate,   // a file `node` named `name` in `dir`
    kMkdir,    // a directory `node`
    kSymlink,  // a link `node`
    kLink,     // one more name for `node`
    kRename,   // `dir`/`name` -> `dir2`/`name2`, replacing `replaced`
    kUnlink,   // `dir`/`name`, which named `node`
    kRmdir,
    kChmod,     // `node` gets `mode`
    kTruncate,  // `node` gets `length` bytes
    kFlush,     // fsync (`dataOnly`: fdatasync) of `node`
    kFlushAll,  // sync, syncfs
  };
  Kind kind = Kind::kFlushAll;
  std::size_t call = 0;  // the position (from 1) of its call in the record
  int dir = -1;
  std::string name;
  int dir2 = -1;
  std::string name2;
  int node = -1;
  int replaced = -1;
  unsigned mode = 0;
  std::uint64_t length = 0;
  bool dataOnly = false;
  Content data;  // a new link's text
};

struct ReplayOrError;

class Replay {
 public:
  Replay() = default;

  // Follows `calls` over `initial`. The recorded process saw the tree at
  // `hostRoot` until it changed its root to that directory (chroot); what
  // it did outside the tree is not the replay's business (reading libraries
  // and the like). A call on the tree that the replay cannot follow (a name
  // it does not have, a descriptor it did not see opened) is an error: the
  // record and the tree do not belong together.
  static ReplayOrError build(Tree initial, const std::vector<Call>& calls,
                             const std::string& hostRoot,
                             std::vector<std::string> volatileDirs = {"/ram"});

  std::size_t callCount() const { return callCount_; }
  const std::vector<Effect>& effects() const { return effects_; }
  // The tree as the run left it, everything flushed.
  const Tree& finalTree() const { return live_; }

  // Metadata operations up to the cut that no flush has covered (the most
  // the weak model may keep beyond the covered ones).
  std::size_t unflushedAt(std::size_t cut) const;

  struct Cut {
    Tree tree;
    std::string error;  // set when the operations could not be applied
  };
  // The tree a cut after the first `cut` calls leaves. `keepUnflushed`
  // matters only for the weak model (clamped to `unflushedAt`).
  Cut materialize(std::size_t cut, Model model, std::size_t keepUnflushed = 0) const;

 private:
  friend class ReplayBuilder;

  Tree initial_;
  Tree live_;
  std::size_t callCount_ = 0;
  std::vector<Effect> effects_;
  // For each effect, the latest earlier effects on a directory or file it
  // touches.
  std::vector<std::vector<std::size_t>> dependsOn_;
  // A file's contents at each of its flushes: (call, contents).
  std::map<int, std::vector<std::pair<std::size_t, Content>>> flushed_;
  std::size_t initialNodes_ = 0;
  std::vector<std::string> volatileDirs_;
};

struct ReplayOrError {
  Replay replay;
  std::string error;
};

}  // namespace powercut
