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

#include <algorithm>
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

// The trees of one run the default sweep starts the installer on, spread
// over the run: enough to meet every phase of it (staging, the commit, the
// end) while the sanitizer build's run stays short.
constexpr long kSampledTrees = 120;

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
  // Run before the recorded one and counted with it: the old tree is the
  // one before this step (a "--safe" run, whose manifest "--commit" then
  // carries out).
  std::function<bool(const std::string& root)> firstHalf;
  // The run's result waits in "/ram" for a later "--commit": a power cut
  // loses it, so every tree must come back to the old one.
  bool resultInRam = false;
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

bool passed(Verdict v) { return v == Verdict::kOld || v == Verdict::kNew; }

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

// Calls that make earlier writes durable.
std::size_t flushCalls(const std::vector<powercut::Call>& calls) {
  return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), [](const auto& c) {
    using powercut::CallKind;
    return c.kind == CallKind::kFsync || c.kind == CallKind::kFdatasync ||
           c.kind == CallKind::kSyncfs || c.kind == CallKind::kSync;
  }));
}

// A scenario's run, recorded, with the trees it goes between.
struct RecordedRun {
  ts::TreeState before;  // wholly old
  ts::TreeState after;   // wholly new
  std::vector<powercut::Call> calls;
  Replay replay;
};

void recordRun(const Scenario& scenario, const ts::SweepArea& area, RecordedRun& recorded) {
  ts::CaseRoot root(area);
  ASSERT_TRUE(scenario.prepare(root.path()));
  recorded.before = persistentTree(root.path());
  if (scenario.firstHalf) {
    ASSERT_TRUE(scenario.firstHalf(root.path()));
  }
  const powercut::TreeOrError initial = powercut::loadTree(root.path());
  ASSERT_EQ(initial.error, "");

  ts::CaseRoot records(area);
  {
    const RamDisk ram(root.path());
    ASSERT_TRUE(ram.mounted());
    ts::RunOptions recording = ts::withFault({});
    recording.env["FAULT_RECORD"] = records / "/calls";
    const ts::RunResult run = scenario.run(root.path(), recording);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    recorded.after = persistentTree(root.path());
  }
  ASSERT_NE(recorded.before, recorded.after) << "the run changed nothing";
  if (scenario.resultInRam) {
    recorded.after = recorded.before;
  } else {
    for (const auto& [path, state] : recorded.after) {
      ASSERT_FALSE(ts::isTemporaryPath(path)) << "the run itself leaves " << path;
    }
  }

  powercut::RecordOrError calls = powercut::readCallRecord(records / "/calls");
  ASSERT_EQ(calls.error, "");
  recorded.calls = std::move(calls.calls);
  powercut::ReplayOrError built = Replay::build(initial.tree, recorded.calls, root.path());
  ASSERT_EQ(built.error, "");
  recorded.replay = std::move(built.replay);
}

// Every tree the cuts leave, once, in the order of the cuts.
struct Trees {
  std::vector<std::pair<Trial, std::string>> distinct;  // first trial of each
  std::map<Model, ModelCounts> counts;
  // The ordered model's tree of each built cut; the cuts after it up to the
  // next one leave the same tree.
  std::vector<std::pair<std::size_t, std::string>> orderedCuts;
  std::vector<std::string> failures;
};

Trees buildTrees(const RecordedRun& run) {
  Trees trees;
  std::set<std::string> seen;
  auto consider = [&](const Trial& t) {
    const Replay::Cut cut = run.replay.materialize(t.cut, t.model, t.keep);
    if (!cut.error.empty()) {
      trees.failures.push_back(label(run.replay, run.calls, t) +
                               ": the replay failed: " + cut.error);
      return std::string();
    }
    const std::string print = powercut::fingerprint(cut.tree);
    trees.counts[t.model].trees.insert(print);
    if (seen.insert(print).second) trees.distinct.emplace_back(t, print);
    return print;
  };
  for (std::size_t cut : cutsToBuild(run.replay)) {
    trees.orderedCuts.emplace_back(cut, consider({cut, Model::kOrderedMetadata, 0}));
    for (std::size_t keep : keepsToTry(run.replay.unflushedAt(cut))) {
      consider({cut, Model::kWeak, keep});
    }
  }
  return trees;
}

struct Outcome {
  Verdict verdict = Verdict::kStartFailed;
  std::string why;
};

// Builds the tree of `t` in a fresh root, starts the installer on it and
// judges what it leaves.
Outcome tryTree(const RecordedRun& run, const ts::SweepArea& area, const Trial& t,
                const std::string& keepAs) {
  const Replay::Cut cut = run.replay.materialize(t.cut, t.model, t.keep);
  ts::CaseRoot root(area);
  const std::string written = powercut::writeTree(cut.tree, root.path());
  if (!written.empty()) return {Verdict::kStartFailed, "the tree could not be written: " + written};
  const ts::RunResult recovery = ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
  const ts::TreeState now = persistentTree(root.path());
  Outcome outcome;
  if (ts::sanitizerReported(recovery)) {
    outcome.why = "sanitizer report\n" + recovery.err;
  } else if (recovery.status != 0) {
    outcome.why = "the next start ended with status " + std::to_string(recovery.status) + "\n" +
                  recovery.out + recovery.err;
  } else if (now == run.before) {
    return {Verdict::kOld, ""};
  } else if (now == run.after) {
    return {Verdict::kNew, ""};
  } else {
    const ts::TreeState bare = withoutTemporaries(now);
    outcome.verdict =
        bare == run.before || bare == run.after ? Verdict::kTemporariesLeft : Verdict::kMixed;
    const std::string fromOld = ts::describeDifference(run.before, now);
    const std::string fromNew = ts::describeDifference(run.after, now);
    outcome.why = fromOld.size() <= fromNew.size()
                      ? "neither old nor new; against the old tree:\n" + fromOld
                      : "neither old nor new; against the new tree:\n" + fromNew;
  }
  if (!keepAs.empty()) ts::copyTree(root.path(), keepAs);
  return outcome;
}

std::string cutName(const Trial& t) {
  return t.model == Model::kWeak ? std::to_string(t.cut) + "/" + std::to_string(t.keep) + "w"
                                 : std::to_string(t.cut);
}

// Every prefix whose ordered-model tree failed, as ranges of calls kept.
std::string failingRanges(const RecordedRun& run, const Trees& trees,
                          const std::map<std::string, Verdict>& verdicts) {
  std::vector<std::pair<std::size_t, std::size_t>> failing;
  for (std::size_t i = 0; i < trees.orderedCuts.size(); ++i) {
    auto v = verdicts.find(trees.orderedCuts[i].second);
    if (v == verdicts.end() || passed(v->second)) continue;
    const std::size_t first = trees.orderedCuts[i].first;
    const std::size_t last = i + 1 < trees.orderedCuts.size() ? trees.orderedCuts[i + 1].first - 1
                                                              : run.replay.callCount();
    if (!failing.empty() && failing.back().second + 1 == first) {
      failing.back().second = last;
    } else {
      failing.emplace_back(first, last);
    }
  }
  std::string ranges;
  for (const auto& [first, last] : failing) {
    ranges += " " + std::to_string(first) + (last > first ? "-" + std::to_string(last) : "");
  }
  return ranges;
}

void printCounts(const Scenario& scenario, const RecordedRun& run, Trees& trees,
                 const std::map<std::string, Verdict>& verdicts, std::size_t tried) {
  std::printf(
      "[powercut %s] %zu calls (%zu of them flushes), %zu prefixes, %zu distinct trees, %s %zu "
      "of them\n",
      scenario.name.c_str(), run.replay.callCount(), flushCalls(run.calls),
      run.replay.callCount() + 1, trees.distinct.size(),
      fullSweep() ? "tried all" : "tried a sample of", tried);
  for (auto& [model, c] : trees.counts) {
    for (const std::string& print : c.trees) {
      auto v = verdicts.find(print);
      if (v != verdicts.end()) ++c.verdicts[v->second];
    }
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
  const std::string ranges = failingRanges(run, trees, verdicts);
  if (!ranges.empty()) {
    std::printf("[powercut %s] failing prefixes under ordered metadata (calls kept):%s\n",
                scenario.name.c_str(), ranges.c_str());
  }
  std::fflush(stdout);
}

// The bytes a run wrote to its commit journal, and the call that first
// flushed them; no journal: empty.
struct JournalWrites {
  std::string bytes;
  std::size_t flush = 0;
};

JournalWrites journalWrites(const std::vector<powercut::Call>& calls) {
  JournalWrites found;
  int fd = -1;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const powercut::Call& call = calls[i];
    if (call.kind == powercut::CallKind::kOpen && call.created &&
        call.path.ends_with("/flash/var/pdb/.journal")) {
      fd = call.fd;
      found.bytes.clear();
    } else if (fd >= 0 && call.kind == powercut::CallKind::kWrite && call.fd == fd) {
      found.bytes += call.data;
    } else if (fd >= 0 && call.kind == powercut::CallKind::kClose && call.fd == fd) {
      fd = -1;
    } else if (!found.bytes.empty() && fd < 0 &&
               (call.kind == powercut::CallKind::kSyncfs ||
                call.kind == powercut::CallKind::kSync ||
                call.kind == powercut::CallKind::kFsync)) {
      found.flush = i;
      break;
    }
  }
  return found;
}

// A power cut may also keep part of a journal's bytes that no flush covered:
// a prefix, its last line torn anywhere, even just before its newline. On
// the tree of the cut before the journal's first flush, each such prefix
// must be taken for a cut (the next start ends with status 0 and the old
// tree), never for damage.
void tryTornJournals(const Scenario& scenario, const RecordedRun& run, const ts::SweepArea& area) {
  const JournalWrites journal = journalWrites(run.calls);
  if (journal.bytes.empty() || journal.flush == 0) return;
  const Replay::Cut cut = run.replay.materialize(journal.flush, Model::kOrderedMetadata);
  ASSERT_EQ(cut.error, "");
  // Every line's end, the byte before it, and the middle of each line.
  std::set<std::size_t> sizes;
  std::size_t start = 0;
  for (std::size_t end = journal.bytes.find('\n'); end != std::string::npos;
       end = journal.bytes.find('\n', start)) {
    sizes.insert({start + (end - start) / 2, end, end + 1});
    start = end + 1;
  }
  const std::vector<std::size_t> all(sizes.begin(), sizes.end());
  const std::vector<long> picks =
      ts::pointsToTry(static_cast<long>(all.size()), fullSweep() ? 1L << 30 : 60);
  int old = 0;
  for (long pick : picks) {
    const std::size_t size = all[static_cast<std::size_t>(pick - 1)];
    ts::CaseRoot root(area);
    ASSERT_EQ(powercut::writeTree(cut.tree, root.path()), "");
    ts::writeFile(root / "/flash/var/pdb/.journal", journal.bytes.substr(0, size));
    const ts::RunResult next = ts::runInstaller({"-r", root.path(), "--show"}, ts::withFault({}));
    const ts::TreeState now = persistentTree(root.path());
    if (next.status == 0 && now == run.before) {
      ++old;
      continue;
    }
    ADD_FAILURE() << scenario.name << ": a journal torn after " << size << " of "
                  << journal.bytes.size() << " bytes: status " << next.status << "\n"
                  << next.out << next.err << ts::describeDifference(run.before, now);
  }
  std::printf("[powercut %s] torn journals: %zu bytes, tried %zu prefixes: wholly old %d\n",
              scenario.name.c_str(), journal.bytes.size(), picks.size(), old);
  std::fflush(stdout);
}

void sweep(const Scenario& scenario) {
  if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  ts::SweepArea area;
  RecordedRun run;
  recordRun(scenario, area, run);
  if (testing::Test::HasFatalFailure()) return;
  Trees trees = buildTrees(run);

  // The installer started on each tree (or on a spread sample of them).
  const std::vector<long> picks = ts::pointsToTry(static_cast<long>(trees.distinct.size()),
                                                  fullSweep() ? 1L << 30 : kSampledTrees);
  const char* keepDir = std::getenv("POWERCUT_KEEP");
  std::map<std::string, Verdict> verdicts;
  std::vector<std::string> failures = trees.failures;
  std::string lastFailure;
  std::string failedCuts;
  for (long pick : picks) {
    const auto& [t, print] = trees.distinct[static_cast<std::size_t>(pick - 1)];
    const std::string keepAs = keepDir == nullptr
                                   ? ""
                                   : std::string(keepDir) + "/" + scenario.name + "-" +
                                         powercut::modelName(t.model) + "-" +
                                         std::to_string(t.cut) + "-" + std::to_string(t.keep);
    const Outcome outcome = tryTree(run, area, t, keepAs);
    verdicts[print] = outcome.verdict;
    if (passed(outcome.verdict)) continue;
    failedCuts += " " + cutName(t);
    // The first failures in full, and the last one (a run that does not
    // end durable shows there).
    const std::string failure = label(run.replay, run.calls, t) + ": " + outcome.why;
    if (failures.size() < 10) {
      failures.push_back(failure);
    } else {
      lastFailure = failure;
    }
  }

  printCounts(scenario, run, trees, verdicts, picks.size());
  if (!failedCuts.empty()) {
    std::printf(
        "[powercut %s] failing trees, by the first prefix that leaves each (\"N/Kw\": the "
        "weak model keeping K unflushed operations):%s\n",
        scenario.name.c_str(), failedCuts.c_str());
    std::fflush(stdout);
  }
  for (const std::string& failure : failures) ADD_FAILURE() << failure;
  if (!lastFailure.empty()) ADD_FAILURE() << lastFailure;
  if (!scenario.resultInRam) tryTornJournals(scenario, run, area);
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
bool prepareImageOf(const std::string& root, const std::string& package) {
  if (!ts::prepareUpgradeSystem(root, {3, 10})) return false;
  const auto bytes = ts::readFile(root + "/rw/pckg/.download/" + package + "-7.2.npk");
  if (!bytes) return false;
  ts::removeTree(root + "/rw/pckg/.download");
  ts::makeDirs(root + "/rw/pckg/.download");
  ts::writeFile(root + "/rw/pckg/image-input.npk", *bytes);
  return true;
}

bool prepareImage(const std::string& root) { return prepareImageOf(root, "pkg1"); }

// The kernel's package keeps its image: the run captures standard input on
// the flash.
bool prepareKernelImage(const std::string& root) { return prepareImageOf(root, "kernel"); }

ts::RunResult imageRun(const std::string& root, ts::RunOptions options) {
  options.input = ts::readFile(root + "/rw/pckg/image-input.npk").value_or("");
  options.env["bootimage"] = "1";
  return ts::runInstaller({"-r", root, "-"}, options);
}

installer::PayloadEntry fileEntry(const std::string& name, const std::string& data) {
  installer::PayloadEntry entry;
  entry.name = name;
  entry.data = data;
  return entry;
}

// The same system with a package whose directory "lib/foo" the downloaded
// new version has as a file: the whole directory is backed up and put back
// as one.
bool prepareDirectoryToFile(const std::string& root) {
  if (!ts::prepareUpgradeSystem(root, {3, 10})) return false;
  ts::RunOptions options = ts::withFault({});
  options.input = ts::signedPackage(
      ts::fixtureHeader("tool", kFirst),
      {fileEntry("lib/foo/a", "a"), fileEntry("lib/foo/b", "b"), fileEntry("lib/foo/sub/c", "c")});
  options.env["bootimage"] = "1";
  const ts::RunResult installed = ts::runInstaller({"-r", root, "-"}, options);
  if (installed.status != 0) {
    ADD_FAILURE() << "installing tool: " << installed.out << installed.err;
    return false;
  }
  ts::removeTree(root + "/flash/postlog");
  constexpr installer::Version kNext = installer::makeVersion(7, 2, installer::kStageFinal, 0);
  ts::writeFile(root + "/rw/pckg/.download/tool-7.2.npk",
                ts::signedPackage(ts::fixtureHeader("tool", kNext), {fileEntry("lib/foo", "foo")}));
  return true;
}

// "--safe": the upgrade staged and kept for a later "--commit".
ts::RunResult safeRun(const std::string& root, ts::RunOptions options) {
  options.env["bootimage"] = "1";
  return ts::runInstaller({"-r", root, "--safe"}, std::move(options));
}

ts::RunResult commitRun(const std::string& root, ts::RunOptions options) {
  return ts::runInstaller({"-r", root, "--commit"}, std::move(options));
}

bool safeFirst(const std::string& root) {
  const ts::RunResult kept = safeRun(root, ts::withFault({}));
  if (kept.status != 0) ADD_FAILURE() << "--safe: " << kept.out << kept.err;
  ts::removeTree(root + "/flash/postlog");
  return kept.status == 0;
}

TEST(PowerCut, UpgradeRunRecoversWhollyOldOrWhollyNew) {
  sweep({"upgrade", prepareUpgrade, upgradeRun, nullptr, false});
}

TEST(PowerCut, ImageModeRecoversWhollyOldOrWhollyNew) {
  sweep({"image", prepareImage, imageRun, nullptr, false});
}

TEST(PowerCut, ImageModeKeepingItsCaptureRecoversWhollyOldOrWhollyNew) {
  sweep({"image, kept capture", prepareKernelImage, imageRun, nullptr, false});
}

TEST(PowerCut, DirectoryBecomingAFileRecoversWhollyOldOrWhollyNew) {
  sweep({"directory to file", prepareDirectoryToFile, upgradeRun, nullptr, false});
}

// The kept manifest is in "/ram", which a power cut empties: whatever the
// cut, the files "--safe" staged go and the old tree is back.
TEST(PowerCut, SafeRunComesBackWhollyOld) {
  sweep({"safe", prepareUpgrade, safeRun, nullptr, true});
}

TEST(PowerCut, CommitOfAKeptManifestRecoversWhollyOldOrWhollyNew) {
  sweep({"commit", prepareUpgrade, commitRun, safeFirst, false});
}

}  // namespace
