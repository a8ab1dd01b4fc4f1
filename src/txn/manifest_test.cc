#include "txn/manifest.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "txn/paths.h"
#include "txn/planning.h"

namespace installer {
namespace {

namespace ts = testing_support;

// Every test works inside a fresh root with "/ram" and "/flash" of its own.
class ManifestTest : public ts::RouterDirsTest {};

TEST(ParentDir, DropsTrailingSlashesThenTheLastName) {
  const std::pair<const char*, const char*> cases[] = {
      {"/a/b/", "/a"}, {"/a/b", "/a"},   {"a", "."},   {"/", "."},
      {"", "."},       {"/a", "/"},      {"a/b", "a"}, {"//a", "/"},
      {"/a//b", "/a"}, {"/a/b//", "/a"}, {"./x", "."}, {"///", "."},
  };
  for (const auto& [path, parent] : cases) EXPECT_EQ(parentDir(path), parent) << path;
}

TEST_F(ManifestTest, MakeDirsCreatesMissingParentsAndAcceptsExisting) {
  EXPECT_TRUE(makeDirs("/flash/var/pdb/pkg"));
  EXPECT_TRUE(ts::exists("/flash/var/pdb/pkg"));
  EXPECT_TRUE(makeDirs("/flash/var/pdb/pkg"));
  EXPECT_TRUE(makeDirs("relative/dir"));
  EXPECT_TRUE(ts::exists("/relative/dir"));
}

TEST_F(ManifestTest, ReplacingAStagedEntryDeletesItsTemporaryFileOnly) {
  ts::writeFile("/ram/tmp1", "first");
  ts::writeFile("/ram/kept", "plain");
  Manifest m;
  setEntry(m, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmp1");
  addMove(m, "/ram/kept", "/flash/a");
  EXPECT_FALSE(ts::exists("/ram/tmp1"));
  ASSERT_EQ(m.entries.size(), 1u);
  EXPECT_EQ(m.entries.at("/flash/a").op, ManifestOp::kMove);
  EXPECT_EQ(m.entries.at("/flash/a").source, "/ram/kept");

  // A plain move names a file that is not ours: replacing it keeps the file.
  addLink(m, "/elsewhere", "/flash/a");
  EXPECT_TRUE(ts::exists("/ram/kept"));
  EXPECT_EQ(m.entries.at("/flash/a").op, ManifestOp::kLink);
}

// A staged file in one of its target's directories is kept by its name
// alone; every other source whole. Either way the source reads back as it
// was given, also after many more entries were added.
TEST(ManifestEntries, KeepStagedNamesBesideTheirTargetsAndGiveBackWholeSources) {
  struct Case {
    const char* target;
    ManifestOp op;
    const char* source;
    const char* kept;
  } const cases[] = {
      {"/flash/bin/tool", ManifestOp::kMoveStaged, "/flash/bin/tmpAB12CD", "tmpAB12CD"},
      {"/flash/new/dir/f", ManifestOp::kMoveStaged, "/flash/tmpAB12CD", "tmpAB12CD"},
      {"/x", ManifestOp::kMoveStaged, "/tmpAB12CD", "tmpAB12CD"},
      {"/flash/bin/tool", ManifestOp::kMoveStaged, "/ram/tmpAB12CD", "/ram/tmpAB12CD"},
      // Not a directory of the target: a name that only begins the same.
      {"/flash/binary", ManifestOp::kMoveStaged, "/flash/bin/tmpAB12CD", "/flash/bin/tmpAB12CD"},
      {"/flash/bin", ManifestOp::kMoveStaged, "/flash/bin/tmpAB12CD", "/flash/bin/tmpAB12CD"},
      {"/flash/bin/tool", ManifestOp::kMove, "/flash/bin/other", "/flash/bin/other"},
      {"/flash/bin/link", ManifestOp::kLink, "tool", "tool"},
  };
  Manifest m;
  Planning planning;
  m.planning = &planning;  // nothing to delete when an entry is replaced
  for (const Case& c : cases) {
    setEntry(m, c.target, c.op, c.source);
    const ManifestEntry& entry = m.entries.at(c.target);
    EXPECT_EQ(entry.source, c.kept) << c.target << " " << c.source;
    EXPECT_EQ(sourceOf(c.target, entry), c.source) << c.target;
  }
  std::vector<std::string> targets;
  for (int i = 0; i < 3000; ++i) {
    targets.push_back("/flash/dir" + std::to_string(i % 7) + "/file-with-a-longer-name-" +
                      std::to_string(i));
    setEntry(m, targets.back(), ManifestOp::kMoveStaged,
             "/flash/dir" + std::to_string(i % 7) + "/tmp" + std::to_string(100000 + i));
  }
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(sourceOf(targets[i], m.entries.at(targets[i])),
              "/flash/dir" + std::to_string(i % 7) + "/tmp" + std::to_string(100000 + i));
  }
  EXPECT_EQ(sourceOf("/x", m.entries.at("/x")), "/tmpAB12CD");
  std::string last;
  for (const auto& [path, entry] : m.entries) {
    EXPECT_LT(last, path);
    last = path;
  }
}

TEST_F(ManifestTest, CancelDeletesOnlyStagedSources) {
  ts::writeFile("/ram/tmp1", "staged");
  ts::writeFile("/ram/plain", "plain");
  ts::writeFile("/flash/old", "old");
  Manifest m;
  setEntry(m, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmp1");
  addMove(m, "/ram/plain", "/flash/b");
  setEntry(m, "/flash/old", ManifestOp::kRemove, "");
  addLink(m, "/ram/plain", "/flash/c");
  cancelManifest(m);
  EXPECT_TRUE(m.empty());
  EXPECT_FALSE(ts::exists("/ram/tmp1"));
  EXPECT_TRUE(ts::exists("/ram/plain"));
  EXPECT_TRUE(ts::exists("/flash/old"));
  EXPECT_FALSE(ts::exists("/flash/c"));
}

}  // namespace
}  // namespace installer
