#include "support/fault_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

namespace testing_support {

RunOptions withFault(RunOptions options, const FaultPlan& plan) {
  std::string library = FAULTSHIM_LIBRARY;
  if (!options.chrootTo.empty()) {
    // The binary's directory, which holds the library too, is bound there.
    library = "/.testbin" + library.substr(library.find_last_of('/'));
  }
  options.env["LD_PRELOAD"] = library;
  // A sanitizer runtime wants to come first; the library only forwards calls.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                                (asan != nullptr ? ":" : "") + "verify_asan_link_order=0";
  if (plan.at > 0) {
    options.env["FAULT_AT"] = std::to_string(plan.at);
    options.env["FAULT_ACTION"] = plan.action;
    options.env["FAULT_ERRNO"] = plan.error;
  }
  options.env["FAULT_SKIP_SYNC"] = "1";
  if (!plan.calls.empty()) options.env["FAULT_CALLS"] = plan.calls;
  if (!plan.log.empty()) options.env["FAULT_LOG"] = plan.log;
  return options;
}

SweepArea::SweepArea() : area_(root_.path() + "/area") {
  if (canMountTmpfs()) mountTmpfs(area_, "256m");
  makeDirs(area_);
}

CaseRoot::CaseRoot(const SweepArea& area) {
  std::string pattern = area.path() + "/caseXXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

CaseRoot::~CaseRoot() {
  if (!path_.empty()) removeTree(path_);
}

std::vector<FaultCall> readFaultLog(const std::string& path) {
  std::vector<FaultCall> calls;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    FaultCall call;
    if (!(fields >> call.n >> call.kind)) continue;
    std::getline(fields >> std::ws, call.detail);
    calls.push_back(call);
  }
  return calls;
}

TreeState snapshotTree(const std::string& dir) {
  TreeState state;
  std::istringstream lines(treeListing(dir));
  std::string line;
  while (std::getline(lines, line)) {
    const auto blank = line.find(' ');
    state[line.substr(0, blank)] = blank == std::string::npos ? "" : line.substr(blank + 1);
  }
  return state;
}

TreeState without(TreeState state, const std::vector<std::string>& paths) {
  for (const auto& p : paths) state.erase(p);
  return state;
}

bool isTemporaryPath(const std::string& path) {
  // Staging's and the manifest file's temporary names, and the image mode's
  // capture of standard input.
  static const std::regex pattern(
      "(^|.*/)(tmp[A-Za-z0-9]{6}|[^/]+\\.[A-Za-z0-9]{6})$|(^|.*/)flash/var/pdb/image$");
  return std::regex_match(path, pattern);
}

OldOrNewReport checkOldOrNew(const TreeState& before, const TreeState& after,
                             const TreeState& now) {
  OldOrNewReport report;
  auto stateIn = [](const TreeState& s, const std::string& path) {
    auto it = s.find(path);
    return it == s.end() ? std::string("(missing)") : it->second;
  };
  for (const auto& [path, state] : now) {
    const std::string old = stateIn(before, path);
    const std::string fresh = stateIn(after, path);
    if (state == old || state == fresh) continue;
    if (old == "(missing)" && fresh == "(missing)") {
      if (!path.empty() && path.back() == '/') {
        report.newDirectories.push_back(path);
        continue;
      }
      if (isTemporaryPath(path)) {
        report.temporaries.push_back(path);
        continue;
      }
    }
    report.violations.push_back(path + ": now " + state + "; old " + old + "; new " + fresh);
  }
  for (const auto& [path, state] : before) {
    if (now.count(path) == 0 && after.count(path) != 0) {
      report.violations.push_back(path + ": missing; old " + state + "; new " + after.at(path));
    }
  }
  return report;
}

namespace {

std::string collapseSlashes(std::string path) {
  for (std::size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
  return path;
}

}  // namespace

std::vector<std::string> checkDurability(const std::vector<FaultCall>& calls) {
  std::vector<std::string> problems;
  std::map<std::string, long> lastWrite;
  std::map<std::string, long> lastSync;
  // Flushes of a whole file system (syncfs on a directory, logged as an
  // fsync of a path the run never wrote) cover every file written before.
  std::vector<long> fileSystemFlushes;
  long firstRename = 0;
  long lastRename = 0;
  long lastSyncAll = 0;
  for (const FaultCall& call : calls) {
    const std::string path = collapseSlashes(call.detail);
    if (call.kind == "write") {
      lastWrite[path] = call.n;
    } else if (call.kind == "fsync") {
      if (lastWrite.count(path) != 0) {
        lastSync[path] = call.n;
      } else {
        fileSystemFlushes.push_back(call.n);
        lastSyncAll = call.n;
      }
    } else if (call.kind == "sync") {
      lastSyncAll = call.n;
      fileSystemFlushes.push_back(call.n);
    } else if (call.kind == "rename") {
      const auto from = path.find(" from ");
      if (from == std::string::npos) continue;
      const std::string source = path.substr(from + 6);
      // "/ram" does not outlive the power: what lands there needs no flush.
      if (path.find("/ram/") != std::string::npos) continue;
      if (firstRename == 0) firstRename = call.n;
      lastRename = call.n;
      auto written = lastWrite.find(source);
      if (written == lastWrite.end()) continue;
      const long due = written->second < firstRename ? firstRename : call.n;
      const long synced = lastSync.count(source) != 0 ? lastSync[source] : 0;
      bool durable = synced > written->second && synced <= due;
      for (const long flush : fileSystemFlushes) {
        durable = durable || (flush > written->second && flush <= due);
      }
      if (!durable) {
        problems.push_back("call " + std::to_string(call.n) + ": rename of " + source +
                           " (last written at call " + std::to_string(written->second) +
                           ") without a flush of it before call " + std::to_string(due));
      }
    }
  }
  if (lastRename != 0 && lastSyncAll < lastRename) {
    problems.push_back("no flush after the last rename (call " + std::to_string(lastRename) + ")");
  }
  return problems;
}

bool sanitizerReported(const RunResult& run) {
  return run.err.find("ERROR: AddressSanitizer") != std::string::npos ||
         run.err.find("ERROR: LeakSanitizer") != std::string::npos ||
         run.err.find("runtime error:") != std::string::npos;
}

void SweepCounts::print() const {
  std::printf("[%s] tried %d, refused %d, accepted-identical %d, commit-partial %d, other %zu\n",
              name.c_str(), tried, refused, acceptedIdentical, commitPartial, other.size());
  std::fflush(stdout);
}

bool fullSweep() {
  const char* full = std::getenv("FAULT_SWEEP_FULL");
  return full != nullptr && std::string(full) == "1";
}

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

void copyTree(const std::string& from, const std::string& to) {
  const RunResult copy = runProgram("/bin/cp", {"-a", from + "/.", to});
  if (copy.status != 0) std::fprintf(stderr, "cp -a %s: %s\n", from.c_str(), copy.err.c_str());
}

std::string describeDifference(const TreeState& a, const TreeState& b) {
  std::string text;
  for (const auto& [path, state] : a) {
    auto it = b.find(path);
    if (it == b.end()) {
      text += "  missing: " + path + " " + state + "\n";
    } else if (it->second != state) {
      text += "  changed: " + path + " " + state + " -> " + it->second + "\n";
    }
  }
  for (const auto& [path, state] : b) {
    if (a.count(path) == 0) text += "  extra: " + path + " " + state + "\n";
  }
  return text;
}

namespace {

constexpr char kRunRecord[] = "/flash/var/pdb/.last-run";

std::string recordValue(const std::optional<std::string>& text, const std::string& key) {
  if (!text) return "<none>";
  const std::string wanted = "\n" + key + "=";
  const std::size_t at = text->find(wanted);
  if (at == std::string::npos) return "<none>";
  const std::size_t from = at + wanted.size();
  return text->substr(from, text->find('\n', from) - from);
}

}  // namespace

void noteRecordBeforeStart(const std::string& root, RecordAroundStart& record) {
  record.beforeStart = readFile(root + kRunRecord);
  record.journalBeforeStart = exists(root + "/flash/var/pdb/.journal");
}

void noteRecordAfterStart(const std::string& root, RecordAroundStart& record) {
  record.now = readFile(root + kRunRecord);
}

std::string recordProblem(const RecordAroundStart& record, std::optional<bool> wholeOld) {
  const std::string mode = recordValue(record.now, "mode");
  const std::string outcome = recordValue(record.now, "outcome");
  const std::string said = "the record says mode " + mode + ", outcome " + outcome;
  if (record.now != record.beforeStart) {
    if (!record.now || !record.now->starts_with("installer-run 1\n")) {
      return "the start left no whole record";
    }
    if (mode != "recovery") return "the start changed the record, but " + said;
    if (!record.journalBeforeStart) {
      return outcome == "cleaned-up" ? "" : "no journal was there, but " + said;
    }
    if (outcome != "rolled-back" && outcome != "rolled-forward") {
      return "a journal was there, but " + said;
    }
    if (wholeOld && *wholeOld != (outcome == "rolled-back")) {
      return std::string("the tree is wholly ") + (*wholeOld ? "old" : "new") + ", but " + said;
    }
    return "";
  }
  if (record.journalBeforeStart) return "a journal was there, but the record stayed: " + said;
  if (!wholeOld) return "";
  // Left as the run left it: a whole new tree was committed by the run and
  // says so; an old one was never told of as committed by the run.
  if (!*wholeOld && outcome != "committed") return "the tree is wholly new, but " + said;
  if (*wholeOld && record.now != record.beforeRun && outcome == "committed") {
    return "the tree is wholly old, but " + said;
  }
  return "";
}

}  // namespace testing_support
