#include "support/fault_run.h"

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
  if (!plan.calls.empty()) options.env["FAULT_CALLS"] = plan.calls;
  if (!plan.log.empty()) options.env["FAULT_LOG"] = plan.log;
  return options;
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
  static const std::regex pattern("(^|.*/)(tmp[A-Za-z0-9]{6}|[^/]+\\.[A-Za-z0-9]{6})$");
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

}  // namespace testing_support
