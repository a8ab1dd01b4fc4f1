// Installing whole streams: single packages and bundles with their members,
// the members off by default, kept states, bundle upgrades and the results.
#include "upgrade/stream_install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <set>
#include <sstream>

#include "apply/schedule.h"
#include "package/writer.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/versions.h"

namespace installer {
namespace {

using testing_support::bundleFile;
using testing_support::fixtureHeader;
using testing_support::FixturePackage;
using testing_support::kV71;
using testing_support::kV72;
using testing_support::packageFile;
using testing_support::payloadEntry;
using testing_support::readFile;

FixturePackage member(const std::string& name, Version version = kV71,
                      std::vector<PayloadEntry> files = {}) {
  FixturePackage p{fixtureHeader(name, version)};
  p.files = files.empty() ? std::vector<PayloadEntry>{payloadEntry("bin/" + name, name)} : files;
  return p;
}

Package suite(Version version = kV71) {
  Package bundle = fixtureHeader("suite", version);
  bundle.isBundle = true;
  return bundle;
}

using StreamInstallTest = testing_support::InstallSandbox;

TEST_F(StreamInstallTest, SinglePackageGivesItsDirectoryOnlyWhenImageBased) {
  std::string dir = "before";
  ASSERT_EQ(install(packageFile(member("plain")), kFlagUpgrade, {}, &dir), 0);
  EXPECT_EQ(dir, "");

  FixturePackage image = member("imaged");
  image.image = "image data";
  ASSERT_EQ(install(packageFile(image), kFlagUpgrade, {}, &dir), 0);
  EXPECT_EQ(dir, "/flash/var/pdb/imaged/");
}

TEST_F(StreamInstallTest, StreamsThatAreNoPackageInstallNothing) {
  EXPECT_EQ(install(""), 1);
  EXPECT_EQ(install("not a package at all"), 1);
  PackageWriter onlyText;
  onlyText.addText(kPartNote, "note");
  EXPECT_EQ(install(onlyText.bytes()), 1);
  EXPECT_TRUE(repo_->packages.empty());
}

TEST_F(StreamInstallTest, BundleInstallsItsRecordAndItsMembers) {
  std::string dir;
  ASSERT_EQ(install(bundleFile(suite(), {member("a"), member("b")}), kFlagUpgrade, {}, &dir), 0);
  EXPECT_EQ(dir, "/flash/var/pdb/suite/");

  const InstalledPackage* bundle = record("suite");
  ASSERT_NE(bundle, nullptr);
  EXPECT_TRUE(bundle->isBundle);
  for (const char* name : {"a", "b"}) {
    SCOPED_TRACE(name);
    const InstalledPackage* m = record(name);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->bundle.name, "suite");
    EXPECT_EQ(m->bundle.minVersion, kV71);
    EXPECT_EQ(m->bundle.maxVersion, kV71);
    EXPECT_FALSE(m->disabled);
  }
  commit();
  EXPECT_EQ(readFile("/flash/bin/a"), "a");
  EXPECT_EQ(readFile("/flash/var/pdb/a/bundle"), "suite\n");
  // The bundle is kept whole as its image; it gets no metadata files.
  EXPECT_FALSE(testing_support::exists("/flash/var/pdb/suite/version"));
  EXPECT_FALSE(testing_support::exists("/flash/var/pdb/suite/files"));
}

TEST_F(StreamInstallTest, MembersOffByDefaultComeInDisabledUnlessTheUserChose) {
  const std::string bundle = bundleFile(suite(), {member("a"), member("b")}, {"b"});
  ASSERT_EQ(install(bundle), 0);
  EXPECT_FALSE(record("a")->disabled);
  EXPECT_TRUE(record("b")->disabled);
  EXPECT_FALSE(record("b")->userChoice);
  EXPECT_EQ(record("b")->files, PathSet{"/flash/x/b/bin/b"});
  cancelManifest(m_);
  repo_->packages.clear();

  ASSERT_EQ(install(bundle, kFlagUpgrade, KeptState{{"b", false}}), 0);
  EXPECT_FALSE(record("b")->disabled);
  EXPECT_TRUE(record("b")->userChoice);
  EXPECT_EQ(record("b")->files, PathSet{"/flash/bin/b"});
}

TEST_F(StreamInstallTest, ABundleTheUserDisabledStaysDisabledAfterItsUpgrade) {
  // As the upgrade run finds it: the user disabled the bundle, whose
  // members went disabled automatically; only the bundle has kept state.
  installAndCommit(bundleFile(suite(kV71), {member("a"), member("b")}));
  for (const auto& p : repo_->packages) p->disabled = true;
  record("suite")->userChoice = true;
  const KeptState kept{{"suite", true}};

  ASSERT_EQ(
      install(bundleFile(suite(kV72), {member("a", kV72), member("b", kV72)}), kFlagUpgrade, kept),
      0);
  EXPECT_TRUE(record("suite")->disabled);
  EXPECT_TRUE(record("suite")->userChoice);
  for (const char* name : {"a", "b"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(record(name)->disabled);
    EXPECT_FALSE(record(name)->userChoice);
    EXPECT_EQ(record(name)->version, kV72);
  }
  commit();
  EXPECT_EQ(readFile("/flash/var/pdb/suite/disabled"), "user\n");
  EXPECT_EQ(readFile("/flash/var/pdb/a/disabled"), "auto\n");
  EXPECT_TRUE(testing_support::exists("/flash/x/a/bin/a"));
}

TEST_F(StreamInstallTest, AnOffByDefaultBlockerIsNeverWritten) {
  // The bundle carries the name of a member that is off by default, so the
  // blocker meant for that member meets the bundle itself when the actions
  // are settled.
  Package extra = suite();
  extra.name = "extra";
  ASSERT_EQ(install(bundleFile(extra, {member("core")}, {"extra"})), 0);
  for (const auto& [path, entry] : m_.entries) {
    EXPECT_NE(path.rfind("/flash/var/pdb//", 0), 0u) << path << " belongs to no package";
    EXPECT_NE(path, "/flash/var/pdb/") << "the whole database is no package";
  }
}

TEST_F(StreamInstallTest, AStateFileStagedAndThenDroppedLeavesNoStrayFile) {
  // The bundle names itself off by default, so settling the actions stages
  // a state file for its record and later drops that entry again: the
  // staged file must go with its entry, and nothing may be left once the
  // run is cancelled.
  install(bundleFile(suite(), {member("core")}, {"suite"}));
  std::set<std::string> staged;
  for (const auto& [path, e] : m_.entries) staged.insert(sourceOf(path, e));
  std::vector<std::string> stray;
  const std::function<void(const std::string&)> walk = [&](const std::string& dir) {
    for (const std::string& name : testing_support::listDir(dir)) {
      const std::string path = dir + "/" + name;
      struct stat st;
      if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        walk(path);
      } else if (name.rfind("tmp", 0) == 0 && staged.count(path) == 0) {
        stray.push_back(path);
      }
    }
  };
  walk("/flash");
  walk("/ram");
  EXPECT_TRUE(stray.empty()) << stray.front();
  cancelManifest(m_);
  stray.clear();
  staged.clear();
  walk("/flash");
  walk("/ram");
  EXPECT_TRUE(stray.empty()) << stray.front();
}

TEST_F(StreamInstallTest, BundleUpgradeUninstallsTheMembersItNoLongerBrings) {
  installAndCommit(bundleFile(suite(kV71), {member("a"), member("b"), member("c")}));
  ASSERT_TRUE(testing_support::exists("/flash/bin/b"));

  ASSERT_EQ(install(bundleFile(suite(kV72), {member("a", kV72), member("c", kV72)})), 0);
  EXPECT_EQ(record("b"), nullptr);
  EXPECT_NE(record("a"), nullptr);
  commit();
  EXPECT_FALSE(testing_support::exists("/flash/bin/b"));
  EXPECT_FALSE(testing_support::exists("/flash/var/pdb/b"));
  EXPECT_TRUE(testing_support::exists("/flash/bin/a"));
  EXPECT_TRUE(testing_support::exists("/flash/bin/c"));
}

TEST_F(StreamInstallTest, AFileMovingToANewMemberSurvivesTheUpgrade) {
  installAndCommit(
      bundleFile(suite(kV71), {member("a"), member("old", kV71, {payloadEntry("lib/x", "1")})}));
  ASSERT_EQ(install(bundleFile(suite(kV72), {member("a", kV72),
                                             member("new", kV72, {payloadEntry("lib/x", "2")})})),
            0);
  commit();
  EXPECT_EQ(readFile("/flash/lib/x"), "2");
  EXPECT_EQ(record("old"), nullptr);
}

TEST_F(StreamInstallTest, BundleResults) {
  PackageWriter listed;
  Package withLists = suite();
  withLists.depends.push_back(Dependency{"base", 0, 0, 0});
  listed.addPackageHeader(withLists);
  Package hidden = suite();
  hidden.name = ".suite";

  const std::string whole = bundleFile(suite(), {member("a"), member("b")});
  const std::string firstOnly = bundleFile(suite(), {member("a")});
  PackageWriter trailing;
  trailing.addRaw(firstOnly.substr(8));
  trailing.addText(kPartNote, "ignored");
  trailing.addDependencyList(kPartDepends, {});
  PackageWriter headerOnly;
  headerOnly.addHeader(suite(), kHeaderDataWithFlags, kPartBundleHeader);

  struct Case {
    const char* name;
    std::string bytes;
    int result;
  };
  const Case cases[] = {
      {"whole bundle", whole, 0},
      {"architecture after the last member",
       [&] {
         PackageWriter w;
         w.addRaw(whole.substr(8));
         w.addText(kPartArch, "i386");
         return w.bytes();
       }(),
       0},
      {"cut between members", whole.substr(0, firstOnly.size()), 2},
      {"part after the last member", trailing.bytes(), 2},
      {"header followed by the end", headerOnly.bytes(), 3},
      {"header carrying lists", listed.bytes(), 1},
      {"unsafe bundle name", bundleFile(hidden, {member("a")}), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cancelManifest(m_);
    repo_->packages.clear();
    EXPECT_EQ(install(c.bytes), c.result);
  }
}

TEST_F(StreamInstallTest, ABundleWithoutMembersStillReplacesTheOldOne) {
  installAndCommit(bundleFile(suite(kV71), {member("a")}));
  PackageWriter headerOnly;
  headerOnly.addHeader(suite(kV72), kHeaderDataWithFlags, kPartBundleHeader);
  EXPECT_EQ(install(headerOnly.bytes()), 3);
  ASSERT_NE(record("suite"), nullptr);
  EXPECT_EQ(record("suite")->version, kV72);
  EXPECT_EQ(m_.entries.count("/flash/var/pdb/suite/version"), 1u);
}

TEST_F(StreamInstallTest, TheSameBundleAgainIsRefusedWithoutReinstall) {
  const std::string bundle = bundleFile(suite(), {member("a")});
  installAndCommit(bundle);
  EXPECT_EQ(install(bundle), 2);
  cancelManifest(m_);
  // With reinstall the bundle is replaced and its members are passed over.
  EXPECT_EQ(install(bundle, kFlagUpgrade | kFlagReinstall), 0);
  EXPECT_NE(record("a"), nullptr);
}

TEST_F(StreamInstallTest, AMemberWhoseRequirementIsMissingIsPassedOver) {
  // Members are checked with every finding tolerated, so nothing is printed,
  // but a finding that the caller does not tolerate still keeps them out.
  FixturePackage needy = member("needy");
  needy.header.depends.push_back(Dependency{"absent", 0, 0, 0});
  EXPECT_EQ(install(bundleFile(suite(), {member("a"), needy, member("b")})), 2);
  EXPECT_EQ(record("needy"), nullptr);
  EXPECT_TRUE(console_.messages.empty());
}

TEST_F(StreamInstallTest, AFailingMemberFailsTheBundle) {
  FixturePackage broken = member("b");
  broken.goodSignature = false;
  EXPECT_EQ(install(bundleFile(suite(), {member("a"), broken})), 2);
}

TEST_F(StreamInstallTest, BootImageOfAMemberReachesTheCaller) {
  repo_->bootImageVariable = true;
  FixturePackage kernel = member("kernel");
  kernel.header.flags = kFlagBootImage;
  kernel.image = "kernel image";
  bool boot = false;
  ASSERT_EQ(install(bundleFile(suite(), {member("a"), kernel}), kFlagUpgrade, {}, nullptr, &boot),
            0);
  EXPECT_TRUE(boot);
}

// The copy keeps every byte read, from the first, of a stream that can
// become a kept image, and is never opened for any other.
TEST_F(StreamInstallTest, OnlyImageBasedStreamsKeepTheirCopy) {
  FixturePackage imaged = member("imaged");
  imaged.image = std::string(50000, 'i');
  FixturePackage imagedTwin = imaged;
  imagedTwin.header.name = "twin";
  // Headers longer than the copy holds in memory before the kind is known.
  FixturePackage wordyImaged = imaged;
  wordyImaged.header.name = "wordy";
  wordyImaged.header.note = std::string(3 * kHeldCopyLimit, 'n');
  FixturePackage wordyPlain = member("verbose");
  for (int i = 0; i < 2100; ++i) {
    wordyPlain.header.depends.push_back(Dependency{"plain", 0, 0, 0});
  }
  struct Case {
    const char* name;
    std::string stream;
    bool kept;
    bool spilled = false;  // opened before the kind was known
  };
  const Case cases[] = {
      {"image-based package", packageFile(imaged), true},
      {"plain package", packageFile(member("plain")), false},
      {"image-based package with a long note", packageFile(wordyImaged), true, true},
      {"plain package with 2,100 requirements", packageFile(wordyPlain), false, true},
      {"bundle with an image",
       bundleFile(suite(), {member("a"), member("b")}, {"b"}, std::string(50000, 'i')), true},
      // (each bundle a newer version of the one before)
      {"bundle without an image", bundleFile(suite(kV72), {member("a")}, {}, std::nullopt), false},
      {"plain bundle of an image-based member",
       bundleFile(suite(makeVersion(7, 3, kStageFinal, 0)), {imagedTwin}, {}, std::nullopt), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::stringbuf target;
    int opened = 0;
    HeldCopy copy([&] {
      ++opened;
      return &target;
    });
    ASSERT_EQ(install(c.stream, kFlagUpgrade, {}, nullptr, nullptr, &copy), 0);
    EXPECT_EQ(opened, c.kept || c.spilled ? 1 : 0);
    EXPECT_EQ(copy.state(), c.kept ? HeldCopy::State::kCopying : HeldCopy::State::kDropped);
    if (c.kept) {
      EXPECT_EQ(target.str(), c.stream);
    } else if (!c.spilled) {
      EXPECT_EQ(target.str(), "");
    }
  }
}

// A copy that cannot go on stops the install before anything is staged or
// said: no target could be had for an image-based package, or for a header
// longer than memory holds.
TEST_F(StreamInstallTest, ACopyThatCannotGoOnInstallsNothing) {
  FixturePackage imaged = member("imaged");
  imaged.image = "image data";
  FixturePackage wordy = member("wordy");
  wordy.header.note = std::string(kHeldCopyLimit, 'n');
  struct Case {
    const char* name;
    std::string stream;
    bool haveTarget;
    HeldCopy::State state;
  };
  const Case cases[] = {
      {"no target for an image-based package", packageFile(imaged), false,
       HeldCopy::State::kNoTarget},
      {"no target for a bundle with an image", bundleFile(suite(), {member("a")}), false,
       HeldCopy::State::kNoTarget},
      {"no target for a header longer than memory holds", packageFile(wordy), false,
       HeldCopy::State::kNoTarget},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::stringbuf target;
    HeldCopy copy([&]() -> std::streambuf* { return c.haveTarget ? &target : nullptr; });
    EXPECT_EQ(install(c.stream, kFlagUpgrade, {}, nullptr, nullptr, &copy), 1);
    EXPECT_EQ(copy.state(), c.state);
    EXPECT_EQ(target.str(), "");
    EXPECT_TRUE(m_.entries.empty());
    EXPECT_TRUE(repo_->packages.empty());
    EXPECT_EQ(output(), "");
  }
}

}  // namespace
}  // namespace installer
