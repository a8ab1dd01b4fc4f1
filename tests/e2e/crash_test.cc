// Crash consistency of the upgrade run: the run is killed (SIGKILL) at each
// call that changes the file system in turn, from the first staging write to
// the last rename of the commit. Afterwards every path must hold its old or
// its new state, and a second run must either complete the upgrade or leave
// a database that "--show" lists without complaint. FAULT_SWEEP_FULL=1 tries
// every call; otherwise a spread sample.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fault_run.h"
#include "support/sandbox.h"
#include "support/upgrade_system.h"

namespace {

namespace ts = testing_support;

ts::TreeState routerTree(const std::string& root) {
  return ts::without(ts::snapshotTree(root), {"/flash/postlog"});
}

const std::vector<std::string> kPackages = {"pkg0", "pkg1", "pkg2",  "pkg3",
                                            "pkg4", "pkg5", "kernel"};

struct CrashCounts {
  int tried = 0;
  int completed = 0;   // the second run ended where an uninterrupted run ends
  int consistent = 0;  // the second run left a database that lists cleanly
  int strayFiles = 0;  // cases that left temporary files of the killed run
  std::vector<std::string> other;
};

TEST(CrashConsistency, EveryKillLeavesOldOrNewAndASecondRunRecovers) {
  if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  ts::SweepArea area;
  ts::CaseRoot prepared(area);
  ASSERT_TRUE(ts::prepareUpgradeSystem(prepared.path()));
  const ts::TreeState before = routerTree(prepared.path());

  // The manifest of the upgrade, kept for a later commit: its size.
  {
    ts::CaseRoot kept(area);
    ts::copyTree(prepared.path(), kept.path());
    ts::RunOptions options = ts::withFault({});
    options.env["bootimage"] = "1";
    const ts::RunResult staged = ts::runInstaller({"-r", kept.path(), "--safe"}, options);
    ASSERT_EQ(staged.status, 0) << staged.out << staged.err;
    const std::string manifest = ts::readFile(kept / "/ram/MANIFEST").value_or("");
    const auto operations = std::count(manifest.begin(), manifest.end(), '\n');
    std::printf("[crash] the commit carries out %ld operations\n", static_cast<long>(operations));
    ASSERT_GE(operations, 200);
  }

  ts::CaseRoot clean(area);
  ts::CaseRoot logDir(area);
  ts::copyTree(prepared.path(), clean.path());
  ts::FaultPlan counting;
  counting.log = logDir / "/calls";
  const ts::RunResult good = ts::upgradeRun(clean.path(), ts::withFault({}, counting));
  ASSERT_EQ(good.status, 0) << good.out << good.err;
  const ts::TreeState after = routerTree(clean.path());
  const auto calls = ts::readFaultLog(logDir / "/calls");
  for (const std::string& problem : ts::checkDurability(calls)) ADD_FAILURE() << problem;

  long first = 0;
  long last = 0;
  for (const ts::FaultCall& call : calls) {
    if (first == 0 && (call.kind == "mkstemp" || call.kind == "write")) first = call.n;
    if (call.kind == "rename") last = call.n;
  }
  ASSERT_GT(first, 0);
  ASSERT_GT(last, first);

  CrashCounts counts;
  for (long n : ts::pointsToTry(last - first + 1, 60)) {
    const long k = first + n - 1;
    const std::string label = "killed at call " + std::to_string(k) + " (" + calls[k - 1].kind +
                              " " + calls[k - 1].detail + ")";
    ts::CaseRoot root(area);
    ts::copyTree(prepared.path(), root.path());
    ts::FaultPlan plan;
    plan.at = k;
    plan.action = "kill";
    const ts::RunResult killed = ts::upgradeRun(root.path(), ts::withFault({}, plan));
    ++counts.tried;
    if (killed.status != 128 + SIGKILL) {
      counts.other.push_back(label + ": not killed, status " + std::to_string(killed.status));
      continue;
    }
    const ts::TreeState now = routerTree(root.path());
    const ts::OldOrNewReport check = ts::checkOldOrNew(before, after, now);
    if (!check.ok()) {
      std::string why;
      for (const auto& v : check.violations) why += "  " + v + "\n";
      counts.other.push_back(label + ": neither old nor new:\n" + why);
      continue;
    }
    if (!check.temporaries.empty()) ++counts.strayFiles;

    const ts::RunResult second = ts::upgradeRun(root.path(), ts::withFault({}));
    if (ts::sanitizerReported(killed) || ts::sanitizerReported(second)) {
      counts.other.push_back(label + ": sanitizer report\n" + killed.err + second.err);
      continue;
    }
    const ts::TreeState recovered = routerTree(root.path());
    if (second.status == 0 && ts::without(recovered, check.temporaries) == after) {
      ++counts.completed;
      continue;
    }
    const ts::RunResult show = ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
    bool lists = show.status == 0 && show.out.find("ERROR") == std::string::npos &&
                 show.out.find("WARNING") == std::string::npos;
    for (const std::string& name : kPackages) {
      lists = lists && show.out.find(name) != std::string::npos;
    }
    if (second.status == 0 && lists) {
      ++counts.consistent;
      if (std::getenv("FAULT_SWEEP_VERBOSE") != nullptr) {
        std::printf(
            "consistent only: %s\n%s", label.c_str(),
            ts::describeDifference(after, ts::without(recovered, check.temporaries)).c_str());
      }
    } else {
      counts.other.push_back(label + ": second run status " + std::to_string(second.status) + "\n" +
                             second.out + second.err + "--show:\n" + show.out +
                             "against the uninterrupted run:\n" +
                             ts::describeDifference(after, recovered));
    }
  }
  std::printf(
      "[crash] tried %d kills (calls %ld to %ld), completed by a second run %d, consistent "
      "database %d, other %zu; cases leaving stray temporary files %d\n",
      counts.tried, first, last, counts.completed, counts.consistent, counts.other.size(),
      counts.strayFiles);
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

}  // namespace
