#include "txn/journal.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

constexpr StepKind D = StepKind::kMakeDir;
constexpr StepKind B = StepKind::kBackUp;
constexpr StepKind P = StepKind::kPlace;
constexpr StepKind R = StepKind::kRemoveDir;

std::string describe(const JournalStep& step) {
  return std::string(1, static_cast<char>(step.kind)) + " [" + step.path + "] [" + step.other + "]";
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Decodes `lines` after `header`; the steps up to the first line that is no
// step, and what that line was.
std::vector<JournalStep> decodeAll(const char* header, const std::vector<std::string>& lines,
                                   JournalRecord& stop) {
  JournalDecoder decoder;
  EXPECT_TRUE(decoder.start(header));
  std::vector<JournalStep> steps;
  stop = JournalRecord::kCut;
  for (const std::string& line : lines) {
    JournalStep step;
    stop = decoder.decode(line, step);
    if (stop != JournalRecord::kStep) break;
    steps.push_back(step);
  }
  return steps;
}

// Each sequence of steps is written as the lines shown, and those lines
// decode to the same steps, byte for byte.
TEST(JournalCodecTest, StepsAreWrittenDenselyAndReadBackExactly) {
  const struct {
    const char* name;
    std::vector<JournalStep> steps;
    std::vector<std::string> lines;
  } cases[] = {
      {"files of one directory staged beside them",
       {{P, "/flash/bin/a", "/flash/bin/tmpAAAAAA"}, {P, "/flash/bin/b", "/flash/bin/tmpBBBBBB"}},
       {"P /flash/bin/a /flash/bin/tmpAAAAAA", "P b tmpBBBBBB"}},
      {"new directories, temporaries where the nearest existing one is",
       {{D, "/flash/usr", ""},
        {D, "/flash/usr/lib", ""},
        {P, "/flash/usr/lib/a.so", "/flash/tmpAAAAAA"},
        {P, "/flash/usr/lib/b.so", "/flash/tmpBBBBBB"},
        {P, "/flash/usr/c", "/flash/tmpCCCCCC"}},
       {"D /flash/usr", "D /flash/usr/lib", "P /flash/usr/lib/a.so /flash/tmpAAAAAA",
        "P b.so tmpBBBBBB", "P /flash/usr/c tmpCCCCCC"}},
      {"a file replaced: its backup and its source share its directory",
       {{B, "/flash/etc/x", "/flash/etc/tmpOLDOLD"}, {P, "/flash/etc/x", "/flash/etc/tmpNEWNEW"}},
       {"B /flash/etc/x /flash/etc/tmpOLDOLD", "P x tmpNEWNEW"}},
      {"a source in another directory is written whole",
       {{P, "/flash/a", "/flash/tmpAAAAAA"},
        {P, "/flash/b", "/ram/tmpBBBBBB"},
        {P, "/flash/c", "/flash/tmpCCCCCC"}},
       {"P /flash/a /flash/tmpAAAAAA", "P b /ram/tmpBBBBBB", "P c /flash/tmpCCCCCC"}},
      {"the root directory and names right below it",
       {{P, "/a", "/tmpAAAAAA"}, {P, "/b", "/tmpBBBBBB"}, {R, "/", ""}, {D, "/c", ""}},
       {"P /a /tmpAAAAAA", "P b tmpBBBBBB", "R /", "D c"}},
      {"removals: backups of a directory's files, then the directory",
       {{B, "/flash/old/a", "/flash/old/tmpAAAAAA"},
        {B, "/flash/old/b", "/flash/old/tmpBBBBBB"},
        {R, "/flash/old", ""},
        {D, "/flash/new", ""}},
       {"B /flash/old/a /flash/old/tmpAAAAAA", "B b tmpBBBBBB", "R /flash/old", "D new"}},
      {"escaped names",
       {{P, "/flash/a b", "/flash/tmpAAAAAA"},
        {P, "/flash/100%", "/flash/tmpBBBBBB"},
        {P, "/flash/\t\x7F\xC3\xA9\n", "/flash/tmpCCCCCC"},
        {P, "/flash/sub dir/x", "/flash/tmpDDDDDD"}},
       {"P /flash/a%20b /flash/tmpAAAAAA", "P 100%25 tmpBBBBBB", "P %09%7F\xC3\xA9%0A tmpCCCCCC",
        "P /flash/sub%20dir/x tmpDDDDDD"}},
      {"names that are marks or kinds stay names of steps",
       {{R, "/flash/x", ""}, {R, "/flash/E", ""}, {D, "/flash/C", ""}, {P, "/flash/P", "/flash/K"}},
       {"R /flash/x", "R E", "D C", "P P /flash/K"}},
      {"names that look like relative paths",
       {{P, "/flash/d/x", "/flash/d/tmpAAAAAA"},
        {P, "/flash/d/..", "/flash/d/."},
        {P, "/flash/d/", "/flash/d/tmpBBBBBB"},
        {P, "/flash/d/.hidden", "/flash/d/tmpCCCCCC"}},
       {"P /flash/d/x /flash/d/tmpAAAAAA", "P .. .", "P /flash/d/ tmpBBBBBB",
        "P .hidden tmpCCCCCC"}},
      {"paths that do not begin with a slash",
       {{P, "a", "/flash/tmpAAAAAA"},
        {P, "/flash/b", "d/tmpBBBBBB"},
        {P, "/flash/c", "/flash/tmpCCCCCC"},
        {P, "./e", "./tmpDDDDDD"}},
       {"P ./a /flash/tmpAAAAAA", "P /flash/b ./d/tmpBBBBBB", "P c /flash/tmpCCCCCC",
        "P ././e ././tmpDDDDDD"}},
  };
  for (const auto& c : cases) {
    JournalEncoder encoder;
    std::string text;
    for (const JournalStep& step : c.steps) encoder.append(step, text);
    EXPECT_EQ(linesOf(text), c.lines) << c.name;
    EXPECT_TRUE(text.ends_with('\n')) << c.name;

    JournalRecord stop;
    const std::vector<JournalStep> steps = decodeAll(kJournalHeader, linesOf(text), stop);
    EXPECT_EQ(stop, JournalRecord::kStep) << c.name << ": every line decodes";
    ASSERT_EQ(steps.size(), c.steps.size()) << c.name;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(describe(steps[i]), describe(c.steps[i])) << c.name << ", step " << i;
    }
  }
}

// Lines that no encoder writes end the steps where they stand.
TEST(JournalCodecTest, LinesThatDoNotDecodeAreGarbled) {
  const struct {
    const char* name;
    std::vector<std::string> lines;
    std::size_t stepsBefore;
  } cases[] = {
      {"a name with no path before it", {"P a /flash/tmpAAAAAA"}, 0},
      {"a source name with no source before it", {"P /flash/a tmpAAAAAA"}, 0},
      {"a name after a path that is not absolute", {"P ./a /flash/tmpAAAAAA", "P b tmpBBBBBB"}, 1},
      {"a slash inside a name", {"P /flash/a /flash/tmpA", "P b/c tmpB"}, 1},
      {"an empty unrooted path", {"D ./"}, 0},
      {"a cut escape", {"D /flash/a%2"}, 0},
      {"a bad escape", {"D /flash/a%zz"}, 0},
      {"a lower-case escape", {"D /flash/a%2f"}, 0},
      {"a byte that is always escaped", {std::string("D /flash/a\tb")}, 0},
      {"an unknown kind", {"X /flash/a"}, 0},
      {"an unknown mark", {"D /flash/a", "Z"}, 1},
      {"a second path for a one-path kind", {"D /flash/a /flash/b"}, 0},
      {"a missing second path", {"P /flash/a"}, 0},
      {"an empty second path", {"P /flash/a "}, 0},
      {"no blank after the kind", {"P/flash/a /flash/b"}, 0},
      {"an empty line", {"D /flash/a", ""}, 1},
  };
  for (const auto& c : cases) {
    JournalRecord stop;
    const std::vector<JournalStep> steps = decodeAll(kJournalHeader, c.lines, stop);
    EXPECT_EQ(stop, JournalRecord::kGarbled) << c.name;
    EXPECT_EQ(steps.size(), c.stepsBefore) << c.name;
  }
}

// The form earlier versions wrote takes every field as a whole path; its
// journals are read as they were meant.
TEST(JournalCodecTest, TheOlderFormIsReadAsWritten) {
  JournalRecord stop;
  const std::vector<JournalStep> steps =
      decodeAll(kJournalHeaderFull,
                {"D /flash/new", "B /flash/a%20b /flash/tmpOLDOLD", "P /flash/a%20b /ram/tmpNEWNEW",
                 "P b tmpBBBBBB", "R /flash/gone", "E"},
                stop);
  EXPECT_EQ(stop, JournalRecord::kEnd);
  const std::vector<std::string> expected = {
      "D [/flash/new] []",
      "B [/flash/a b] [/flash/tmpOLDOLD]",
      "P [/flash/a b] [/ram/tmpNEWNEW]",
      "P [b] [tmpBBBBBB]",
      "R [/flash/gone] []",
  };
  ASSERT_EQ(steps.size(), expected.size());
  for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(describe(steps[i]), expected[i]);

  JournalDecoder decoder;
  EXPECT_FALSE(decoder.start("installer-journal 3"));
  EXPECT_FALSE(decoder.start(""));
}

class JournalFileTest : public ::testing::Test {
 protected:
  std::string write(const std::string& text) {
    ts::writeFile(path_, text);
    return path_;
  }

  ts::TempRoot dir_;
  std::string path_ = dir_ / "/.journal";
};

// A journal of a commit: the steps count only once it is complete, the
// commit only with its mark, and a journal cut anywhere yields either no
// steps or all of them, never others.
TEST_F(JournalFileTest, AJournalCutAnywhereYieldsAllItsStepsOrNone) {
  const std::vector<JournalStep> steps = {
      {D, "/flash/n", ""},
      {B, "/flash/n/../a", "/flash/tmpOLDOLD"},
      {P, "/flash/n/b", "/flash/tmpBBBBBB"},
      {P, "/flash/n/c", "/ram/tmpCCCCCC"},
      {R, "/flash/old", ""},
  };
  std::string text = std::string(kJournalHeader) + "\nK\n";
  JournalEncoder encoder;
  for (const JournalStep& step : steps) encoder.append(step, text);
  const std::size_t ended = text.size() + 2;
  text += "E\n";
  const std::size_t committed = text.size() + 2;
  text += "C\n";

  for (std::size_t size = 0; size <= text.size(); ++size) {
    JournalContents journal;
    ASSERT_TRUE(readJournal(write(text.substr(0, size)), journal)) << size;
    EXPECT_EQ(journal.complete, size >= ended) << size;
    EXPECT_EQ(journal.committed, size >= committed) << size;
    EXPECT_EQ(journal.keptManifest, size >= std::string(kJournalHeader).size() + 3) << size;
    if (!journal.complete) {
      EXPECT_TRUE(journal.steps.empty()) << size;
      continue;
    }
    ASSERT_EQ(journal.steps.size(), steps.size()) << size;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      EXPECT_EQ(describe(journal.steps[i]), describe(steps[i])) << size;
    }
  }

  JournalContents journal;
  EXPECT_FALSE(readJournal(dir_ / "/none", journal));
}

TEST_F(JournalFileTest, AGarbledLineEndsTheOperationsAsIfCutThere) {
  const std::string header = std::string(kJournalHeader) + "\n";
  const struct {
    const char* name;
    std::string text;
    bool complete;
    bool committed;
  } cases[] = {
      {"a garbled step: the journal never completed", header + "D /flash/a\nD a/b\nE\nC\n", false,
       false},
      {"a garbled line after the end: not committed", header + "D /flash/a\nE\nX\nC\n", true,
       false},
      {"a step after the end: not committed", header + "D /flash/a\nE\nD /flash/b\nC\n", true,
       false},
      {"abandoned after the commit", header + "D /flash/a\nE\nC\nA\n", true, false},
      {"a commit mark before the end", header + "D /flash/a\nC\nE\n", false, false},
      {"another header", "installer-journal 3\nD /flash/a\nE\nC\n", false, false},
  };
  for (const auto& c : cases) {
    JournalContents journal;
    ASSERT_TRUE(readJournal(write(c.text), journal)) << c.name;
    EXPECT_EQ(journal.complete, c.complete) << c.name;
    EXPECT_EQ(journal.committed, c.committed) << c.name;
    EXPECT_EQ(journal.steps.size(), c.complete ? 1u : 0u) << c.name;
  }
}

}  // namespace
}  // namespace installer
