// Trees in memory against the disk: what is loaded is written back alike,
// and the fingerprint tells apart what differs in any of the ways the
// sweep compares.
#include "powercut/tree.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/sandbox.h"

namespace powercut {
namespace {

namespace ts = testing_support;

TEST(Tree, LoadsAndWritesBackFilesModesLinksAndHardLinks) {
  ts::TempRoot from;
  ts::makeDirs(from / "/flash/bin");
  ts::writeFile(from / "/flash/bin/tool", std::string("bin\0ary", 7), 0755);
  ts::writeFile(from / "/flash/empty", "", 0600);
  ASSERT_EQ(symlink("/flash/bin/tool", (from / "/flash/link").c_str()), 0);
  ASSERT_EQ(link((from / "/flash/empty").c_str(), (from / "/flash/same").c_str()), 0);
  ASSERT_EQ(chmod((from / "/flash/bin").c_str(), 0700), 0);

  const TreeOrError loaded = loadTree(from.path());
  ASSERT_EQ(loaded.error, "");
  EXPECT_EQ(loaded.tree.find("/flash/empty"), loaded.tree.find("/flash/same"));
  EXPECT_EQ(loaded.tree.find("/flash/missing"), -1);

  ts::TempRoot to;
  ASSERT_EQ(writeTree(loaded.tree, to.path()), "");
  EXPECT_EQ(ts::treeListing(to.path()), ts::treeListing(from.path()));
  struct stat a, b;
  ASSERT_EQ(stat((to / "/flash/empty").c_str(), &a), 0);
  ASSERT_EQ(stat((to / "/flash/same").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);

  const TreeOrError again = loadTree(to.path());
  ASSERT_EQ(again.error, "");
  EXPECT_EQ(fingerprint(again.tree), fingerprint(loaded.tree));
}

TEST(Tree, FingerprintSeesContentsModesKindsAndNames) {
  Tree base;
  Node root;
  root.kind = NodeKind::kDirectory;
  base.nodes.emplace_back(root);
  Node file;
  file.mode = 0644;
  file.data = makeContent("abc");
  base.nodes.emplace_back(file);
  base.at(0).entries["f"] = 1;
  const std::string original = fingerprint(base);

  std::vector<Tree> variants(4, base);
  variants[0].at(1).data = makeContent("abd");
  variants[1].at(1).mode = 0755;
  variants[2].at(1).kind = NodeKind::kSymlink;
  variants[3].at(0).entries.clear();
  variants[3].at(0).entries["g"] = 1;
  for (const Tree& t : variants) EXPECT_NE(fingerprint(t), original);
  EXPECT_EQ(fingerprint(base), original);
}

}  // namespace
}  // namespace powercut
