#include "apply/schedule.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/package_records.h"
#include "support/sandbox.h"
#include "txn/staging.h"

namespace installer {
namespace {

using testing_support::dep;
using testing_support::OutputCapture;
using testing_support::ver;
using A = PendingAction;

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";

// What the console shows for a status line followed by a plain message.
std::string statusThenMessage(const std::string& status, const std::string& message) {
  return kHide + "\r" + status + "\r" + kShow + kHide + "\r" + std::string(status.size(), ' ') +
         "\r" + kShow + message + "\n";
}

// Each test runs in a fresh root holding the database directories of the
// records it adds, with a fresh repository and manifest.
class ScheduleTest : public testing_support::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
    testing_support::makeDirs("/ram");
  }

  InstalledPackage& add(const std::string& name, Version version = ver(1, 0)) {
    testing_support::makeDirs("/flash/var/pdb/" + name);
    return testing_support::addRecord(repo_, name, version);
  }

  InstalledPackage& addBundle(const std::string& name, const std::vector<std::string>& members) {
    InstalledPackage& bundle = add(name);
    bundle.isBundle = true;
    for (const std::string& member : members) add(member).bundle = dep(name, ver(1, 0), ver(1, 0));
    return *findRecord(repo_, name);
  }

  bool run(Verbosity verbosity) {
    OutputCapture out(console_);
    const bool result = applyScheduledActions(repo_, console_, manifest_, verbosity);
    output_ = out.text();
    return result;
  }

  // "name[ off]:action" of every record, in repository order.
  std::string states() const {
    std::string text;
    for (const auto& p : repo_.packages) {
      if (!text.empty()) text += ' ';
      text += p->name + (p->disabled ? " off" : "");
      if (p->action != A::kNone) text += std::string(":") + actionWord(p->action);
    }
    return text;
  }

  // One line per entry: "U path", or "M path <content>" for staged files.
  std::string staged() const {
    std::string text;
    for (const auto& [target, entry] : manifest_.entries) {
      const std::string path(target);
      if (entry.op == ManifestOp::kRemove) {
        text += "U " + path + "\n";
      } else {
        std::string content = testing_support::readFile(sourceOf(path, entry)).value_or("?");
        if (!content.empty() && content.back() == '\n') content.pop_back();
        text += "M " + path + " " + content + "\n";
      }
    }
    return text;
  }

  Repository repo_;
  RunOutput console_;
  Manifest manifest_;
  std::string output_;
};

TEST_F(ScheduleTest, EmptyRepositoryDoesNothing) {
  EXPECT_FALSE(run(Verbosity::kReport));
  EXPECT_EQ(output_, "");
  EXPECT_TRUE(manifest_.empty());
}

TEST_F(ScheduleTest, NothingScheduledDoesNothing) {
  add("a");
  add("b").disabled = true;
  EXPECT_FALSE(run(Verbosity::kReport));
  EXPECT_EQ(output_, "");
  EXPECT_TRUE(manifest_.empty());
  EXPECT_EQ(states(), "a b off");
}

TEST_F(ScheduleTest, VerbosityOneShowsDisableAndEnableButNotUninstall) {
  add("keep");
  add("gone").action = A::kUninstall;
  add("foo").action = A::kDisable;
  InstalledPackage& bar = add("bar", ver(2, 1));
  bar.disabled = true;
  bar.action = A::kEnable;
  bar.userChoice = true;
  testing_support::writeFile("/flash/var/pdb/bar/disabled", "user\n");

  EXPECT_TRUE(run(Verbosity::kReport));
  EXPECT_EQ(output_, statusThenMessage("disabling foo-1.0...", "disabled foo-1.0") +
                         statusThenMessage("enabling bar-2.1...", "enabled bar-2.1"));
  EXPECT_EQ(console_.messages, (std::vector<std::string>{"disabled foo-1.0", "enabled bar-2.1"}));
  EXPECT_EQ(states(), "keep foo off bar");
  EXPECT_EQ(staged(),
            "U /flash/var/pdb/bar/disabled\n"
            "M /flash/var/pdb/bar/enabled user\n"
            "M /flash/var/pdb/foo/disabled auto\n"
            "U /flash/var/pdb/gone/\n");
}

TEST_F(ScheduleTest, VerbosityTwoShowsUninstallAndZeroShowsNothing) {
  add("keep");
  add("gone").action = A::kUninstall;
  EXPECT_TRUE(run(Verbosity::kNarrate));
  EXPECT_EQ(output_, statusThenMessage("uninstalling gone-1.0...", "uninstalled gone-1.0"));

  add("foo").action = A::kDisable;
  EXPECT_TRUE(run(Verbosity::kSilent));
  EXPECT_EQ(output_, "");
  EXPECT_EQ(states(), "keep foo off");
}

TEST_F(ScheduleTest, DisabledFileSaysWhoChose) {
  add("keep");
  add("auto").action = A::kDisable;
  InstalledPackage& user = add("user");
  user.action = A::kDisable;
  user.userChoice = true;
  testing_support::writeFile("/flash/var/pdb/user/enabled", "user\n");
  run(Verbosity::kSilent);
  EXPECT_EQ(staged(),
            "M /flash/var/pdb/auto/disabled auto\n"
            "M /flash/var/pdb/user/disabled user\n"
            "U /flash/var/pdb/user/enabled\n");
}

TEST_F(ScheduleTest, GuardRefusesToLeaveNothingEnabled) {
  add("only").action = A::kUninstall;
  add("idle").disabled = true;
  EXPECT_FALSE(run(Verbosity::kReport));
  EXPECT_EQ(output_, "ERROR: can not uninstall or disable all packages\n");
  EXPECT_EQ(states(), "only idle off");
  EXPECT_TRUE(manifest_.empty());

  repo_.packages[0]->action = A::kDisable;
  EXPECT_FALSE(run(Verbosity::kSilent));
  EXPECT_EQ(output_, "");
  EXPECT_TRUE(manifest_.empty());
}

TEST_F(ScheduleTest, BundleActionsReachTheirMembers) {
  addBundle("gone", {"g1", "g2"}).action = A::kUninstall;
  addBundle("quiet", {"q1", "q2"}).action = A::kDisable;
  findRecord(repo_, "q2")->action = A::kUninstall;
  InstalledPackage& woken = addBundle("woken", {"w1", "w2"});
  woken.action = A::kEnable;
  findRecord(repo_, "w1")->disabled = true;
  add("base");

  EXPECT_TRUE(run(Verbosity::kReport));
  // A bundle disabled on purpose stays, disabled; its record and image are
  // what its members are loaded from next time.
  EXPECT_EQ(states(), "quiet off q1 off woken w1 w2 base");
  EXPECT_EQ(output_, statusThenMessage("disabling q1-1.0...", "disabled q1-1.0") +
                         statusThenMessage("disabling quiet-1.0...", "disabled quiet-1.0") +
                         statusThenMessage("enabling w1-1.0...", "enabled w1-1.0") +
                         statusThenMessage("enabling woken-1.0...", "enabled woken-1.0"));
  for (const char* name : {"gone", "g1", "g2", "q2"}) {
    EXPECT_NE(staged().find("U /flash/var/pdb/" + std::string(name) + "/\n"), std::string::npos)
        << name;
  }
  EXPECT_EQ(staged().find("U /flash/var/pdb/quiet/\n"), std::string::npos);
}

TEST_F(ScheduleTest, RequirementsKeepProvidersWithAWarning) {
  InstalledPackage& app = add("app");
  app.depends = {dep("lib")};
  add("lib", ver(2, 0)).action = A::kUninstall;
  InstalledPackage& tool = add("tool");
  tool.depends = {dep("net")};
  InstalledPackage& wifi = add("wifi");
  wifi.provides = {dep("net")};
  wifi.disabled = true;

  EXPECT_TRUE(run(Verbosity::kReport));
  EXPECT_EQ(output_, "WARNING: can not uninstall lib-2.0: app depends on it\n" +
                         statusThenMessage("enabling wifi-1.0...", "enabled wifi-1.0"));
  EXPECT_EQ(states(), "app lib tool wifi");
  EXPECT_EQ(staged(), "");  // no "disabled" file existed, so none is removed
}

TEST_F(ScheduleTest, ConflictsDisableOrRefuseTheEnable) {
  // Enabling "new", which conflicts with the enabled "old", disables "old".
  InstalledPackage& fresh = add("new");
  fresh.disabled = true;
  fresh.action = A::kEnable;
  fresh.conflicts = {dep("old")};
  add("old");
  // Two packages to be enabled that conflict: the first gives way.
  InstalledPackage& left = add("left");
  left.disabled = true;
  left.action = A::kEnable;
  InstalledPackage& right = add("right", ver(3, 0));
  right.disabled = true;
  right.action = A::kEnable;
  right.conflicts = {dep("left")};

  EXPECT_TRUE(run(Verbosity::kReport));
  EXPECT_EQ(output_.substr(0, output_.find('\x1b')),
            "WARNING: can not enable left: right-3.0 conflicts with it\n");
  EXPECT_EQ(states(), "new old off left off right");
}

TEST_F(ScheduleTest, LostDependenciesUninstallADisabledDependentSilently) {
  add("keep");
  add("lib").action = A::kUninstall;
  InstalledPackage& idle = add("idle");
  idle.disabled = true;
  idle.depends = {dep("lib")};
  EXPECT_TRUE(run(Verbosity::kReport));
  EXPECT_EQ(output_, "");
  EXPECT_EQ(states(), "keep");
}

TEST_F(ScheduleTest, EnablingAnEnabledPackageKeepsItsDependents) {
  add("lib").action = A::kEnable;  // scheduled "enable" of an enabled package
  add("app").depends = {dep("lib")};
  InstalledPackage& idle = add("idle");
  idle.disabled = true;
  idle.depends = {dep("lib")};
  run(Verbosity::kSilent);
  EXPECT_EQ(states(), "lib app idle off");
  EXPECT_EQ(staged(), "");
}

TEST_F(ScheduleTest, BundlesFollowTheirMembers) {
  // All members end disabled: the enabled bundle goes.
  addBundle("dead", {"d1", "d2"});
  findRecord(repo_, "d1")->disabled = true;
  findRecord(repo_, "d2")->action = A::kDisable;
  // A disabled bundle to be enabled whose member stays disabled stays too.
  InstalledPackage& sleepy = addBundle("sleepy", {"s1"});
  sleepy.disabled = true;
  sleepy.action = A::kEnable;
  findRecord(repo_, "s1")->disabled = true;
  // A member that ends enabled leaves its bundle alone, also when its
  // "enable" repeats its state.
  addBundle("live", {"l1"});
  findRecord(repo_, "l1")->action = A::kEnable;
  // Enabling "rival" refuses the enable that "sleepy" passed to "s1".
  InstalledPackage& rival = add("rival");
  rival.disabled = true;
  rival.action = A::kEnable;
  rival.conflicts = {dep("s1")};
  // No member at all.
  addBundle("empty", {});

  run(Verbosity::kSilent);
  EXPECT_EQ(states(), "d1 off d2 off sleepy off s1 off live l1 rival");
}

TEST_F(ScheduleTest, CleanupKeepsTheSystemAndWhatItNeeds) {
  add("velt").action = A::kDisable;  // carried out first, silently
  add("disk-drivers");
  add("system", ver(7, 1));
  InstalledPackage& fresh = add("new");
  fresh.depends = {dep("system", makeVersion(3, 22, kStageFinal, 0)), dep("lib")};
  add("lib");
  add("rc").depends = {dep("system", makeVersion(3, 22, kStageCandidate, 1))};
  add("old").depends = {dep("system", makeVersion(3, 21, kStageFinal, 9))};
  add("plain");
  addBundle("suite", {"wifi"});
  findRecord(repo_, "wifi")->depends = {dep("system", makeVersion(3, 23, kStageAlpha, 1))};
  addBundle("hollow", {"h1"});

  OutputCapture out(console_);
  EXPECT_TRUE(cleanupPackages(repo_, console_, manifest_));
  EXPECT_EQ(out.text(), "WARNING: can not uninstall lib-1.0: new depends on it\n");
  // A bundle stays for its own sake, but goes with its last member.
  EXPECT_EQ(states(), "velt off disk-drivers system new lib suite wifi");
  for (const char* gone : {"rc", "old", "plain", "hollow", "h1"}) {
    EXPECT_EQ(manifest_.entries.count("/flash/var/pdb/" + std::string(gone) + "/"), 1u) << gone;
  }
}

TEST_F(ScheduleTest, CleanupOfNothingToDo) {
  add("system");
  OutputCapture out(console_);
  EXPECT_FALSE(cleanupPackages(repo_, console_, manifest_));
  EXPECT_EQ(out.text(), "");
  EXPECT_TRUE(manifest_.empty());
}

TEST_F(ScheduleTest, RecordsLeaveByIdentity) {
  add("keep");
  InstalledPackage& first = add("twin", ver(1, 0));
  InstalledPackage& second = testing_support::addRecord(repo_, "twin", ver(1, 1));
  second.action = A::kUninstall;
  run(Verbosity::kSilent);
  ASSERT_EQ(repo_.packages.size(), 2u);
  EXPECT_EQ(repo_.packages[1].get(), &first);
}

TEST_F(ScheduleTest, AStateFileThatCannotBeWrittenIsReported) {
  add("keep");
  add("foo").action = A::kDisable;
  // A plain file where the database directory should be: no temporary file
  // can be made inside it.
  testing_support::removeTree("/flash/var/pdb/foo");
  testing_support::writeFile("/flash/var/pdb/foo", "");
  run(Verbosity::kReport);
  EXPECT_NE(output_.find("ERROR: installation of foo-1.0 failed: could not create meta/disabled: "),
            std::string::npos)
      << output_;
  EXPECT_EQ(console_.messages.back(), "disabled foo-1.0");
}

}  // namespace
}  // namespace installer
