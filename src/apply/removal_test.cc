#include <gtest/gtest.h>
#include <unistd.h>

#include "apply/schedule.h"
#include "support/package_records.h"
#include "support/sandbox.h"
#include "txn/staging.h"

namespace installer {
namespace {

using testing_support::exists;
using testing_support::makeDirs;
using testing_support::readFile;
using testing_support::ver;
using testing_support::writeFile;

class RemovalTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!testing_support::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
    sandbox_ = std::make_unique<testing_support::ChrootSandbox>();
    ASSERT_TRUE(sandbox_->entered());
    makeDirs("/ram");
    makeDirs("/flash/var/pdb/foo");
    foo_.version = ver(1, 0);
  }

  // "U path" or "M path" per entry, or "L path" for links.
  std::string entries() const {
    std::string text;
    for (const auto& [path, entry] : manifest_.entries) {
      const char* op = entry.op == ManifestOp::kRemove ? "U "
                       : entry.op == ManifestOp::kLink ? "L "
                                                       : "M ";
      text += op + path + "\n";
    }
    return text;
  }

  std::string stage(const std::string& path, const std::string& content) {
    auto file = createStagedFile(manifest_, path, content.size(), 0);
    *file << content;
    file->close();
    return manifest_.entries.at(path).source;
  }

  std::unique_ptr<testing_support::ChrootSandbox> sandbox_;
  InstalledPackage foo_{"foo"};
  Manifest manifest_;
};

TEST_F(RemovalTest, StagesExactlyTheRecordedPathsAndTheDatabaseDirectory) {
  writeFile("/flash/bin/tool", "x");
  writeFile("/flash/lib/x.so", "x");
  writeFile("/flash/share/doc/readme", "other package's file");
  writeFile("/flash/var/pdb/foo/image", "image");
  makeDirs("/flash/x/foo/etc");
  foo_.files = {"/flash/bin/tool", "/flash/lib/x.so", "/flash/share/doc", "/flash/missing",
                "/flash/x/foo/etc"};
  foo_.action = PendingAction::kUninstall;

  stagePackageRemoval(foo_, manifest_);
  EXPECT_EQ(entries(),
            "U /flash/bin/tool\n"
            "U /flash/lib/x.so\n"
            "U /flash/var/pdb/foo/\n"
            "U /flash/var/pdb/foo/image\n");
  EXPECT_TRUE(foo_.files.empty());
  EXPECT_EQ(foo_.action, PendingAction::kNone);

  EXPECT_EQ(commitManifest(manifest_), CommitOutcome::kCommitted);
  EXPECT_FALSE(exists("/flash/bin/tool"));
  EXPECT_FALSE(exists("/flash/var/pdb/foo"));
  EXPECT_EQ(readFile("/flash/share/doc/readme"), "other package's file");
}

TEST_F(RemovalTest, DropsWhatThisRunStagedForThePackage) {
  writeFile("/flash/bin/tool", "old");
  writeFile("/flash/var/pckg/foo.npk", "package file");
  const std::string tool = stage("/flash/bin/tool", "new");
  const std::string fresh = stage("/flash/bin/fresh", "new");
  const std::string version = stage("/flash/var/pdb/foo/version", "16777216 100\n");
  addMove(manifest_, "/flash/var/pckg/foo.npk", "/flash/var/pdb/foo/image");
  const std::string neighbour = stage("/flash/var/pdb/foobar/version", "1 1\n");
  foo_.files = {"/flash/bin/fresh", "/flash/bin/tool"};

  stagePackageRemoval(foo_, manifest_);
  EXPECT_EQ(entries(),
            "U /flash/bin/tool\n"
            "U /flash/var/pdb/foo/\n"
            "M /flash/var/pdb/foobar/version\n");
  for (const std::string& temporary : {tool, fresh, version}) EXPECT_FALSE(exists(temporary));
  EXPECT_TRUE(exists(neighbour));
  EXPECT_EQ(readFile("/flash/var/pckg/foo.npk"), "package file");  // not ours to delete
}

TEST_F(RemovalTest, BootImageGoesOnlyWhenNothingElseLinksIt) {
  writeFile("/flash/bootimage", "boot");
  stagePackageRemoval(foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 0u);

  foo_.flags = kFlagBootImage;
  ASSERT_EQ(link("/flash/bootimage", "/flash/var/pdb/foo/image"), 0);
  stagePackageRemoval(foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 0u);

  unlink("/flash/var/pdb/foo/image");
  stagePackageRemoval(foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 1u);
}

TEST_F(RemovalTest, EnabledThenUninstalledInOneRunLeavesNothing) {
  Repository repo;
  testing_support::addRecord(repo, "keep", ver(1, 0));
  InstalledPackage& p = testing_support::addRecord(repo, "foo", ver(1, 0));
  p.disabled = true;
  p.userChoice = true;
  p.action = PendingAction::kEnable;
  writeFile("/flash/var/pdb/foo/disabled", "user\n");
  testing_support::StdoutCapture out;
  EXPECT_TRUE(applyScheduledActions(repo, manifest_, 0));
  ASSERT_EQ(manifest_.entries.count("/flash/var/pdb/foo/enabled"), 1u);
  const std::string enabled = manifest_.entries.at("/flash/var/pdb/foo/enabled").source;

  p.action = PendingAction::kUninstall;
  EXPECT_TRUE(applyScheduledActions(repo, manifest_, 0));
  EXPECT_FALSE(exists(enabled));
  EXPECT_EQ(commitManifest(manifest_), CommitOutcome::kCommitted);
  EXPECT_FALSE(exists("/flash/var/pdb/foo"));
}

}  // namespace
}  // namespace installer
