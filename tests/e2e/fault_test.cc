// Fault injection into the real installer: the Nth call that changes the
// file system fails (ENOSPC, EIO, EACCES) for every N in turn. Each run is
// all or nothing: it reports the failure and, once the next start has run,
// the tree is exactly the old one; or it succeeds and the tree is exactly
// the one a run without the fault leaves. Nothing in between is tolerated.
// FAULT_SWEEP_FULL=1 tries every N; otherwise a spread sample keeps CI short.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "package/format.h"
#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/upgrade_system.h"

namespace {

namespace ts = testing_support;

const std::vector<std::string> kErrors = {"ENOSPC", "EIO", "EACCES"};

// ---------------------------------------------------------------------------
// The commit of a staged manifest ("--commit"): removals, a link, moves into
// existing and new directories.

class CommitFaults : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }

  static void prepare(const ts::CaseRoot& root) {
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
  ts::SweepArea area;
  ts::CaseRoot clean(area);
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

  ts::SweepCounts counts;
  counts.name = "commit";
  for (const std::string& error : kErrors) {
    for (long n : ts::pointsToTry(static_cast<long>(calls.size()), 40)) {
      ts::CaseRoot root(area);
      prepare(root);
      ts::RunOptions faulty;
      faulty.chrootTo = root.path();
      ts::FaultPlan plan;
      plan.at = n;
      plan.error = error;
      const auto result = ts::runInstaller({"--commit"}, ts::withFault(faulty, plan));
      // The next start finishes what the failed run could not.
      ts::RunOptions next;
      next.chrootTo = root.path();
      const auto recovery = ts::runInstaller({"--show"}, ts::withFault(next));
      const ts::TreeState now = ts::snapshotTree(root / "/flash");
      const std::string label = error + " at call " + std::to_string(n) + " (" + calls[n - 1].kind +
                                " " + calls[n - 1].detail + ")";
      ++counts.tried;
      const bool failureReported = result.status != 0 && !result.err.empty();
      if (ts::sanitizerReported(result) || ts::sanitizerReported(recovery)) {
        counts.other.push_back(label + ": sanitizer report\n" + result.err + recovery.err);
      } else if (now == before && failureReported) {
        ++counts.refused;
      } else if (now == after && result.status == 0 && result.err.empty()) {
        ++counts.acceptedIdentical;
      } else {
        if (failureReported && ts::checkOldOrNew(before, after, now).ok()) ++counts.commitPartial;
        counts.other.push_back(label + ": status " + std::to_string(result.status) + "\n" +
                               ts::describeDifference(before, now) + result.err);
      }
    }
  }
  counts.print();
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

// ---------------------------------------------------------------------------
// Whole runs of the installer: a prepared root, a run, and every N of it.

using installer::makeVersion;
using installer::PayloadEntry;

// "tool" 7.1 as installed before, and the 7.2 that replaces it: one file
// kept, two changed (one bigger than a staging buffer), one dropped, two new
// in new directories.
std::string toolV1() {
  return ts::signedPackage(
      ts::fixtureHeader("tool", makeVersion(7, 1, installer::kStageFinal, 0)),
      {ts::payloadEntry("bin/tool", "tool 7.1", 0100755), ts::payloadEntry("etc/tool.conf", "conf"),
       ts::payloadEntry("lib/libtool.so", std::string(20000, '1')),
       ts::payloadEntry("share/doc/old-only", "dropped in 7.2")});
}

std::string toolV2() {
  installer::Package header =
      ts::fixtureHeader("tool", makeVersion(7, 2, installer::kStageFinal, 0));
  header.provides = {{"tooling", 0, 0, 1}};
  return ts::signedPackage(
      header,
      {ts::payloadEntry("bin/tool", "tool 7.2", 0100755), ts::payloadEntry("etc/tool.conf", "conf"),
       ts::payloadEntry("lib/libtool.so", std::string(40000, '2'), 0100755),
       ts::payloadEntry("share/new/dir/file", "new"), ts::payloadEntry("var/lib/tool/state", "")});
}

using RunFn = std::function<ts::RunResult(const std::string& root, ts::RunOptions options)>;

ts::RunResult imageMode(const std::string& input, const std::string& root, ts::RunOptions options) {
  options.input = input;
  return ts::runInstaller({"-r", root, "-"}, options);
}

// Everything in the root but the message log, which every run writes.
ts::TreeState routerTree(const std::string& root) {
  return ts::without(ts::snapshotTree(root), {"/flash/postlog"});
}

// A crash: the exit statuses runProgram gives for the signals that end a
// process by fault (-1 from the installer is 255, and stays apart).
bool endedBySignal(const ts::RunResult& r) {
  for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGKILL}) {
    if (r.status == 128 + signal) return true;
  }
  return false;
}

bool reported(const ts::RunResult& r) {
  return r.out.find("ERROR: ") != std::string::npos || !r.err.empty();
}

struct Scenario {
  std::string name;
  std::string preparedRoot;  // copied for every case
  RunFn run;
  bool failureStatus;  // a refused run ends with a non-zero status
};

// Runs the scenario once without a fault (counting the calls), then once
// for each chosen N and error, and sorts the outcomes.
ts::SweepCounts sweepFaults(const ts::SweepArea& area, const Scenario& scenario,
                            const std::vector<std::string>& errors, long samples) {
  ts::SweepCounts counts;
  counts.name = scenario.name;
  const ts::TreeState before = routerTree(scenario.preparedRoot);
  ts::CaseRoot clean(area);
  ts::CaseRoot logDir(area);
  ts::copyTree(scenario.preparedRoot, clean.path());
  ts::FaultPlan counting;
  counting.log = logDir / "/calls";
  const ts::RunResult good = scenario.run(clean.path(), ts::withFault({}, counting));
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  EXPECT_FALSE(reported(good)) << good.out << good.err;
  const ts::TreeState after = routerTree(clean.path());
  EXPECT_NE(before, after);
  const auto calls = ts::readFaultLog(logDir / "/calls");
  EXPECT_FALSE(calls.empty());
  for (const std::string& problem : ts::checkDurability(calls)) {
    ADD_FAILURE() << scenario.name << ": " << problem;
  }
  if (std::getenv("FAULT_SWEEP_VERBOSE") != nullptr) {
    for (const auto& call : calls) {
      std::printf("%s call %ld: %s %s\n", scenario.name.c_str(), call.n, call.kind.c_str(),
                  call.detail.c_str());
    }
  }

  for (const std::string& error : errors) {
    for (long n : ts::pointsToTry(static_cast<long>(calls.size()), samples)) {
      ts::CaseRoot root(area);
      ts::copyTree(scenario.preparedRoot, root.path());
      ts::FaultPlan plan;
      plan.at = n;
      plan.error = error;
      const ts::RunResult result = scenario.run(root.path(), ts::withFault({}, plan));
      // The next start finishes what the failed run could not.
      const ts::RunResult recovery =
          ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
      const ts::TreeState now = routerTree(root.path());
      const std::string label = scenario.name + ": " + error + " at call " + std::to_string(n) +
                                " (" + calls[n - 1].kind + " " + calls[n - 1].detail + ")";
      ++counts.tried;
      // A failure must be reported, in the image mode also by the status.
      const bool failureReported =
          reported(result) && (!scenario.failureStatus || result.status != 0);
      if (ts::sanitizerReported(result) || ts::sanitizerReported(recovery)) {
        counts.other.push_back(label + ": sanitizer report\n" + result.err + recovery.err);
      } else if (endedBySignal(result)) {
        counts.other.push_back(label + ": ended by signal " + std::to_string(result.status - 128) +
                               "\n" + result.out + result.err);
      } else if (now == before && failureReported) {
        ++counts.refused;
      } else if (now == after && result.status == 0) {
        ++counts.acceptedIdentical;
        if (std::getenv("FAULT_SWEEP_VERBOSE") != nullptr) {
          std::printf("identical: %s\n", label.c_str());
        }
      } else {
        // A run is wholly old or wholly new: a mix of the two (each path
        // old or new, but not all alike) is counted and fails like the rest.
        const auto check = ts::checkOldOrNew(before, after, now);
        if (failureReported && check.ok()) ++counts.commitPartial;
        std::string why = "status " + std::to_string(result.status) +
                          (reported(result) ? "" : ", nothing reported") + "\n";
        for (const auto& v : check.violations) why += "  not old or new: " + v + "\n";
        counts.other.push_back(label + ": " + why + "  against the old tree:\n" +
                               ts::describeDifference(before, now) +
                               "  against the run without the fault:\n" +
                               ts::describeDifference(after, now) + result.out + result.err);
      }
    }
  }
  counts.print();
  return counts;
}

class RunFaults : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeRouterDirs(prepared_.path());
  }

  ts::SweepArea area_;
  ts::CaseRoot prepared_{area_};
};

TEST_F(RunFaults, ImageModeReportsEveryFailureAndKeepsTheFlash) {
  const ts::RunResult first = imageMode(toolV1(), prepared_.path(), ts::withFault({}));
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string v2 = toolV2();
  Scenario scenario{"image mode", prepared_.path(),
                    [&v2](const std::string& root, ts::RunOptions options) {
                      return imageMode(v2, root, std::move(options));
                    },
                    true};
  const ts::SweepCounts counts = sweepFaults(area_, scenario, kErrors, 40);
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

TEST_F(RunFaults, ImageModeKeepingABootImageReportsEveryFailureAndKeepsTheFlash) {
  installer::Package header =
      ts::fixtureHeader("kernel", makeVersion(7, 1, installer::kStageFinal, 0));
  header.flags = installer::kFlagBootImage;
  ts::FixtureOptions v1;
  v1.image = std::string(5000, 'k');
  ts::RunOptions boot = ts::withFault({});
  boot.env["bootimage"] = "1";
  const ts::RunResult first =
      imageMode(ts::signedPackage(header, {ts::payloadEntry("boot/kernel", "k1")}, v1),
                prepared_.path(), boot);
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  header.version = makeVersion(7, 2, installer::kStageFinal, 0);
  ts::FixtureOptions v2options;
  v2options.image = std::string(70000, 'K');
  const std::string v2 =
      ts::signedPackage(header, {ts::payloadEntry("boot/kernel", "k2")}, v2options);
  Scenario scenario{"image mode, boot image", prepared_.path(),
                    [&v2](const std::string& root, ts::RunOptions options) {
                      options.env["bootimage"] = "1";
                      return imageMode(v2, root, std::move(options));
                    },
                    true};
  const ts::SweepCounts counts = sweepFaults(area_, scenario, kErrors, 40);
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

TEST_F(RunFaults, UpgradeRunReportsEveryFailureAndKeepsTheFlash) {
  ASSERT_TRUE(ts::prepareUpgradeSystem(prepared_.path(), {3, 10}));
  Scenario scenario{"upgrade run", prepared_.path(), ts::upgradeRun, false};
  const ts::SweepCounts counts = sweepFaults(area_, scenario, kErrors, 40);
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
}

// ---------------------------------------------------------------------------
// A real small file system that fills up while the files are staged.

// Bytes that do not compress, so that the package stays small while its
// files fill the flash.
std::string noise(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  for (char& c : out) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return out;
}

class FullFlash : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs a tmpfs";
    // A flash of 512 KiB and a RAM disk of 128 KiB: the first files are
    // staged beside their destinations until less than 64 KiB would be left
    // there, the next ones in "/ram", which then fills up too.
    ASSERT_TRUE(ts::mountTmpfs(root_ / "/flash", "512k"));
    ASSERT_TRUE(ts::mountTmpfs(root_ / "/ram", "128k"));
    ts::makeRouterDirs(root_.path());
    const ts::RunResult first = imageMode(toolV1(), root_.path(), ts::withFault({}));
    ASSERT_EQ(first.status, 0) << first.out << first.err;
    ts::removeTree(root_ / "/flash/postlog");
    before_ = routerTree(root_.path());
  }

  static std::string bigToolV2() {
    std::vector<PayloadEntry> files;
    for (int i = 0; i < 10; ++i) {
      files.push_back(ts::payloadEntry("lib/big-" + std::to_string(i),
                                       noise(60000, static_cast<std::uint32_t>(i))));
    }
    return ts::signedPackage(
        ts::fixtureHeader("tool", makeVersion(7, 2, installer::kStageFinal, 0)), files);
  }

  ts::SweepArea area_;
  ts::CaseRoot root_{area_};
  ts::TreeState before_;
};

TEST_F(FullFlash, ImageModeRefusesAPackageThatDoesNotFitAndKeepsTheFlash) {
  const ts::RunResult result = imageMode(bigToolV2(), root_.path(), ts::withFault({}));
  EXPECT_NE(result.status, 0);
  EXPECT_NE(result.out.find("ERROR: installation of tool-7.2 failed: disk is too small"),
            std::string::npos)
      << result.out << result.err;
  const ts::TreeState now = routerTree(root_.path());
  EXPECT_EQ(now, before_) << ts::describeDifference(before_, now);
}

// The upgrade run refuses the file that can no longer fit before it fills
// "/ram", as it refuses changes that do not fit.
TEST_F(FullFlash, UpgradeRunRefusesAPackageThatDoesNotFitAndKeepsTheFlash) {
  ts::writeFile(root_ / "/rw/pckg/.download/tool-7.2.npk", bigToolV2());
  before_ = routerTree(root_.path());
  const ts::RunResult result = ts::runInstaller({"-r", root_.path()}, ts::withFault({}));
  EXPECT_EQ(result.status, 28);
  EXPECT_NE(result.out.find("ERROR: not enough space for upgrade"), std::string::npos)
      << result.out << result.err;
  const ts::TreeState now = routerTree(root_.path());
  EXPECT_EQ(now, before_) << ts::describeDifference(before_, now);
}

}  // namespace
