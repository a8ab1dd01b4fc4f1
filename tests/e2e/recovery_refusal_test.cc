// What a start does with the traces of a run that it cannot trust: a
// journal damaged after its commit was killed, a journal or list naming
// files no run writes, a kept manifest made against packages that changed
// since, a lock file that cannot be used, and FIFOs at every control file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/upgrade_system.h"

namespace {

namespace ts = testing_support;
using Args = std::vector<std::string>;
using installer::makeVersion;

constexpr unsigned kHangLimit = 20;  // seconds; a run that waits is killed
constexpr const char* kJournal = "/flash/var/pdb/.journal";

installer::Package header(const std::string& name, int minor) {
  return ts::fixtureHeader(
      name, makeVersion(7, static_cast<std::uint8_t>(minor), installer::kStageFinal, 0));
}

ts::RunResult run(const std::string& root, Args args, ts::RunOptions options = {}) {
  options.timeoutSeconds = kHangLimit;
  args.insert(args.begin(), {"-r", root});
  return ts::runInstaller(args, options);
}

ts::RunResult imageMode(const std::string& root, const std::string& input) {
  ts::RunOptions options;
  options.input = input;
  return run(root, {"-"}, options);
}

// The router as a start may leave it, without the lock file.
ts::TreeState treeOf(const std::string& root) {
  return ts::without(ts::snapshotTree(root), {"/ram/installer.lock"});
}

class RecoveryRefusals : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeRouterDirs(root_.path());
  }

  // An upgrade run killed at its fourth rename: its journal is complete,
  // some files are new, the old ones are under backup names.
  void killAtTheFourthRename() {
    ASSERT_TRUE(ts::prepareUpgradeSystem(root_.path(), {3, 6}));
    ts::FaultPlan plan;
    plan.calls = "rename";
    plan.at = 4;
    plan.action = "kill";
    const ts::RunResult killed = ts::upgradeRun(root_.path(), ts::withFault({}, plan));
    ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;
    ASSERT_TRUE(ts::readFile(root_ / kJournal).has_value());
  }

  ts::TempRoot root_;
};

// A completed journal changed after the commit was killed (its form, one bit
// of a line) is refused by every start: status 1, an error naming it, not a
// file renamed or removed; "--show" still lists. Set aside by the
// administrator, it is kept for inspection and runs go on.
TEST_F(RecoveryRefusals, ADamagedJournalIsRefusedUntilSetAside) {
  killAtTheFourthRename();
  const std::string journal = *ts::readFile(root_ / kJournal);
  const std::size_t secondLine = journal.find('\n') + 1;
  const struct {
    const char* name;
    std::string text;
  } damages[] = {
      {"its form changed", "installer-journal 4" + journal.substr(secondLine - 1)},
      {"one bit of its second line flipped", journal.substr(0, secondLine + 3) +
                                                 static_cast<char>(journal[secondLine + 3] ^ 0x04) +
                                                 journal.substr(secondLine + 4)},
  };
  const ts::TreeState killedTree = treeOf(root_.path());
  const std::string error = std::string("ERROR: ") + kJournal +
                            " is damaged: nothing was changed; inspect it, then set it aside "
                            "with \"pkgtool set-aside\"\n";
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    ts::TempRoot copy;
    ts::copyTree(root_.path(), copy.path());
    ts::writeFile(copy / kJournal, damage.text);
    const ts::TreeState before = treeOf(copy.path());
    for (const Args& args : std::vector<Args>{{"--show"}, {}, {"--cleanup"}, {"--cancel"}}) {
      const ts::RunResult start = run(copy.path(), args);
      EXPECT_EQ(start.status, 1) << start.out;
      EXPECT_TRUE(start.out.starts_with(error)) << start.out;
      EXPECT_EQ(treeOf(copy.path()), before) << "nothing removed or renamed";
    }
    const ts::RunResult show = run(copy.path(), {"--show"});
    EXPECT_NE(show.out.find("kernel"), std::string::npos) << "still lists: " << show.out;

    ts::RunOptions quiet;
    quiet.timeoutSeconds = kHangLimit;
    const ts::RunResult aside = ts::runPkgtool({"set-aside", "--root", copy.path()}, quiet);
    EXPECT_EQ(aside.status, 0) << aside.out << aside.err;
    EXPECT_EQ(aside.out, "set aside in /flash/var/pdb/.aside-1\n");
    EXPECT_EQ(ts::readFile(copy / "/flash/var/pdb/.aside-1/journal"), damage.text);
    EXPECT_FALSE(ts::readFile(copy / kJournal).has_value());
    const ts::RunResult after = run(copy.path(), {"--show"});
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(after.out.find("ERROR"), std::string::npos) << after.out;
  }
  // Undamaged, the same journal is undone as ever.
  const ts::RunResult recovered = run(root_.path(), {"--show"});
  EXPECT_EQ(recovered.status, 0) << recovered.out;
  EXPECT_FALSE(ts::readFile(root_ / kJournal).has_value());
  EXPECT_NE(treeOf(root_.path()), killedTree);
}

// A journal or a list of temporaries naming a user's file outside the flash
// is damage: the file is neither moved nor removed, and the run refuses.
TEST_F(RecoveryRefusals, TracesNamingFilesOutsideTheFlashAreDamage) {
  ASSERT_EQ(imageMode(root_.path(),
                      ts::signedPackage(header("tool", 1), {ts::payloadEntry("bin/tool", "1")}))
                .status,
            0);
  const struct {
    const char* name;
    const char* path;
    std::string text;
  } traces[] = {
      {"a journal line", kJournal,
       "installer-journal 1\nB /rw/data/config /rw/data/tmpAbcdef\nE\n"},
      {"a journal line placing it", kJournal,
       "installer-journal 1\nP /flash/bin/tool /rw/data/config\nE\n"},
      {"a list of the older form", "/flash/var/pdb/.staged", "/rw/data/config\n"},
  };
  for (const auto& trace : traces) {
    SCOPED_TRACE(trace.name);
    ts::writeFile(root_ / "/rw/data/config", "user's");
    ts::writeFile(root_ / trace.path, trace.text);
    const ts::TreeState before = treeOf(root_.path());
    const ts::RunResult start = run(root_.path(), {});
    EXPECT_EQ(start.status, 1) << start.out;
    EXPECT_TRUE(start.out.starts_with(std::string("ERROR: ") + trace.path + " is damaged"))
        << start.out;
    EXPECT_EQ(ts::readFile(root_ / "/rw/data/config"), "user's");
    EXPECT_EQ(treeOf(root_.path()), before);
    ts::removeTree(root_ / trace.path);
  }
}

// foo 1.0, a "--safe" upgrade to 2.0, then 3.0 through the image mode: the
// kept manifest was made against 1.0 and is refused by "--commit" (status 1,
// an error, nothing of it carried out) and cancelled with its staged files.
TEST_F(RecoveryRefusals, AKeptManifestMadeBeforeAnotherRunIsRefused) {
  const auto foo = [](int minor, const std::string& only) {
    return ts::signedPackage(header("foo", minor),
                             {ts::payloadEntry("bin/foo", "foo " + std::to_string(minor)),
                              ts::payloadEntry("share/foo/" + only, only)});
  };
  ASSERT_EQ(imageMode(root_.path(), foo(1, "one")).status, 0);
  ts::writeFile(root_ / "/rw/pckg/.download/foo.npk", foo(2, "two"));
  const ts::RunResult safe = run(root_.path(), {"--safe"});
  ASSERT_EQ(safe.status, 0) << safe.out;
  ASSERT_TRUE(ts::readFile(root_ / "/ram/MANIFEST").has_value());
  ts::removeTree(root_ / "/rw/pckg/.download/foo.npk");
  ASSERT_EQ(imageMode(root_.path(), foo(3, "three")).status, 0);

  const ts::TreeState before = treeOf(root_.path());
  const ts::RunResult commit = run(root_.path(), {"--commit"});
  EXPECT_EQ(commit.status, 1) << commit.out;
  EXPECT_EQ(commit.out,
            "ERROR: the packages changed since /ram/MANIFEST was made: it is cancelled\n");
  EXPECT_FALSE(ts::readFile(root_ / "/ram/MANIFEST").has_value());
  EXPECT_FALSE(ts::readFile(root_ / "/flash/var/pdb/.staged-kept.d/fingerprint").has_value());
  EXPECT_EQ(ts::readFile(root_ / "/flash/bin/foo"), "foo 3");
  EXPECT_EQ(ts::readFile(root_ / "/flash/share/foo/three"), "three");
  EXPECT_FALSE(ts::readFile(root_ / "/flash/share/foo/two").has_value());
  // Only the kept list and its staged files went.
  const auto ownFiles = [](ts::TreeState tree) {
    for (auto it = tree.begin(); it != tree.end();) {
      // (A record's text spans lines of the listing: its empty last one too.)
      const bool own = ts::isTemporaryPath(it->first) || it->first == "/ram/MANIFEST" ||
                       it->first.empty() || it->first.starts_with("/flash/var/pdb/.staged-kept.d");
      it = own ? tree.erase(it) : std::next(it);
    }
    return tree;
  };
  const ts::TreeState now = ownFiles(treeOf(root_.path()));
  const ts::TreeState expected = ownFiles(before);
  EXPECT_EQ(now, expected);

  // Without a run in between, the kept manifest is committed as ever.
  ts::writeFile(root_ / "/rw/pckg/.download/foo.npk", foo(4, "four"));
  ASSERT_EQ(run(root_.path(), {"--safe"}).status, 0);
  const ts::RunResult fresh = run(root_.path(), {"--commit"});
  EXPECT_EQ(fresh.status, 0) << fresh.out;
  EXPECT_EQ(ts::readFile(root_ / "/flash/bin/foo"), "foo 4");
}

// With "/ram/installer.lock" unusable (a dangling link, no "/ram" at all)
// the run is still locked: another holder of the root's lock keeps it out,
// and a listing then lists without recovering.
TEST_F(RecoveryRefusals, AnUnusableLockFileStillKeepsASecondRunOut) {
  ts::writeFile(root_ / "/flash/var/pdb/.staged", "/flash/tmpLeft01\n");
  ts::writeFile(root_ / "/flash/tmpLeft01", "left");
  for (const char* how : {"dangling link", "no /ram"}) {
    SCOPED_TRACE(how);
    ts::removeTree(root_ / "/ram");
    if (std::string(how) == "dangling link") {
      ts::makeDirs(root_ / "/ram");
      ASSERT_EQ(symlink("/nowhere/lock", (root_ / "/ram/installer.lock").c_str()), 0);
    }
    const int dir = open(root_.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(flock(dir, LOCK_EX | LOCK_NB), 0);
    for (const Args& args : std::vector<Args>{{}, {"--cleanup"}, {"--commit"}, {"--cancel"}}) {
      const ts::RunResult busy = run(root_.path(), args);
      EXPECT_EQ(busy.status, 1);
      EXPECT_EQ(busy.out, "ERROR: another installer is running\n");
    }
    const ts::RunResult show = run(root_.path(), {"--show"});
    EXPECT_EQ(show.status, 0);
    EXPECT_EQ(ts::readFile(root_ / "/flash/tmpLeft01"), "left") << "not recovered unlocked";
    close(dir);
  }
  const ts::RunResult show = run(root_.path(), {"--show"});
  EXPECT_EQ(show.status, 0);
  EXPECT_FALSE(ts::readFile(root_ / "/flash/tmpLeft01").has_value()) << "recovered under the lock";
}

// A FIFO at any control file hangs no start: at the journal or a list it is
// no journal or list, at "/ram/MANIFEST" no manifest, at "/ram/DOWNGRADE" no
// marker. The runs end as they do without the file, and nothing is written
// through it.
TEST_F(RecoveryRefusals, FifosAtControlFilesHangNoStart) {
  const std::string v1 =
      ts::signedPackage(header("tool", 1), {ts::payloadEntry("bin/tool", "tool 1")});
  const std::string v2 =
      ts::signedPackage(header("tool", 2), {ts::payloadEntry("bin/tool", "tool 2")});
  const std::vector<std::string> places = {kJournal, "/flash/var/pdb/.staged",
                                           "/flash/var/pdb/.staged-kept", "/ram/MANIFEST",
                                           "/ram/DOWNGRADE"};
  for (const std::string& place : places) {
    SCOPED_TRACE(place);
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    ASSERT_EQ(imageMode(root.path(), v2).status, 0);
    ASSERT_EQ(mkfifo((root / place).c_str(), 0600), 0);
    for (const Args& args :
         std::vector<Args>{{"--show"}, {"--commit"}, {"--cancel"}, {"--cleanup"}}) {
      const ts::RunResult start = run(root.path(), args);
      EXPECT_EQ(start.status, 0) << args.size() << start.out;
    }
    // A downgrade is refused without its marker.
    ts::writeFile(root / "/rw/pckg/.download/tool.npk", v1);
    const ts::RunResult upgrade = run(root.path(), {});
    EXPECT_EQ(upgrade.status, 0) << upgrade.out;
    EXPECT_EQ(ts::readFile(root / "/flash/bin/tool"), "tool 2");
    // The image mode commits; a FIFO at the journal is replaced, not
    // written through.
    const ts::RunResult image = imageMode(root.path(), v2);
    EXPECT_EQ(image.status, 0) << image.out;
    struct stat st;
    if (place != kJournal) {
      ASSERT_EQ(lstat((root / place).c_str(), &st), 0);
      EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "left as it is";
    }
  }
}

}  // namespace
