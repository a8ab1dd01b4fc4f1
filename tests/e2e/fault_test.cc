// Fault injection into the real installer: the Nth call that changes the
// file system fails (ENOSPC, EIO, EACCES) for every N in turn. Each run must
// report the failure, and "/flash" must be unchanged, or -- for failures
// during the commit itself -- hold every path in its old or its new state.
// FAULT_SWEEP_FULL=1 tries every N; otherwise a spread sample keeps CI short.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/fault_run.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;

const std::vector<std::string> kErrors = {"ENOSPC", "EIO", "EACCES"};

bool fullSweep() {
  const char* full = std::getenv("FAULT_SWEEP_FULL");
  return full != nullptr && std::string(full) == "1";
}

// Every N when sweeping fully; else the first and last few and an even
// spread of about `samples` between them.
std::vector<long> pointsToTry(long count, long samples) {
  std::vector<long> points;
  if (fullSweep() || count <= samples) {
    for (long n = 1; n <= count; ++n) points.push_back(n);
    return points;
  }
  const long step = count / samples + 1;
  for (long n = 1; n <= count; ++n) {
    if (n <= 3 || n > count - 3 || n % step == 0) points.push_back(n);
  }
  return points;
}

struct SweepCounts {
  std::string name;
  int tried = 0;
  int refused = 0;            // failure reported, "/flash" unchanged
  int acceptedIdentical = 0;  // the run ended as a run without the fault
  int commitPartial = 0;      // failure reported during the commit, old-or-new holds
  std::vector<std::string> other;

  void print() const {
    std::printf("[%s] tried %d, refused %d, accepted-identical %d, commit-partial %d, other %zu\n",
                name.c_str(), tried, refused, acceptedIdentical, commitPartial, other.size());
  }
};

// ---------------------------------------------------------------------------
// The commit of a staged manifest ("--commit"): removals, a link, moves into
// existing and new directories.

class CommitFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  }

  static void prepare(const ts::TempRoot& root) {
    ts::writeFile(root / "/flash/bin/keep", "keep");
    ts::writeFile(root / "/flash/bin/replace", "old replace");
    ts::writeFile(root / "/flash/bin/remove", "old remove");
    ts::writeFile(root / "/flash/lib/dir/x", "x");
    ts::writeFile(root / "/flash/lib/dir/y", "y");
    ts::writeFile(root / "/flash/bin/tmpAAAAAA", "new replace", 0755);
    ts::writeFile(root / "/flash/tmpBBBBBB", "new file");
    ts::writeFile(root / "/flash/var/pdb/image", "boot image");
    ts::makeDirs(root / "/flash/var/pdb/k");
    ts::writeFile(root / "/ram/MANIFEST",
                  "U /flash/bin/remove\n"
                  "U /flash/lib/dir\n"
                  "L /flash/var/pdb/k/image /flash/bootimage\n"
                  "M /flash/bin/replace /flash/bin/tmpAAAAAA\n"
                  "M /flash/new/sub/file /flash/tmpBBBBBB\n"
                  "M /flash/bootimage /flash/var/pdb/image\n");
  }
};

TEST_F(CommitFaults, EveryFailingCallLeavesOldOrNewAndIsReported) {
  ts::TempRoot clean;
  prepare(clean);
  const ts::TreeState before = ts::snapshotTree(clean / "/flash");
  ts::RunOptions options;
  options.chrootTo = clean.path();
  ts::FaultPlan counting;
  counting.log = "/fault.log";
  const auto run = ts::runInstaller({"--commit"}, ts::withFault(options, counting));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ASSERT_EQ(run.err, "");
  const ts::TreeState after = ts::snapshotTree(clean / "/flash");
  ASSERT_NE(before, after);
  const auto calls = ts::readFaultLog(clean / "/fault.log");
  ASSERT_FALSE(calls.empty());

  SweepCounts counts;
  counts.name = "commit";
  for (const std::string& error : kErrors) {
    for (long n : pointsToTry(static_cast<long>(calls.size()), 40)) {
      ts::TempRoot root;
      prepare(root);
      ts::RunOptions faulty;
      faulty.chrootTo = root.path();
      ts::FaultPlan plan;
      plan.at = n;
      plan.error = error;
      const auto result = ts::runInstaller({"--commit"}, ts::withFault(faulty, plan));
      const ts::TreeState now = ts::snapshotTree(root / "/flash");
      const std::string label = error + " at call " + std::to_string(n) + " (" + calls[n - 1].kind +
                                " " + calls[n - 1].detail + ")";
      ++counts.tried;
      const auto check = ts::checkOldOrNew(before, after, now);
      if (result.status != 0 || !check.ok()) {
        counts.other.push_back(label + ": status " + std::to_string(result.status) + "\n" +
                               ts::describeDifference(after, now) + result.err);
      } else if (now == after) {
        ++counts.acceptedIdentical;
      } else if (!result.err.empty()) {
        ++counts.commitPartial;
      } else {
        counts.other.push_back(label + ": changed the tree without a report\n" +
                               ts::describeDifference(after, now));
      }
    }
  }
  counts.print();
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

}  // namespace
