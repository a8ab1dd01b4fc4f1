// Installing single packages: where files land, what the record and the
// database get, the states a package comes in with, and every refusal.
#include "apply/install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>

#include "apply/schedule.h"
#include "console/console.h"
#include "console/visible_text.h"
#include "package/payload_writer.h"
#include "package/writer.h"
#include "support/inflate_trace.h"
#include "support/install_fixtures.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/versions.h"
#include "txn/manifest.h"

namespace installer {
namespace {

using testing_support::fixtureHeader;
using testing_support::FixturePackage;
using testing_support::kV71;
using testing_support::kV72;
using testing_support::packageFile;
using testing_support::payloadEntry;
using testing_support::readFile;

FixturePackage tool(Version version = kV71, std::vector<PayloadEntry> files = {}) {
  FixturePackage p{fixtureHeader("tool", version)};
  p.files = files.empty() ? std::vector<PayloadEntry>{payloadEntry("bin/tool", "tool\n", 0100755)}
                          : std::move(files);
  return p;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

using InstallTest = testing_support::InstallSandbox;

TEST_F(InstallTest, InstallsRegularFilesAndRecordsThem) {
  FixturePackage p =
      tool(kV71, {payloadEntry("bin/tool", "#!/bin/sh\n", 0100755),
                  payloadEntry("/etc/tool.conf", "x=1\n", 0100600),
                  payloadEntry("share", "", 040755), payloadEntry("bin/link", "tool", 0120777)});
  ASSERT_EQ(install(packageFile(p)), 0);

  const InstalledPackage* installed = record("tool");
  ASSERT_NE(installed, nullptr);
  EXPECT_EQ(installed->files, (PathSet{"/flash/bin/tool", "/flash/etc/tool.conf"}));
  EXPECT_FALSE(installed->disabled);
  commit();

  EXPECT_EQ(readFile("/flash/bin/tool"), "#!/bin/sh\n");
  EXPECT_EQ(readFile("/flash/etc/tool.conf"), "x=1\n");
  struct stat st {};
  ASSERT_EQ(stat("/flash/bin/tool", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat("/flash/etc/tool.conf", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(testing_support::exists("/flash/share"));
  EXPECT_FALSE(testing_support::exists("/flash/bin/link"));
  EXPECT_EQ(readFile("/flash/var/pdb/tool/files"), "flash/bin/tool\nflash/etc/tool.conf\n");
  EXPECT_EQ(readFile("/flash/var/pdb/tool/version"), std::to_string(kV71) + " 1000\n");
  EXPECT_EQ(readFile("/flash/var/pdb/tool/deps"), "");
  EXPECT_FALSE(testing_support::exists("/flash/var/pdb/tool/disabled"));
}

TEST_F(InstallTest, NewVersionReplacesTheOldAndRemovesFilesItNoLongerHas) {
  installAndCommit(
      packageFile(tool(kV71, {payloadEntry("a", "old a"), payloadEntry("b", "old b")})));
  ASSERT_EQ(
      install(packageFile(tool(kV72, {payloadEntry("a", "new a"), payloadEntry("c", "new c")}))),
      0);
  commit();

  EXPECT_EQ(readFile("/flash/a"), "new a");
  EXPECT_EQ(readFile("/flash/c"), "new c");
  EXPECT_FALSE(testing_support::exists("/flash/b"));
  ASSERT_EQ(repo_->packages.size(), 1u);
  EXPECT_EQ(record("tool")->version, kV72);
  EXPECT_EQ(readFile("/flash/var/pdb/tool/files"), "flash/a\nflash/c\n");
}

TEST_F(InstallTest, ConflictWithAnEnabledPackageInstallsDisabledUnderX) {
  FixturePackage alpha{fixtureHeader("alpha", kV71)};
  alpha.header.conflicts.push_back(Dependency{"beta", 0, 0, 0});
  alpha.files = {payloadEntry("bin/alpha", "a")};
  installAndCommit(packageFile(alpha));
  output();

  FixturePackage beta{fixtureHeader("beta", kV71)};
  beta.files = {payloadEntry("bin/beta", "b")};
  ASSERT_EQ(install(packageFile(beta)), 0);

  const InstalledPackage* installed = record("beta");
  ASSERT_NE(installed, nullptr);
  EXPECT_TRUE(installed->disabled);
  EXPECT_FALSE(installed->userChoice);
  EXPECT_EQ(installed->files, PathSet{"/flash/x/beta/bin/beta"});
  EXPECT_FALSE(record("alpha")->disabled);
  EXPECT_TRUE(console_.messages.empty()) << "the tolerated conflict is not reported";
  EXPECT_NE(output().find("installing  (disabled) beta-7.1 ["), std::string::npos);
  commit();

  EXPECT_EQ(readFile("/flash/x/beta/bin/beta"), "b");
  EXPECT_FALSE(testing_support::exists("/flash/bin/beta"));
  EXPECT_EQ(readFile("/flash/var/pdb/beta/disabled"), "auto\n");
}

TEST_F(InstallTest, KeptStateCarriesTheUsersChoiceOver) {
  struct Case {
    const char* name;
    bool keptDisabled;
    const char* stateFile;
  };
  for (const Case& c : {Case{"kept-off", true, "disabled"}, Case{"kept-on", false, "enabled"}}) {
    SCOPED_TRACE(c.name);
    FixturePackage p{fixtureHeader(c.name, kV71)};
    ASSERT_EQ(install(packageFile(p), kFlagUpgrade, KeptState{{c.name, c.keptDisabled}}), 0);
    ASSERT_NE(record(c.name), nullptr);
    EXPECT_EQ(record(c.name)->disabled, c.keptDisabled);
    EXPECT_TRUE(record(c.name)->userChoice);
    commit();
    EXPECT_EQ(readFile(std::string("/flash/var/pdb/") + c.name + "/" + c.stateFile), "user\n");
  }
}

TEST_F(InstallTest, TheSameVersionIsPassedOverWithoutTouchingAnything) {
  installAndCommit(packageFile(tool()));
  console_.messages.clear();

  ASSERT_EQ(install(packageFile(tool())), 0);
  EXPECT_TRUE(m_.empty());
  EXPECT_EQ(console_.messages, std::vector<std::string>{
                                   "WARNING: omitting package tool-7.1: it is already installed"});

  console_.messages.clear();
  ASSERT_EQ(install(packageFile(tool()), kFlagUpgrade | kFlagReinstall), 0);
  EXPECT_TRUE(m_.empty());
  EXPECT_EQ(console_.messages, std::vector<std::string>{"installed tool-7.1"});
  EXPECT_EQ(repo_->packages.size(), 1u);
}

// A file that copies the installed package's header (name, version, build)
// is passed over only when its signature holds: a forged one is broken, and
// nothing of it (its lists, its label, its file) is used.
TEST_F(InstallTest, APackagePassedOverAsInstalledMustBeSigned) {
  installAndCommit(packageFile(tool()));
  FixturePackage forged = tool();
  forged.header.depends.push_back(Dependency{"absent", 0, 0, 0});
  forged.goodSignature = false;
  FixturePackage trailing = tool();
  trailing.tail = {{kPartDepends, std::string(34, '\0')}};
  PackageWriter withoutSignature;
  withoutSignature.addHeader(tool().header);
  withoutSignature.addDescription(tool().header);
  withoutSignature.addPayload(tool().files);
  struct Case {
    const char* name;
    std::string bytes;
    InstallFlags flags;
  };
  const Case cases[] = {
      {"forged, passed over", packageFile(forged), kFlagUpgrade},
      {"forged, reinstalled", packageFile(forged), kFlagUpgrade | kFlagReinstall},
      {"no signature part", withoutSignature.bytes(), kFlagUpgrade},
      {"parts after the signature", packageFile(trailing), kFlagUpgrade | kFlagReinstall},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    console_.messages.clear();
    EXPECT_EQ(install(c.bytes, c.flags), 1);
    EXPECT_TRUE(m_.empty());
    ASSERT_EQ(repo_->packages.size(), 1u);
    EXPECT_TRUE(record("tool")->depends.empty());
    ASSERT_FALSE(console_.messages.empty());
    EXPECT_EQ(console_.messages.back(), "ERROR: installation of tool-7.1 failed: broken package");
    for (const auto& line : console_.messages) EXPECT_NE(line, "installed tool-7.1");
  }
}

TEST_F(InstallTest, OldSystemPackagesAskForConversionEvenWhenRefused) {
  struct Case {
    unsigned major;
    const char* arch;
    int result;
    bool converted;
  };
  for (const Case& c : {Case{6, "mips", 1, true}, Case{6, "", 0, true}, Case{7, "", 0, false}}) {
    SCOPED_TRACE(std::to_string(c.major) + c.arch);
    unlink("/rw/CONVERT");
    repo_->packages.clear();
    FixturePackage system{fixtureHeader("system", makeVersion(c.major, 49, kStageFinal, 0))};
    system.header.arch = c.arch;
    EXPECT_EQ(install(packageFile(system)), c.result);
    EXPECT_EQ(testing_support::exists("/rw/CONVERT"), c.converted);
    cancelManifest(m_);
  }
}

TEST_F(InstallTest, BootImageOwnerSkipsItsPayloadOnlyWhenImageBased) {
  struct Case {
    const char* name;
    bool imageBased;
    std::uint32_t flags;
    bool variable;
    bool extracted;
    bool bootImage;
    bool upgradedMarker;
  };
  const Case cases[] = {
      {"owner with variable", true, kFlagBootImage, true, false, true, true},
      {"owner without variable", true, kFlagBootImage, false, true, false, true},
      {"image without the flag", true, 0, true, true, false, false},
      // A plain package with the bit owns nothing: it installs its files.
      {"plain package with the flag", false, kFlagBootImage, true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    repo_->packages.clear();
    cancelManifest(m_);
    repo_->bootImageVariable = c.variable;
    FixturePackage p = tool();
    p.header.flags = c.flags;
    if (c.imageBased) p.image = std::string(10000, 'i');
    std::string dir;
    bool boot = !c.bootImage;
    ASSERT_EQ(install(packageFile(p), kFlagUpgrade, {}, &dir, &boot), 0);
    EXPECT_EQ(staged("/flash/bin/tool"), c.extracted);
    EXPECT_EQ(boot, c.bootImage);
    EXPECT_EQ(staged("/flash/UPGRADED"), c.upgradedMarker);
    EXPECT_EQ(dir, c.imageBased ? "/flash/var/pdb/tool/" : "");
  }
}

TEST_F(InstallTest, SideBySideMagicLeavesTheInstalledPackageInPlace) {
  installAndCommit(packageFile(tool(kV71, {payloadEntry("a", "first")})));
  ASSERT_EQ(install(packageFile(tool(kV72, {payloadEntry("b", "second")}), kMagicSideBySide)), 0);

  EXPECT_EQ(repo_->packages.size(), 2u);
  EXPECT_EQ(repo_->packages[0]->version, kV71);
  EXPECT_EQ(repo_->packages[1]->version, kV72);
  EXPECT_TRUE(staged("/flash/b"));
  for (const auto& [path, op] : m_.entries) {
    EXPECT_NE(path.rfind("/flash/var/pdb/tool", 0), 0u) << path << " staged";
  }
  commit();
  EXPECT_EQ(readFile("/flash/a"), "first");
  EXPECT_EQ(readFile("/flash/b"), "second");
  EXPECT_EQ(readFile("/flash/var/pdb/tool/version"), std::to_string(kV71) + " 1000\n");
}

TEST_F(InstallTest, ASinglePackageMustEndAfterItsSignature) {
  Package other = fixtureHeader("other", kV71);
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint16_t, std::string>> tail;
    int result;
  };
  const Case cases[] = {
      {"nothing", {}, 0},
      {"architecture", {{kPartArch, "i386"}}, 0},
      {"empty depends", {{kPartDepends, ""}}, 0},
      {"architecture and empty depends", {{kPartArch, "x"}, {kPartDepends, ""}}, 0},
      {"a part nobody wants", {{kPartExtraText, "text"}}, 0},
      {"depends with data", {{kPartDepends, encodeDependencyList({})}}, 1},
      {"another payload", {{kPartPayload, ""}}, 1},
      {"another package", {{kPartHeader, encodeHeaderData(other)}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    repo_->packages.clear();
    console_.messages.clear();
    cancelManifest(m_);
    FixturePackage p = tool();
    p.tail = c.tail;
    EXPECT_EQ(install(packageFile(p)), c.result);
    EXPECT_EQ(record("tool") != nullptr, c.result == 0);
    if (c.result != 0) {
      EXPECT_TRUE(
          contains(console_.messages, "ERROR: installation of tool-7.1 failed: broken package"));
    }
  }
}

std::string compressed(const std::string& raw) { return deflateBytes(raw); }

TEST_F(InstallTest, BrokenPackagesInstallNothingAndEnd) {
  const std::string fileHeader = encodeEntryHeader(0100644, 0, 100, "bin/tool");
  FixturePackage badSignature = tool();
  badSignature.goodSignature = false;
  FixturePackage cutName = tool();
  cutName.rawPayload = compressed(fileHeader.substr(0, 33));
  FixturePackage cutData = tool();
  cutData.rawPayload = compressed(fileHeader + "short");
  FixturePackage cutSkippedData = tool();
  cutSkippedData.rawPayload = compressed(encodeEntryHeader(040755, 0, 100000, "share") + "short");
  FixturePackage cutClassData = tool();
  cutClassData.rawPayload = compressed(encodeEntryHeader(0100644, 4, 100000, "x") + "short");
  FixturePackage withImage = tool();
  withImage.image = std::string(20000, 'i');
  const std::string imageFile = packageFile(withImage);
  std::uint32_t imageStart = 0;
  for (const auto& span : testing_support::partSpans(imageFile)) {
    if (span.type == kPartImage) imageStart = span.start;
  }
  ASSERT_NE(imageStart, 0u);
  PackageWriter noSignature;
  noSignature.addHeader(tool().header);
  noSignature.addDescription(tool().header);
  noSignature.addPayload(tool().files);

  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"signature that matches nothing", packageFile(badSignature)},
      {"no signature part", noSignature.bytes()},
      {"payload cut inside a name", packageFile(cutName)},
      {"payload cut inside file data", packageFile(cutData)},
      {"payload cut inside data that is skipped", packageFile(cutSkippedData)},
      {"payload cut inside data of another class", packageFile(cutClassData)},
      {"stream cut inside the image part", imageFile.substr(0, imageStart + 5000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    repo_->packages.clear();
    console_.messages.clear();
    cancelManifest(m_);
    EXPECT_EQ(install(c.bytes), 1);
    EXPECT_EQ(record("tool"), nullptr);
    EXPECT_EQ(console_.messages,
              std::vector<std::string>{"ERROR: installation of tool-7.1 failed: broken package"});
  }
}

TEST_F(InstallTest, PayloadEndingInsideAnEntryHeaderEndsNormally) {
  FixturePackage p = tool();
  p.rawPayload = compressed(encodeFileEntries({payloadEntry("bin/tool", "tool")}) +
                            encodeEntryHeader(0100644, 0, 4, "bin/more").substr(0, 20));
  ASSERT_EQ(install(packageFile(p)), 0);
  EXPECT_EQ(record("tool")->files, PathSet{"/flash/bin/tool"});
}

TEST_F(InstallTest, UnsafeEntryNamesAreRefusedBeforeAnythingIsStaged) {
  const std::string names[] = {"../escape", "bin/../../escape", "/", "bin/", "", "./tool", "bin/.",
                               "bin//evil", "//bin/evil", "a b", std::string("a\nb"),
                               "a\x01"
                               "b",
                               std::string("a\0b", 3),
                               // The installer's own files.
                               "var/pdb/other/files", "/var/pdb/tool/evil", "var/pdb", "postlog",
                               "/bootimage", "PCKGS_CHANGED", "UPGRADED"};
  for (const std::string& name : names) {
    SCOPED_TRACE(testing::PrintToString(name));
    repo_->packages.clear();
    console_.messages.clear();
    cancelManifest(m_);
    FixturePackage p = tool(kV71, {payloadEntry(name, "evil")});
    EXPECT_EQ(install(packageFile(p)), 1);
    EXPECT_EQ(record("tool"), nullptr);
    EXPECT_EQ(console_.messages,
              std::vector<std::string>{"ERROR: installation of tool-7.1 failed: broken package"});
    for (const auto& [path, op] : m_.entries) {
      EXPECT_EQ(path.find("escape"), std::string::npos) << path;
      EXPECT_EQ(path.find("evil"), std::string::npos) << path;
    }
  }
}

TEST_F(InstallTest, EntriesThatAreNotWrittenAreNotNameChecked) {
  // Directories, links and entries of another hardware class never become
  // paths, whatever their names.
  const std::uint8_t otherClass = hardwareClass().value_or(0) == 1 ? 2 : 1;
  FixturePackage p =
      tool(kV71, {payloadEntry("usr/share/", "", 040755), payloadEntry("bin//x", "", 040755),
                  payloadEntry("var/pdb/x", "target", 0120777),
                  payloadEntry("../up", "elsewhere", 0100644, otherClass),
                  payloadEntry("bin/tool", "tool")});
  ASSERT_EQ(install(packageFile(p)), 0);
  EXPECT_EQ(record("tool")->files, PathSet{"/flash/bin/tool"});
}

TEST_F(InstallTest, UnsafeHeaderNamesAreRefusedBeforeTheChecks) {
  struct Case {
    const char* what;
    std::string name;
    std::vector<Dependency> depends, provides, conflicts;
    int result;
  };
  const Case cases[] = {
      {"hidden", ".tool", {}, {}, {}, 1},
      {"dot dot", "..", {}, {}, {}, 1},
      {"slash", "a/b", {}, {}, {}, 1},
      {"blank", "a b", {}, {}, {}, 1},
      {"newline", "a\nb", {}, {}, {}, 1},
      {"delete", "a\x7f", {}, {}, {}, 1},
      {"empty", "", {}, {}, {}, 1},
      {"the capture's name", "image", {}, {}, {}, 1},
      {"escape sequence", "a\x1b[2Jb", {}, {}, {}, 1},
      {"depends with a blank", "tool", {{"has blank", 0, 0, 0}}, {}, {}, 1},
      {"empty provides", "tool", {}, {{"", 0, 0, 0}}, {}, 1},
      {"conflicts with a control byte", "tool", {}, {}, {{"x\x01", 0, 0, 0}}, 1},
      {"bytes above ASCII are names too", "caf\xc3\xa9", {}, {}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    repo_->packages.clear();
    console_.messages.clear();
    cancelManifest(m_);
    FixturePackage p = tool();
    p.header.name = c.name;
    p.header.depends = c.depends;
    p.header.provides = c.provides;
    p.header.conflicts = c.conflicts;
    EXPECT_EQ(install(packageFile(p)), c.result);
    if (c.result != 0) {
      EXPECT_TRUE(m_.empty());
      ASSERT_EQ(console_.messages.size(), 1u);
      // A control byte of the name is shown as "?".
      EXPECT_EQ(console_.messages[0],
                "ERROR: installation of " + visibleText(c.name) + "-7.1 failed: broken package");
    }
  }
}

TEST_F(InstallTest, APackageTheSettlingTakesOutAgainIsStillReportedSafely) {
  // The new version needs what only the old one provided: it is accepted,
  // replaces the old one, and the settling right after uninstalls it.
  installAndCommit(packageFile(FixturePackage{fixtureHeader("keeper", kV71)}));
  FixturePackage old = tool(kV71);
  old.header.provides.push_back(Dependency{"toolapi", 0, 0, 0});
  installAndCommit(packageFile(old));
  FixturePackage needy = tool(kV72);
  needy.header.depends.push_back(Dependency{"toolapi", 0, 0, 0});
  needy.image = "image";

  std::string dir;
  ASSERT_EQ(install(packageFile(needy), kFlagUpgrade, {}, &dir), 0);
  EXPECT_EQ(record("tool"), nullptr);
  EXPECT_EQ(dir, "") << "nothing is left to keep an image for";
}

TEST_F(InstallTest, InstallThenUninstallLeavesTheTreeAsItWas) {
  testing_support::makeDirs("/flash/bin");
  installAndCommit(packageFile(FixturePackage{fixtureHeader("base", kV71)}));
  const std::string before = testing_support::treeListing("/flash");

  installAndCommit(
      packageFile(tool(kV71, {payloadEntry("bin/tool", "t"), payloadEntry("bin/tool2", "u")})));
  ASSERT_NE(before, testing_support::treeListing("/flash"));
  record("tool")->action = PendingAction::kUninstall;
  applyScheduledActions(*repo_, console_, m_, Verbosity::kSilent);
  commit();

  EXPECT_EQ(testing_support::treeListing("/flash"), before);
}

std::set<std::string> lines(const std::string& text) {
  std::set<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.insert(line);
  return out;
}

TEST_F(InstallTest, EnablingADisabledInstallOnlyChangesStateFiles) {
  FixturePackage alpha{fixtureHeader("alpha", kV71)};
  alpha.header.conflicts.push_back(Dependency{"beta", 0, 0, 0});
  installAndCommit(packageFile(alpha));
  FixturePackage beta{fixtureHeader("beta", kV71)};
  beta.files = {payloadEntry("bin/beta", "b")};
  installAndCommit(packageFile(beta));
  ASSERT_TRUE(record("beta")->disabled);
  const std::set<std::string> before = lines(testing_support::treeListing("/flash"));

  record("beta")->action = PendingAction::kEnable;
  applyScheduledActions(*repo_, console_, m_, Verbosity::kSilent);
  commit();
  EXPECT_FALSE(record("beta")->disabled);

  const std::set<std::string> after = lines(testing_support::treeListing("/flash"));
  std::vector<std::string> changed;
  std::set_symmetric_difference(before.begin(), before.end(), after.begin(), after.end(),
                                std::back_inserter(changed));
  EXPECT_FALSE(changed.empty());
  for (const std::string& line : changed) {
    const std::string path = line.substr(0, line.find(' '));
    EXPECT_TRUE(path.ends_with("/disabled") || path.ends_with("/enabled")) << line;
  }
  EXPECT_EQ(readFile("/flash/x/beta/bin/beta"), "b");
}

std::optional<int> injectedClass;
std::optional<int> injectedHardwareClass() { return injectedClass; }

TEST_F(InstallTest, HardwareClassDecidesClassSpecificEntries) {
  struct Case {
    std::uint8_t entryClass;
    std::optional<int> machine;
    bool installed;
  };
  const Case cases[] = {{0, std::nullopt, true},  {0, 2, true},  {3, 3, true},
                        {3, std::nullopt, false}, {2, 3, false}, {1, 1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.entryClass) + " on " +
                 (c.machine ? std::to_string(*c.machine) : "none"));
    const std::string bytes =
        packageFile(tool(kV71, {payloadEntry("bin/tool", "data", 0100644, c.entryClass)}));
    std::istringstream in(bytes);
    PackageReader reader(in, true);
    reader.wantedTypes = {kPartPayload};
    ASSERT_EQ(reader.nextPart(), kPartPayload);
    InstalledPackage p("tool");
    injectedClass = c.machine;
    Manifest m;
    ASSERT_EQ(extractFiles(console_, p, m, reader, injectedHardwareClass), Extraction::kDone);
    EXPECT_EQ(m.entries.count("/flash/bin/tool") != 0, c.installed);
    EXPECT_EQ(p.files.contains("/flash/bin/tool"), c.installed);
    cancelManifest(m);
  }
}

// Payload entries of `sizes` data bytes each, named alike, with data that
// compresses as payloads do.
std::vector<PayloadEntry> entriesOfSizes(const std::vector<std::size_t>& sizes,
                                         std::uint32_t seed) {
  std::vector<PayloadEntry> entries;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f/%05u", static_cast<unsigned>(i % 100000));
    entries.push_back(payloadEntry(
        name, testing_support::mixedBytes(sizes[i], seed + static_cast<std::uint32_t>(i))));
  }
  return entries;
}

// The progress bar shows how much of the package file has been read, and
// the payload is read in pieces of 4096 bytes as the inflating needs them;
// where a piece is read must not depend on the library that inflates, or
// the console would differ between builds; nor on whether a second thread
// reads ahead. The same packages, each through both libraries, with one
// thread and with two: files that end on every 4096-byte boundary of the output
// (where one library's read could fall on either side of the boundary),
// files of every size ending all over, entries passed over, data that does
// not compress, and streams of stored, fixed and dynamic blocks.
TEST_F(InstallTest, ProgressBarIsTheSameWhicheverLibraryAndThreadsInflate) {
  constexpr std::size_t kEntryHead = 30 + 7;  // the fixed bytes and "f/NNNNN"
  std::vector<std::size_t> aligned(40, 4096 - kEntryHead);
  std::vector<std::size_t> varied;
  for (std::uint32_t x = 3; varied.size() < 400;) {
    x = x * 1103515245u + 12345u;
    varied.push_back((x >> 16) % 900);
  }
  std::vector<PayloadEntry> passedOver = entriesOfSizes(varied, 50);
  for (std::size_t i = 0; i < passedOver.size(); i += 3) {
    passedOver[i].mode = i % 2 == 0 ? 0120777 : 040755;
    if (i % 5 == 0) {
      passedOver[i].mode = 0100644;
      passedOver[i].hardwareClass = 4;  // another machine's
    }
  }
  std::vector<PayloadEntry> noise = entriesOfSizes(aligned, 70);
  for (PayloadEntry& e : noise) {
    std::uint32_t x = static_cast<std::uint32_t>(e.data.size()) + e.name.back();
    for (char& c : e.data) {
      x = x * 1103515245u + 12345u;
      c = static_cast<char>(x >> 23);
    }
  }
  const std::string alignedBytes = encodeFileEntries(entriesOfSizes(aligned, 10));
  ASSERT_EQ(alignedBytes.size(), 40u * 4096);
  using testing_support::BlockKind;

  struct Case {
    const char* name;
    std::vector<PayloadEntry> files;
    std::optional<std::string> rawPayload;
  };
  const Case cases[] = {
      {"files ending on 4096-byte boundaries", entriesOfSizes(aligned, 10), {}},
      {"the same in stored, fixed and dynamic blocks",
       {},
       testing_support::zlibStream({{alignedBytes.substr(0, 50000), BlockKind::kFixed},
                                    {alignedBytes.substr(50000, 20000), BlockKind::kStored},
                                    {alignedBytes.substr(70000), BlockKind::kDynamic}})},
      {"files of every size", entriesOfSizes(varied, 30), {}},
      {"entries passed over", passedOver, {}},
      {"data that does not compress", noise, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FixturePackage fixture = tool(kV71, c.files);
    fixture.rawPayload = c.rawPayload;
    const std::string bytes = packageFile(fixture);
    struct Way {
      InflateBackend backend;
      PayloadThreads threads;
      const char* name;
    };
    std::vector<Way> ways = {{InflateBackend::kZlib, PayloadThreads::kOne, "zlib"},
                             {InflateBackend::kZlib, PayloadThreads::kTwo, "zlib, two threads"}};
    if (Inflater::available(InflateBackend::kIsal)) {
      ways.push_back({InflateBackend::kIsal, PayloadThreads::kOne, "ISA-L"});
      ways.push_back({InflateBackend::kIsal, PayloadThreads::kTwo, "ISA-L, two threads"});
    }
    std::vector<std::string> console(ways.size());
    std::vector<PathSet> files(ways.size());
    for (std::size_t i = 0; i < ways.size(); ++i) {
      std::istringstream in(bytes);
      PackageReader reader(in, true);
      reader.wantedTypes = {kPartPayload};
      ASSERT_EQ(reader.nextPart(), kPartPayload);
      InstalledPackage p("tool");
      Manifest m;
      output();
      ASSERT_EQ(
          extractFiles(console_, p, m, reader, hardwareClass, ways[i].backend, ways[i].threads),
          Extraction::kDone);
      console[i] = output();
      files[i] = p.files;
      cancelManifest(m);
      setStatusLine(console_, "");
      output();
    }
    for (std::size_t i = 1; i < ways.size(); ++i) {
      SCOPED_TRACE(ways[i].name);
      EXPECT_EQ(files[0], files[i]);
      EXPECT_TRUE(console[0] == console[i]) << ways[0].name << ":\n"
                                            << visibleText(console[0]) << "\n"
                                            << ways[i].name << ":\n"
                                            << visibleText(console[i]);
    }
    // The bar moved many times, so that a read on the other side of a
    // boundary would have shown.
    const std::string hideCursor = "\x1b[?25l";
    std::size_t redraws = 0;
    for (std::size_t at = 0; (at = console[0].find(hideCursor, at)) != std::string::npos; ++at) {
      ++redraws;
    }
    EXPECT_GT(redraws, 12u);
  }
}

TEST(InstallationPathTest, DisabledPackagesLandUnderX) {
  InstalledPackage p("extra");
  EXPECT_EQ(installationPath(p, "bin/tool"), "/flash/bin/tool");
  EXPECT_EQ(installationPath(p, "/bin/tool"), "/flash/bin/tool");
  p.disabled = true;
  EXPECT_EQ(installationPath(p, "bin/tool"), "/flash/x/extra/bin/tool");
  EXPECT_EQ(installationPath(p, "/bin/tool"), "/flash/x/extra/bin/tool");
}

}  // namespace
}  // namespace installer
