#include "apply/removal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "apply/schedule.h"
#include "support/package_records.h"
#include "support/sandbox.h"
#include "txn/commit.h"
#include "txn/staging.h"

namespace installer {
namespace {

using testing_support::exists;
using testing_support::makeDirs;
using testing_support::readFile;
using testing_support::ver;
using testing_support::writeFile;

class RemovalTest : public testing_support::RouterDirsTest {
 protected:
  void SetUp() override {
    RouterDirsTest::SetUp();
    if (stopped()) return;
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
      text += op + std::string(path) + "\n";
    }
    return text;
  }

  std::string stage(const std::string& path, const std::string& content) {
    auto file = createStagedFile(manifest_, path, content.size(), 0);
    *file << content;
    file->close();
    return sourceOf(path, manifest_.entries.at(path));
  }

  Repository repo_;  // foo_ is not in it: nothing else lists a path
  RunOutput console_;
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

  stagePackageRemoval(repo_, foo_, manifest_);
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

  stagePackageRemoval(repo_, foo_, manifest_);
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
  stagePackageRemoval(repo_, foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 0u);

  foo_.flags = kFlagBootImage;
  ASSERT_EQ(link("/flash/bootimage", "/flash/var/pdb/foo/image"), 0);
  stagePackageRemoval(repo_, foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 0u);

  unlink("/flash/var/pdb/foo/image");
  stagePackageRemoval(repo_, foo_, manifest_);
  EXPECT_EQ(manifest_.entries.count("/flash/bootimage"), 1u);
}

TEST_F(RemovalTest, PathsNoInstallationCouldHaveWrittenAreNeverRemoved) {
  // What a damaged or planted "files" list may hold; each names a file that
  // exists, and none may go.
  const std::string listed[] = {"/etc/passwd",
                                "/flash/../etc/passwd",
                                "/flash/bin/../../etc/passwd",
                                "/flash//bin/tool",
                                "/flash/./bin/tool",
                                "/flash/bin/tool/",
                                "/flashy/file",
                                "flash/bin/tool",
                                std::string("/flash/bin/t\x01ol"),
                                "/flash/var/pdb/other/files",
                                "/flash/var/pdb",
                                "/flash/postlog",
                                "/flash/bootimage",
                                "/flash/PCKGS_CHANGED",
                                "/flash/UPGRADED"};
  writeFile("/etc/passwd", "root");
  writeFile("/flash/bin/tool", "tool");
  writeFile("/flashy/file", "x");
  writeFile("/flash/bin/t\x01ol", "x");
  writeFile("/flash/var/pdb/other/files", "/flash/other\n");
  for (const char* path :
       {"/flash/postlog", "/flash/bootimage", "/flash/PCKGS_CHANGED", "/flash/UPGRADED"}) {
    writeFile(path, "ours");
  }
  for (const std::string& path : listed) foo_.files.insert(path);
  foo_.files.insert("/flash/lib/own.so");
  writeFile("/flash/lib/own.so", "own");

  stagePackageRemoval(repo_, foo_, manifest_);
  EXPECT_EQ(entries(),
            "U /flash/lib/own.so\n"
            "U /flash/var/pdb/foo/\n");
  EXPECT_EQ(commitManifest(manifest_), CommitOutcome::kCommitted);
  EXPECT_FALSE(exists("/flash/lib/own.so"));
  for (const char* path : {"/etc/passwd", "/flash/bin/tool", "/flashy/file", "/flash/bin/t\x01ol",
                           "/flash/var/pdb/other/files", "/flash/postlog", "/flash/bootimage",
                           "/flash/PCKGS_CHANGED", "/flash/UPGRADED"}) {
    EXPECT_TRUE(exists(path)) << path;
  }
}

TEST_F(RemovalTest, APathAnotherPackageListsStays) {
  // "bar" ships the same path as "foo"; "new" took over foo's tool earlier
  // in this run and has it staged.
  writeFile("/flash/share/common", "both");
  writeFile("/flash/bin/tool", "foo's");
  writeFile("/flash/bin/only-foo", "foo's");
  InstalledPackage& foo = testing_support::addRecord(repo_, "foo", ver(1, 0));
  InstalledPackage& bar = testing_support::addRecord(repo_, "bar", ver(1, 0));
  InstalledPackage& fresh = testing_support::addRecord(repo_, "new", ver(1, 0));
  foo.files = {"/flash/share/common", "/flash/bin/tool", "/flash/bin/only-foo"};
  bar.files = {"/flash/share/common"};
  const std::string staged = stage("/flash/bin/tool", "new's");
  fresh.files = {"/flash/bin/tool"};

  foo.action = PendingAction::kUninstall;
  testing_support::OutputCapture out(console_);
  EXPECT_TRUE(applyScheduledActions(repo_, console_, manifest_, Verbosity::kSilent));
  EXPECT_EQ(findRecord(repo_, "foo"), nullptr);
  EXPECT_EQ(entries(),
            "U /flash/bin/only-foo\n"
            "M /flash/bin/tool\n"
            "U /flash/var/pdb/foo/\n");
  EXPECT_TRUE(exists(staged));

  // Once the last package that lists a path goes, the path goes with it;
  // two owners leaving in one settling remove it once.
  findRecord(repo_, "bar")->action = PendingAction::kUninstall;
  findRecord(repo_, "new")->action = PendingAction::kUninstall;
  testing_support::addRecord(repo_, "keep", ver(1, 0));
  EXPECT_TRUE(applyScheduledActions(repo_, console_, manifest_, Verbosity::kSilent));
  EXPECT_EQ(manifest_.entries.at("/flash/share/common").op, ManifestOp::kRemove);
  EXPECT_EQ(manifest_.entries.at("/flash/bin/tool").op, ManifestOp::kRemove);
  EXPECT_FALSE(exists(staged));
}

TEST_F(RemovalTest, EnabledThenUninstalledInOneRunLeavesNothing) {
  Repository repo;
  testing_support::addRecord(repo, "keep", ver(1, 0));
  InstalledPackage& p = testing_support::addRecord(repo, "foo", ver(1, 0));
  p.disabled = true;
  p.userChoice = true;
  p.action = PendingAction::kEnable;
  writeFile("/flash/var/pdb/foo/disabled", "user\n");
  testing_support::OutputCapture out(console_);
  EXPECT_TRUE(applyScheduledActions(repo, console_, manifest_, Verbosity::kSilent));
  ASSERT_EQ(manifest_.entries.count("/flash/var/pdb/foo/enabled"), 1u);
  const std::string enabled =
      sourceOf("/flash/var/pdb/foo/enabled", manifest_.entries.at("/flash/var/pdb/foo/enabled"));

  p.action = PendingAction::kUninstall;
  EXPECT_TRUE(applyScheduledActions(repo, console_, manifest_, Verbosity::kSilent));
  EXPECT_FALSE(exists(enabled));
  EXPECT_EQ(commitManifest(manifest_), CommitOutcome::kCommitted);
  EXPECT_FALSE(exists("/flash/var/pdb/foo"));
}

}  // namespace
}  // namespace installer
