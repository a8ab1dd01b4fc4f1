// The record of a real run against the tree the run left: replaying every
// call must give that tree exactly (so the record misses no change), and a
// cut after the last call must too, but for the message log (so the run
// ends with everything flushed).
#include <gtest/gtest.h>

#include <string>

#include "powercut/call_record.h"
#include "powercut/replay.h"
#include "powercut/tree.h"
#include "support/fault_run.h"
#include "support/sandbox.h"
#include "support/upgrade_system.h"

namespace powercut {
namespace {

namespace ts = testing_support;

ts::TreeState onDisk(const Tree& tree, const std::string& dir) {
  EXPECT_EQ(writeTree(tree, dir), "");
  return ts::snapshotTree(dir);
}

ts::TreeState withoutRamAndLog(ts::TreeState state) {
  for (auto it = state.begin(); it != state.end();) {
    const bool drop = it->first.starts_with("/ram/") || it->first == "/flash/postlog";
    it = drop ? state.erase(it) : std::next(it);
  }
  return state;
}

TEST(RecordedRun, ReplayingTheWholeRecordGivesTheTreeTheRunLeft) {
  if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  ts::SweepArea area;
  ts::CaseRoot root(area);
  ts::CaseRoot records(area);
  ASSERT_TRUE(ts::prepareUpgradeSystem(root.path(), {2, 6}));
  const TreeOrError before = loadTree(root.path());
  ASSERT_EQ(before.error, "");
  const ts::TreeState beforeState = ts::snapshotTree(root.path());

  ts::RunOptions options = ts::withFault({});
  options.env["FAULT_RECORD"] = records / "/calls";
  const ts::RunResult run = ts::upgradeRun(root.path(), options);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  const ts::TreeState after = ts::snapshotTree(root.path());

  const RecordOrError calls = readCallRecord(records / "/calls");
  ASSERT_EQ(calls.error, "");
  const ReplayOrError built = Replay::build(before.tree, calls.calls, root.path());
  ASSERT_EQ(built.error, "");
  const Replay& replay = built.replay;

  ts::CaseRoot live(area);
  EXPECT_EQ(ts::describeDifference(after, onDisk(replay.finalTree(), live.path())), "");

  const Replay::Cut last = replay.materialize(replay.callCount(), Model::kOrderedMetadata);
  ASSERT_EQ(last.error, "");
  ts::CaseRoot cut(area);
  EXPECT_EQ(ts::describeDifference(withoutRamAndLog(after),
                                   withoutRamAndLog(onDisk(last.tree, cut.path()))),
            "");

  // A cut before the first call leaves the tree as it was, under either
  // model.
  for (const Model model : {Model::kOrderedMetadata, Model::kWeak}) {
    const Replay::Cut none = replay.materialize(0, model);
    ASSERT_EQ(none.error, "");
    ts::CaseRoot dir(area);
    EXPECT_EQ(ts::describeDifference(withoutRamAndLog(beforeState),
                                     withoutRamAndLog(onDisk(none.tree, dir.path()))),
              "")
        << modelName(model);
  }
}

}  // namespace
}  // namespace powercut
