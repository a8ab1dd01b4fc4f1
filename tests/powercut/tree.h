// A file tree in memory, by inode: what a power-cut replay starts from and
// what it builds. Loaded from a directory, written back to one, and
// fingerprinted so that equal trees are recognised without comparing them.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace powercut {

// Bytes shared between the trees built from one record, with their SHA-256
// computed once.
struct Blob {
  explicit Blob(std::string b);
  std::string bytes;
  std::string digest;  // hex
};
using Content = std::shared_ptr<const Blob>;
Content makeContent(std::string bytes);
// The one empty content.
const Content& emptyContent();

enum class NodeKind { kFile, kDirectory, kSymlink };

struct Node {
  NodeKind kind = NodeKind::kFile;
  unsigned mode = 0;                   // permission bits, 07777
  Content data;                        // a file's bytes, a link's text
  std::map<std::string, int> entries;  // a directory's names -> node numbers
};

// Node 0 is the root directory; numbers never come back once used, so a
// slot is empty where a node does not exist (not yet made in this tree).
struct Tree {
  std::vector<std::optional<Node>> nodes;

  bool has(int n) const { return n >= 0 && n < static_cast<int>(nodes.size()) && nodes[n]; }
  Node& at(int n) { return *nodes[static_cast<std::size_t>(n)]; }
  const Node& at(int n) const { return *nodes[static_cast<std::size_t>(n)]; }
  // The node a plain path leads to, following no link; -1 when none.
  int find(const std::string& path) const;
};

struct TreeOrError {
  Tree tree;
  std::string error;
};
// Directories, regular files and symbolic links below `dir`; files linked
// under several names are one node. Anything else is an error.
TreeOrError loadTree(const std::string& dir);

// Makes `dir` (an empty directory) hold the tree reachable from the root:
// empty on success, else what failed.
std::string writeTree(const Tree& tree, const std::string& dir);

// Hex SHA-256 over every reachable path with its kind, mode and contents.
std::string fingerprint(const Tree& tree);

}  // namespace powercut
