#include "pkgtool/plan_report.h"

#include <algorithm>
#include <set>

namespace installer {
namespace {

const RecordState* stateNamed(const std::vector<RecordState>& states, const std::string& name) {
  for (const RecordState& s : states) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

// The installed names: each package, and each member of a bundle.
void installedNames(const std::vector<Package>& installed, std::vector<std::string>& names) {
  for (const Package& p : installed) {
    names.push_back(p.name);
    for (const auto& member : p.members) names.push_back(member->name);
  }
}

std::string change(Version from, Version to) {
  return versionText(from) + " -> " + versionText(to);
}

Decision installDecision(const RecordState* old, const InstalledPackage* now,
                         const std::string& name) {
  if (now == nullptr) return {"uninstall", name, "installed, then taken out again by settling"};
  std::string detail;
  if (!now->bundle.name.empty()) detail = "member of " + now->bundle.name;
  if (now->disabled) detail += std::string(detail.empty() ? "" : ", ") + "disabled";
  const auto withDetail = [&](std::string text) {
    return detail.empty() ? text : text + " (" + detail + ")";
  };
  if (old == nullptr) return {"install", name, withDetail(versionText(now->version))};
  const int order = now->version != old->version       ? (now->version > old->version ? 1 : -1)
                    : now->buildTime != old->buildTime ? (now->buildTime > old->buildTime ? 1 : -1)
                                                       : 0;
  if (order > 0) return {"upgrade", name, withDetail(change(old->version, now->version))};
  if (order < 0) return {"downgrade", name, withDetail(change(old->version, now->version))};
  return {"reinstall", name, withDetail(versionText(now->version))};
}

}  // namespace

std::vector<RecordState> snapshot(const Repository& repo) {
  std::vector<RecordState> states;
  for (const auto& p : repo.packages) {
    states.push_back({p->name, p->version, p->buildTime, p->disabled});
  }
  return states;
}

std::vector<Decision> changes(const std::vector<RecordState>& before, const Repository& after,
                              const std::vector<Package>& installed) {
  std::vector<Decision> decisions;
  std::vector<std::string> names;
  installedNames(installed, names);
  for (const std::string& name : names) {
    decisions.push_back(installDecision(stateNamed(before, name), findRecord(after, name), name));
  }
  std::set<std::string> seen(names.begin(), names.end());
  for (const RecordState& old : before) {
    if (!seen.insert(old.name).second) continue;
    const InstalledPackage* now = findRecord(after, old.name);
    const std::string version = versionText(old.version);
    if (now == nullptr) {
      decisions.push_back({"uninstall", old.name, version});
    } else if (now->disabled && !old.disabled) {
      decisions.push_back({"disable", old.name, version});
    } else if (!now->disabled && old.disabled) {
      decisions.push_back({"enable", old.name, version});
    }
  }
  return decisions;
}

std::vector<Decision> leftOut(const UpgradeTrace& trace, const std::vector<Package>& installed,
                              const std::vector<std::string>& messages) {
  std::vector<std::string> installedLabels;
  for (const Package& p : installed) installedLabels.push_back(packageLabel(p));
  const auto reasonFor = [&](const std::string& label) {
    for (const std::string& message : messages) {
      const std::size_t at = message.find(label);
      if (at == std::string::npos) continue;
      const std::size_t end = at + label.size();
      // The label itself, not the start of a longer one ("foo-7.1" in
      // "foo-7.1.2").
      if (end == message.size() || message[end] == ':' || message[end] == ' ') return message;
    }
    return std::string("no reason given");
  };
  std::vector<Decision> decisions;
  for (const UpgradeTrace::File& file : trace.found) {
    const bool planned =
        std::any_of(trace.planned.begin(), trace.planned.end(),
                    [&](const UpgradeTrace::File& p) { return p.path == file.path; });
    if (!planned) decisions.push_back({"omitted", file.label, reasonFor(file.label)});
  }
  for (const UpgradeTrace::File& file : trace.planned) {
    if (file.result > 0) decisions.push_back({"refused", file.label, reasonFor(file.label)});
    if (file.result < 0 && trace.failed) {
      decisions.push_back({"skipped", file.label, "not tried: the run stops at the first failure"});
    }
    if (file.result == 0 && !trace.failed &&
        std::find(installedLabels.begin(), installedLabels.end(), file.label) ==
            installedLabels.end()) {
      decisions.push_back({"omitted", file.label, "not installed"});
    }
  }
  return decisions;
}

}  // namespace installer
