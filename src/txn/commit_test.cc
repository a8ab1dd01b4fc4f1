#include "txn/commit.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "support/sandbox.h"
#include "txn/file_copy.h"
#include "txn/paths.h"

namespace installer {
namespace {

namespace ts = testing_support;

// Every test commits inside a fresh root with "/ram" and "/flash" of its own.
class CommitTest : public ts::RouterDirsTest {
 protected:
  static std::string linkText(const std::string& path) {
    char text[256];
    const ssize_t n = readlink(path.c_str(), text, sizeof text);
    return n < 0 ? "<no link>" : std::string(text, static_cast<std::size_t>(n));
  }

  // The failures the commit noted, one line each as the modes print them.
  static std::string lines(const TxnFailures& failures) {
    std::string text;
    for (const TxnFailure& failure : failures) text += describe(failure) + "\n";
    return text;
  }

  static unsigned permissions(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
};

TEST_F(CommitTest, RemovalsAndLinksHappenBeforeAnyMove) {
  // The move's source is what a link of a later path makes, so doing the
  // moves first (in plain path order) would end differently.
  ts::writeFile("/flash/c", "old file at c");
  Manifest m;
  addLink(m, "/x/target", "/flash/c");
  addMove(m, "/flash/c", "/flash/a");  // moves the new link
  TxnFailures failures;
  EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kCommitted);
  EXPECT_EQ(lines(failures), "");
  EXPECT_EQ(linkText("/flash/a"), "/x/target");
  EXPECT_FALSE(ts::exists("/flash/c"));
  EXPECT_EQ(m.entries.size(), 2u) << "the commit leaves the manifest as it is";
  EXPECT_EQ(ts::listDir("/flash"), std::vector<std::string>{"a"});
}

TEST_F(CommitTest, TheDatabaseChangesAfterEverythingElse) {
  // The database move's source only appears once a move outside the
  // database has run; in plain path order the database move would come
  // first and fail.
  ts::writeFile("/flash/var/pdb/p/new-version", "7.2");
  ts::writeFile("/flash/zz/new", "z");
  Manifest m;
  addMove(m, "/flash/var/pdb/p/new-version", "/flash/zz/taken");
  addMove(m, "/flash/zz/new", "/flash/zz/file");
  addMove(m, "/flash/zz/taken", "/flash/var/pdb/p/version");
  TxnFailures failures;
  EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kCommitted);
  EXPECT_EQ(lines(failures), "");
  EXPECT_EQ(ts::readFile("/flash/var/pdb/p/version"), "7.2");
  EXPECT_EQ(ts::readFile("/flash/zz/file"), "z");
}

TEST_F(CommitTest, RemoveHandlesFilesLinksAndDirectories) {
  ts::writeFile("/flash/file", "x");
  ts::writeFile("/flash/target", "kept");
  symlink("/flash/target", "/flash/link");
  ts::writeFile("/flash/pkg/version", "1");
  ts::writeFile("/flash/pkg/files", "2");
  ts::writeFile("/flash/busy/plain", "1");
  ts::writeFile("/flash/busy/.hidden", "2");
  ts::writeFile("/flash/busy/sub/inner", "3");
  ts::writeFile("/flash/again/old", "1");
  ts::writeFile("/flash/again/replaced", "old");
  ts::writeFile("/flash/new-replaced", "new");
  Manifest m;
  for (const char* path :
       {"/flash/file", "/flash/link", "/flash/pkg", "/flash/busy", "/flash/none", "/flash/again"}) {
    setEntry(m, path, ManifestOp::kRemove, "");
  }
  // A removed directory that gets a file again stays, with that file only.
  addMove(m, "/flash/new-replaced", "/flash/again/replaced");
  EXPECT_EQ(commitManifest(m), CommitOutcome::kCommitted);
  EXPECT_FALSE(ts::exists("/flash/file"));
  EXPECT_FALSE(ts::exists("/flash/link"));
  EXPECT_EQ(ts::readFile("/flash/target"), "kept");
  EXPECT_FALSE(ts::exists("/flash/pkg"));
  // Hidden names and subdirectories stay, and with them the directory.
  EXPECT_EQ(ts::listDir("/flash/busy"), (std::vector<std::string>{".hidden", "sub"}));
  EXPECT_TRUE(ts::exists("/flash/busy/sub/inner"));
  EXPECT_EQ(ts::listDir("/flash/again"), std::vector<std::string>{"replaced"});
  EXPECT_EQ(ts::readFile("/flash/again/replaced"), "new");
}

TEST_F(CommitTest, LinksCreateParentsAndReplaceFilesAndLinks) {
  ts::writeFile("/flash/old", "file");
  ASSERT_EQ(symlink("/flash/old-image", "/flash/image"), 0);
  Manifest m;
  addLink(m, "/flash/bootimage", "/flash/var/pdb/p/image");
  addLink(m, "relative text", "/flash/old");
  addLink(m, "/flash/bootimage", "/flash/image");
  EXPECT_EQ(commitManifest(m), CommitOutcome::kCommitted);
  EXPECT_EQ(linkText("/flash/var/pdb/p/image"), "/flash/bootimage");
  EXPECT_EQ(linkText("/flash/old"), "relative text");
  EXPECT_EQ(linkText("/flash/image"), "/flash/bootimage");
  // Links are made under a temporary name and renamed into place; none is
  // left behind, nor a backup of what they replaced.
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"image", "old", "var"}));
  EXPECT_EQ(ts::listDir("/flash/var/pdb/p"), std::vector<std::string>{"image"});
}

// What the kernel would refuse half-way is found before anything changes:
// the whole commit is refused, reported as the failed call would be, and
// the tree is as it was.
TEST_F(CommitTest, WhatCannotBeDoneIsRefusedBeforeAnythingChanges) {
  struct Case {
    const char* name;
    std::function<void(Manifest&)> stage;
    std::string error;
  };
  const std::string longName(300, 'n');
  const Case cases[] = {
      {"move onto a directory", [](Manifest& m) { addMove(m, "/ram/one", "/flash/dir"); },
       std::string("rename /flash/dir: ") + strerror(EISDIR)},
      {"link onto a directory", [](Manifest& m) { addLink(m, "/nowhere", "/flash/dir"); },
       std::string("symlink /flash/dir: ") + strerror(EEXIST)},
      {"a file where a directory must be",
       [](Manifest& m) { addMove(m, "/ram/one", "/flash/plain/below"); },
       std::string("rename /flash/plain/below: ") + strerror(ENOTDIR)},
      {"a name too long",
       [&longName](Manifest& m) { addMove(m, "/ram/one", "/flash/" + longName); },
       "rename /flash/" + longName + ": " + strerror(ENAMETOOLONG)},
      {"a missing source", [](Manifest& m) { addMove(m, "/ram/missing", "/flash/x"); },
       std::string("rename /ram/missing: ") + strerror(ENOENT)},
      {"a source that a removal takes first",
       [](Manifest& m) {
         setEntry(m, "/flash/plain", ManifestOp::kRemove, "");
         addMove(m, "/flash/plain", "/flash/y");
       },
       std::string("rename /flash/plain: ") + strerror(ENOENT)},
  };
  for (const Case& c : cases) {
    ts::removeTree("/flash");
    ts::makeDirs("/flash/dir/inside");
    ts::writeFile("/flash/plain", "plain");
    ts::writeFile("/flash/old", "old");
    ts::writeFile("/ram/one", "1");
    ts::writeFile("/ram/two", "2");
    Manifest m;
    // Operations that sort before and after the one that cannot be done.
    setEntry(m, "/flash/old", ManifestOp::kRemove, "");
    addMove(m, "/ram/two", "/flash/new/deep/two");
    c.stage(m);
    TxnFailures failures;
    EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kRefused) << c.name;
    EXPECT_EQ(lines(failures), c.error + "\n") << c.name;
    EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"dir", "old", "plain"})) << c.name;
    EXPECT_EQ(ts::readFile("/flash/old"), "old") << c.name;
    EXPECT_TRUE(ts::exists("/flash/dir/inside")) << c.name;
    EXPECT_EQ(ts::readFile("/ram/two"), "2") << c.name;
  }
}

// Moves from a second file system end in a copy.
class CrossDeviceTest : public CommitTest {
 protected:
  void SetUp() override {
    CommitTest::SetUp();
    if (IsSkipped()) return;
    if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
  }
};

TEST_F(CrossDeviceTest, CopiesAcrossFileSystemsAndDropsOnlyOurOwnSource) {
  ASSERT_TRUE(ts::mountTmpfs("/ram", "4m"));
  const std::string big(200000, 'b');
  ts::writeFile("/ram/tmpStaged", big, 0750);
  ts::writeFile("/ram/plain", "plain", 0604);
  ts::writeFile("/flash/staged", "old contents");
  Manifest m;
  setEntry(m, "/flash/staged", ManifestOp::kMoveStaged, "/ram/tmpStaged");
  addMove(m, "/ram/plain", "/flash/sub/plain");
  TxnFailures failures;
  EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kCommitted);
  EXPECT_EQ(lines(failures), "");

  EXPECT_EQ(ts::readFile("/flash/staged"), big);
  EXPECT_EQ(permissions("/flash/staged"), 0750u);
  EXPECT_FALSE(ts::exists("/ram/tmpStaged"));
  EXPECT_EQ(ts::readFile("/flash/sub/plain"), "plain");
  EXPECT_EQ(permissions("/flash/sub/plain"), 0604u);
  EXPECT_EQ(ts::readFile("/ram/plain"), "plain");
  // No copy's temporary file is left beside the targets.
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"staged", "sub"}));
}

TEST_F(CrossDeviceTest, CopiesThatDoNotFitAreRefusedBeforeAnythingChanges) {
  ASSERT_TRUE(ts::mountTmpfs("/flash", "64k"));
  ts::writeFile("/flash/target", "old contents");
  ts::writeFile("/flash/removed", "old");
  ts::writeFile("/ram/tmpStaged", std::string(300000, 'n'));
  Manifest m;
  setEntry(m, "/flash/target", ManifestOp::kMoveStaged, "/ram/tmpStaged");
  setEntry(m, "/flash/removed", ManifestOp::kRemove, "");
  TxnFailures failures;
  EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kNoSpace);
  EXPECT_EQ(lines(failures), std::string("copy /flash/target: ") + strerror(ENOSPC) + "\n");
  EXPECT_EQ(ts::readFile("/flash/target"), "old contents");
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"removed", "target"}));
  EXPECT_TRUE(ts::exists("/ram/tmpStaged"));
}

TEST_F(CrossDeviceTest, AnOperationThatFailsIsUndoneWithEveryOneBeforeIt) {
  ASSERT_TRUE(ts::mountTmpfs("/flash/ro", "64k"));
  ts::writeFile("/flash/ro/file", "stays");
  ts::writeFile("/flash/ro/dir/entry", "stays too");
  ASSERT_EQ(mount(nullptr, "/flash/ro", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  ts::writeFile("/flash/plain", "old plain");
  ts::writeFile("/flash/new", "new");
  Manifest m;
  setEntry(m, "/flash/ro/file", ManifestOp::kRemove, "");
  setEntry(m, "/flash/ro/dir", ManifestOp::kRemove, "");
  setEntry(m, "/flash/missing", ManifestOp::kRemove, "");
  setEntry(m, "/flash/plain", ManifestOp::kRemove, "");
  addMove(m, "/flash/new", "/flash/made/new");
  TxnFailures failures;
  EXPECT_EQ(commitManifest(m, {}, &failures), CommitOutcome::kRolledBack);
  EXPECT_EQ(lines(failures), std::string("rename /flash/ro/dir/entry: ") + strerror(EROFS) + "\n");
  EXPECT_EQ(ts::readFile("/flash/ro/file"), "stays");
  EXPECT_EQ(ts::readFile("/flash/ro/dir/entry"), "stays too");
  EXPECT_EQ(ts::readFile("/flash/plain"), "old plain");
  EXPECT_EQ(ts::listDir("/flash"), (std::vector<std::string>{"new", "plain", "ro"}));
  ASSERT_EQ(umount("/flash/ro"), 0);
}

TEST_F(CrossDeviceTest, CopyRefusesWhatIsNotARegularFile) {
  ASSERT_TRUE(ts::mountTmpfs("/flash", "64k"));
  ts::makeDirs("/ram/dir");
  TemporaryLog log;
  std::string copy;
  EXPECT_EQ(copyToTemporary(log, "/ram/dir", "/flash", copy, {}), EISDIR);
  EXPECT_EQ(copyToTemporary(log, "/ram/missing", "/flash", copy, {}), ENOENT);
  ASSERT_EQ(mkfifo("/ram/fifo", 0600), 0);
  EXPECT_EQ(copyToTemporary(log, "/ram/fifo", "/flash", copy, {}), EINVAL);
  EXPECT_TRUE(ts::listDir("/flash").empty());
}

TEST_F(CommitTest, ACheckedSourceThatChangedIsNotMovedIntoPlace) {
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
    CommitOutcome outcome;
    std::string failure;  // what the commit notes
  };
  const std::string source = "/rw/pckg/.download/kernel.npk";
  const std::string changed = source + ": " + kChangedSinceChecked + "\n";
  const Case cases[] = {
      {"unchanged", [](const std::string&) {}, CommitOutcome::kCommitted, ""},
      {"written to", [](const std::string& p) { ts::writeFile(p, "other bytes, same name"); },
       CommitOutcome::kRefused, changed},
      {"replaced",
       [](const std::string& p) {
         ts::writeFile(p + ".new", "checked");
         ASSERT_EQ(rename((p + ".new").c_str(), p.c_str()), 0);
       },
       CommitOutcome::kRefused, changed},
      {"gone", [](const std::string& p) { unlink(p.c_str()); }, CommitOutcome::kRefused,
       "rename " + source + ": " + strerror(ENOENT) + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::makeDirs("/rw/pckg/.download");
    ts::writeFile(source, "checked");
    ts::writeFile("/flash/other", "old");
    Manifest m;
    SourceIdentity checked;
    ASSERT_TRUE(identityAt(source, checked));
    addMove(m, source, "/flash/kernel.img");
    m.checkedSources.push_back({source, checked});
    setEntry(m, "/flash/other", ManifestOp::kRemove, "");
    c.change(source);
    TxnFailures failures;
    EXPECT_EQ(commitManifest(m, {}, &failures), c.outcome);
    const bool committed = c.outcome == CommitOutcome::kCommitted;
    EXPECT_EQ(lines(failures), c.failure);
    EXPECT_EQ(ts::exists("/flash/kernel.img"), committed);
    EXPECT_EQ(ts::exists("/flash/other"), !committed);
    unlink("/flash/kernel.img");
  }
}

}  // namespace
}  // namespace installer
