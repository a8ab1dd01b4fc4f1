// pkgtool plan against the upgrade run it predicts: on the same root, the
// plan changes nothing (not even a timestamp), then the real run prints the
// messages the plan listed, ends with the status it named and makes the
// changes it decided.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <functional>
#include <sstream>

#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using Lines = std::vector<std::string>;

constexpr std::size_t kPage = 4096;

std::string plain(ts::RouterRoot& router, const std::string& name, const std::string& version,
                  const std::vector<std::string>& lines = {}) {
  return router.build(ts::describe(name, version, lines), {{"bin/" + name, name + version}});
}

// The lines of one section of the plan ("decisions:", "messages:"), without
// their indent; each row's words for the decisions.
Lines section(const std::string& plan, const std::string& title) {
  Lines lines;
  std::istringstream in(plan);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != ' ') {
      inside = line == title;
      continue;
    }
    if (inside) lines.push_back(line.substr(2));
  }
  if (lines == Lines{"none"}) lines.clear();
  return lines;
}

Lines words(const std::string& line) {
  Lines out;
  std::istringstream in(line);
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

struct Scenario {
  std::string name;
  std::function<void(ts::RouterRoot&)> setUp;
  Lines decisions;  // the rows of the plan, each as its words joined by one blank
  int status = 0;   // of the upgrade run
  std::function<void(const ts::RouterRoot&)> check = [](const ts::RouterRoot&) {};
  bool smallFlash = false;
};

class PlanPredictsTheRun : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
    if (GetParam().smallFlash && !ts::canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts";
  }
};

TEST_P(PlanPredictsTheRun, AndChangesNothing) {
  const Scenario& s = GetParam();
  ts::RouterRoot router;
  if (s.smallFlash) {
    // 64 pages of flash, the database among them.
    ASSERT_EQ(mount("tmpfs", (router / "/flash").c_str(), "tmpfs", 0, "size=262144"), 0);
    ts::makeDirs(router / "/flash/var/pdb");
  }
  s.setUp(router);

  const std::string before = ts::treeListing(router.path(), true);
  const ts::RunResult plan = ts::runPkgtool({"plan", "--root", router.path()});
  EXPECT_EQ(ts::treeListing(router.path(), true), before) << "the plan changed the root";
  EXPECT_EQ(plan.err, "");
  // The simulated run's console (progress bars, messages) stays inside the
  // plan: the report is all that reaches standard output.
  EXPECT_TRUE(plan.out.starts_with("scheduled:\n") || plan.out.starts_with("decisions:\n"))
      << plan.out;
  EXPECT_EQ(plan.out.find_first_of("\r\x1b"), std::string::npos) << plan.out;
  Lines decisions;
  for (const std::string& row : section(plan.out, "decisions:")) {
    std::string joined;
    for (const std::string& w : words(row)) joined += (joined.empty() ? "" : " ") + w;
    decisions.push_back(joined);
  }
  EXPECT_EQ(decisions, s.decisions) << plan.out;

  const ts::RunResult run = router.run();
  EXPECT_EQ(run.status, s.status) << run.out;
  EXPECT_EQ(section(plan.out, "messages:"), ts::messageLines(run.out)) << plan.out;
  EXPECT_NE(plan.out.find("exit status " + std::to_string(run.status) + "\n"), std::string::npos)
      << plan.out;
  const bool fails = std::any_of(decisions.begin(), decisions.end(),
                                 [](const std::string& d) { return d.rfind("refused", 0) == 0; });
  EXPECT_EQ(plan.status, fails || run.status != 0 ? 1 : 0);
  s.check(router);
}

// An image-based package without files whose file is exactly `size` bytes.
std::string imageOfSize(ts::RouterRoot& router, std::size_t size) {
  const std::string probe(1000, 'i');
  const std::size_t overhead = router.build(ts::describe("blob", "7.1"), {}, &probe).size() - 1000;
  const std::string image(size - overhead, 'i');
  return router.build(ts::describe("blob", "7.1"), {}, &image);
}

const Scenario kScenarios[] = {
    {"Install",
     [](ts::RouterRoot& r) {
       r.install({{"system.npk", plain(r, "system", "7.1")}});
       r.download("routing.npk", plain(r, "routing", "7.1", {"depends: system"}));
     },
     {"install routing 7.1"},
     0,
     [](const ts::RouterRoot& r) { EXPECT_TRUE(r.exists("/flash/bin/routing")); }},
    {"Upgrade",
     [](ts::RouterRoot& r) {
       r.install({{"system.npk", plain(r, "system", "7.1")}});
       r.download("system.npk", plain(r, "system", "7.2"));
     },
     {"upgrade system 7.1 -> 7.2"},
     0,
     [](const ts::RouterRoot& r) { EXPECT_EQ(r.file("/flash/bin/system"), "system7.2"); }},
    {"DowngradeRefused",
     [](ts::RouterRoot& r) {
       r.install({{"system.npk", plain(r, "system", "7.2")}});
       r.download("system.npk", plain(r, "system", "7.1"));
     },
     {"refused system-7.1 WARNING: omitting package system-7.1: newer package system-7.2 is "
      "already installed"},
     0,
     [](const ts::RouterRoot& r) { EXPECT_EQ(r.file("/flash/bin/system"), "system7.2"); }},
    {"DowngradeAllowed",
     [](ts::RouterRoot& r) {
       r.install({{"system.npk", plain(r, "system", "7.2")}});
       r.download("system.npk", plain(r, "system", "7.1"));
       ts::writeFile(r / "/ram/DOWNGRADE", "");
     },
     {"downgrade system 7.2 -> 7.1"},
     0,
     [](const ts::RouterRoot& r) { EXPECT_EQ(r.file("/flash/bin/system"), "system7.1"); }},
    {"ScheduledUninstallAndAnUpgrade",
     [](ts::RouterRoot& r) {
       r.install({{"system.npk", plain(r, "system", "7.1")},
                  {"extra.npk", plain(r, "extra", "7.1")},
                  {"tools.npk", plain(r, "tools", "7.1", {"depends: extra"})},
                  {"diag.npk", plain(r, "diag", "7.1")}});
       // A package still needed stays (with a warning); one that is not goes.
       ts::writeFile(r / "/ram/pdb/extra/schedule", "uninstall\n");
       ts::writeFile(r / "/ram/pdb/diag/schedule", "uninstall\n");
       r.download("system.npk", plain(r, "system", "7.2"));
     },
     {"upgrade system 7.1 -> 7.2", "uninstall diag 7.1"},
     0,
     [](const ts::RouterRoot& r) {
       EXPECT_TRUE(r.exists("/flash/var/pdb/extra"));
       EXPECT_FALSE(r.exists("/flash/var/pdb/diag"));
     }},
    // The run keeps room for its message log on the flash before it stages:
    // 54 pages and a byte leave exactly 32768 bytes, which is too few.
    {"NotEnoughSpace",
     [](ts::RouterRoot& r) { r.download("blob.npk", imageOfSize(r, 54 * kPage + 1)); },
     {},
     28,
     [](const ts::RouterRoot& r) { EXPECT_FALSE(r.exists("/flash/var/pdb/blob")); },
     true},
    // The new version's file does not fit beside the old one, which stands
    // until the commit is done: it is staged in "/ram", the free-space
    // estimate (which counts the old file as gone) passes, and the commit
    // refuses the copy onto the flash before anything changes.
    {"CopyThatDoesNotFitBesideTheOldVersion",
     [](ts::RouterRoot& r) {
       const std::string old(140 * 1024, 'o');
       r.install({{"big.npk", r.build(ts::describe("big", "7.1"), {{"bin/big", old}})}});
       const std::string now(140 * 1024, 'n');
       r.download("big.npk", r.build(ts::describe("big", "7.2"), {{"bin/big", now}}));
     },
     {},
     28,
     [](const ts::RouterRoot& r) {
       EXPECT_EQ(r.file("/flash/bin/big"), std::string(140 * 1024, 'o'));
     },
     true},
    {"JustEnoughSpace",
     [](ts::RouterRoot& r) { r.download("blob.npk", imageOfSize(r, 54 * kPage)); },
     {"install blob 7.1"},
     0,
     [](const ts::RouterRoot& r) { EXPECT_TRUE(r.exists("/flash/var/pdb/blob/image")); },
     true},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, PlanPredictsTheRun, ::testing::ValuesIn(kScenarios),
                         [](const auto& param) { return param.param.name; });

}  // namespace
