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
      journal += "E\n";
    }
    if (c.committed) journal += "C\n";
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

}  // namespace
}  // namespace installer
