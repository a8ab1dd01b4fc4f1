// The upgrade run of the installer binary: which package files it finds,
// which it installs, what it keeps as images and which providers it
// enables again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using Lines = std::vector<std::string>;
using ts::describe;
using ts::kDownloadDir;
using ts::kFlashRwDir;
using ts::kFlashVarDir;
using ts::RouterRoot;

class UpgradeRun : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }

  // A plain package with one file of its own.
  static std::string plain(RouterRoot& router, const std::string& name, const std::string& version,
                           const std::vector<std::string>& lines = {}) {
    return router.build(describe(name, version, lines), {{"bin/" + name, name + " " + version}});
  }
};

// Whether the database holds a package of that name.
bool installed(const RouterRoot& router, const std::string& name) {
  return router.exists("/flash/var/pdb/" + name + "/version");
}

TEST_F(UpgradeRun, FirstDownloadDirectoryWithAUsableFileWins) {
  struct Case {
    const char* first;
    const char* later;
  };
  for (const Case c : {Case{kDownloadDir, kFlashRwDir}, Case{kDownloadDir, kFlashVarDir},
                       Case{kFlashRwDir, kFlashVarDir}}) {
    RouterRoot router;
    router.download("first.npk", plain(router, "first", "7.1"), c.first);
    router.download("later.npk", plain(router, "later", "7.1"), c.later);
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, 0) << c.first;
    EXPECT_EQ(ts::messageLines(result.out), Lines{"installed first-7.1"}) << c.first;
    EXPECT_EQ(router.file("/flash/bin/first"), "first 7.1") << c.first;
    EXPECT_FALSE(installed(router, "later")) << c.first;
  }
}

TEST_F(UpgradeRun, FirstDirectoryWithOnlyBrokenFilesCountsAsEmpty) {
  RouterRoot router;
  const std::string good = plain(router, "good", "7.1");
  router.download("junk.npk", "not a package");
  router.download("cut.npk", good.substr(0, good.size() / 2));
  router.download("good.npk", good, kFlashVarDir);
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  Lines lines = ts::messageLines(result.out);
  ASSERT_EQ(lines.size(), 3u) << result.out;
  // The two reports come in directory order.
  std::sort(lines.begin(), lines.begin() + 2);
  EXPECT_EQ(lines, (Lines{"ERROR: broken package cut.npk", "ERROR: broken package junk.npk",
                          "installed good-7.1"}));
  EXPECT_TRUE(installed(router, "good"));
}

TEST_F(UpgradeRun, UnsafeNamesMakeABrokenFileInTheScan) {
  // Header and list names are checked as soon as the scan reads them, so
  // the file is reported by its name and never planned.
  auto withName = [](const std::string& name, std::vector<installer::Dependency> depends = {}) {
    ts::FixturePackage p(ts::fixtureHeader(name, installer::makeVersion(7, 1, 0x66, 0)));
    p.header.depends = std::move(depends);
    return ts::packageFile(p);
  };
  installer::Package suite = ts::fixtureHeader("suite", installer::makeVersion(7, 1, 0x66, 0));
  suite.isBundle = true;
  RouterRoot router;
  router.download("blank.npk", withName("a b"));
  router.download("image.npk", withName("image"));
  router.download("list.npk", withName("tool", {{"needs blank", 0, 0, 0}}));
  router.download("member.npk",
                  ts::bundleFile(suite, {ts::FixturePackage(ts::fixtureHeader(
                                            ".hidden", installer::makeVersion(7, 1, 0x66, 0)))}));
  router.download("good.npk", plain(router, "good", "7.1"));
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  Lines lines = ts::messageLines(result.out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (Lines{"ERROR: broken package blank.npk", "ERROR: broken package image.npk",
                          "ERROR: broken package list.npk", "ERROR: broken package member.npk",
                          "installed good-7.1"}));
}

TEST_F(UpgradeRun, OnlyVisibleNpkAndVpkFilesAreTried) {
  RouterRoot router;
  router.download("shown.npk", plain(router, "shown", "7.1"));
  router.download("other.vpk", plain(router, "other", "7.1"));
  const char* const ignored[] = {"upper.NPK", "upper.Vpk", "partial.npk.part", ".hidden.npk",
                                 "bell\a.npk"};
  int n = 0;
  for (const char* name : ignored) {
    router.download(name, plain(router, "ignored" + std::to_string(++n), "7.1"));
  }
  router.download(".hidden-junk.npk", "junk");

  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  Lines lines = ts::messageLines(result.out);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (Lines{"installed other-7.1", "installed shown-7.1"}));
  for (int i = 1; i <= n; ++i) EXPECT_FALSE(installed(router, "ignored" + std::to_string(i)));
}

TEST_F(UpgradeRun, TruncatedFileIsReportedByItsBareName) {
  RouterRoot router;
  router.install({{"base.npk", plain(router, "base", "7.1")}});
  const std::string before = router.tree();

  const std::string next = plain(router, "base", "7.2");
  router.download("base-7.2.npk", next.substr(0, next.size() - 1));
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ts::messageLines(result.out), Lines{"ERROR: broken package base-7.2.npk"});
  EXPECT_EQ(router.tree(), before);
}

// The data of the first part of that type: (offset, length).
std::pair<std::size_t, std::uint32_t> partData(const std::string& file, unsigned wanted) {
  std::size_t at = 8;
  while (at + 6 <= file.size()) {
    const auto type = static_cast<unsigned char>(file[at]) |
                      static_cast<unsigned>(static_cast<unsigned char>(file[at + 1])) << 8;
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
      length |= static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 2 + i])) << (8 * i);
    }
    if (type == wanted) return {at + 6, length};
    at += 6 + length;
  }
  ADD_FAILURE() << "no part of type " << wanted;
  return {file.size(), 0};
}

// Flips one byte in the middle of the file payload part.
std::string damagePayload(std::string file) {
  const auto [at, length] = partData(file, 4);
  if (at < file.size()) file[at + length / 2] = static_cast<char>(file[at + length / 2] ^ 0x55);
  return file;
}

// Zeroes the signature part's data: a forgery of whoever cannot sign.
std::string zeroSignature(std::string file) {
  const auto [at, length] = partData(file, 9);
  file.replace(at, length, std::string(length, '\0'));
  return file;
}

TEST_F(UpgradeRun, OneBrokenFileCancelsEverything) {
  RouterRoot router;
  router.install({{"base.npk", plain(router, "base", "7.1")}});
  const std::string flashBefore = router.tree();
  const std::string ramBefore = router.tree("/ram");

  // "second" needs "first", so "first" is installed before "second" fails.
  router.download("first.npk", plain(router, "first", "7.1"));
  router.download("second.npk", damagePayload(plain(router, "second", "7.1", {"depends: first"})));
  router.download("base.npk", plain(router, "base", "7.2"));
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  const Lines lines = ts::messageLines(result.out);
  ASSERT_FALSE(lines.empty()) << result.out;
  EXPECT_EQ(lines.back(), "ERROR: installation of second-7.1 failed: broken package");
  for (const auto& line : lines) EXPECT_EQ(line.rfind("installed", 0), std::string::npos) << line;
  EXPECT_EQ(router.tree(), flashBefore);
  EXPECT_EQ(router.tree("/ram"), ramBefore);  // no staged file left behind
  EXPECT_TRUE(router.exists("/rw/pckg/.download/first.npk"));
}

TEST_F(UpgradeRun, DowngradeMarkerAllowsOlderFilesAboveItsFloor) {
  struct Case {
    const char* name;
    const char* marker;  // null: no marker
    std::vector<const char*> versions;
    Lines messages;
    const char* installedVersion;
  };
  const Case cases[] = {
      {"no marker",
       nullptr,
       {"7.1"},
       {"WARNING: omitting package foo-7.1: newer package foo-7.2 is already installed"},
       "7.2"},
      {"empty marker", "", {"7.1"}, {"installed foo-7.1"}, "7.1"},
      {"marker without a number", "soon\n", {"7.1"}, {"installed foo-7.1"}, "7.1"},
      {"oldest of two wins",
       "",
       {"7.0", "7.1"},
       {"WARNING: omitting package foo-7.1: older package is already provided",
        "installed foo-7.0"},
       "7.0"},
      // 117466624 is 7.0 (0x07006600) and 117532160 is 7.1 (0x07016600).
      {"floor at the older file",
       "117466624\n",
       {"7.0", "7.1"},
       {"WARNING: omitting package foo-7.1: older package is already provided",
        "installed foo-7.0"},
       "7.0"},
      {"file below the floor",
       "117532160",
       {"7.0"},
       {"WARNING: ommitting package foo-7.0: not allowed"},
       "7.2"},
  };
  for (const auto& c : cases) {
    RouterRoot router;
    router.install({{"foo.npk", plain(router, "foo", "7.2")}});
    if (c.marker != nullptr) ts::writeFile(router / "/ram/DOWNGRADE", c.marker);
    for (const char* version : c.versions) {
      router.download(std::string("foo-") + version + ".npk", plain(router, "foo", version));
    }
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(ts::messageLines(result.out), c.messages) << c.name;
    EXPECT_EQ(router.file("/flash/bin/foo"), std::string("foo ") + c.installedVersion) << c.name;
  }
}

TEST_F(UpgradeRun, ProviderIsEnabledAgainWhenItsReplacementStopsProviding) {
  struct Case {
    const char* name;
    bool conflicting;  // an enabled package conflicts with the disabled provider
    Lines messages;
    bool providerEnabled;
  };
  const Case cases[] = {
      {"provider enabled once for both names",
       false,
       {"enabled spare-1.0", "installed main-2.0"},
       true},
      {"an enabled package conflicts with it", true, {"installed main-2.0"}, false},
  };
  for (const auto& c : cases) {
    RouterRoot router;
    std::vector<std::pair<std::string, std::string>> base = {
        {"main.npk", plain(router, "main", "1.0", {"provides: net", "provides: web"})},
        {"spare.npk", plain(router, "spare", "1.0", {"provides: net", "provides: web"})}};
    if (c.conflicting) {
      base.emplace_back("guard.npk", plain(router, "guard", "1.0", {"conflicts: spare"}));
      router.install(base);  // "spare" arrives disabled beside "guard"
    } else {
      router.install(base);
      ts::writeFile(router / "/ram/pdb/spare/schedule", "disable\n");
      EXPECT_EQ(ts::messageLines(router.run().out), Lines{"disabled spare-1.0"}) << c.name;
      ts::removeTree(router / "/ram/pdb");
    }
    ASSERT_TRUE(router.exists("/flash/var/pdb/spare/disabled")) << c.name;

    router.download("main.npk", plain(router, "main", "2.0"));
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(ts::messageLines(result.out), c.messages) << c.name;
    EXPECT_EQ(router.exists("/flash/var/pdb/spare/disabled"), !c.providerEnabled) << c.name;
  }
}

// A downloaded image-based file is moved into place as it is, once the
// commit comes (after "--safe", the "--commit"): it must then still be the
// file whose signature was checked. Put another in its place, or written to
// in place, it is refused and nothing changes.
TEST_F(UpgradeRun, AKeptImageChangedAfterItsCheckIsNotMovedIntoPlace) {
  struct Case {
    const char* name;
    bool inPlace;  // written into the same file, else a new file at the name
  };
  const std::string imageData(5000, 'k');
  for (const Case c : {Case{"replaced", false}, Case{"written in place", true}}) {
    SCOPED_TRACE(c.name);
    RouterRoot router;
    router.install({{"base.npk", plain(router, "base", "7.1")}});
    router.download("kernel.npk",
                    router.build(describe("kernel", "7.1", {"flags: boot-image"}), {}, &imageData));
    const std::string before = router.tree();
    ts::RunOptions options;
    options.env["bootimage"] = "1";
    ASSERT_EQ(router.run({"--safe"}, options).status, 0);

    // The same header with other bytes behind it, and no valid signature.
    std::string forged = *ts::readFile(router / (std::string(kDownloadDir) + "kernel.npk"));
    forged[forged.size() - 40] ^= 0x55;
    const std::string path = router / (std::string(kDownloadDir) + "kernel.npk");
    if (c.inPlace) {
      std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out) << forged;
    } else {
      ts::writeFile(path + ".new", forged);
      ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
    }
    const ts::RunResult commit = router.run({"--commit"});
    EXPECT_EQ(commit.status, 1);
    EXPECT_EQ(ts::messageLines(commit.out),
              Lines{"ERROR: the packages changed since /ram/MANIFEST was made: it is cancelled"});
    // The kept manifest is cancelled with its staged files.
    EXPECT_EQ(router.tree(), before);
    EXPECT_FALSE(router.exists("/flash/bootimage"));
    EXPECT_FALSE(router.exists("/ram/MANIFEST"));
  }
}

TEST_F(UpgradeRun, ImageBasedFileBecomesTheImageOrTheBootImage) {
  struct Case {
    const char* name;
    const char* flags;
    bool bootEnv;
    Lines manifest;  // without the staged markers
  };
  const Case cases[] = {
      {"kept image", "0", false, {"M /flash/var/pdb/kernel/image /rw/pckg/.download/kernel.npk"}},
      {"boot image",
       "boot-image",
       true,
       {"M /flash/bootimage /rw/pckg/.download/kernel.npk",
        "L /flash/var/pdb/kernel/image /flash/bootimage"}},
      {"boot flag without the environment",
       "boot-image",
       false,
       {"M /flash/var/pdb/kernel/image /rw/pckg/.download/kernel.npk"}},
  };
  const std::string imageData(5000, 'k');
  for (const auto& c : cases) {
    RouterRoot router;
    router.install({{"base.npk", plain(router, "base", "7.1")}});
    const std::string kernel =
        router.build(describe("kernel", "7.1", {std::string("flags: ") + c.flags}), {}, &imageData);
    router.download("kernel.npk", kernel);
    ts::RunOptions options;
    if (c.bootEnv) options.env["bootimage"] = "1";
    const ts::RunResult result = router.run({"--safe"}, options);
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(ts::messageLines(result.out), Lines{"installed kernel-7.1"}) << c.name;

    Lines manifest;
    std::istringstream lines(router.file("/ram/MANIFEST"));
    for (std::string line; std::getline(lines, line);) {
      if (line.find("PCKGS_CHANGED") == std::string::npos &&
          line.find("UPGRADED") == std::string::npos) {
        manifest.push_back(line);
      }
    }
    EXPECT_EQ(manifest, c.manifest) << c.name;

    const ts::RunResult commit = router.runInside({"--commit"});
    EXPECT_EQ(commit.status, 0) << c.name << commit.err;
    EXPECT_FALSE(router.exists("/rw/pckg/.download/kernel.npk")) << c.name;
    if (c.bootEnv) {
      EXPECT_EQ(router.file("/flash/bootimage"), kernel) << c.name;
      char target[64] = {};
      const ssize_t n =
          readlink((router / "/flash/var/pdb/kernel/image").c_str(), target, sizeof target - 1);
      EXPECT_EQ(std::string(target, n > 0 ? std::size_t(n) : 0), "/flash/bootimage") << c.name;
      EXPECT_TRUE(router.exists("/flash/UPGRADED")) << c.name;
    } else {
      EXPECT_EQ(router.file("/flash/var/pdb/kernel/image"), kernel) << c.name;
      EXPECT_FALSE(router.exists("/flash/bootimage")) << c.name;
    }
    // The kept image is what the next run loads the package from.
    EXPECT_NE(router.run({"--show"}).out.find("kernel"), std::string::npos) << c.name;
  }
}

// A download that copies an installed package's header (name, version,
// build) with a zeroed signature is no installed package: it is broken, and
// neither its file (as the kept image, or with "--reinstall" as the boot
// image) nor its forged requirement reaches the flash, so the next run
// still has the package and what needs it.
TEST_F(UpgradeRun, AForgedCopyOfAnInstalledPackageIsBroken) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {{"passed over", {}}, {"reinstalled", {"--reinstall"}}};
  const std::string imageData(5000, 'k');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RouterRoot router;
    ts::RunOptions options;
    options.env["bootimage"] = "1";
    const std::string genuine =
        router.build(describe("kernel", "7.1", {"flags: boot-image"}), {}, &imageData);
    router.download("kernel.npk", genuine);
    router.download("base.npk", plain(router, "base", "7.1", {"depends: kernel"}));
    ASSERT_EQ(router.run({}, options).status, 0);
    router.clearDownloads();
    ASSERT_EQ(router.file("/flash/bootimage"), genuine);
    const std::string before = router.tree();

    const std::string forged = zeroSignature(router.build(
        describe("kernel", "7.1", {"flags: boot-image", "depends: absent"}), {}, &imageData));
    router.download("kernel.npk", forged);
    const ts::RunResult result = router.run(c.args, options);
    EXPECT_EQ(result.status, 0);
    const Lines lines = ts::messageLines(result.out);
    ASSERT_FALSE(lines.empty()) << result.out;
    EXPECT_EQ(lines.back(), "ERROR: installation of kernel-7.1 failed: broken package");
    EXPECT_EQ(router.tree(), before);
    EXPECT_TRUE(router.exists("/rw/pckg/.download/kernel.npk"));

    router.clearDownloads();
    EXPECT_EQ(router.run({}, options).status, 0);
    EXPECT_EQ(router.tree(), before);
    EXPECT_EQ(router.file("/flash/bin/base"), "base 7.1");
  }
}

TEST_F(UpgradeRun, EmptyRouterWithNothingToInstallFails) {
  RouterRoot router;
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ts::messageLines(result.out), Lines{"ERROR: router installation failed!!!"});
  EXPECT_FALSE(router.exists("/flash/PCKGS_CHANGED"));
}

// A chain a -> b -> c -> d (b's need met by what c provides) installs in
// one run whatever names the files have and whatever order the directory
// lists them in: each package after what it needs.
TEST_F(UpgradeRun, AChainInstallsInOneRunUnderAnyFileNames) {
  RouterRoot builder;
  const std::vector<std::string> files{
      plain(builder, "a", "7.5", {"depends: b"}), plain(builder, "b", "7.5", {"depends: routing"}),
      plain(builder, "c", "7.5", {"provides: routing", "depends: d"}), plain(builder, "d", "7.5")};
  std::vector<std::size_t> order{0, 1, 2, 3};
  do {
    std::string names;
    RouterRoot router;
    for (std::size_t i = 0; i < order.size(); ++i) {
      // Names in the permutation's order, created in it too.
      const std::string name = std::string(1, static_cast<char>('p' + i)) + "x.npk";
      router.download(name, files[order[i]]);
      names += name + "=" + "abcd"[order[i]] + " ";
    }
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, 0) << names;
    EXPECT_EQ(ts::messageLines(result.out),
              (Lines{"installed d-7.5", "installed c-7.5", "installed b-7.5", "installed a-7.5"}))
        << names;
    for (const char* name : {"a", "b", "c", "d"}) {
      EXPECT_TRUE(installed(router, name)) << names << name;
    }
  } while (std::next_permutation(order.begin(), order.end()));
}

TEST_F(UpgradeRun, AnnouncesInstalledPackagesAndMarksTheChange) {
  RouterRoot router;
  router.install({{"base.npk", plain(router, "base", "7.1")}});
  EXPECT_TRUE(router.exists("/flash/PCKGS_CHANGED"));
  EXPECT_EQ(router.file("/flash/PCKGS_CHANGED"), "");
  ts::removeTree(router / "/flash/PCKGS_CHANGED");

  // A run that stages nothing leaves neither marker nor manifest.
  const ts::RunResult idle = router.run({"--safe"});
  EXPECT_EQ(idle.status, 0);
  EXPECT_TRUE(ts::messageLines(idle.out).empty()) << idle.out;
  EXPECT_FALSE(router.exists("/flash/PCKGS_CHANGED"));
  EXPECT_FALSE(router.exists("/ram/MANIFEST"));

  // Every message of the run goes to the log after those of earlier runs;
  // "-q" silences the console and the log alike.
  router.download("base.npk", plain(router, "base", "7.2"));
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ts::messageLines(result.out), Lines{"installed base-7.2"});
  EXPECT_EQ(router.file("/flash/postlog"), "installed base-7.1\ninstalled base-7.2\n");

  router.clearDownloads();
  router.download("base.npk", plain(router, "base", "7.3"));
  const ts::RunResult quiet = router.run({"-q"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(router.file("/flash/bin/base"), "base 7.3");
  EXPECT_EQ(router.file("/flash/postlog"), "installed base-7.1\ninstalled base-7.2\n");
}

}  // namespace
