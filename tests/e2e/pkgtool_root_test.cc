// The package tool on an installed router root: the read-only queries
// (list, files, owner, info) against what the installer itself shows and
// does, and schedule files that the installer's next run carries out.
#include <gtest/gtest.h>

#include <sstream>

#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"
#include "support/versions.h"

namespace {

namespace ts = testing_support;
using installer::Dependency;
using installer::kStageFinal;
using installer::makeVersion;
using installer::PayloadEntry;
using installer::Version;
using testing_support::kV71;

ts::FixturePackage package(const std::string& name, std::vector<std::string> files) {
  ts::FixturePackage p(ts::fixtureHeader(name, kV71));
  for (const std::string& file : files) {
    PayloadEntry e;
    e.name = file;
    e.data = "contents of " + file;
    p.files.push_back(e);
  }
  return p;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  return first == std::string::npos ? ""
                                    : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// Every line without its leading blanks.
std::string unindented(const std::string& text) {
  std::string out;
  for (const std::string& line : lines(text)) out += trimmed(line) + "\n";
  return out;
}

// A router with a plain package, one that needs it, a package kept as its
// package file, and a bundle kept likewise whose second member arrived
// disabled.
class InstalledRoot : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::FixturePackage routing = package("routing", {"bin/routed", "etc/routing.conf"});
    routing.header.depends = {{"system", kV71, 0, 0}};
    routing.header.provides = {{"bgp", 0, 0, 3}};
    ts::FixturePackage firmware = package("firmware", {});
    firmware.image = "firmware image";
    // Valid UTF-8 and a byte that is none.
    firmware.header.note = "radio caf\xc3\xa9 \xff";
    installer::Package suite = ts::fixtureHeader("suite", kV71);
    suite.isBundle = true;
    root_.install(
        {{"system.npk", ts::packageFile(package("system", {"bin/system"}))},
         {"routing.npk", ts::packageFile(routing)},
         {"firmware.npk", ts::packageFile(firmware)},
         {"suite.npk",
          ts::bundleFile(suite, {package("a", {"bin/a"}), package("b", {"bin/b"})}, {"b"})}});
  }

  ts::RunResult tool(std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--root", root_.path()});
    return ts::runPkgtool(args);
  }

  ts::RouterRoot root_;
};

TEST_F(InstalledRoot, ListAgreesWithTheInstallersListing) {
  const ts::RunResult show = root_.run({"--show"});
  const ts::RunResult list = tool({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  const auto shown = lines(show.out);
  const auto listed = lines(list.out);
  ASSERT_EQ(shown.size(), 2 + 6u) << show.out;
  ASSERT_EQ(listed.size(), 1 + 6u) << list.out;
  EXPECT_EQ(words(listed[0]), (std::vector<std::string>{"Name", "Version", "Built", "State", "Kind",
                                                        "Scheduled", "Note"}));
  for (std::size_t i = 0; i < 6; ++i) {
    const std::string& row = shown[2 + i];
    const auto fields = words(listed[1 + i]);
    SCOPED_TRACE(listed[1 + i]);
    ASSERT_GE(fields.size(), 6u);
    EXPECT_EQ(fields[0], trimmed(row.substr(0, 16)));
    EXPECT_EQ(fields[1], trimmed(row.substr(20, 13)));
    EXPECT_EQ(fields[2] + " " + fields[3], row.substr(34, 20));
    EXPECT_EQ(fields[4] == "disabled", row[17] == 'X');
    EXPECT_EQ(fields[fields[4] == "disabled" ? 6 : 5] == "member", row[18] == 'B');
  }
  // Columns line up: every row's version starts where the header's does.
  const std::size_t versionColumn = listed[0].find("Version");
  for (std::size_t i = 1; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].find_first_of("0123456789"), versionColumn) << listed[i];
  }
}

TEST_F(InstalledRoot, JsonHoldsEveryRecordWithItsStateAndPassesUtf8Through) {
  const ts::RunResult list = tool({"list", "--json"});
  ASSERT_EQ(list.status, 0) << list.err;
  std::size_t records = 0;
  for (std::size_t at = 0;
       (at = list.out.find("\n    {\n      \"name\": ", at)) != std::string::npos; ++at) {
    ++records;
  }
  EXPECT_EQ(records, 6u) << list.out;
  EXPECT_EQ(list.out.rfind("{\n  \"root\": \"" + root_.path() + "\",\n  \"packages\": [\n", 0), 0u);

  const ts::RunResult info = tool({"info", "firmware", "--json"});
  ASSERT_EQ(info.status, 0) << info.err;
  const std::string object =
      "{\n"
      "\"name\": \"firmware\",\n"
      "\"version\": \"7.1\",\n"
      "\"version_code\": 117532160,\n"
      "\"build_time\": 1000,\n"
      "\"built\": \"Jan/01/1970 00:16:40\",\n"
      "\"state\": \"enabled\",\n"
      "\"disabled_by\": null,\n"
      "\"user_choice\": false,\n"
      "\"bundle\": false,\n"
      "\"members\": [],\n"
      "\"member_of\": null,\n"
      "\"scheduled\": null,\n"
      "\"note\": \"radio caf\xc3\xa9 \\u00ff\",\n"
      "\"depends\": [],\n"
      "\"provides\": [],\n"
      "\"conflicts\": [],\n"
      "\"kept_image\": \"/flash/var/pdb/firmware/image\",\n"
      "\"boot_image\": null,\n"
      "\"file_count\": 0\n"
      "}";
  EXPECT_EQ(unindented(info.out),
            "{\n\"root\": \"" + root_.path() + "\",\n\"package\": " + object + "\n}\n");
  // The list holds the same object.
  EXPECT_NE(unindented(list.out).find(object), std::string::npos) << list.out;
}

TEST_F(InstalledRoot, InfoShowsWhatTheDatabaseKnows) {
  const ts::RunResult routing = tool({"info", "routing"});
  ASSERT_EQ(routing.status, 0) << routing.err;
  EXPECT_EQ(routing.out,
            "Name:        routing\n"
            "Version:     7.1\n"
            "Built:       Jan/01/1970 00:16:40\n"
            "State:       enabled\n"
            "Kind:        package\n"
            "Scheduled:   -\n"
            "Note:        -\n"
            "Depends:     system min=7.1\n"
            "Provides:    bgp priority=3\n"
            "Conflicts:   -\n"
            "Kept image:  -\n"
            "Boot image:  -\n"
            "Files:       2\n");
  const ts::RunResult member = tool({"info", "--json", "b"});
  ASSERT_EQ(member.status, 0) << member.err;
  EXPECT_NE(member.out.find("\"state\": \"disabled\",\n    \"disabled_by\": \"auto\""),
            std::string::npos)
      << member.out;
  EXPECT_NE(member.out.find("\"member_of\": \"suite\""), std::string::npos);
}

TEST_F(InstalledRoot, FilesAndOwners) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
  };
  const Case cases[] = {
      {{"files", "routing"}, 0, "/flash/bin/routed\n/flash/etc/routing.conf\n"},
      // A bundle's files are its members'; a disabled member's lie apart.
      {{"files", "suite"}, 0, "/flash/bin/a\n/flash/x/b/bin/b\n"},
      {{"files", "--json", "system"},
       0,
       "{\n  \"root\": \"" + root_.path() +
           "\",\n  \"package\": \"system\",\n  \"files\": [\n    \"/flash/bin/system\"\n  ]\n}\n"},
      {{"owner", "/flash/bin/routed"}, 0, "routing\n"},
      {{"owner", "flash/bin/routed/"}, 0, "routing\n"},
      {{"owner", "--json", "/flash/x/b/bin/b"},
       0,
       "{\n  \"root\": \"" + root_.path() +
           "\",\n  \"path\": \"/flash/x/b/bin/b\",\n  \"owners\": [\"b\"]\n}\n"},
      {{"owner", "/flash/bin/nothing"}, 1, ""},
      {{"files", "nothing"}, 1, ""},
      {{"info", "nothing"}, 1, ""},
      {{"files"}, 2, ""},
      {{"owner", "a", "b"}, 2, ""},
      {{"list", "--bogus"}, 2, ""},
  };
  for (const Case& c : cases) {
    const ts::RunResult r = tool(c.args);
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
  }
}

TEST_F(InstalledRoot, QueriesChangeNothingAndSettleNoSchedule) {
  ts::writeFile(root_ / "/ram/pdb/routing/schedule", "uninstall\n");
  const std::string before = ts::treeListing(root_.path(), true);
  for (const char* command : {"list", "info", "files"}) {
    for (const bool json : {false, true}) {
      std::vector<std::string> args = {command};
      if (json) args.push_back("--json");
      if (std::string(command) != "list") args.push_back("routing");
      const ts::RunResult r = tool(args);
      EXPECT_EQ(r.status, 0) << r.err;
      // The pending action shows; carrying it out is the installer's.
      if (std::string(command) != "files") {
        EXPECT_NE(r.out.find(json ? "\"scheduled\": \"uninstall\"" : "uninstall"),
                  std::string::npos)
            << r.out;
      }
    }
  }
  EXPECT_EQ(ts::treeListing(root_.path(), true), before);
}

TEST_F(InstalledRoot, RootsThatCannotBeRead) {
  const ts::RunResult missing = ts::runPkgtool({"list", "--root", root_ / "/nothing"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "pkgtool: " + root_ / "/nothing" + " is not a directory\n");
  const ts::RunResult empty = ts::runPkgtool({"list", "--root", root_ / "/ram"});
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(empty.err.rfind("pkgtool: cannot read the package database /flash/var/pdb/", 0), 0u)
      << empty.err;
}

TEST_F(InstalledRoot, ScheduledActionsAreCarriedOutByTheNextRun) {
  ts::RunResult r = tool({"schedule", "disable", "routing"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "routing: disable scheduled in /ram/pdb/routing/schedule\n");
  EXPECT_EQ(root_.file("/ram/pdb/routing/schedule"), "disable\n");
  ASSERT_EQ(tool({"schedule", "uninstall", "a"}).status, 0);
  ASSERT_EQ(tool({"schedule", "enable", "b"}).status, 0);
  EXPECT_EQ(ts::listDir(root_ / "/ram/pdb"), (std::vector<std::string>{"a", "b", "routing"}));

  const ts::RunResult run = root_.run();
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string disabled = root_.file("/flash/var/pdb/routing/disabled");
  EXPECT_EQ(disabled, "user\n");
  EXPECT_FALSE(root_.exists("/flash/bin/a"));
  EXPECT_FALSE(root_.exists("/flash/var/pdb/a"));
  EXPECT_EQ(root_.file("/flash/var/pdb/b/enabled"), "user\n");

  // Taking a schedule back leaves the next run nothing to do for it.
  ASSERT_EQ(tool({"schedule", "--clear", "routing"}).status, 0);
  EXPECT_FALSE(root_.exists("/ram/pdb/routing"));
  EXPECT_EQ(tool({"schedule", "--clear", "never-scheduled"}).status, 0);
}

TEST_F(InstalledRoot, ScheduleRefusals) {
  // Loading reads the schedule of "my_pkg.x" under "mypkgx"; two installed
  // names that reduce alike would share one file.
  root_.install({{"p1.npk", ts::packageFile(package("my_pkg.x", {"bin/p1"}))}});
  ASSERT_EQ(tool({"schedule", "uninstall", "my_pkg.x"}).status, 0);
  EXPECT_EQ(root_.file("/ram/pdb/mypkgx/schedule"), "uninstall\n");
  ASSERT_EQ(tool({"schedule", "--clear", "my_pkg.x"}).status, 0);
  root_.install({{"p2.npk", ts::packageFile(package("mypkgx", {"bin/p2"}))}});

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"schedule", "uninstall", "nothing"}, 1, "pkgtool: nothing is not installed\n"},
      {{"schedule", "disable", "mypkgx"},
       1,
       "pkgtool: mypkgx shares its schedule file /ram/pdb/mypkgx/schedule with my_pkg.x\n"},
      {{"schedule", "remove", "routing"}, 2, ""},
      {{"schedule", "uninstall"}, 2, ""},
      {{"schedule", "--clear", "uninstall", "routing"}, 2, ""},
  };
  for (const Case& c : cases) {
    const ts::RunResult r = tool(c.args);
    SCOPED_TRACE(c.args[1] + " " + c.args.back());
    EXPECT_EQ(r.status, c.status);
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err);
    }
  }
  EXPECT_TRUE(ts::listDir(root_ / "/ram/pdb").empty());
}

}  // namespace
