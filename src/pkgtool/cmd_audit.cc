// pkgtool audit: whether the files on an installed router are still those
// its packages put there.
#include <algorithm>
#include <fstream>
#include <memory>
#include <set>

#include "console/run_output.h"
#include "pkgtool/audit.h"
#include "pkgtool/installed.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/regular_file.h"
#include "pkgtool/router_root.h"
#include "pkgtool/text_table.h"
#include "upgrade/driver.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool audit [--root DIR] [--against DIR]\n"
    "\n"
    "Compares the files installed under DIR (default /) with what the packages\n"
    "put there: packages kept as their package file (image-based packages,\n"
    "bundles, the boot image) against that file, the others against the\n"
    "package files of the release in the --against directory. Reports files\n"
    "that are missing, changed in content or mode, and unowned files in the\n"
    "directories that hold package files. Exit status 1 when anything differs.\n";

using PackageFiles = std::vector<std::unique_ptr<PackageFile>>;

// The release's file of the installed package `p`, or null.
const PackageFile* releaseFileOf(const PackageFiles& release, const InstalledPackage& p) {
  for (const auto& file : release) {
    const auto same = [&](const Package& q) {
      return q.name == p.name && q.version == p.version && q.buildTime == p.buildTime;
    };
    if (same(*file)) return file.get();
    if (std::any_of(file->members.begin(), file->members.end(),
                    [&](const auto& member) { return same(*member); })) {
      return file.get();
    }
  }
  return nullptr;
}

bool auditFile(const Repository& repo, const std::string& path, std::vector<AuditFinding>& findings,
               std::set<std::string>& owned) {
  RegularFileStream in;
  return in.open(path) == RegularOpen::kOpened && auditAgainstFile(repo, in, findings, owned);
}

}  // namespace

int runAudit(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--root", "--against"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  if (!args.positional.empty()) {
    context.err << kUsage;
    return kToolUsage;
  }
  std::string against;
  if (auto dir = args.value("--against")) {
    against = outsidePath(*dir);
    if (against.empty()) return toolError(context, "cannot find " + *dir);
    against += "/";
  }
  std::string error;
  Repository repo;
  if (!enterRoot(args.value("--root").value_or("/"), error) || !loadInstalled(repo, error)) {
    return toolError(context, error);
  }
  PackageFiles release;
  if (!against.empty()) {
    // The files the scan refuses are not the audit's findings.
    RunOutput quiet;
    quiet.quiet = true;
    scanPackageDir(quiet, against, release);
  }

  std::vector<AuditFinding> findings;
  std::set<std::string> owned;
  std::vector<std::string> checkedFiles;
  const auto checkOnce = [&](const std::string& path, const InstalledPackage& p) {
    if (std::find(checkedFiles.begin(), checkedFiles.end(), path) != checkedFiles.end()) return;
    checkedFiles.push_back(path);
    if (!auditFile(repo, path, findings, owned)) {
      findings.push_back({"unchecked", packageLabel(p), "cannot read " + path});
    }
  };
  for (const auto& p : repo.packages) {
    if (isPlaceholder(*p)) continue;
    findMissing(*p, findings);
    // A member kept inside its bundle's file is checked with the bundle.
    const bool keptInBundle = !p->bundle.name.empty() && p->bundle.minVersion != 0;
    const std::string kept = keptInBundle ? std::string() : keptImage(*p);
    if (!kept.empty()) {
      checkOnce(kept, *p);
    } else if (const PackageFile* file = releaseFileOf(release, *p)) {
      checkOnce(file->path, *p);
    } else if (!keptInBundle && !p->files.empty()) {
      findings.push_back({"unchecked", packageLabel(*p),
                          against.empty() ? "no package file to compare with (see --against)"
                                          : "no package file of this version in the release"});
    }
  }
  findUnowned(repo, owned, findings);

  TextTable report;
  std::size_t differences = 0;
  for (const AuditFinding& f : findings) {
    report.addRow({f.kind, f.path, f.detail});
    if (f.kind != "unchecked") ++differences;
  }
  context.out << report.render();
  context.out << (differences == 0 ? std::string("no differences")
                                   : std::to_string(differences) +
                                         (differences == 1 ? " difference" : " differences"))
              << "\n";
  return differences == 0 ? kToolOk : kToolFailed;
}

}  // namespace installer
