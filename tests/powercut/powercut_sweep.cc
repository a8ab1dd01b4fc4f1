// Power cuts at every point of whole runs of the installer. A run is
// recorded call by call (the fault library's FAULT_RECORD); for every
// prefix of the record the replay builds the tree the cut would leave on
// the disk, under the ordered-metadata model and, sampled, the weak one;
// the installer is started again on that tree ("--show", which first
// recovers an interrupted run) and the tree it leaves must be wholly the
// tree before the run or wholly the tree after it: the same files with the
// same contents and modes, the same links, no temporary file, and so a
// database that lists exactly the files present. Counts per model are
// printed; any other outcome fails.
//
// POWERCUT_FULL=1 starts the installer on every distinct tree and tries
// more of the weak model's prefixes; otherwise a spread sample of each.
// POWERCUT_KEEP=DIR keeps the trees that failed there, for a closer look.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "package/format.h"
#include "package/payload_writer.h"
#include "powercut/call_record.h"
#include "powercut/replay.h"
#include "powercut/tree.h"
#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/upgrade_system.h"

namespace {

namespace ts = testing_support;
using powercut::Model;
using powercut::Replay;

bool fullSweep() {
  const char* full = std::getenv("POWERCUT_FULL");
  return full != nullptr && std::string(full) == "1";
}

// What a power cut leaves of a router root: the RAM disk comes back empty
// (and is a mount point of its own while the run is recorded), and the
// message log is the run's own report, not part of its change.
ts::TreeState persistentTree(const std::string& root) {
  ts::TreeState state = ts::snapshotTree(root);
  for (auto it = state.begin(); it != state.end();) {
    const bool volatilePath = it->first.starts_with("/ram/");
    it = volatilePath || it->first == "/flash/postlog" ? state.erase(it) : std::next(it);
  }
  return state;
}

// A router's RAM disk is a file system of its own: what the run stages
// there reaches the flash by a copy, not a rename. The recorded run sees it
// so; the mount goes when the object does, also when the test fails.
class RamDisk {
 public:
  explicit RamDisk(const std::string& root) : dir_(root + "/ram") {
    const std::string saved = root + "/.ram-before-mount";
    if (rename(dir_.c_str(), saved.c_str()) != 0) return;
    mounted_ = ts::mountTmpfs(dir_, "64m");
    ts::copyTree(saved, dir_);
    ts::removeTree(saved);
  }
  ~RamDisk() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  RamDisk(const RamDisk&) = delete;
  RamDisk& operator=(const RamDisk&) = delete;

  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

struct Scenario {
  std::string name;
  std::function<bool(const std::string& root)> prepare;
  std::function<ts::RunResult(const std::string& root, ts::RunOptions options)> run;
};

// One tree to try: a cut under a model, with the number of unflushed
// operations the weak model keeps.
struct Trial {
  std::size_t cut = 0;
  Model model = Model::kOrderedMetadata;
  std::size_t keep = 0;
};

// What the next start made of a tree. Only the first two pass.
enum class Verdict {
  kOld,
  kNew,
  kTemporariesLeft,  // wholly old or new but for temporary files
  kMixed,            // neither, whatever the temporaries
  kStartFailed,      // the next start failed (or a sanitizer spoke)
};

struct ModelCounts {
  std::set<std::string> trees;      // distinct fingerprints
  std::map<Verdict, int> verdicts;  // of those the installer was started on
};

ts::TreeState withoutTemporaries(ts::TreeState state) {
  for (auto it = state.begin(); it != state.end();) {
    it = ts::isTemporaryPath(it->first) ? state.erase(it) : std::next(it);
  }
  return state;
}

std::string label(const Replay& replay, const std::vector<powercut::Call>& calls, const Trial& t) {
  std::string text = std::string(powercut::modelName(t.model)) + " cut after call " +
                     std::to_string(t.cut) + " of " + std::to_string(replay.callCount());
  if (t.model == Model::kWeak) {
    text += " keeping " + std::to_string(t.keep) + " of " +
            std::to_string(replay.unflushedAt(t.cut)) + " unflushed operations";
  }
  if (t.cut > 0) text += " (" + powercut::describe(calls[t.cut - 1]) + ")";
  return text;
}

// The cuts worth building: the empty prefix and each call that changed what
// a cut leaves (one whose effect reached the replay); the others leave the
// same tree as the cut before them.
std::vector<std::size_t> cutsToBuild(const Replay& replay) {
  std::vector<std::size_t> cuts{0};
  for (const powercut::Effect& e : replay.effects()) {
    if (cuts.back() != e.call) cuts.push_back(e.call);
  }
  if (cuts.back() != replay.callCount()) cuts.push_back(replay.callCount());
  return cuts;
}

// The weak model's prefixes of the unflushed operations: none, all but the
// last, and a spread between.
std::vector<std::size_t> keepsToTry(std::size_t unflushed) {
  std::vector<std::size_t> keeps;
  if (unflushed == 0) return keeps;
  const std::size_t spread = fullSweep() ? 8 : 2;
  for (std::size_t i = 0; i < spread; ++i) {
    const std::size_t k = unflushed * i / spread;
    if (keeps.empty() || keeps.back() != k) keeps.push_back(k);
  }
  if (keeps.back() != unflushed - 1) keeps.push_back(unflushed - 1);
  return keeps;
}

void sweep(const Scenario& scenario) {
  if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  ts::SweepArea area;
  ts::CaseRoot prepared(area);
  ASSERT_TRUE(scenario.prepare(prepared.path()));
  const ts::TreeState before = persistentTree(prepared.path());
  const powercut::TreeOrError initial = powercut::loadTree(prepared.path());
  ASSERT_EQ(initial.error, "");

  // The run, recorded.
  ts::CaseRoot recorded(area);
  ts::CaseRoot records(area);
  ts::copyTree(prepared.path(), recorded.path());
  ts::TreeState after;
  {
    const RamDisk ram(recorded.path());
    ASSERT_TRUE(ram.mounted());
    ts::RunOptions recording = ts::withFault({});
    recording.env["FAULT_RECORD"] = records / "/calls";
    const ts::RunResult run = scenario.run(recorded.path(), recording);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    after = persistentTree(recorded.path());
  }
  ASSERT_NE(before, after) << "the run changed nothing";
  for (const auto& [path, state] : after) {
    ASSERT_FALSE(ts::isTemporaryPath(path)) << "the run itself leaves " << path;
  }

  const powercut::RecordOrError calls = powercut::readCallRecord(records / "/calls");
  ASSERT_EQ(calls.error, "");
  const powercut::ReplayOrError built = Replay::build(initial.tree, calls.calls, recorded.path());
  ASSERT_EQ(built.error, "");
  const Replay& replay = built.replay;

  // Every tree, once: the cuts in order under both models.
  std::vector<std::pair<Trial, std::string>> distinct;  // first trial of each tree
  std::map<Model, ModelCounts> counts;
  std::set<std::string> seen;
  std::vector<std::string> failures;
  auto consider = [&](const Trial& t) {
    const Replay::Cut cut = replay.materialize(t.cut, t.model, t.keep);
    if (!cut.error.empty()) {
      failures.push_back(label(replay, calls.calls, t) + ": the replay failed: " + cut.error);
      return;
    }
    const std::string print = powercut::fingerprint(cut.tree);
    counts[t.model].trees.insert(print);
    if (seen.insert(print).second) distinct.emplace_back(t, print);
  };
  for (std::size_t cut : cutsToBuild(replay)) {
    consider({cut, Model::kOrderedMetadata, 0});
    for (std::size_t keep : keepsToTry(replay.unflushedAt(cut))) {
      consider({cut, Model::kWeak, keep});
    }
  }

  // The installer started on each (or on a spread sample of them).
  const std::vector<long> picks =
      fullSweep() ? ts::pointsToTry(static_cast<long>(distinct.size()), 1L << 30)
                  : ts::pointsToTry(static_cast<long>(distinct.size()), 240);
  std::map<std::string, Verdict> verdicts;
  std::string lastFailure;
  std::vector<std::string> failedCuts;
  for (long pick : picks) {
    const auto& [t, print] = distinct[static_cast<std::size_t>(pick - 1)];
    const Replay::Cut cut = replay.materialize(t.cut, t.model, t.keep);
    ts::CaseRoot root(area);
    const std::string written = powercut::writeTree(cut.tree, root.path());
    ASSERT_EQ(written, "");
    const ts::RunResult recovery =
        ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
    const ts::TreeState now = persistentTree(root.path());
    std::string why;
    Verdict verdict = Verdict::kStartFailed;
    if (ts::sanitizerReported(recovery)) {
      why = "sanitizer report\n" + recovery.err;
    } else if (recovery.status != 0) {
      why = "the next start ended with status " + std::to_string(recovery.status) + "\n" +
            recovery.out + recovery.err;
    } else if (now == before) {
      verdicts[print] = Verdict::kOld;
      continue;
    } else if (now == after) {
      verdicts[print] = Verdict::kNew;
      continue;
    } else {
      const ts::TreeState bare = withoutTemporaries(now);
      verdict = bare == before || bare == after ? Verdict::kTemporariesLeft : Verdict::kMixed;
      const std::string fromOld = ts::describeDifference(before, now);
      const std::string fromNew = ts::describeDifference(after, now);
      why = fromOld.size() <= fromNew.size()
                ? "neither old nor new; against the old tree:\n" + fromOld
                : "neither old nor new; against the new tree:\n" + fromNew;
    }
    verdicts[print] = verdict;
    failedCuts.push_back(t.model == Model::kWeak
                             ? std::to_string(t.cut) + "/" + std::to_string(t.keep) + "w"
                             : std::to_string(t.cut));
    // The first failures in full, and the last one (a run that does not
    // end durable shows there).
    if (failures.size() < 10) {
      failures.push_back(label(replay, calls.calls, t) + ": " + why);
    } else {
      lastFailure = label(replay, calls.calls, t) + ": " + why;
    }
    if (const char* keep = std::getenv("POWERCUT_KEEP")) {
      ts::copyTree(root.path(), std::string(keep) + "/" + scenario.name + "-" +
                                    powercut::modelName(t.model) + "-" + std::to_string(t.cut) +
                                    "-" + std::to_string(t.keep));
    }
  }
  for (auto& [model, c] : counts) {
    for (const std::string& print : c.trees) {
      auto v = verdicts.find(print);
      if (v != verdicts.end()) ++c.verdicts[v->second];
    }
  }

  std::printf("[powercut %s] %zu calls, %zu prefixes, %zu distinct trees, %s %zu of them\n",
              scenario.name.c_str(), replay.callCount(), replay.callCount() + 1, distinct.size(),
              fullSweep() ? "tried all" : "tried a sample of", picks.size());
  for (auto& [model, c] : counts) {
    auto& v = c.verdicts;
    const int started = v[Verdict::kOld] + v[Verdict::kNew] + v[Verdict::kTemporariesLeft] +
                        v[Verdict::kMixed] + v[Verdict::kStartFailed];
    std::printf(
        "[powercut %s] %s: %zu distinct trees, started on %d: wholly old %d, wholly new %d, "
        "other %d (temporaries left %d, old and new mixed %d, the next start failed %d)\n",
        scenario.name.c_str(), powercut::modelName(model), c.trees.size(), started,
        v[Verdict::kOld], v[Verdict::kNew], started - v[Verdict::kOld] - v[Verdict::kNew],
        v[Verdict::kTemporariesLeft], v[Verdict::kMixed], v[Verdict::kStartFailed]);
  }
  if (!failedCuts.empty()) {
    std::string list;
    for (const std::string& cut : failedCuts) list += " " + cut;
    std::printf(
        "[powercut %s] failing prefixes (calls kept; \"N/Kw\": the weak model keeping K "
        "unflushed operations):%s\n",
        scenario.name.c_str(), list.c_str());
  }
  std::fflush(stdout);
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  if (!lastFailure.empty()) ADD_FAILURE() << lastFailure;
}

constexpr installer::Version kFirst = installer::makeVersion(7, 1, installer::kStageFinal, 0);

// An installed system of three packages and a kernel, a new version of
// each downloaded, and a fifth package scheduled for removal.
bool prepareUpgrade(const std::string& root) {
  if (!ts::prepareUpgradeSystem(root, {3, 10})) return false;
  installer::PayloadEntry file;
  file.name = "lib/extra/plugin";
  file.data = "extra plugin";
  file.mode = 0100644;
  ts::RunOptions options = ts::withFault({});
  options.input = ts::signedPackage(ts::fixtureHeader("extra", kFirst), {file});
  options.env["bootimage"] = "1";
  const ts::RunResult installed = ts::runInstaller({"-r", root, "-"}, options);
  if (installed.status != 0) {
    ADD_FAILURE() << "installing extra: " << installed.out << installed.err;
    return false;
  }
  ts::removeTree(root + "/flash/postlog");
  ts::writeFile(root + "/ram/pdb/extra/schedule", "uninstall\n");
  return true;
}

ts::RunResult upgradeRun(const std::string& root, ts::RunOptions options) {
  return ts::upgradeRun(root, std::move(options));
}

// The same installed system, and the new version of one package read from
// standard input.
bool prepareImage(const std::string& root) {
  if (!ts::prepareUpgradeSystem(root, {3, 10})) return false;
  const auto package = ts::readFile(root + "/rw/pckg/.download/pkg1-7.2.npk");
  if (!package) return false;
  ts::removeTree(root + "/rw/pckg/.download");
  ts::makeDirs(root + "/rw/pckg/.download");
  ts::writeFile(root + "/rw/pckg/image-input.npk", *package);
  return true;
}

ts::RunResult imageRun(const std::string& root, ts::RunOptions options) {
  options.input = ts::readFile(root + "/rw/pckg/image-input.npk").value_or("");
  return ts::runInstaller({"-r", root, "-"}, options);
}

TEST(PowerCut, UpgradeRunRecoversWhollyOldOrWhollyNew) {
  sweep({"upgrade", prepareUpgrade, upgradeRun});
}

TEST(PowerCut, ImageModeRecoversWhollyOldOrWhollyNew) { sweep({"image", prepareImage, imageRun}); }

}  // namespace
