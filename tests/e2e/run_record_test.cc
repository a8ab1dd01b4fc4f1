// The record of the last run, "/flash/var/pdb/.last-run": what each kind of
// run leaves in it, that it never changes what a run prints or returns, and
// that nothing planted at its names makes a run hang, follow a link or fail.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fault_run.h"
#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using ts::describe;
using ts::RouterRoot;
using Fields = std::map<std::string, std::string>;

constexpr char kRecord[] = "/flash/var/pdb/.last-run";

std::string plain(RouterRoot& router, const std::string& name, const std::string& version) {
  return router.build(describe(name, version), {{"bin/" + name, name + " " + version}});
}

// The record as keys and raw (escaped) values; empty when there is none.
Fields record(const RouterRoot& router) {
  Fields fields;
  const std::string text = router.file(kRecord);
  if (text == "<missing>") return fields;
  std::size_t at = text.find('\n');
  if (text.substr(0, at) != "installer-run 1") return {{"header", text.substr(0, at)}};
  while (at != std::string::npos && at + 1 < text.size()) {
    const std::size_t end = text.find('\n', at + 1);
    const std::string line = text.substr(at + 1, end - at - 1);
    fields[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    at = end;
  }
  return fields;
}

class RunRecord : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }
};

// Each way a run can end, as the record tells it. Every case starts from a
// root with tool-7.1 installed.
TEST_F(RunRecord, NamesTheOutcomeOfEachKindOfRun) {
  struct Case {
    const char* name;
    // Prepares the root and runs; returns the run's result.
    std::function<ts::RunResult(RouterRoot&)> run;
    int status;
    Fields expected;  // a subset of the record
  };
  const std::vector<Case> cases = {
      {"an upgrade",
       [](RouterRoot& r) {
         r.download("tool-7.2.npk", plain(r, "tool", "7.2"));
         return r.run();
       },
       0,
       {{"mode", "upgrade"},
        {"outcome", "committed"},
        {"reason", ""},
        {"files", "1"},
        {"file.1.name", "tool-7.2.npk"},
        {"file.1.package", "tool"},
        {"file.1.version", "7.2"},
        {"file.1.fate", "installed"},
        {"file.1.message", ""}}},
      {"nothing downloaded",
       [](RouterRoot& r) { return r.run(); },
       0,
       {{"mode", "upgrade"}, {"outcome", "nothing-to-do"}, {"files", "0"}, {"actions", "0"}}},
      {"the installed version again",
       [](RouterRoot& r) {
         r.download("again.npk", plain(r, "tool", "7.1"));
         return r.run();
       },
       0,
       {{"outcome", "nothing-to-do"},
        {"file.1.fate", "passed-over"},
        {"file.1.message", "WARNING: omitting package tool-7.1: it is already installed"}}},
      {"only a broken file",
       [](RouterRoot& r) {
         const std::string whole = plain(r, "tool", "7.2");
         r.download("cut.npk", whole.substr(0, whole.size() - 10));
         return r.run();
       },
       0,
       {{"outcome", "refused"},
        {"reason", "all-refused"},
        {"file.1.name", "cut.npk"},
        {"file.1.fate", "refused"},
        {"file.1.message", "ERROR: broken package cut.npk"}}},
      {"a package of another architecture",
       [](RouterRoot& r) {
         r.download("arm.npk",
                    r.build(describe("tool", "7.2", {"arch: arm"}), {{"bin/tool", "tool 7.2"}}));
         return r.run();
       },
       0,
       {{"outcome", "refused"},
        {"reason", "package-refused"},
        {"file.1.fate", "refused"},
        {"file.1.message",
         "ERROR: can not install tool-7.2: it is not made for i386, but for arm"}}},
      {"a scheduled uninstall",
       [](RouterRoot& r) {
         r.install({{"extra.npk", plain(r, "extra", "1.0")}});
         ts::makeDirs(r / "/ram/pdb/extra");
         ts::writeFile(r / "/ram/pdb/extra/schedule", "uninstall\n");
         return r.run();
       },
       0,
       {{"outcome", "committed"}, {"actions", "1"}, {"action.1", "uninstalled extra-1.0"}}},
      {"--safe",
       [](RouterRoot& r) {
         r.download("tool-7.2.npk", plain(r, "tool", "7.2"));
         return r.run({"--safe"});
       },
       0,
       {{"mode", "safe"}, {"outcome", "kept"}, {"file.1.fate", "installed"}}},
      {"--safe, then --commit",
       [](RouterRoot& r) {
         r.download("tool-7.2.npk", plain(r, "tool", "7.2"));
         EXPECT_EQ(r.run({"--safe"}).status, 0);
         return r.run({"--commit"});
       },
       0,
       {{"mode", "commit"}, {"outcome", "committed"}, {"bytes_written", "0"}}},
      {"--safe, then --cancel",
       [](RouterRoot& r) {
         r.download("tool-7.2.npk", plain(r, "tool", "7.2"));
         EXPECT_EQ(r.run({"--safe"}).status, 0);
         return r.run({"--cancel"});
       },
       0,
       {{"mode", "cancel"}, {"outcome", "cancelled"}}},
      {"--commit with nothing kept",
       [](RouterRoot& r) { return r.run({"--commit"}); },
       0,
       {{"mode", "commit"}, {"outcome", "nothing-to-do"}}},
      {"--cleanup",
       [](RouterRoot& r) { return r.run({"--cleanup"}); },
       0,
       {{"mode", "cleanup"}, {"outcome", "nothing-to-do"}}},
      {"the image from standard input",
       [](RouterRoot& r) {
         ts::RunOptions options;
         options.input = plain(r, "tool", "7.2");
         return r.run({"-"}, options);
       },
       0,
       {{"mode", "image"},
        {"outcome", "committed"},
        {"file.1.name", "-"},
        {"file.1.package", "tool"},
        {"file.1.version", "7.2"},
        {"file.1.fate", "installed"}}},
      {"a broken image from standard input",
       [](RouterRoot& r) {
         ts::RunOptions options;
         options.input = "no package";
         return r.run({"-"}, options);
       },
       1,
       {{"mode", "image"},
        {"outcome", "refused"},
        {"reason", "package-refused"},
        {"file.1.fate", "refused"},
        {"file.1.message", "ERROR: broken package -"}}},
      {"a command line it does not understand",
       [](RouterRoot& r) { return r.run({"--bogus"}); },
       0,
       {{"mode", "usage"}, {"outcome", "refused"}, {"reason", "usage"}}},
  };
  for (const Case& c : cases) {
    RouterRoot router;
    router.install({{"tool-7.1.npk", plain(router, "tool", "7.1")}});
    const std::string before = router.file(kRecord);
    const ts::RunResult result = c.run(router);
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.out << result.err;
    const Fields fields = record(router);
    ASSERT_NE(router.file(kRecord), before) << c.name;
    EXPECT_EQ(fields.count("header"), 0u) << c.name;
    EXPECT_EQ(fields.at("exit_status"), std::to_string(c.status)) << c.name;
    EXPECT_EQ(fields.at("end"), fields.at("run")) << c.name;
    for (const auto& [key, value] : c.expected) {
      EXPECT_EQ(fields.count(key) != 0 ? fields.at(key) : "<none>", value) << c.name << ": " << key;
    }
    EXPECT_FALSE(router.exists("/flash/var/pdb/.last-run.new")) << c.name;
  }
}

TEST_F(RunRecord, AFailedCommitStepIsRecordedAsUndone) {
  RouterRoot router;
  router.install(
      {{"velt.npk", plain(router, "velt", "1.0")}, {"plain.npk", plain(router, "plain", "1.0")}});
  ts::makeDirs(router / "/ram/pdb/plain");
  ts::writeFile(router / "/ram/pdb/plain/schedule", "uninstall\n");
  ts::FaultPlan plan;
  plan.calls = "rename";
  plan.at = 2;  // the first rename places the record; this one sets a file aside
  plan.error = "EIO";
  const ts::RunResult result = router.run({}, ts::withFault({}, plan));
  EXPECT_EQ(result.status, 1) << result.out << result.err;
  EXPECT_EQ(router.file("/flash/bin/plain"), "plain 1.0");
  const Fields fields = record(router);
  EXPECT_EQ(fields.at("outcome"), "undone");
  EXPECT_EQ(fields.at("reason"), "commit-failed");
  EXPECT_EQ(fields.at("exit_status"), "1");
  EXPECT_EQ(fields.at("actions"), "0");
}

TEST_F(RunRecord, ChangesThatDoNotFitAreRefusedForWantOfSpace) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts for a small flash";
  RouterRoot router;
  ASSERT_TRUE(ts::mountTmpfs(router / "/flash", "256k"));
  ts::makeDirs(router / "/flash/var/pdb");
  router.download("big.npk",
                  router.build(describe("big", "7.1"), {{"bin/big", std::string(400000, 'b')}}));
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 28);
  EXPECT_EQ(ts::messageLines(result.out),
            std::vector<std::string>{"ERROR: not enough space for upgrade"});
  const Fields fields = record(router);
  EXPECT_EQ(fields.at("outcome"), "refused");
  EXPECT_EQ(fields.at("reason"), "no-space");
  EXPECT_EQ(fields.at("exit_status"), "28");
  // Refused before a byte of it was staged: it could never fit.
  EXPECT_EQ(fields.at("file.1.fate"), "refused");
}

TEST_F(RunRecord, RunNumbersGrowAndADamagedRecordStartsAgain) {
  RouterRoot router;
  router.install({{"tool-7.1.npk", plain(router, "tool", "7.1")}});
  ts::removeTree(router / kRecord);
  EXPECT_EQ(router.run().status, 0);
  EXPECT_EQ(record(router).at("run"), "1");
  EXPECT_EQ(router.run().status, 0);
  EXPECT_EQ(router.run({"--cancel"}).status, 0);
  EXPECT_EQ(record(router).at("run"), "3");
  // A listing changes nothing, and writes nothing.
  EXPECT_EQ(router.run({"--show"}).status, 0);
  EXPECT_EQ(record(router).at("run"), "3");
  for (const std::string& damaged : {std::string(), std::string("installer-run 1\nrun=x\n"),
                                     std::string("installer-run 1\nrun=18446744073709551615\n"),
                                     std::string("garbage\nrun=7\n"), std::string(9000, 'z')}) {
    ts::writeFile(router / kRecord, damaged);
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(record(router).at("run"), "1");
  }
  ts::writeFile(router / kRecord, "installer-run 1\nrun=41\n");
  EXPECT_EQ(router.run().status, 0);
  EXPECT_EQ(record(router).at("run"), "42");
}

// A file name may hold "=", "%", blanks and any byte above 0x7F (one with a
// control byte is never considered): none of it makes a key or a line of
// its own, and "pkgtool status --json" gives the name back whole.
TEST_F(RunRecord, FileNamesCannotForgeLines) {
  RouterRoot router;
  router.install({{"tool-7.1.npk", plain(router, "tool", "7.1")}});
  ts::removeTree(router / kRecord);
  const std::string name = "x=1 run=99 outcome=committed %41\xff\xc3\xa9.npk";
  router.download(name,
                  router.build(describe("tool", "7.2", {"arch: arm"}), {{"bin/tool", "tool 7.2"}}));
  router.download("y\n.npk", "never considered");
  EXPECT_EQ(router.run().status, 0);
  const std::string text = router.file(kRecord);
  EXPECT_NE(text.find("\nfile.1.name=x%3D1 run%3D99 outcome%3Dcommitted %2541%FF%C3%A9.npk\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(record(router).at("files"), "1");
  EXPECT_EQ(record(router).at("run"), "1");
  EXPECT_EQ(record(router).at("outcome"), "refused");
  const ts::RunResult json = ts::runPkgtool({"status", "--root", router.path(), "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"outcome\":\"refused\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"exit_status\":0"), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"name\":\"x=1 run=99 outcome=committed %41\\u00ff\xc3\xa9.npk\""),
            std::string::npos)
      << json.out;
  const ts::RunResult plainText = ts::runPkgtool({"status", "--root", router.path()});
  EXPECT_EQ(plainText.status, 0);
  EXPECT_EQ(plainText.out, text);
}

TEST_F(RunRecord, StatusWithoutAWholeRecordFails) {
  RouterRoot router;
  EXPECT_EQ(ts::runPkgtool({"status", "--root", router.path()}).status, 1);
  EXPECT_EQ(router.run().status, 0);
  const std::string text = router.file(kRecord);
  ts::writeFile(router / kRecord, text.substr(0, text.size() - 3));
  const ts::RunResult cut = ts::runPkgtool({"status", "--root", router.path(), "--json"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.out, "");
}

// Whatever is planted at the record's names, the run prints, returns and
// changes what it would anyway; it never waits on a FIFO or writes through
// a link.
TEST_F(RunRecord, HostileStateAtItsNamesChangesNothingOfTheRun) {
  struct Plant {
    const char* name;
    std::function<void(const std::string& path)> make;
  };
  const std::vector<Plant> plants = {
      {"fifo", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
      {"link", [](const std::string& p) { ASSERT_EQ(symlink("/flash/victim", p.c_str()), 0); }},
      {"dangling link", [](const std::string& p) { ASSERT_EQ(symlink("/nowhere", p.c_str()), 0); }},
      {"directory",
       [](const std::string& p) {
         ts::makeDirs(p);
         ts::writeFile(p + "/inside", "x");
       }},
      {"huge file",
       [](const std::string& p) {
         const int fd = open(p.c_str(), O_CREAT | O_WRONLY, 0644);
         ASSERT_GE(fd, 0);
         ASSERT_EQ(ftruncate(fd, off_t{1} << 32), 0);
         close(fd);
       }},
  };
  for (const char* at : {"/flash/var/pdb/.last-run", "/flash/var/pdb/.last-run.new"}) {
    for (const Plant& plant : plants) {
      const std::string label = std::string(plant.name) + " at " + at;
      RouterRoot control;
      RouterRoot router;
      for (RouterRoot* r : {&control, &router}) {
        r->install({{"tool-7.1.npk", plain(*r, "tool", "7.1")}});
        r->download("tool-7.2.npk", plain(*r, "tool", "7.2"));
        ts::writeFile(*r / "/flash/victim", "victim");
      }
      ts::removeTree(router / at);
      plant.make(router / at);
      ts::RunOptions options;
      options.timeoutSeconds = 60;
      const ts::RunResult expected = control.run({}, options);
      const ts::RunResult result = router.run({}, options);
      EXPECT_EQ(result.status, expected.status) << label;
      EXPECT_EQ(result.out, expected.out) << label;
      EXPECT_EQ(result.err, expected.err) << label;
      EXPECT_EQ(router.tree(), control.tree()) << label;
      EXPECT_EQ(router.file("/flash/victim"), "victim") << label;
      struct stat st;
      if (lstat((router / kRecord).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        EXPECT_EQ(record(router).at("outcome"), "committed") << label;
      }
    }
  }
}

}  // namespace
