// Scheduled uninstall, enable and disable carried out by the real binary on
// a router root: the actions the running system leaves in "/ram/pdb/", and
// the "--cleanup" run.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "package/writer.h"
#include "records/package.h"
#include "support/fault_run.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using installer::Dependency;
using installer::makeVersion;
using installer::Package;
using installer::Version;

constexpr Version v10 = makeVersion(1, 0, installer::kStageFinal, 0);
constexpr Version v71 = makeVersion(7, 1, installer::kStageFinal, 0);

const std::string kHide = "\x1b[?25l";
const std::string kShow = "\x1b[?25h";

std::string statusThenMessage(const std::string& status, const std::string& message) {
  return kHide + "\r" + status + "\r" + kShow + kHide + "\r" + std::string(status.size(), ' ') +
         "\r" + kShow + message + "\n";
}

struct Spec {
  std::string name;
  Version version = v10;
  std::vector<Dependency> depends = {};
  std::vector<Dependency> conflicts = {};
  std::vector<std::string> files = {};  // each also created in the tree
  const char* disabled = nullptr;       // "user" or "auto"
};

class ScheduleRun : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeDirs(root_ / "/flash/var/pdb");
    ts::makeDirs(root_ / "/ram");
  }

  std::string dir(const std::string& name) const {
    return root_ / ("/flash/var/pdb/" + name + "/");
  }

  static std::string depLines(const std::vector<Dependency>& list) {
    std::string text;
    for (const Dependency& d : list) {
      text +=
          d.name + " " + std::to_string(d.minVersion) + " " + std::to_string(d.maxVersion) + "\n";
    }
    return text;
  }

  // A package installed from metadata files.
  void install(const Spec& s) {
    ts::writeFile(dir(s.name) + "version", std::to_string(s.version) + " 100\n");
    ts::writeFile(dir(s.name) + "deps", depLines(s.depends));
    if (!s.conflicts.empty()) ts::writeFile(dir(s.name) + "conflicts", depLines(s.conflicts));
    std::string files;
    for (const std::string& f : s.files) {
      files += f.substr(1) + "\n";
      ts::writeFile(root_ / f, "contents of " + f);
    }
    ts::writeFile(dir(s.name) + "files", files);
    if (s.disabled != nullptr)
      ts::writeFile(dir(s.name) + "disabled", std::string(s.disabled) + "\n");
  }

  // A bundle kept as its package file, with members that have their own
  // database directories for their files and states.
  void installBundle(const std::string& name, const std::vector<Spec>& members) {
    installer::PackageWriter writer;
    Package bundle(name);
    bundle.version = v71;
    bundle.buildTime = 100;
    bundle.isBundle = true;
    writer.addPackageHeader(bundle);
    for (const Spec& s : members) {
      Package member(s.name);
      member.version = s.version;
      member.buildTime = 100;
      member.depends = s.depends;
      writer.addPackageHeader(member);
      std::string files;
      for (const std::string& f : s.files) {
        files += f.substr(1) + "\n";
        ts::writeFile(root_ / f, "contents of " + f);
      }
      ts::writeFile(dir(s.name) + "files", files);
      if (s.disabled != nullptr) {
        ts::writeFile(dir(s.name) + "disabled", std::string(s.disabled) + "\n");
      }
    }
    ts::writeFile(dir(name) + "image", writer.bytes());
  }

  void schedule(const std::string& name, const std::string& word) {
    ts::writeFile(root_ / ("/ram/pdb/" + name + "/schedule"), word + "\n");
  }

  ts::RunResult run(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-r", root_.path()});
    return ts::runInstaller(args);
  }

  std::optional<std::string> read(const std::string& inside) const {
    return ts::readFile(root_ / inside);
  }
  bool exists(const std::string& inside) const { return ts::exists(root_ / inside); }

  ts::TempRoot root_;
};

TEST_F(ScheduleRun, ScheduleFilesDisableEnableAndUninstall) {
  install({.name = "base"});
  install({.name = "a", .files = {"/flash/bin/a"}});
  install({.name = "b", .disabled = "auto"});
  install({.name = "c", .files = {"/flash/bin/c", "/flash/lib/c.so"}});
  schedule("a", "disable");
  schedule("b", "enable");
  schedule("c", "uninstall");

  const auto result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, statusThenMessage("disabling a-1.0...", "disabled a-1.0") +
                            statusThenMessage("enabling b-1.0...", "enabled b-1.0"));
  EXPECT_EQ(read("/flash/var/pdb/a/disabled"), "user\n");
  EXPECT_EQ(read("/flash/bin/a"), "contents of /flash/bin/a");  // disabling moves no file
  EXPECT_FALSE(exists("/flash/var/pdb/b/disabled"));
  EXPECT_EQ(read("/flash/var/pdb/b/enabled"), "user\n");
  EXPECT_FALSE(exists("/flash/var/pdb/c"));
  EXPECT_FALSE(exists("/flash/bin/c"));
  EXPECT_FALSE(exists("/flash/lib/c.so"));
  EXPECT_EQ(read("/flash/PCKGS_CHANGED"), "");
  EXPECT_EQ(read("/flash/postlog"), "disabled a-1.0\nenabled b-1.0\n");
  EXPECT_EQ(read("/ram/pdb/c/schedule"), "uninstall\n");  // schedules are only read
}

TEST_F(ScheduleRun, SafeRunLeavesTheManifestForLater) {
  install({.name = "base"});
  install({.name = "a"});
  schedule("a", "disable");
  const auto result = run({"--safe"});
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(exists("/flash/var/pdb/a/disabled"));
  const auto manifest = read("/ram/MANIFEST");
  ASSERT_TRUE(manifest.has_value());
  EXPECT_NE(manifest->find("M /flash/PCKGS_CHANGED "), std::string::npos) << *manifest;
  EXPECT_NE(manifest->find("M /flash/var/pdb/a/disabled "), std::string::npos) << *manifest;
}

TEST_F(ScheduleRun, SafeRunThatCannotWriteTheManifestCancels) {
  install({.name = "base"});
  install({.name = "a"});
  schedule("a", "disable");
  ts::writeFile(root_ / "/ram/MANIFEST/in-the-way", "");  // a directory where the file goes
  const std::string before = ts::treeListing(root_ / "/flash");

  const auto result = run({"--safe"});
  EXPECT_NE(result.status, 0);
  EXPECT_EQ(result.out, statusThenMessage("disabling a-1.0...", "disabled a-1.0") +
                            "ERROR: could not write /ram/MANIFEST\n");
  ts::removeTree(root_ / "/flash/postlog");
  // The staged temporary files are gone with the cancelled manifest.
  EXPECT_EQ(ts::treeListing(root_ / "/flash"), before);
}

TEST_F(ScheduleRun, BundlesPassTheirActionsToMembers) {
  install({.name = "base"});
  installBundle("quiet", {{.name = "q1", .files = {"/flash/bin/q1"}}, {.name = "q2"}});
  installBundle("gone", {{.name = "g1", .files = {"/flash/bin/g1"}}, {.name = "g2"}});
  installBundle("woken", {{.name = "w1", .disabled = "auto"}, {.name = "w2"}});
  schedule("quiet", "disable");
  schedule("gone", "uninstall");
  schedule("woken", "enable");

  const auto result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  // Members ended disabled automatically, the bundle by the user's choice;
  // the bundle and its kept image stay, so the members load again next time.
  EXPECT_EQ(read("/flash/var/pdb/q1/disabled"), "auto\n");
  EXPECT_EQ(read("/flash/var/pdb/q2/disabled"), "auto\n");
  EXPECT_EQ(read("/flash/var/pdb/quiet/disabled"), "user\n");
  EXPECT_TRUE(exists("/flash/var/pdb/quiet/image"));
  EXPECT_TRUE(exists("/flash/bin/q1"));
  for (const char* name : {"gone", "g1", "g2"}) {
    EXPECT_FALSE(exists("/flash/var/pdb/" + std::string(name))) << name;
  }
  EXPECT_FALSE(exists("/flash/bin/g1"));
  EXPECT_FALSE(exists("/flash/var/pdb/w1/disabled"));
  EXPECT_NE(result.out.find("enabled w1-1.0\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("disabled quiet-7.1\n"), std::string::npos) << result.out;
}

TEST_F(ScheduleRun, RequirementsKeepProviders) {
  install({.name = "app", .depends = {{"lib", 0, 0, 0}}});
  install({.name = "lib"});
  install({.name = "tool", .depends = {{"net", 0, 0, 0}}});
  install({.name = "net", .disabled = "user"});
  schedule("lib", "uninstall");

  const auto result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "WARNING: can not uninstall lib-1.0: app depends on it\n" +
                            statusThenMessage("enabling net-1.0...", "enabled net-1.0"));
  EXPECT_TRUE(exists("/flash/var/pdb/lib/version"));
  EXPECT_FALSE(exists("/flash/var/pdb/net/disabled"));
}

TEST_F(ScheduleRun, ConflictingEnablesAndLostDependencies) {
  install({.name = "base"});
  install({.name = "left", .disabled = "user"});
  install({.name = "right", .conflicts = {{"left", 0, 0, 0}}, .disabled = "user"});
  install({.name = "lib"});
  install({.name = "idle", .depends = {{"lib", 0, 0, 0}}, .disabled = "auto"});
  schedule("left", "enable");
  schedule("right", "enable");
  schedule("lib", "uninstall");

  const auto result = run();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "WARNING: can not enable left: right-1.0 conflicts with it\n" +
                            statusThenMessage("enabling right-1.0...", "enabled right-1.0"));
  EXPECT_EQ(read("/flash/var/pdb/left/disabled"), "user\n");
  EXPECT_FALSE(exists("/flash/var/pdb/lib"));
  EXPECT_FALSE(exists("/flash/var/pdb/idle"));
}

TEST_F(ScheduleRun, NothingStagedWhenEverythingWouldGo) {
  install({.name = "only", .files = {"/flash/bin/only"}});
  install({.name = "idle", .disabled = "user"});
  schedule("only", "uninstall");
  const std::string before = ts::treeListing(root_ / "/flash");

  const auto result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "ERROR: can not uninstall or disable all packages\n");
  EXPECT_EQ(read("/flash/postlog"), "ERROR: can not uninstall or disable all packages\n");
  ts::removeTree(root_ / "/flash/postlog");
  EXPECT_EQ(ts::treeListing(root_ / "/flash"), before);
  EXPECT_FALSE(exists("/ram/MANIFEST"));
}

TEST_F(ScheduleRun, NothingScheduledChangesNothing) {
  install({.name = "a"});
  const std::string before = ts::treeListing(root_ / "/flash");
  const auto result = run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(ts::treeListing(root_ / "/flash"), before);
}

TEST_F(ScheduleRun, CleanupKeepsTheSystemAndWhatDependsOnIt) {
  const Version v322 = makeVersion(3, 22, installer::kStageFinal, 0);
  const Version v322rc = makeVersion(3, 22, installer::kStageCandidate, 2);
  install({.name = "velt"});
  install({.name = "disk-drivers"});
  install({.name = "new", .depends = {{"system", v322, 0, 0}}, .files = {"/flash/bin/new"}});
  install({.name = "rc", .depends = {{"system", v322rc, 0, 0}}, .files = {"/flash/bin/rc"}});
  install({.name = "plain", .files = {"/flash/bin/plain"}});
  installBundle("suite", {{.name = "system", .version = v71}, {.name = "extra"}});
  schedule("velt", "disable");

  const auto result = run({"--cleanup"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "");
  for (const char* kept : {"velt", "disk-drivers", "new", "suite"}) {
    EXPECT_TRUE(exists("/flash/var/pdb/" + std::string(kept))) << kept;
  }
  EXPECT_TRUE(exists("/flash/bin/new"));
  EXPECT_EQ(read("/flash/var/pdb/velt/disabled"), "user\n");
  for (const char* gone : {"rc", "plain", "extra"}) {
    EXPECT_FALSE(exists("/flash/var/pdb/" + std::string(gone))) << gone;
  }
  EXPECT_FALSE(exists("/flash/bin/rc"));
  EXPECT_FALSE(exists("/flash/bin/plain"));
  EXPECT_FALSE(exists("/flash/postlog"));
  EXPECT_FALSE(exists("/flash/PCKGS_CHANGED"));
}

TEST_F(ScheduleRun, CleanupWhoseCommitFailsEndsWithStatusOne) {
  install({.name = "velt"});
  install({.name = "plain", .files = {"/flash/bin/plain"}});
  ts::FaultPlan plan;
  plan.calls = "rename";
  // The first rename places the run's record; the second sets aside the
  // first file the commit takes away, until the end.
  plan.at = 2;
  plan.error = "EIO";
  const auto result = ts::runInstaller({"-r", root_.path(), "--cleanup"}, ts::withFault({}, plan));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string("rename /flash/bin/plain: ") + strerror(EIO) + "\n");
  EXPECT_TRUE(exists("/flash/bin/plain"));
  EXPECT_TRUE(exists("/flash/var/pdb/velt"));
}

}  // namespace
