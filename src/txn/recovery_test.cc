#include "txn/recovery.h"

#include <gtest/gtest.h>

#include <string>

#include "support/sandbox.h"
#include "txn/journal.h"

namespace installer {
namespace {

namespace ts = testing_support;

class RecoveryTest : public ts::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
    ts::makeDirs(kStagedListDir);
    ts::makeDirs("/ram");
  }
};

// A run that replaced "/flash/a" was cut short after its renames. The list
// names the staged file, the backup of the old one and a staged file the run
// never used. Finished, the placed name is not the run's any more: a file
// that stands there now is someone else's and stays. Undone, the staged file
// is back under its name and goes with the other temporaries. A journal of
// the form earlier versions wrote is recovered alike.
TEST_F(RecoveryTest, AnInterruptedCommitIsFinishedOrUndoneWithoutTouchingOthersFiles) {
  const std::string placed = "/flash/tmpPlaced";
  const std::string backup = "/flash/tmpBackup";
  const std::string unused = "/flash/tmpUnused";
  const struct {
    const char* name;
    bool olderForm;
    bool committed;
    RecoveryOutcome outcome;
    const char* a;
    bool placedStays;
  } cases[] = {
      {"committed", false, true, RecoveryOutcome::kFinished, "new", true},
      {"not committed", false, false, RecoveryOutcome::kRolledBack, "old", false},
      {"older form, committed", true, true, RecoveryOutcome::kFinished, "new", true},
      {"older form, not committed", true, false, RecoveryOutcome::kRolledBack, "old", false},
  };
  for (const auto& c : cases) {
    ts::writeFile(backup, "old");
    ts::writeFile("/flash/a", "new");
    // After the renames: in the finished case someone else's file took the
    // free name; in the undone case it is free for the staged file again.
    if (c.committed) ts::writeFile(placed, "someone else's");
    ts::writeFile(unused, "staged, not used");
    {
      TemporaryLog log;
      for (const std::string& path : {placed, backup, unused}) ASSERT_TRUE(log.note(path));
    }
    std::string journal;
    if (c.olderForm) {
      journal = std::string(kJournalHeaderFull) + "\nB /flash/a " + backup + "\nP /flash/a " +
                placed + "\nE\n";
    } else {
      journal = std::string(kJournalHeader) + "\n";
      JournalEncoder encoder;
      encoder.append({StepKind::kBackUp, "/flash/a", backup}, journal);
      encoder.append({StepKind::kPlace, "/flash/a", placed}, journal);
      journal += journalMark('E');
    }
    if (c.committed) journal += c.olderForm ? "C\n" : journalMark('C');
    ts::writeFile(kJournalPath, journal);

    EXPECT_EQ(recoverInterruptedRun(), c.outcome) << c.name;
    EXPECT_EQ(ts::readFile("/flash/a"), c.a) << c.name;
    EXPECT_EQ(ts::exists(placed), c.placedStays) << c.name;
    if (c.placedStays) {
      EXPECT_EQ(ts::readFile(placed), "someone else's") << c.name;
    }
    for (const std::string& gone : {backup, unused, std::string(kJournalPath)}) {
      EXPECT_FALSE(ts::exists(gone)) << c.name << ": " << gone;
    }
    EXPECT_FALSE(temporariesListed(TemporaryList::kRun)) << c.name;
    ts::removeTree(placed);
  }
}

// A journal whose steps name what no commit writes (a user's file outside
// the flash, a backup of another form) is damage: recovery changes nothing,
// neither the files it names nor the listed backups. Set aside, it and the
// list are kept for inspection and the next start finds nothing to do.
TEST_F(RecoveryTest, ADamagedOrUnconfinedJournalChangesNothingUntilSetAside) {
  const std::string backup = "/flash/tmpBackup";
  const struct {
    const char* name;
    JournalStep step;
  } cases[] = {
      {"a target outside the flash", {StepKind::kPlace, "/rw/data/config", "/flash/tmpSource"}},
      {"a backup outside the flash", {StepKind::kBackUp, "/flash/a", "/rw/data/tmpAbcdef"}},
      {"a source of another form", {StepKind::kPlace, "/flash/a", "/rw/data/config"}},
      {"a way out through ..", {StepKind::kMakeDir, "/flash/../rw/x", ""}},
  };
  for (const auto& c : cases) {
    ts::writeFile("/rw/data/config", "user's");
    ts::writeFile("/flash/a", "new");
    ts::writeFile(backup, "old");
    {
      TemporaryLog log;
      ASSERT_TRUE(log.note(backup));
    }
    std::string journal = std::string(kJournalHeader) + "\n";
    JournalEncoder encoder;
    encoder.append({StepKind::kBackUp, "/flash/a", backup}, journal);
    encoder.append(c.step, journal);
    journal += journalMark('E');
    ts::writeFile(kJournalPath, journal);

    std::string damaged;
    EXPECT_EQ(recoverInterruptedRun(&damaged), RecoveryOutcome::kDamaged) << c.name;
    EXPECT_EQ(damaged, kJournalPath) << c.name;
    EXPECT_EQ(ts::readFile("/rw/data/config"), "user's") << c.name;
    EXPECT_EQ(ts::readFile("/flash/a"), "new") << c.name;
    EXPECT_EQ(ts::readFile(backup), "old") << c.name;
    EXPECT_EQ(ts::readFile(kJournalPath), journal) << c.name;

    std::string where;
    ASSERT_TRUE(setAsideRecoveryState(where)) << c.name;
    EXPECT_EQ(ts::readFile(where + "/journal"), journal) << c.name;
    EXPECT_TRUE(ts::exists(where + "/staged.d")) << c.name;
    EXPECT_FALSE(recoveryPending()) << c.name;
    EXPECT_EQ(recoverInterruptedRun(), RecoveryOutcome::kNothingToDo) << c.name;
    EXPECT_EQ(ts::readFile(backup), "old") << c.name << ": kept for the administrator";
    ts::removeTree(where);
  }
  std::string where;
  EXPECT_FALSE(setAsideRecoveryState(where)) << "nothing to set aside";
}

}  // namespace
}  // namespace installer
