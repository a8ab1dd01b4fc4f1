// pkgtool plan: what the installer's upgrade run would do on a router root,
// found by running the installer's own settling, planning and installing
// code on a planning manifest, which creates, changes and removes nothing.
#include <algorithm>
#include <sstream>

#include "cli/exit_status.h"
#include "console/console.h"
#include "console/run_output.h"
#include "pkgtool/installed.h"
#include "pkgtool/pkgtool.h"
#include "pkgtool/plan_report.h"
#include "pkgtool/router_root.h"
#include "pkgtool/text_table.h"
#include "txn/planning.h"
#include "upgrade/upgrade_run.h"

namespace installer {
namespace {

constexpr char kUsage[] =
    "usage: pkgtool plan [--root DIR] [--downgrade] [--reinstall] [DIR...]\n"
    "\n"
    "Shows what the installer's upgrade run would do on the router under DIR\n"
    "(default /) with the package files of its download directories, or of\n"
    "every DIR given, and its schedule files: the packages it would install,\n"
    "upgrade, downgrade, reinstall, uninstall, disable or enable, the files it\n"
    "would refuse and why, the free-space verdict, the messages it would print\n"
    "and its exit status. Nothing is written anywhere. --downgrade and\n"
    "--reinstall stand for the installer's -down and --reinstall. Exit status\n"
    "0 when the run would succeed, 1 when it would fail or change nothing for\n"
    "a refused file.\n";

// What the simulated run gives.
struct Simulation {
  std::vector<RecordState> before;
  std::vector<std::string> scheduled;  // "action label" as loaded
  UpgradeTrace trace;
  std::vector<Package> installed;
  std::vector<std::string> messages;  // as the run would print them
  bool spaceChecked = true;
  bool spaceOk = true;
  bool changes = false;
  int status = 0;
};

// The upgrade run's steps, on a planning manifest. The console of the run
// is not shown: it goes to a stream of its own, and its messages are kept.
void simulate(Repository& repo, InstallFlags flags, const std::vector<std::string>& dirs,
              Simulation& run) {
  run.before = snapshot(repo);
  for (const auto& p : repo.packages) {
    if (p->action != PendingAction::kNone) {
      run.scheduled.push_back(std::string(actionWord(p->action)) + " " + packageLabel(*p));
    }
  }
  std::ostringstream console;
  RunOutput output;
  output.stream = &console;

  Planning planning;
  Manifest manifest;
  manifest.planning = &planning;
  UpgradeDecision decision = decideUpgrade(repo, output, manifest, flags, dirs, &run.trace);
  run.installed = std::move(decision.installed);
  run.spaceChecked = (flags & kFlagReinstall) == 0;
  if (decision.verdict == UpgradeVerdict::kUnreadable) {
    run.status = static_cast<int>(ExitStatus::kFailed);
  }
  // The upgrade run's own steps up to its first rename: the marker is
  // staged, and the commit is prepared, its copies across file systems
  // predicted.
  bool noSpace = decision.verdict == UpgradeVerdict::kNoSpace;
  if (!manifest.empty()) {
    if (!stageChangedMarker(output, manifest)) {
      cancelManifest(manifest);
      run.installed.clear();
      run.status = static_cast<int>(ExitStatus::kFailed);
    } else if (settleUnreadyCommit(output, manifest, predictCommit(manifest), "") ==
               CommitOutcome::kNoSpace) {
      noSpace = true;
    }
  }
  if (noSpace) {
    run.installed.clear();
    run.spaceOk = false;
    // Nothing is installed then, as after a failed file.
    run.trace.failed = true;
    run.status = static_cast<int>(ExitStatus::kNoSpace);
  }
  for (const auto& package : run.installed) {
    inform(output, "installed %s", packageLabel(package).c_str());
  }
  run.changes = !manifest.empty();
  setStatusLine(output, "");
  run.messages = std::move(output.messages);
}

std::string render(const Simulation& run, const std::vector<Decision>& decisions) {
  std::ostringstream out;
  if (!run.scheduled.empty()) {
    out << "scheduled:\n";
    for (const std::string& line : run.scheduled) out << "  " << forTerminal(line) << "\n";
  }
  out << "decisions:\n";
  TextTable table;
  for (const Decision& d : decisions) table.addRow({"  " + d.action, d.subject, d.detail});
  out << (decisions.empty() ? "  none\n" : table.render());
  out << "free space: "
      << (!run.spaceChecked ? "not checked (--reinstall)"
          : run.spaceOk     ? "enough"
                            : "not enough space for upgrade")
      << "\n";
  out << "result: "
      << (run.changes ? "the run would change the flash"
                      : "the run would change nothing on the flash")
      << ", exit status " << run.status << "\n";
  out << "messages:\n";
  for (const std::string& line : run.messages) out << "  " << forTerminal(line) << "\n";
  if (run.messages.empty()) out << "  none\n";
  return out.str();
}

}  // namespace

int runPlan(const std::vector<std::string>& words, ToolContext& context) {
  OptionTable table;
  table.withValue = {"--root"};
  table.flags = {"--downgrade", "--reinstall"};
  Arguments args;
  if (auto status = parseCommand(words, table, kUsage, context, args)) return *status;
  InstallFlags flags = 0;
  if (args.has("--downgrade")) flags |= kFlagDowngrade;
  if (args.has("--reinstall")) flags |= kFlagReinstall;

  // The directories given are named from outside the root.
  std::vector<std::string> dirs;
  for (const std::string& dir : args.positional) {
    std::string outside = outsidePath(dir);
    if (outside.empty()) return toolError(context, "cannot find " + dir);
    dirs.push_back(outside + "/");
  }
  std::string error;
  Repository repo;
  if (!enterRoot(args.value("--root").value_or("/"), error) || !loadInstalled(repo, error)) {
    return toolError(context, error);
  }

  Simulation run;
  simulate(repo, flags, dirs, run);
  std::vector<Decision> decisions;
  if (!run.trace.failed && run.spaceOk) decisions = changes(run.before, repo, run.installed);
  for (Decision& d : leftOut(run.trace, run.installed, run.messages)) decisions.push_back(d);
  context.out << render(run, decisions);
  const bool refused = std::any_of(decisions.begin(), decisions.end(),
                                   [](const Decision& d) { return d.action == "refused"; });
  return run.trace.failed || !run.spaceOk || refused ? kToolFailed : kToolOk;
}

}  // namespace installer
