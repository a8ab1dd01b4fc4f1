// The end of an upgrade run: the free-space check on small flash file
// systems, and committing at once or through "/ram/MANIFEST" ("--safe").
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "support/router_root.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using Lines = std::vector<std::string>;
using ts::describe;
using ts::RouterRoot;

constexpr std::size_t kPage = 4096;

class UpgradeEnd : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
  }

  static std::string plain(RouterRoot& router, const std::string& name, const std::string& version,
                           const ts::PackageFiles& files = {}) {
    return router.build(
        describe(name, version),
        files.empty() ? ts::PackageFiles{{"bin/" + name, name + " " + version}} : files);
  }
};

class FreeSpace : public UpgradeEnd {
 protected:
  void SetUp() override {
    UpgradeEnd::SetUp();
    if (IsSkipped()) return;
    if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs tmpfs mounts for small flash file systems";
  }

  // A small file system of `pages` pages at `inside`; the mount belongs to
  // this test's namespace, which the installer runs in.
  static void mountSmall(const RouterRoot& router, const std::string& inside, std::size_t pages) {
    ts::makeDirs(router / inside);
    const std::string options = "size=" + std::to_string(pages * kPage);
    ASSERT_EQ(mount("tmpfs", (router / inside).c_str(), "tmpfs", 0, options.c_str()), 0);
    ts::makeDirs(router / "/flash/var/pdb");
  }

  // An image-based package without files whose file is exactly `size` bytes:
  // installing it stages one move of the file from "/rw" onto "/flash".
  static std::string imageOfSize(RouterRoot& router, std::size_t size) {
    const std::string probe(1000, 'i');
    const std::size_t overhead = router.build(describe("blob", "7.1"), {}, &probe).size() - 1000;
    const std::string image(size - overhead, 'i');
    const std::string file = router.build(describe("blob", "7.1"), {}, &image);
    EXPECT_EQ(file.size(), size);
    return file;
  }
};

TEST_F(FreeSpace, ShrinkingFlashMustKeepMoreThan32768Bytes) {
  // 64 pages, one taken by the reserved message log: a file of 54 pages and
  // one byte takes 55 and leaves exactly 8 pages, 32768 bytes.
  struct Case {
    std::size_t size;
    int status;
    Lines messages;
  };
  const Case cases[] = {
      {54 * kPage + 1, 28, {"ERROR: not enough space for upgrade"}},
      {54 * kPage, 0, {"installed blob-7.1"}},
  };
  for (const auto& c : cases) {
    RouterRoot router;
    mountSmall(router, "/flash", 64);
    router.download("blob.npk", imageOfSize(router, c.size));
    const std::string before = router.tree();
    const std::string ramBefore = router.tree("/ram");

    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, c.status) << c.size;
    EXPECT_EQ(ts::messageLines(result.out), c.messages) << c.size;
    if (c.status == 28) {
      EXPECT_EQ(router.tree(), before);
      EXPECT_EQ(router.tree("/ram"), ramBefore);
      EXPECT_TRUE(router.exists("/rw/pckg/.download/blob.npk"));
    } else {
      EXPECT_EQ(router.file("/flash/var/pdb/blob/image").size(), c.size);
      EXPECT_TRUE(router.exists("/flash/PCKGS_CHANGED"));
    }
  }
}

TEST_F(FreeSpace, ReinstallSkipsTheCheck) {
  RouterRoot router;
  mountSmall(router, "/flash", 64);
  router.download("blob.npk", imageOfSize(router, 54 * kPage + 1));
  const ts::RunResult result = router.run({"--reinstall"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ts::messageLines(result.out), (Lines{"", "Resuming upgrade...", "installed blob-7.1"}));
  EXPECT_EQ(router.file("/flash/var/pdb/blob/image").size(), 54 * kPage + 1);
}

TEST_F(FreeSpace, StagedFilesAreChargedOnlyWhenTheyComeFromAnotherDevice) {
  // 40 pages. A file that fits beside its destination with 64 KiB to spare
  // is staged there and costs nothing more; one that does not goes to "/ram"
  // and is charged when the check runs.
  struct Case {
    const char* name;
    std::size_t size;
    int status;
  };
  const Case cases[] = {
      {"staged beside", 20 * kPage, 0},
      {"staged in /ram", 30 * kPage, 28},
  };
  for (const auto& c : cases) {
    RouterRoot router;
    mountSmall(router, "/flash", 40);
    router.download("big.npk",
                    plain(router, "big", "7.1", {{"bin/big", std::string(c.size, 'b')}}));
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, c.status) << c.name << "\n" << result.out;
    EXPECT_EQ(router.exists("/flash/bin/big"), c.status == 0) << c.name;
  }
}

TEST_F(FreeSpace, BootFileSystemIsCheckedOnItsOwn) {
  struct Case {
    std::size_t bootPages;
    int status;
  };
  // A 40 KiB file does not fit beside its destination with 64 KiB to spare,
  // so it comes from "/ram" and is charged 10 pages of the boot file system:
  // 6 pages left of 16 fail, 14 of 24 pass.
  for (const Case c : {Case{16, 28}, Case{24, 0}}) {
    RouterRoot router;
    mountSmall(router, "/flash/boot", c.bootPages);
    router.download("kernel.npk", plain(router, "kernel", "7.1",
                                        {{"boot/kernel", std::string(10 * kPage, 'k')}}));
    const ts::RunResult result = router.run();
    EXPECT_EQ(result.status, c.status) << c.bootPages << "\n" << result.out;
    EXPECT_EQ(router.exists("/flash/boot/kernel"), c.status == 0) << c.bootPages;
  }
}

// An installed system and newer package files waiting in the download
// directory. Built once: signatures may differ between two builds.
class Upgrade {
 public:
  Upgrade() {
    RouterRoot builder;
    base_ = builder.build(describe("base", "7.1", {"provides: net"}),
                          {{"bin/base", "base 7.1"}, {"etc/base.conf", "a=1"}});
    tools_ = builder.build(describe("tools", "7.1"), {{"bin/tool", "tool 7.1"}});
    newBase_ = builder.build(describe("base", "7.2", {"provides: net"}),
                             {{"bin/base", "base 7.2"}, {"lib/base.so", "so"}});
    const std::string image(3000, 'i');
    blob_ = builder.build(describe("blob", "7.1"), {}, &image);
  }

  void prepare(RouterRoot& router) const {
    router.install({{"base.npk", base_}, {"tools.npk", tools_}});
    router.download("base.npk", newBase_);
    router.download("blob.npk", blob_);
  }

 private:
  std::string base_, tools_, newBase_, blob_;
};

TEST_F(UpgradeEnd, SafeThenCommitGivesTheTreeOfADirectCommit) {
  const Upgrade upgrade;
  RouterRoot direct, safe;
  upgrade.prepare(direct);
  upgrade.prepare(safe);
  const ts::RunResult directRun = direct.run();
  EXPECT_EQ(directRun.status, 0);

  const ts::RunResult safeRun = safe.run({"--safe"});
  EXPECT_EQ(safeRun.status, 0);
  EXPECT_EQ(ts::messageLines(safeRun.out), ts::messageLines(directRun.out));
  EXPECT_NE(safe.file("/ram/MANIFEST").find("M /flash/PCKGS_CHANGED "), std::string::npos);
  EXPECT_EQ(safe.file("/flash/bin/base"), "base 7.1");  // nothing committed yet

  const ts::RunResult commit = safe.runInside({"--commit"});
  EXPECT_EQ(commit.status, 0) << commit.err;
  EXPECT_EQ(safe.tree(), direct.tree());
  EXPECT_EQ(safe.tree("/rw"), direct.tree("/rw"));
  EXPECT_EQ(safe.file("/flash/bin/base"), "base 7.2");
  EXPECT_FALSE(safe.exists("/flash/etc/base.conf"));
}

TEST_F(UpgradeEnd, SafeThenCancelLeavesTheInstalledTree) {
  RouterRoot router;
  Upgrade().prepare(router);
  const std::string before = router.tree();

  EXPECT_EQ(router.run({"--safe"}).status, 0);
  const ts::RunResult cancel = router.runInside({"--cancel"});
  EXPECT_EQ(cancel.status, 0) << cancel.err;
  EXPECT_FALSE(router.exists("/ram/MANIFEST"));
  // Read back from the file, moves no longer say which sources were staged
  // files; those left beside their destinations are all that differs.
  std::istringstream lines(router.tree());
  std::string kept;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("/tmp") == std::string::npos) kept += line + "\n";
  }
  EXPECT_EQ(kept, before);
}

TEST_F(UpgradeEnd, SafeRunThatCannotKeepItsManifestChangesNothing) {
  RouterRoot router;
  Upgrade().prepare(router);
  // A directory where the manifest file goes: it cannot be replaced.
  ts::writeFile(router / "/ram/MANIFEST/occupied", "");
  const std::string flashBefore = router.tree();
  const std::string ramBefore = router.tree("/ram");

  const ts::RunResult result = router.run({"--safe"});
  EXPECT_EQ(result.status, 1);
  // Nothing is announced as installed.
  EXPECT_EQ(ts::messageLines(result.out), Lines{"ERROR: could not write /ram/MANIFEST"});
  EXPECT_EQ(router.tree(), flashBefore);
  EXPECT_EQ(router.tree("/ram"), ramBefore);  // the staged files are gone

  // A later "--commit" finds nothing to do.
  EXPECT_EQ(router.runInside({"--commit"}).status, 0);
  EXPECT_EQ(router.tree(), flashBefore);
}

TEST_F(UpgradeEnd, CommitThatCannotBeDoneIsNoSuccessAndChangesNothing) {
  RouterRoot router;
  // A directory where the package puts a file, holding a file no package
  // owns: the move onto it is refused before anything changes or is
  // announced.
  ts::writeFile(router / "/flash/bin/tool/in-the-way", "");
  router.download("tool.npk", plain(router, "tool", "7.1", {{"bin/tool", "tool"}}));
  const std::string before = router.tree();
  const ts::RunResult result = router.run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(ts::messageLines(result.out),
            Lines{"ERROR: could not replace directory /flash/bin/tool: it holds other files"});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(router.tree(), before);
}

}  // namespace
