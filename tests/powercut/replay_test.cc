// The replay on tiny hand-made records: what each model keeps and loses at
// each cut, and the records it must refuse.
#include "powercut/replay.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "powercut/call_record.h"
#include "powercut/tree.h"

namespace powercut {
namespace {

// A tree from "path" -> contents; a path ending in "/" is a directory.
// Parents are made as needed; every mode is 0644 (0755 for directories).
Tree treeOf(const std::map<std::string, std::string>& paths) {
  Tree t;
  Node root;
  root.kind = NodeKind::kDirectory;
  root.mode = 0755;
  t.nodes.emplace_back(std::move(root));
  for (const auto& [path, data] : paths) {
    int dir = 0;
    std::size_t start = 1;
    while (start <= path.size()) {
      std::size_t end = path.find('/', start);
      const bool last = end == std::string::npos;
      if (last) end = path.size();
      const std::string name = path.substr(start, end - start);
      start = end + 1;
      if (name.empty()) break;
      auto it = t.at(dir).entries.find(name);
      if (it != t.at(dir).entries.end()) {
        dir = it->second;
        continue;
      }
      Node node;
      node.kind = last ? NodeKind::kFile : NodeKind::kDirectory;
      node.mode = last ? 0644 : 0755;
      if (last) node.data = makeContent(data);
      t.nodes.emplace_back(std::move(node));
      const int number = static_cast<int>(t.nodes.size()) - 1;
      t.at(dir).entries[name] = number;
      dir = number;
    }
  }
  return t;
}

// "path=contents" (files), "path/" (directories), "path->text" (links),
// with " mode NNN" where the mode is not 0644 / 0755; sorted.
void list(const Tree& t, int n, const std::string& path, std::vector<std::string>& out) {
  const Node& node = t.at(n);
  std::string line = path;
  switch (node.kind) {
    case NodeKind::kDirectory:
      if (n != 0) {
        line += "/";
        if (node.mode != 0755) line += " mode " + std::to_string(node.mode);
        out.push_back(line);
      }
      for (const auto& [name, child] : node.entries) list(t, child, path + "/" + name, out);
      return;
    case NodeKind::kSymlink:
      out.push_back(line + "->" + node.data->bytes);
      return;
    case NodeKind::kFile:
      line += "=" + (node.data ? node.data->bytes : std::string());
      if (node.mode != 0644) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%o", node.mode);
        line += std::string(" mode ") + mode;
      }
      out.push_back(line);
      return;
  }
}

std::string listing(const Tree& t) {
  std::vector<std::string> lines;
  list(t, 0, "", lines);
  std::string text;
  for (const auto& l : lines) text += (text.empty() ? "" : " ") + l;
  return text;
}

Replay replayOf(const std::map<std::string, std::string>& initial, const std::string& record,
                const std::string& hostRoot = "/") {
  const RecordOrError calls = parseCallRecord(record);
  EXPECT_EQ(calls.error, "");
  ReplayOrError r = Replay::build(treeOf(initial), calls.calls, hostRoot);
  EXPECT_EQ(r.error, "");
  return std::move(r.replay);
}

std::string cutAt(const Replay& r, std::size_t cut, Model model, std::size_t keep = 0) {
  const Replay::Cut c = r.materialize(cut, model, keep);
  if (!c.error.empty()) return "error: " + c.error;
  return listing(c.tree);
}

// The usual replacement of a file: a temporary beside it, written, flushed,
// given its mode, renamed over the old one.
const char kReplace[] =
    "1 mkstemp 3 600 /d/tmpAAAAAA\n"
    "2 write 3 0 3\nnew\n"
    "3 fsync 3\n"
    "4 fchmod 3 755\n"
    "5 close 3\n"
    "6 rename /d/tmpAAAAAA /d/f\n"
    "7 sync\n";

TEST(ReplayOrdered, KeepsNamesInOrderAndOnlyFlushedBytes) {
  const Replay r = replayOf({{"/d/f", "old"}}, kReplace);
  ASSERT_EQ(r.callCount(), 7u);
  const struct {
    std::size_t cut;
    const char* tree;
  } cases[] = {
      {0, "/d/ /d/f=old"},
      {1, "/d/ /d/f=old /d/tmpAAAAAA= mode 600"},
      {2, "/d/ /d/f=old /d/tmpAAAAAA= mode 600"},  // written, not flushed: empty
      {3, "/d/ /d/f=old /d/tmpAAAAAA=new mode 600"},
      {4, "/d/ /d/f=old /d/tmpAAAAAA=new mode 755"},
      {6, "/d/ /d/f=new mode 755"},
      {7, "/d/ /d/f=new mode 755"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cutAt(r, c.cut, Model::kOrderedMetadata), c.tree) << "cut after " << c.cut;
  }
  EXPECT_EQ(listing(r.finalTree()), "/d/ /d/f=new mode 755");
}

TEST(ReplayOrdered, UnflushedDataIsLostAcrossARename) {
  // Without the fsync the rename lands, and the file it brings is empty.
  const Replay r = replayOf({{"/d/f", "old"}},
                            "1 mkstemp 3 600 /d/tmpAAAAAA\n"
                            "2 write 3 0 3\nnew\n"
                            "3 close 3\n"
                            "4 rename /d/tmpAAAAAA /d/f\n"
                            "5 sync\n");
  EXPECT_EQ(cutAt(r, 4, Model::kOrderedMetadata), "/d/ /d/f= mode 600");
  EXPECT_EQ(cutAt(r, 5, Model::kOrderedMetadata), "/d/ /d/f=new mode 600");
}

TEST(ReplayOrdered, TruncationPersistsWhileTheNewBytesDoNot) {
  const Replay r = replayOf({{"/log", "old lines"}},
                            "1 open 3 241 0 644 /log\n"
                            "2 write 3 0 5\nfresh\n"
                            "3 close 3\n"
                            "4 open 4 1 0 644 /log\n"
                            "5 fdatasync 4\n"
                            "6 truncate 4 2\n");
  EXPECT_EQ(cutAt(r, 1, Model::kOrderedMetadata), "/log=");
  EXPECT_EQ(cutAt(r, 4, Model::kOrderedMetadata), "/log=");
  EXPECT_EQ(cutAt(r, 5, Model::kOrderedMetadata), "/log=fresh");
  EXPECT_EQ(cutAt(r, 6, Model::kOrderedMetadata), "/log=fr");
}

TEST(ReplayWeak, UnflushedNamesAreLostAsAPrefix) {
  const Replay r = replayOf({{"/d/f", "old"}}, kReplace);
  // After the rename nothing covers the names: mkstemp, fchmod and rename.
  ASSERT_EQ(r.unflushedAt(6), 3u);
  EXPECT_EQ(cutAt(r, 6, Model::kWeak, 0), "/d/ /d/f=old");
  EXPECT_EQ(cutAt(r, 6, Model::kWeak, 1), "/d/ /d/f=old /d/tmpAAAAAA=new mode 600");
  EXPECT_EQ(cutAt(r, 6, Model::kWeak, 2), "/d/ /d/f=old /d/tmpAAAAAA=new mode 755");
  EXPECT_EQ(cutAt(r, 6, Model::kWeak, 3), "/d/ /d/f=new mode 755");
  // The sync covers them all.
  EXPECT_EQ(r.unflushedAt(7), 0u);
  EXPECT_EQ(cutAt(r, 7, Model::kWeak, 0), "/d/ /d/f=new mode 755");
}

TEST(ReplayWeak, AnFsyncCoversWhatItFlushesAndNoMore) {
  // Two new files in two directories; only /a is flushed as a directory.
  // The file's own fsync makes its bytes and mode durable, not its name;
  // fdatasync does not cover a mode.
  const Replay r = replayOf({{"/a/", ""}, {"/b/", ""}},
                            "1 open 3 10000 0 755 /a\n"
                            "2 mkstemp 4 600 /a/x\n"
                            "3 mkstemp 5 600 /b/y\n"
                            "4 fchmod 5 644\n"
                            "5 fdatasync 5\n"
                            "6 fchmod 4 640\n"
                            "7 fsync 4\n"
                            "8 fsync 3\n");
  // The mode of x is on the disk, its name is not.
  EXPECT_EQ(cutAt(r, 7, Model::kWeak, 0), "/a/ /b/");
  EXPECT_EQ(r.unflushedAt(8), 2u);  // /b/y and its mode
  EXPECT_EQ(cutAt(r, 8, Model::kWeak, 0), "/a/ /a/x= mode 640 /b/");
  EXPECT_EQ(cutAt(r, 8, Model::kWeak, 1), "/a/ /a/x= mode 640 /b/ /b/y= mode 600");
  EXPECT_EQ(cutAt(r, 8, Model::kWeak, 2), "/a/ /a/x= mode 640 /b/ /b/y=");
}

TEST(ReplayWeak, ADurableOperationBringsTheOnesItStandsOn) {
  // The directory /n itself is not flushed in its parent, but a name made
  // in it is: the disk cannot hold the name without the directory.
  const Replay r = replayOf({},
                            "1 mkdir 755 /n\n"
                            "2 mkdir 755 /other\n"
                            "3 mkstemp 3 600 /n/f\n"
                            "4 open 4 10000 0 755 /n\n"
                            "5 fsync 4\n");
  EXPECT_EQ(r.unflushedAt(5), 2u);  // both directories
  EXPECT_EQ(cutAt(r, 5, Model::kWeak, 0), "/n/ /n/f= mode 600");
  EXPECT_EQ(cutAt(r, 5, Model::kWeak, 2), "/n/ /n/f= mode 600 /other/");
}

TEST(Replay, RamDiskComesBackEmptyAndLinksRemovalsFollow) {
  const Replay r = replayOf({{"/ram/pdb/x/schedule", "uninstall"}, {"/flash/l", "file"}},
                            "1 mkstemp 3 600 /ram/tmpAAAAAA\n"
                            "2 unlink /flash/l\n"
                            "3 symlink /flash/l /flash/target\n"
                            "4 mkdir 700 /flash/d\n"
                            "5 rmdir /flash/d\n");
  EXPECT_EQ(cutAt(r, 0, Model::kOrderedMetadata), "/flash/ /flash/l=file /ram/");
  EXPECT_EQ(cutAt(r, 4, Model::kOrderedMetadata),
            "/flash/ /flash/d/ mode 448 /flash/l->/flash/target /ram/");
  EXPECT_EQ(cutAt(r, 5, Model::kOrderedMetadata), "/flash/ /flash/l->/flash/target /ram/");
}

TEST(Replay, FollowsTheChangeOfRootAndIgnoresWhatLiesOutside) {
  const Replay r = replayOf({{"/flash/f", "old"}},
                            "1 open 3 0 0 444 /etc/ld.so.cache\n"
                            "2 open 4 241 1 644 /elsewhere/log\n"
                            "3 write 4 0 2\nhi\n"
                            "4 open 5 241 0 644 /sandbox/root/flash/f\n"
                            "5 chroot /sandbox/root\n"
                            "6 chdir /\n"
                            "7 open 6 241 0 644 /flash/f\n"
                            "8 write 6 0 3\nnew\n"
                            "9 fsync 6\n",
                            "/sandbox/root");
  EXPECT_EQ(cutAt(r, 3, Model::kOrderedMetadata), "/flash/ /flash/f=old");
  EXPECT_EQ(cutAt(r, 4, Model::kOrderedMetadata), "/flash/ /flash/f=");
  EXPECT_EQ(cutAt(r, 9, Model::kOrderedMetadata), "/flash/ /flash/f=new");
}

TEST(Replay, RefusesARecordThatDoesNotFitTheTree) {
  const struct {
    const char* record;
    const char* error;
  } cases[] = {
      {"1 write 7 0 1\nx\n", "a descriptor the record did not open"},
      {"1 open 3 0 0 644 /missing\n", "the replay lacks the file that was opened"},
      {"1 open 3 241 1 644 /f\n", "the replay has a file where the run made one"},
      {"1 rename /nothing /f\n", "the replay lacks the source"},
      {"1 unlink ?fd9/f\n", "not seen opened"},
      {"1 rmdir /f\n", "the kind of the name removed differs"},
      // A file written where the library did not see it (C stdio, say).
      {"1 open 3 241 1 644 /n\n2 close 3 5\n", "writes the record did not see"},
      {"1 open 3 1 0 644 /f\n2 fsync 3 0\n", "writes the record did not see"},
  };
  for (const auto& c : cases) {
    const RecordOrError calls = parseCallRecord(c.record);
    ASSERT_EQ(calls.error, "") << c.record;
    const ReplayOrError r = Replay::build(treeOf({{"/f", "x"}}), calls.calls, "/");
    EXPECT_NE(r.error.find(c.error), std::string::npos) << c.record << " gave: " << r.error;
  }
}

TEST(CallRecord, ReadsEveryFormAndItsEscapes) {
  const std::string data = std::string("two\nlines\0", 10);
  const RecordOrError r = parseCallRecord(
      "1 open 3 c1 1 600 /a%20b/c%25d\n"
      "2 write 3 4096 10\n" +
      data +
      "\n"
      "3 symlink /l ../x%0Ay\n"
      "4 sync_file_range 3 0 100 2\n"
      "5 dup 3 9\n"
      "6 sync\n"
      "7 close 9 -1\n"
      "8 fsync 3 4106\n");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.calls.size(), 8u);
  EXPECT_EQ(r.calls[0].path, "/a b/c%d");
  EXPECT_EQ(r.calls[0].flags, 0xc1);
  EXPECT_TRUE(r.calls[0].created);
  EXPECT_EQ(r.calls[0].mode, 0600u);
  EXPECT_EQ(r.calls[1].offset, 4096u);
  EXPECT_EQ(r.calls[1].data, data);
  EXPECT_EQ(r.calls[2].path2, "../x\ny");
  EXPECT_EQ(r.calls[4].flags, 9);
  EXPECT_EQ(r.calls[5].kind, CallKind::kSync);
  EXPECT_EQ(r.calls[6].size, -1);
  EXPECT_EQ(r.calls[7].size, 4106);
  EXPECT_EQ(unescapeField(escapeField("a b%\x7f\n")), "a b%\x7f\n");
}

TEST(CallRecord, RefusesWhatIsCutShortOrUnknown) {
  for (const char* text : {
           "1 write 3 0 10\nshort\n",    // data cut short
           "1 rename /a\n",              // a field missing
           "1 mkdir 9x9 /a\n",           // not octal
           "1 unlink /a%2\n",            // a broken escape
           "1 rename-exchange /a /b\n",  // not a rename
           "1 sync",                     // no end of line
       }) {
    EXPECT_NE(parseCallRecord(text).error, "") << text;
  }
}

}  // namespace
}  // namespace powercut
