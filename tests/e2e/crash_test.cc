// Crash consistency of whole runs: each run is killed (SIGKILL) at every
// counted call that changes the file system, in turn. The next start (here
// "--show", which recovers before it lists) must leave the router wholly
// as it was before the run or wholly as the run without the kill leaves it:
// no mix of old and new packages, no temporary file anywhere, no journal or
// list of temporaries, and a database whose "files" lists name exactly the
// files present. Counts are printed; any other outcome fails.
// FAULT_SWEEP_FULL=1 tries every call; otherwise a spread sample.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "package/format.h"
#include "support/fault_run.h"
#include "support/inflate_trace.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/upgrade_system.h"

namespace {

namespace ts = testing_support;
using installer::makeVersion;
using installer::PayloadEntry;

// The router as a run leaves it, without what every run writes (the message
// log, and the record of the run: checked on its own) and the lock file
// every changing run creates.
ts::TreeState routerTree(const std::string& root) {
  return ts::without(ts::snapshotTree(root), {"/flash/postlog", "/ram/installer.lock"});
}

// What no run may leave once the next start is done.
std::vector<std::string> leftovers(const ts::TreeState& tree) {
  std::vector<std::string> found;
  for (const auto& [path, state] : tree) {
    if (ts::isTemporaryPath(path) || path.ends_with("/.journal") || path.ends_with("/.staged") ||
        path.find("/.staged.d/") != std::string::npos) {
      found.push_back(path);
    }
  }
  return found;
}

// Every path a package's "files" list names exists, and every file below
// "/flash" outside the database is named by one (or is one of the
// installer's own files).
std::vector<std::string> databaseDisagreements(const std::string& root, const ts::TreeState& tree) {
  static const std::set<std::string> kOwn = {"/flash/bootimage", "/flash/PCKGS_CHANGED",
                                             "/flash/UPGRADED"};
  std::set<std::string> listed;
  std::vector<std::string> problems;
  for (const auto& [path, state] : tree) {
    if (!path.starts_with("/flash/var/pdb/") || !path.ends_with("/files")) continue;
    std::istringstream lines(ts::readFile(root + path).value_or(""));
    for (std::string line; std::getline(lines, line);) {
      if (line.empty()) continue;
      if (line.front() != '/') line.insert(0, "/");  // kept relative to the root
      listed.insert(line);
      if (tree.count(line) == 0 && tree.count(line + "/") == 0) {
        problems.push_back(path + " lists " + line + ", which is missing");
      }
    }
  }
  for (const auto& [path, state] : tree) {
    if (!path.starts_with("/flash/") || path.back() == '/' || path.starts_with("/flash/var/pdb/") ||
        kOwn.count(path) != 0 || listed.count(path) != 0) {
      continue;
    }
    problems.push_back(path + " is present but no package lists it");
  }
  return problems;
}

using RunFn = std::function<ts::RunResult(const std::string& root, ts::RunOptions options)>;

struct KillScenario {
  std::string name;
  std::string preparedRoot;  // copied for every case
  RunFn run;
  // Brings a root that holds the run's outcome on to the final state to
  // compare with (the "--commit" after a "--safe" run); none: the run's own.
  RunFn then;
  // Whether the run commits, and so must flush what it renamed. A "--safe"
  // run keeps its files for a "--commit" that flushes before it renames,
  // and after a power cut the next start removes them anyway.
  bool commits = true;
};

struct KillCounts {
  int tried = 0;
  int wholeOld = 0;
  int wholeNew = 0;
  std::vector<std::string> other;
};

KillCounts sweepKills(const ts::SweepArea& area, const KillScenario& s, long samples) {
  KillCounts counts;
  const ts::TreeState before = routerTree(s.preparedRoot);
  const std::optional<std::string> recordBefore =
      ts::readFile(s.preparedRoot + "/flash/var/pdb/.last-run");
  ts::CaseRoot clean(area);
  ts::CaseRoot logDir(area);
  ts::copyTree(s.preparedRoot, clean.path());
  ts::FaultPlan counting;
  counting.log = logDir / "/calls";
  const ts::RunResult good = s.run(clean.path(), ts::withFault({}, counting));
  EXPECT_EQ(good.status, 0) << s.name << good.out << good.err;
  if (s.then) {
    EXPECT_EQ(s.then(clean.path(), ts::withFault({})).status, 0) << s.name;
  }
  const ts::TreeState after = routerTree(clean.path());
  EXPECT_NE(before, after) << s.name;
  EXPECT_TRUE(leftovers(after).empty()) << s.name;
  const auto calls = ts::readFaultLog(logDir / "/calls");
  EXPECT_FALSE(calls.empty()) << s.name;
  if (s.commits) {
    for (const std::string& problem : ts::checkDurability(calls)) {
      ADD_FAILURE() << s.name << ": " << problem;
    }
  }

  for (long n : ts::pointsToTry(static_cast<long>(calls.size()), samples)) {
    const std::string label = s.name + ": killed at call " + std::to_string(n) + " (" +
                              calls[n - 1].kind + " " + calls[n - 1].detail + ")";
    ts::CaseRoot root(area);
    ts::copyTree(s.preparedRoot, root.path());
    ts::FaultPlan plan;
    plan.at = n;
    plan.action = "kill";
    const ts::RunResult killed = s.run(root.path(), ts::withFault({}, plan));
    ++counts.tried;
    if (killed.status != 128 + SIGKILL) {
      counts.other.push_back(label + ": not killed, status " + std::to_string(killed.status));
      continue;
    }
    ts::RecordAroundStart record;
    record.beforeRun = recordBefore;
    ts::noteRecordBeforeStart(root.path(), record);
    const ts::RunResult next = ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
    ts::noteRecordAfterStart(root.path(), record);
    std::string extra;
    if (s.then) extra = s.then(root.path(), ts::withFault({})).err;
    const ts::TreeState now = routerTree(root.path());
    if (ts::sanitizerReported(killed) || ts::sanitizerReported(next)) {
      counts.other.push_back(label + ": sanitizer report\n" + killed.err + next.err);
      continue;
    }
    std::string why;
    for (const std::string& path : leftovers(now)) why += "  left: " + path + "\n";
    for (const std::string& problem : databaseDisagreements(root.path(), now)) {
      why += "  " + problem + "\n";
    }
    // What the start's recovery did is told by the record it leaves.
    std::optional<bool> wholeOld;
    if (!s.then && (now == before || now == after)) wholeOld = now == before;
    if (const std::string problem = ts::recordProblem(record, wholeOld); !problem.empty()) {
      why += "  " + problem + "\n";
    }
    if (now == before && why.empty()) {
      ++counts.wholeOld;
    } else if (now == after && why.empty()) {
      ++counts.wholeNew;
    } else {
      counts.other.push_back(label + ":\n" + why + "  against the old tree:\n" +
                             ts::describeDifference(before, now) + "  against the new tree:\n" +
                             ts::describeDifference(after, now) + next.out + next.err + extra);
    }
  }
  std::printf("[kill %s] tried %d of %zu calls: wholly old %d, wholly new %d, other %zu\n",
              s.name.c_str(), counts.tried, calls.size(), counts.wholeOld, counts.wholeNew,
              counts.other.size());
  std::fflush(stdout);
  return counts;
}

installer::Package header(const std::string& name, int minor) {
  return ts::fixtureHeader(
      name, makeVersion(7, static_cast<std::uint8_t>(minor), installer::kStageFinal, 0));
}

ts::RunResult imageMode(const std::string& input, const std::string& root, ts::RunOptions options) {
  options.input = input;
  return ts::runInstaller({"-r", root, "-"}, options);
}

class CrashConsistency : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeRouterDirs(prepared_.path());
  }

  void expectAllWhole(const KillScenario& s, long samples) {
    const KillCounts counts = sweepKills(area_, s, samples);
    for (const auto& failure : counts.other) ADD_FAILURE() << failure;
  }

  ts::SweepArea area_;
  ts::CaseRoot prepared_{area_};
};

// Several packages replaced, an image-based kernel owning the boot image,
// and a package uninstalled by schedule, in one upgrade run.
TEST_F(CrashConsistency, UpgradeRunIsWhollyOldOrWhollyNew) {
  ASSERT_TRUE(ts::prepareUpgradeSystem(prepared_.path(), {4, 8}));
  const ts::RunResult extra =
      imageMode(ts::signedPackage(header("extra", 1), {ts::payloadEntry("opt/extra/a", "a"),
                                                       ts::payloadEntry("opt/extra/b", "b")}),
                prepared_.path(), ts::withFault({}));
  ASSERT_EQ(extra.status, 0) << extra.out << extra.err;
  ts::removeTree(prepared_ / "/flash/postlog");
  ts::writeFile(prepared_ / "/ram/pdb/extra/schedule", "uninstall\n");
  expectAllWhole({"upgrade run", prepared_.path(), ts::upgradeRun, nullptr}, 50);
}

TEST_F(CrashConsistency, ImageModeOfOnePackageIsWhollyOldOrWhollyNew) {
  const ts::RunResult first = imageMode(
      ts::signedPackage(header("tool", 1), {ts::payloadEntry("bin/tool", "tool 7.1", 0100755),
                                            ts::payloadEntry("etc/tool.conf", "conf"),
                                            ts::payloadEntry("share/doc/old-only", "dropped")}),
      prepared_.path(), ts::withFault({}));
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ts::removeTree(prepared_ / "/flash/postlog");
  const std::string v2 = ts::signedPackage(
      header("tool", 2),
      {ts::payloadEntry("bin/tool", "tool 7.2", 0100755), ts::payloadEntry("etc/tool.conf", "conf"),
       ts::payloadEntry("lib/libtool.so", std::string(40000, '2')),
       ts::payloadEntry("share/new/dir/file", "new")});
  expectAllWhole({"image mode", prepared_.path(),
                  [&v2](const std::string& root, ts::RunOptions options) {
                    return imageMode(v2, root, std::move(options));
                  },
                  nullptr},
                 40);
}

// A payload large enough to be read, hashed and inflated by a second thread
// (where a second core is free).
TEST_F(CrashConsistency, ImageModeOfALargePayloadIsWhollyOldOrWhollyNew) {
  auto version = [](int minor) {
    std::vector<PayloadEntry> files;
    for (std::uint32_t i = 0; i < 24; ++i) {
      files.push_back(ts::payloadEntry("lib/big" + std::to_string(i),
                                       ts::mixedBytes(i % 6 == 0 ? 60000 : 4000, i + minor)));
    }
    return ts::signedPackage(header("large", minor), files);
  };
  const ts::RunResult first = imageMode(version(1), prepared_.path(), ts::withFault({}));
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ts::removeTree(prepared_ / "/flash/postlog");
  const std::string v2 = version(2);
  expectAllWhole({"image mode, large payload", prepared_.path(),
                  [&v2](const std::string& root, ts::RunOptions options) {
                    return imageMode(v2, root, std::move(options));
                  },
                  nullptr},
                 40);
}

// A directory of the old version becomes a file: the directory is set aside
// whole and must come back, or go, whole.
TEST_F(CrashConsistency, ImageModeReplacingADirectoryByAFileIsWhollyOldOrWhollyNew) {
  const ts::RunResult first =
      imageMode(ts::signedPackage(
                    header("tool", 1),
                    {ts::payloadEntry("lib/foo/a", "a"), ts::payloadEntry("lib/foo/b", "b"),
                     ts::payloadEntry("lib/foo/sub/c", "c"), ts::payloadEntry("etc/bar", "bar")}),
                prepared_.path(), ts::withFault({}));
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ts::removeTree(prepared_ / "/flash/postlog");
  const std::string v2 = ts::signedPackage(
      header("tool", 2),
      {ts::payloadEntry("lib/foo", "foo 7.2"), ts::payloadEntry("etc/bar", "b2")});
  expectAllWhole({"swap", prepared_.path(),
                  [&v2](const std::string& root, ts::RunOptions options) {
                    return imageMode(v2, root, std::move(options));
                  },
                  nullptr},
                 1000);
}

TEST_F(CrashConsistency, ImageModeOfABundleIsWhollyOldOrWhollyNew) {
  auto bundle = [](int minor, const std::string& data) {
    return ts::signedBundle(
        header("suite", minor),
        {ts::signedPackage(header("suite-a", minor), {ts::payloadEntry("suite/a", "a " + data)}),
         ts::signedPackage(header("suite-b", minor), {ts::payloadEntry("suite/b", "b " + data),
                                                      ts::payloadEntry("suite/b-" + data, data)})});
  };
  const ts::RunResult first = imageMode(bundle(1, "one"), prepared_.path(), ts::withFault({}));
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  ts::removeTree(prepared_ / "/flash/postlog");
  const std::string v2 = bundle(2, "two");
  expectAllWhole({"image mode, bundle", prepared_.path(),
                  [&v2](const std::string& root, ts::RunOptions options) {
                    return imageMode(v2, root, std::move(options));
                  },
                  nullptr},
                 40);
}

// "--safe" stages and keeps the manifest; "--commit" carries it out. A kill
// in either half, then the next start, then the rest of the two steps must
// end wholly old or wholly new.
TEST_F(CrashConsistency, SafeThenCommitIsWhollyOldOrWhollyNew) {
  ASSERT_TRUE(ts::prepareUpgradeSystem(prepared_.path(), {3, 6}));
  auto safe = [](const std::string& root, ts::RunOptions options) {
    options.env["bootimage"] = "1";
    return ts::runInstaller({"-r", root, "--safe"}, options);
  };
  auto commit = [](const std::string& root, ts::RunOptions options) {
    return ts::runInstaller({"-r", root, "--commit"}, options);
  };
  expectAllWhole({"--safe", prepared_.path(), safe, commit, false}, 40);

  ts::CaseRoot staged(area_);
  ts::copyTree(prepared_.path(), staged.path());
  const ts::RunResult kept = safe(staged.path(), ts::withFault({}));
  ASSERT_EQ(kept.status, 0) << kept.out << kept.err;
  ts::removeTree(staged / "/flash/postlog");
  // After a kill of "--commit" the manifest may still be there (the commit
  // was undone): trying it again must then complete the upgrade.
  auto again = [&commit](const std::string& root, ts::RunOptions options) {
    if (!ts::exists(root + "/ram/MANIFEST")) return ts::RunResult{0, "", ""};
    return commit(root, std::move(options));
  };
  KillScenario second{"--commit", staged.path(), commit, again};
  const KillCounts counts = sweepKills(area_, second, 40);
  for (const auto& failure : counts.other) ADD_FAILURE() << failure;
  EXPECT_EQ(counts.wholeOld, 0) << "the kept manifest is carried out by a second --commit";
}

}  // namespace
