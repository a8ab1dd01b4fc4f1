#include "txn/manifest_file.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"
#include "txn/manifest.h"

namespace installer {
namespace {

namespace ts = testing_support;

class ManifestFileTest : public ts::RouterDirsTest {
 protected:
  // "op path source" per entry, for comparing whole manifests at once.
  static std::string describe(const Manifest& m) {
    std::string text;
    for (const auto& [path, entry] : m.entries) {
      text += std::to_string(static_cast<unsigned>(entry.op)) + " " + std::string(path) + " [" +
              sourceOf(path, entry) + "]\n";
    }
    return text;
  }
};

TEST_F(ManifestFileTest, WritesOneLinePerEntryInPathOrder) {
  ts::writeFile("/ram/tmpA", "staged");
  Manifest m;
  setEntry(m, "/flash/c", ManifestOp::kLink, "text with blanks");
  setEntry(m, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmpA");
  setEntry(m, "/flash/b", ManifestOp::kRemove, "");
  addMove(m, "/flash/var/pdb/image", "/flash/a-b");
  // Staged in a directory of its target: the line still names it whole.
  setEntry(m, "/flash/d/e", ManifestOp::kMoveStaged, "/flash/tmpB");
  ASSERT_TRUE(writeManifest(m, "/ram/MANIFEST"));
  EXPECT_EQ(ts::readFile("/ram/MANIFEST"),
            "M /flash/a /ram/tmpA\n"
            "M /flash/a-b /flash/var/pdb/image\n"
            "U /flash/b\n"
            "L /flash/c text with blanks\n"
            "M /flash/d/e /flash/tmpB\n");
  EXPECT_EQ(ts::listDir("/ram"), (std::vector<std::string>{"MANIFEST", "tmpA"}));
}

TEST_F(ManifestFileTest, ReadsBackAsMovesOnlySoCancellingDeletesNothing) {
  ts::writeFile("/ram/tmpA", "staged");
  Manifest staged;
  setEntry(staged, "/flash/a", ManifestOp::kMoveStaged, "/ram/tmpA");
  setEntry(staged, "/flash/b", ManifestOp::kRemove, "");
  addLink(staged, "/flash/bootimage", "/flash/var/pdb/p/image");
  ASSERT_TRUE(writeManifest(staged, "/ram/MANIFEST"));

  Manifest back;
  EXPECT_EQ(readManifest(back, "/ram/MANIFEST").load, ManifestLoad::kLoaded);
  EXPECT_EQ(describe(back),
            "0 /flash/a [/ram/tmpA]\n"
            "4 /flash/b []\n"
            "3 /flash/var/pdb/p/image [/flash/bootimage]\n");
  cancelManifest(back);
  EXPECT_TRUE(ts::exists("/ram/tmpA"));
}

TEST_F(ManifestFileTest, RefusesEntriesThatWouldReadBackAsOthers) {
  struct Case {
    const char* name;
    std::string path, source;
  };
  const Case cases[] = {
      {"blank in target", "/flash/a b", "/ram/tmp1"},
      {"newline in target", "/flash/a\nU /flash", "/ram/tmp1"},
      {"newline in source", "/flash/a", "/ram/tmp1\nU /flash/etc"},
      {"empty target", "", "/ram/tmp1"},
  };
  for (const auto& c : cases) {
    ts::writeFile("/ram/MANIFEST", "M /flash/old /ram/tmpOld\n");
    Manifest m;
    addMove(m, "/ram/tmp0", "/flash/first");
    addMove(m, c.source, c.path);
    EXPECT_FALSE(writeManifest(m, "/ram/MANIFEST")) << c.name;
    EXPECT_EQ(ts::readFile("/ram/MANIFEST"), "M /flash/old /ram/tmpOld\n") << c.name;
    EXPECT_EQ(ts::listDir("/ram"), std::vector<std::string>{"MANIFEST"}) << c.name;
  }
}

TEST_F(ManifestFileTest, AnIncompleteWriteLeavesTheOldFile) {
  Manifest m;
  addMove(m, "/ram/tmp1", "/flash/a");
  EXPECT_FALSE(writeManifest(m, "/missing/MANIFEST"));

  if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  ASSERT_TRUE(ts::mountTmpfs("/small", "16k"));
  ts::writeFile("/small/MANIFEST", "U /flash/old\n");
  for (int i = 0; i < 2000; ++i)
    addMove(m, "/ram/tmp" + std::to_string(i), "/flash/f" + std::to_string(i));
  EXPECT_FALSE(writeManifest(m, "/small/MANIFEST"));
  EXPECT_EQ(ts::readFile("/small/MANIFEST"), "U /flash/old\n");
  EXPECT_EQ(ts::listDir("/small"), std::vector<std::string>{"MANIFEST"});
}

TEST_F(ManifestFileTest, ReadingFollowsTheLineRules) {
  struct Case {
    const char* name;
    std::string content;
    ManifestLoad load;
    std::size_t lines;  // taken in before the end or the bad line
    std::string entries;
  };
  constexpr ManifestLoad kLoaded = ManifestLoad::kLoaded;
  constexpr ManifestLoad kMalformed = ManifestLoad::kMalformed;
  const Case cases[] = {
      {"all kinds", "U /a\nL /b text\nM /c /ram/t\n", kLoaded, 3,
       "4 /a []\n3 /b [text]\n0 /c [/ram/t]\n"},
      {"empty file", "", kLoaded, 0, ""},
      {"unknown kind skipped", "X /a /b\nU /c\n", kLoaded, 2, "4 /c []\n"},
      {"link without text stops", "U /a\nL /b\nU /c\n", kMalformed, 1, "4 /a []\n"},
      {"move without source stops", "M /b\nU /c\n", kMalformed, 0, ""},
      {"one field stops", "U /a\nU\nU /c\n", kMalformed, 1, "4 /a []\n"},
      {"empty line ends", "U /a\n\nU /c\n", kLoaded, 1, "4 /a []\n"},
      {"third field keeps the rest", "L /a x  y z \n", kLoaded, 1, "3 /a [x  y z ]\n"},
      {"empty third field", "L /a \n", kLoaded, 1, "3 /a []\n"},
      {"later line replaces", "U /a\nM /a /ram/t\n", kLoaded, 2, "0 /a [/ram/t]\n"},
      {"last line without newline", "U /a\nM /b /ram/t", kLoaded, 2, "4 /a []\n0 /b [/ram/t]\n"},
      {"a skipped line without newline", "X y", kLoaded, 1, ""},
  };
  for (const auto& c : cases) {
    ts::writeFile("/ram/MANIFEST", c.content);
    Manifest m;
    const ManifestRead read = readManifest(m, "/ram/MANIFEST");
    EXPECT_EQ(read.load, c.load) << c.name;
    EXPECT_EQ(read.lines, c.lines) << c.name;
    EXPECT_EQ(describe(m), c.entries) << c.name;
  }
}

TEST_F(ManifestFileTest, AMissingFileLeavesTheManifestAlone) {
  Manifest m;
  addMove(m, "/ram/x", "/flash/x");
  EXPECT_EQ(readManifest(m, "/ram/MANIFEST").load, ManifestLoad::kMissing);
  EXPECT_EQ(describe(m), "0 /flash/x [/ram/x]\n");
}

}  // namespace
}  // namespace installer
