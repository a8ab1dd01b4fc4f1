#include "txn/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

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

// The lines without their checks (a blank and eight hex digits).
std::vector<std::string> withoutChecks(std::vector<std::string> lines) {
  for (std::string& line : lines) {
    EXPECT_GT(line.size(), 9u) << line;
    if (line.size() > 9) line.resize(line.size() - 9);
  }
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
      {"the root directory, names right below it, and doubled slashes",
       {{P, "/a", "/tmpAAAAAA"},
        {P, "/b", "/tmpBBBBBB"},
        {R, "/", ""},
        {D, "/c", ""},
        {D, "//d", ""},
        {D, "//e", ""},
        {D, "/f//g", ""},
        {D, "/f/h", ""}},
       {"P /a /tmpAAAAAA", "P b tmpBBBBBB", "R /", "D c", "D //d", "D e", "D /f//g", "D /f/h"}},
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
    EXPECT_EQ(withoutChecks(linesOf(text)), c.lines) << c.name;
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

// Lines that no encoder writes end the steps where they stand (the form
// before checks decodes the same text).
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
    const std::vector<JournalStep> steps = decodeAll(kJournalHeaderDense, c.lines, stop);
    EXPECT_EQ(stop, JournalRecord::kGarbled) << c.name;
    EXPECT_EQ(steps.size(), c.stepsBefore) << c.name;
  }
  // In the current form a line must carry its own check: the CRC-32 of its
  // text (that of zlib), in hex.
  EXPECT_EQ(journalMark('E'), "E d4b45a92\n");
  std::string line;
  JournalEncoder().append({P, "/flash/a", "/flash/tmpAAAAAA"}, line);
  line.pop_back();
  JournalRecord stop;
  EXPECT_EQ(decodeAll(kJournalHeader, {line}, stop).size(), 1u);
  for (const std::string& bad :
       std::vector<std::string>{line.substr(0, line.size() - 9), line.substr(0, line.size() - 1),
                                line + "0", "E", "E 00000000"}) {
    EXPECT_TRUE(decodeAll(kJournalHeader, {bad}, stop).empty()) << bad;
    EXPECT_EQ(stop, JournalRecord::kGarbled) << bad;
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
  EXPECT_FALSE(decoder.start("installer-journal 4"));
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
  std::string text = std::string(kJournalHeader) + "\n" + journalMark('K');
  const std::size_t kept = text.size();
  JournalEncoder encoder;
  for (const JournalStep& step : steps) encoder.append(step, text);
  text += journalMark('E');
  const std::size_t ended = text.size();
  text += journalMark('C');
  const std::size_t committed = text.size();

  for (std::size_t size = 0; size <= text.size(); ++size) {
    JournalContents journal;
    ASSERT_TRUE(readJournal(write(text.substr(0, size)), journal)) << size;
    ASSERT_NE(journal.state, JournalState::kDamaged) << "a cut is no damage: " << size;
    EXPECT_EQ(journal.complete, size >= ended) << size;
    EXPECT_EQ(journal.committed, size >= committed) << size;
    EXPECT_EQ(journal.keptManifest, size >= kept) << size;
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

// A journal that a commit did not leave, whole or cut, is damaged: nothing
// of it may be acted on. Marks out of order, unknown forms and lines that do
// not decode are damage in every form.
TEST_F(JournalFileTest, WhatNoCommitWroteIsDamaged) {
  const std::string dense = std::string(kJournalHeaderDense) + "\n";
  const std::string current = std::string(kJournalHeader) + "\n";
  std::string step;
  JournalEncoder().append({D, "/flash/a", ""}, step);
  const std::string e = journalMark('E');
  const std::string c = journalMark('C');
  const struct {
    const char* name;
    std::string text;
    JournalState state;
    bool committed;
  } cases[] = {
      {"whole and committed", current + step + e + c, JournalState::kComplete, true},
      {"abandoned after the commit", current + step + e + c + journalMark('A'),
       JournalState::kComplete, false},
      {"cut in its header", current.substr(0, 8), JournalState::kIncomplete, false},
      {"cut before the end", current + step, JournalState::kIncomplete, false},
      {"empty", "", JournalState::kIncomplete, false},
      {"a garbled step", dense + "D /flash/a\nD a/b\nE\nC\n", JournalState::kDamaged, false},
      {"a garbled line after the end", dense + "D /flash/a\nE\nX\nC\n", JournalState::kDamaged,
       false},
      {"a step after the end", dense + "D /flash/a\nE\nD /flash/b\nC\n", JournalState::kDamaged,
       false},
      {"a commit mark before the end", dense + "D /flash/a\nC\nE\n", JournalState::kDamaged, false},
      {"another header", "installer-journal 4\nD /flash/a\nE\nC\n", JournalState::kDamaged, false},
      {"a header no version wrote, cut", "installer-jovrnal", JournalState::kDamaged, false},
      {"a step without its check", current + "D /flash/a\n" + e + c, JournalState::kDamaged, false},
      {"a last line no writer begins", current + step + e + "E 12345678x", JournalState::kDamaged,
       false},
  };
  for (const auto& k : cases) {
    JournalContents journal;
    ASSERT_TRUE(readJournal(write(k.text), journal)) << k.name;
    EXPECT_EQ(journal.state, k.state) << k.name;
    EXPECT_EQ(journal.committed, k.committed) << k.name;
    EXPECT_EQ(journal.steps.size(), k.state == JournalState::kComplete ? 1u : 0u) << k.name;
  }
}

// One bit flipped anywhere in a journal that was completed, committed or
// not, makes it damaged: never a journal cut before its end, whose
// rollback would remove the backups.
TEST_F(JournalFileTest, OneFlippedBitAnywhereIsDamage) {
  std::string whole = std::string(kJournalHeader) + "\n";
  JournalEncoder encoder;
  encoder.append({D, "/flash/n", ""}, whole);
  encoder.append({B, "/flash/n/a", "/flash/n/tmpOLDOLD"}, whole);
  encoder.append({P, "/flash/n/a", "/flash/n/tmpNEWNEW"}, whole);
  whole += journalMark('E');
  for (const std::string& text : {whole, whole + journalMark('C')}) {
    for (std::size_t at = 0; at < text.size(); ++at) {
      for (int bit = 0; bit < 8; ++bit) {
        std::string flipped = text;
        flipped[at] = static_cast<char>(flipped[at] ^ (1 << bit));
        JournalContents journal;
        ASSERT_TRUE(readJournal(write(flipped), journal));
        EXPECT_EQ(journal.state, JournalState::kDamaged) << "byte " << at << ", bit " << bit;
      }
    }
  }
  // Not regular files: no journal, and nothing waits.
  ASSERT_EQ(mkfifo((dir_ / "/fifo").c_str(), 0600), 0);
  JournalContents journal;
  EXPECT_FALSE(readJournal(dir_ / "/fifo", journal));
}

}  // namespace
}  // namespace installer
