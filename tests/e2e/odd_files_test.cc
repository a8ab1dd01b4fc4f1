// What the installer finds where it expects its own files: something that
// is no regular file, a link planted in a file's place, a file the disk
// cannot give back, a flash too full for the capture of the image mode.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "support/fault_run.h"
#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using Args = std::vector<std::string>;
using ts::describe;
using ts::RouterRoot;

constexpr unsigned kHangLimit = 20;  // seconds; a run that waits is killed

class OddFiles : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }

  static std::string plain(RouterRoot& router, const std::string& name, const std::string& version,
                           const std::string& content = "") {
    return router.build(describe(name, version),
                        {{"bin/" + name, content.empty() ? name + " " + version : content}});
  }

  static ts::RunResult run(RouterRoot& router, const Args& args, ts::RunOptions options = {}) {
    options.timeoutSeconds = kHangLimit;
    return router.run(args, options);
  }
};

// Something other than a regular file at `path`, replacing what is there.
using Plant = std::function<bool(const std::string& path)>;

struct OddKind {
  const char* name;
  Plant plant;
};

const std::vector<OddKind>& oddKinds() {
  static const std::vector<OddKind> kinds = {
      {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0644) == 0; }},
      {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0755) == 0; }},
      {"device",
       [](const std::string& p) { return mknod(p.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0; }},
  };
  return kinds;
}

// A FIFO where a database, image or schedule file is expected used to hang
// the run for ever; a device or directory there was opened too. Each counts
// as missing: the run ends exactly as it does when the file is absent.
TEST_F(OddFiles, FilesThatAreNotRegularCountAsMissing) {
  RouterRoot builder;
  const std::string image(3000, 'i');
  const std::string tool = plain(builder, "tool", "7.1");
  const std::string blob = builder.build(describe("blob", "7.1"), {}, &image);
  // The same system each time, without the file at `place`.
  const auto prepare = [&](RouterRoot& router, const std::string& place) {
    router.install({{"tool.npk", tool}, {"blob.npk", blob}});
    ts::makeDirs(router / "/ram/pdb/tool");
    ts::makeDirs(router / "/rw/pckg/.images");
    ts::removeTree(router / place);
  };
  const std::vector<std::string> places = {
      "/flash/var/pdb/tool/version",  "/flash/var/pdb/tool/deps",    "/flash/var/pdb/tool/files",
      "/flash/var/pdb/tool/disabled", "/flash/var/pdb/tool/enabled", "/flash/var/pdb/tool/image",
      "/flash/var/pdb/blob/image",    "/ram/pdb/tool/schedule",      "/rw/pckg/.images/tool",
  };
  for (const std::string& place : places) {
    RouterRoot missing;
    prepare(missing, place);
    const ts::RunResult expectedShow = run(missing, {"--show"});
    const ts::RunResult expectedRun = run(missing, {});
    for (const OddKind& kind : oddKinds()) {
      SCOPED_TRACE(place + " as " + kind.name);
      RouterRoot odd;
      prepare(odd, place);
      ASSERT_TRUE(kind.plant(odd / place));
      const ts::RunResult show = run(odd, {"--show"});
      EXPECT_EQ(show.status, expectedShow.status);
      EXPECT_EQ(show.out, expectedShow.out);
      const ts::RunResult upgrade = run(odd, {});
      EXPECT_EQ(upgrade.status, expectedRun.status);
      EXPECT_EQ(ts::messageLines(upgrade.out), ts::messageLines(expectedRun.out));
    }
  }
}

// A link planted where the installer writes a file of its own is not
// followed: the file it points to is never written.
TEST_F(OddFiles, LinksInPlaceOfTheCaptureAndTheLogAreNotFollowed) {
  RouterRoot router;
  ts::writeFile(router / "/flash/victim", "keep me");
  ASSERT_EQ(symlink("/flash/victim", (router / "/flash/var/pdb/image").c_str()), 0);
  const std::string image(3000, 'i');
  ts::RunOptions withPackage;
  withPackage.input = router.build(describe("blob", "7.1"), {}, &image);
  const ts::RunResult imageBased = run(router, {"-"}, withPackage);
  EXPECT_EQ(imageBased.status, 255);
  EXPECT_EQ(imageBased.out, "ERROR: could not open image\n");
  EXPECT_EQ(router.file("/flash/victim"), "keep me");
  EXPECT_FALSE(router.exists("/flash/var/pdb/blob"));
  // A plain package needs no capture: the link is left alone.
  withPackage.input = plain(router, "other", "7.1");
  const ts::RunResult plainPackage = run(router, {"-"}, withPackage);
  EXPECT_EQ(plainPackage.status, 0) << plainPackage.out;
  EXPECT_EQ(router.file("/flash/bin/other"), "other 7.1");
  EXPECT_EQ(router.file("/flash/victim"), "keep me");
  ASSERT_EQ(unlink((router / "/flash/var/pdb/image").c_str()), 0);
  unlink((router / "/flash/postlog").c_str());

  ASSERT_EQ(symlink("/flash/victim", (router / "/flash/postlog").c_str()), 0);
  router.download("tool.npk", plain(router, "tool", "7.1"));
  const ts::RunResult upgrade = run(router, {});
  EXPECT_EQ(upgrade.status, 0);
  EXPECT_EQ(ts::messageLines(upgrade.out), std::vector<std::string>{"installed tool-7.1"});
  EXPECT_EQ(router.file("/flash/bin/tool"), "tool 7.1");
  EXPECT_EQ(router.file("/flash/victim"), "keep me");
}

// A link in place of a package's database directory is no package: nothing
// is loaded through it, and nothing is written through it.
TEST_F(OddFiles, ALinkedDatabaseDirectoryIsNoPackage) {
  RouterRoot router;
  router.install({{"tool.npk", plain(router, "tool", "7.1")}});
  ASSERT_EQ(rename((router / "/flash/var/pdb/tool").c_str(), (router / "/flash/elsewhere").c_str()),
            0);
  ASSERT_EQ(symlink("/flash/elsewhere", (router / "/flash/var/pdb/tool").c_str()), 0);
  const std::string elsewhere = router.tree("/flash/elsewhere");

  const ts::RunResult show = run(router, {"--show"});
  EXPECT_EQ(show.status, 0);
  EXPECT_EQ(show.out.find("tool"), std::string::npos) << show.out;

  router.download("tool.npk", plain(router, "tool", "7.2"));
  // The package's directory cannot be claimed: the install fails as it does
  // where a plain file takes the directory's place.
  const ts::RunResult upgrade = run(router, {});
  EXPECT_EQ(upgrade.status, 0);
  EXPECT_EQ(ts::messageLines(upgrade.out), std::vector<std::string>{});
  EXPECT_EQ(router.tree("/flash/elsewhere"), elsewhere);
  EXPECT_EQ(router.file("/flash/bin/tool"), "tool 7.1");
  router.clearDownloads();

  ts::RunOptions withPackage;
  withPackage.input = plain(router, "tool", "7.3");
  const ts::RunResult image = run(router, {"-"}, withPackage);
  EXPECT_EQ(image.status, 1);
  EXPECT_EQ(ts::messageLines(image.out), std::vector<std::string>{"ERROR: broken package -"});
  EXPECT_EQ(router.tree("/flash/elsewhere"), elsewhere);
  EXPECT_EQ(router.file("/flash/bin/tool"), "tool 7.1");
}

// The lists of a run's temporary files are directories of the installer's
// own. A plain file left at one of their names used to fail every install
// for good; a link there led the lists' removal into the user's files.
TEST_F(OddFiles, SomethingElseAtTheTemporaryListsIsRepaired) {
  const std::vector<std::string> places = {"/flash/var/pdb/.staged.d",
                                           "/flash/var/pdb/.staged-kept.d"};
  for (const std::string& place : places) {
    for (const bool link : {false, true}) {
      SCOPED_TRACE(place + (link ? " as a link" : " as a file"));
      RouterRoot router;
      ts::makeDirs(router / "/rw/data");
      ts::writeFile(router / "/rw/data/config", "the user's");
      if (link) {
        ASSERT_EQ(symlink("/rw/data", (router / place).c_str()), 0);
      } else {
        ts::writeFile(router / place, "not a list");
      }
      router.download("tool.npk", plain(router, "tool", "7.1"));
      const ts::RunResult safe = run(router, {"--safe"});
      EXPECT_EQ(safe.status, 0);
      EXPECT_EQ(ts::messageLines(safe.out), std::vector<std::string>{"installed tool-7.1"});
      EXPECT_FALSE(router.exists("/flash/bin/tool"));
      const ts::RunResult commit = run(router, {"--commit"});
      EXPECT_EQ(commit.status, 0) << commit.out << commit.err;
      EXPECT_EQ(router.file("/flash/bin/tool"), "tool 7.1");

      router.download("tool.npk", plain(router, "tool", "7.2"));
      const ts::RunResult upgrade = run(router, {});
      EXPECT_EQ(upgrade.status, 0);
      EXPECT_EQ(ts::messageLines(upgrade.out), std::vector<std::string>{"installed tool-7.2"});
      EXPECT_EQ(router.file("/flash/bin/tool"), "tool 7.2");
      EXPECT_EQ(router.file("/rw/data/config"), "the user's");
      EXPECT_EQ(ts::listDir(router / "/rw/data").size(), 1u) << "nothing written through a link";
    }
  }
}

// A database file that is there and cannot be read is no broken package:
// what it holds is unknown, so the run changes nothing and says why.
TEST_F(OddFiles, AFileTheDiskCannotGiveBackStopsTheRun) {
  struct Case {
    const char* file;
    const char* variable;  // where the fault library makes it fail
  };
  const Case cases[] = {
      {"/flash/var/pdb/tool/version", "FAULT_UNREADABLE"},
      {"/flash/var/pdb/tool/files", "FAULT_UNREADABLE"},
      {"/flash/var/pdb/tool/deps", "FAULT_UNOPENABLE"},
      {"/flash/var/pdb/tool/disabled", "FAULT_UNREADABLE"},
      {"/flash/var/pdb/blob/image", "FAULT_UNOPENABLE"},
      {"/flash/var/pdb/blob/image", "FAULT_UNREADABLE"},
      {"/ram/pdb/tool/schedule", "FAULT_UNREADABLE"},
  };
  const std::string image(3000, 'i');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    RouterRoot router;
    router.install({{"tool.npk", plain(router, "tool", "7.1")},
                    {"blob.npk", router.build(describe("blob", "7.1"), {}, &image)}});
    ts::writeFile(router / "/flash/var/pdb/tool/disabled", "user\n");
    ts::writeFile(router / "/ram/pdb/tool/schedule", "enable\n");
    router.download("other.npk", plain(router, "other", "7.1"));
    ts::RunOptions stdinPackage;
    stdinPackage.input = plain(router, "third", "7.1");
    const std::string before = router.tree();
    for (const Args& args : std::vector<Args>{{}, {"-"}, {"--cleanup"}, {"--show"}}) {
      ts::RunOptions options = ts::withFault(stdinPackage);
      options.env[c.variable] = c.file;
      options.env["FAULT_ERRNO"] = "EIO";
      const ts::RunResult result = run(router, args, options);
      const std::string mode = args.empty() ? "upgrade run" : args[0];
      EXPECT_EQ(result.status, 1) << mode;
      EXPECT_EQ(ts::messageLines(result.out),
                std::vector<std::string>{std::string("ERROR: could not read ") + c.file})
          << mode;
      EXPECT_EQ(router.tree(), before) << mode;
    }
  }
}

// A download, or standard input, that the disk cannot give back is no
// broken package either: at its first read, or at any later one (each read
// after the first `readable` bytes of the file fails), the run says it could
// not read it, ends with status 1 and changes nothing, the valid downloads
// beside it included; it never aborts.
TEST_F(OddFiles, APackageFileThatCannotBeReadStopsTheRun) {
  RouterRoot router;
  router.install({{"base.npk", plain(router, "base", "7.1")}});
  const std::string tool = plain(router, "tool", "7.1", std::string(200000, 't'));
  const std::string before = router.tree();
  const std::string ramBefore = router.tree("/ram");
  // The upgrade run reads the download twice (its header, then all of it):
  // the readable lengths reach into both reads.
  const std::size_t size = tool.size();
  for (const std::size_t readable : {std::size_t{0}, std::size_t{20}, size, size + 8, size + 100,
                                     size + size / 2, 2 * size - 1}) {
    SCOPED_TRACE(readable);
    router.clearDownloads();
    router.download("base.npk", plain(router, "base", "7.2"));
    router.download("tool.npk", tool);
    ts::RunOptions options = ts::withFault({});
    options.env["FAULT_UNREADABLE"] = "/rw/pckg/.download/tool.npk";
    options.env["FAULT_READ_AFTER"] = std::to_string(readable);
    const ts::RunResult upgrade = run(router, {}, options);
    EXPECT_EQ(upgrade.status, 1) << upgrade.err;
    const std::vector<std::string> lines = ts::messageLines(upgrade.out);
    ASSERT_FALSE(lines.empty()) << upgrade.out;
    EXPECT_EQ(lines.back(), "ERROR: could not read /rw/pckg/.download/tool.npk");
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("broken package"), std::string::npos) << line;
      EXPECT_EQ(line.find("installed"), std::string::npos) << line;
    }
    EXPECT_EQ(router.tree(), before);
    EXPECT_EQ(router.tree("/ram"), ramBefore);
    EXPECT_NE(
        router.file("/flash/postlog").find("ERROR: could not read /rw/pckg/.download/tool.npk\n"),
        std::string::npos);
  }
  router.clearDownloads();

  for (const std::size_t readable : {std::size_t{0}, std::size_t{8}, size / 2, size - 1}) {
    SCOPED_TRACE(readable);
    ts::RunOptions options = ts::withFault({});
    options.input = tool;
    options.env["FAULT_UNREADABLE"] = "-";
    options.env["FAULT_READ_AFTER"] = std::to_string(readable);
    const ts::RunResult image = run(router, {"-"}, options);
    EXPECT_EQ(image.status, 1) << image.err;
    EXPECT_EQ(ts::messageLines(image.out), std::vector<std::string>{"ERROR: could not read -"})
        << image.out;
    EXPECT_EQ(router.tree(), before);
    EXPECT_EQ(router.tree("/ram"), ramBefore);
  }
}

// The temporary files a run created under `dir`, from its fault log.
std::vector<std::string> temporariesUnder(const std::string& log, const std::string& dir) {
  std::vector<std::string> made;
  for (const ts::FaultCall& call : ts::readFaultLog(log)) {
    if (call.kind == "mkstemp" && call.detail.rfind(dir, 0) == 0) made.push_back(call.detail);
  }
  return made;
}

// A file that cannot fit its flash file system beside what is there and
// what the run staged is refused before any byte of it is staged anywhere:
// "/ram" is not filled first. The upgrade run ends as one whose changes do
// not fit, the image mode as a write to a full flash; what fits installs.
TEST_F(OddFiles, AFileThatCannotFitTheFlashIsRefusedBeforeItIsStaged) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs a small flash file system";
  RouterRoot router;
  const std::string zeros(3 << 20, '\0');
  const std::string huge =
      router.build(describe("huge", "7.1"), {{"bin/huge", std::string(40 << 20, '\0')}});
  const std::string first = router.build(describe("first", "7.1"), {{"bin/first", zeros}});
  const std::string second = router.build(describe("second", "7.1"), {{"bin/second", zeros}});
  const std::string renamed = router.build(describe("first", "7.2"), {{"bin/renamed", zeros}});
  ASSERT_TRUE(ts::mountTmpfs(router / "/flash", "4m"));
  ASSERT_TRUE(ts::mountTmpfs(router / "/ram", "16m"));
  ts::makeDirs(router / "/flash/var/pdb");
  ts::TempRoot logs;
  const auto faultLogged = [&](ts::RunOptions options) {
    ts::removeTree(logs / "/calls");
    ts::FaultPlan plan;
    plan.log = logs / "/calls";
    return ts::withFault(std::move(options), plan);
  };

  // One entry of 40 MiB in a small package, and two of 3 MiB that fit one
  // at a time: the second cannot fit beside the first.
  for (const auto& files : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"huge.npk", huge}}, {{"first.npk", first}, {"second.npk", second}}}) {
    router.clearDownloads();
    for (const auto& [name, bytes] : files) router.download(name, bytes);
    const std::string before = router.tree();
    const std::string ramBefore = router.tree("/ram");
    const ts::RunResult upgrade = run(router, {}, faultLogged({}));
    EXPECT_EQ(upgrade.status, 28) << upgrade.out << upgrade.err;
    EXPECT_EQ(ts::messageLines(upgrade.out),
              std::vector<std::string>{"ERROR: not enough space for upgrade"});
    EXPECT_EQ(temporariesUnder(logs / "/calls", "/ram/"), std::vector<std::string>{});
    EXPECT_EQ(router.tree(), before);
    EXPECT_EQ(router.tree("/ram"), ramBefore);
  }
  router.clearDownloads();

  ts::RunOptions input;
  input.input = huge;
  const std::string before = router.tree();
  const ts::RunResult image = run(router, {"-"}, faultLogged(input));
  EXPECT_EQ(image.status, 1) << image.out << image.err;
  EXPECT_EQ(ts::messageLines(image.out),
            std::vector<std::string>{"ERROR: installation of huge-7.1 failed: disk is too small"});
  EXPECT_EQ(temporariesUnder(logs / "/calls", "/"), std::vector<std::string>{});
  EXPECT_EQ(router.tree(), before);

  // What fits is installed, from the image mode and the upgrade run alike.
  ts::RunOptions fits;
  fits.input = second;
  const ts::RunResult installed = run(router, {"-"}, fits);
  EXPECT_EQ(installed.status, 0) << installed.out;
  router.download("first.npk", first);
  const ts::RunResult upgrade = run(router, {});
  EXPECT_EQ(upgrade.status, 28) << upgrade.out;
  ts::removeTree(router / "/flash/bin/second");
  ts::removeTree(router / "/flash/var/pdb/second");
  const ts::RunResult retried = run(router, {});
  EXPECT_EQ(retried.status, 0) << retried.out;
  EXPECT_EQ(router.file("/flash/bin/first").size(), zeros.size());
}

// Random bytes: a package of them does not shrink in its payload.
std::string noise(std::size_t size) {
  std::mt19937 random(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A flash too full for the package fails the install of the image mode and
// changes nothing: a plain package, which writes no capture, when its file
// cannot fit (it used to go on to a commit whose copies failed part-way).
TEST_F(OddFiles, ACaptureThatCannotBeWrittenFailsTheInstall) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs a small flash file system";
  RouterRoot router;
  const std::string package = plain(router, "tool", "7.1", noise(256 * 1024));
  ASSERT_TRUE(ts::mountTmpfs(router / "/flash", "128k"));
  ts::makeDirs(router / "/flash/var/pdb");
  const std::string flash = router.tree();
  const std::string ram = router.tree("/ram");
  ts::RunOptions options;
  options.input = package;
  const ts::RunResult result = run(router, {"-"}, options);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(ts::messageLines(result.out),
            std::vector<std::string>{"ERROR: installation of tool-7.1 failed: disk is too small"});
  // The file that cannot fit is refused before it is staged: no copy is
  // tried.
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(router.tree(), flash);
  EXPECT_EQ(router.tree("/ram"), ram);
}

}  // namespace
