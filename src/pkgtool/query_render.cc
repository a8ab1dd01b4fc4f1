// The renderings of the read-only queries.
#include "console/listing.h"
#include "pkgtool/installed.h"
#include "pkgtool/json.h"
#include "pkgtool/query.h"
#include "pkgtool/text_table.h"

namespace installer {
namespace {

std::string stateText(const InstalledPackage& p) {
  const char* by = disabledBy(p);
  return by == nullptr ? "enabled" : std::string("disabled (") + by + ")";
}

std::string kindText(const InstalledPackage& p) {
  if (p.isBundle) return "bundle";
  if (!p.bundle.name.empty()) return "member of " + p.bundle.name;
  return "package";
}

std::string orDash(const std::string& text) { return text.empty() ? "-" : text; }

// As a description file writes it: "name min=V max=V priority=N".
std::string dependencyText(const Dependency& d) {
  std::string text = d.name;
  if (d.minVersion != 0) text += " min=" + versionText(d.minVersion);
  if (d.maxVersion != 0) text += " max=" + versionText(d.maxVersion);
  if (d.priority != 0) text += " priority=" + std::to_string(d.priority);
  return text;
}

std::string listText(const std::vector<Dependency>& list) {
  std::string text;
  for (const Dependency& d : list) text += (text.empty() ? "" : ", ") + dependencyText(d);
  return orDash(text);
}

std::string jsonOrNull(const std::string& text) { return text.empty() ? "null" : jsonString(text); }
std::string jsonVersion(Version v) { return v == 0 ? "null" : jsonString(versionText(v)); }

std::string dependenciesJson(const std::vector<Dependency>& list) {
  std::string out = "[";
  for (const Dependency& d : list) {
    if (out.size() > 1) out += ", ";
    out += "{\"name\": " + jsonString(d.name) + ", \"min_version\": " + jsonVersion(d.minVersion) +
           ", \"max_version\": " + jsonVersion(d.maxVersion) +
           ", \"priority\": " + std::to_string(d.priority) + "}";
  }
  return out + "]";
}

std::string namesJson(const std::vector<const InstalledPackage*>& records) {
  std::string out = "[";
  for (const InstalledPackage* p : records) {
    if (out.size() > 1) out += ", ";
    out += jsonString(p->name);
  }
  return out + "]";
}

// The one package object of every JSON form.
std::string packageJson(const Repository& repo, const InstalledPackage& p,
                        const std::string& indent) {
  const std::string next = ",\n" + indent + "  ";
  const char* by = disabledBy(p);
  std::string out = "{\n" + indent + "  \"name\": " + jsonString(p.name);
  out += next + "\"version\": " + jsonString(versionText(p.version));
  out += next + "\"version_code\": " + std::to_string(p.version);
  out += next + "\"build_time\": " + std::to_string(p.buildTime);
  out += next + "\"built\": " + jsonString(buildTimeText(p.buildTime));
  out += next + "\"state\": " + jsonString(p.disabled ? "disabled" : "enabled");
  out += next + "\"disabled_by\": " + (by == nullptr ? "null" : jsonString(by));
  out += next + "\"user_choice\": " + (p.userChoice ? "true" : "false");
  out += next + "\"bundle\": " + (p.isBundle ? "true" : "false");
  out += next + "\"members\": " + namesJson(membersOf(repo, p));
  out += next + "\"member_of\": " + jsonOrNull(p.bundle.name);
  out += next + "\"scheduled\": " + jsonOrNull(actionWord(p.action));
  out += next + "\"note\": " + jsonString(p.note);
  out += next + "\"depends\": " + dependenciesJson(p.depends);
  out += next + "\"provides\": " + dependenciesJson(p.provides);
  out += next + "\"conflicts\": " + dependenciesJson(p.conflicts);
  out += next + "\"kept_image\": " + jsonOrNull(keptImage(p));
  out += next + "\"boot_image\": " + jsonOrNull(bootImage(p));
  out += next + "\"file_count\": " + std::to_string(p.files.size());
  return out + "\n" + indent + "}";
}

}  // namespace

std::string listText(const Repository& repo) {
  TextTable table;
  table.addRow({"Name", "Version", "Built", "State", "Kind", "Scheduled", "Note"});
  for (const auto& p : repo.packages) {
    table.addRow({p->name, versionText(p->version), buildTimeText(p->buildTime), stateText(*p),
                  kindText(*p), orDash(actionWord(p->action)), p->note});
  }
  return table.render();
}

std::string listJson(const Repository& repo, const std::string& root) {
  std::string out = "{\n  \"root\": " + jsonString(root) + ",\n  \"packages\": [";
  bool first = true;
  for (const auto& p : repo.packages) {
    out += first ? "\n    " : ",\n    ";
    out += packageJson(repo, *p, "    ");
    first = false;
  }
  out += first ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

std::string infoText(const Repository& repo, const InstalledPackage& p) {
  std::string members;
  for (const InstalledPackage* member : membersOf(repo, p)) {
    members += (members.empty() ? "" : ", ") + member->name;
  }
  TextTable table;
  table.addRow({"Name:", p.name});
  table.addRow({"Version:", versionText(p.version)});
  table.addRow({"Built:", buildTimeText(p.buildTime)});
  table.addRow({"State:", stateText(p)});
  table.addRow({"Kind:", kindText(p)});
  if (p.isBundle) table.addRow({"Members:", orDash(members)});
  table.addRow({"Scheduled:", orDash(actionWord(p.action))});
  table.addRow({"Note:", orDash(p.note)});
  table.addRow({"Depends:", listText(p.depends)});
  table.addRow({"Provides:", listText(p.provides)});
  table.addRow({"Conflicts:", listText(p.conflicts)});
  table.addRow({"Kept image:", orDash(keptImage(p))});
  table.addRow({"Boot image:", orDash(bootImage(p))});
  table.addRow({"Files:", std::to_string(p.files.size())});
  return table.render();
}

std::string infoJson(const Repository& repo, const InstalledPackage& p, const std::string& root) {
  return "{\n  \"root\": " + jsonString(root) + ",\n  \"package\": " + packageJson(repo, p, "  ") +
         "\n}\n";
}

std::string filesText(const Repository& repo, const InstalledPackage& p) {
  std::string out;
  for (const std::string_view path : ownedFiles(repo, p)) out += forTerminal(path) + '\n';
  return out;
}

std::string filesJson(const Repository& repo, const InstalledPackage& p, const std::string& root) {
  std::string out = "{\n  \"root\": " + jsonString(root) +
                    ",\n  \"package\": " + jsonString(p.name) + ",\n  \"files\": [";
  bool first = true;
  for (const std::string_view path : ownedFiles(repo, p)) {
    out += (first ? "\n    " : ",\n    ") + jsonString(path);
    first = false;
  }
  out += first ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

std::string ownersText(const std::vector<const InstalledPackage*>& owners) {
  std::string out;
  for (const InstalledPackage* p : owners) out += forTerminal(p->name) + '\n';
  return out;
}

std::string ownersJson(const std::string& path, const std::vector<const InstalledPackage*>& owners,
                       const std::string& root) {
  return "{\n  \"root\": " + jsonString(root) + ",\n  \"path\": " + jsonString(path) +
         ",\n  \"owners\": " + namesJson(owners) + "\n}\n";
}

}  // namespace installer
