#include "store/loader.h"

#include <gtest/gtest.h>

#include "package/writer.h"
#include "support/package_records.h"
#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

const std::string kPdb = "/flash/var/pdb/";

class Loader : public testing_support::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
  }

  // A package directory with the given files ("name" -> content).
  static void writePackage(const std::string& name,
                           const std::map<std::string, std::string>& files) {
    ts::makeDirs(kPdb + name);
    for (const auto& [file, content] : files) ts::writeFile(kPdb + name + "/" + file, content);
  }
  static void schedule(const std::string& dirName, const std::string& word) {
    ts::writeFile("/ram/pdb/" + dirName + "/schedule", word);
  }

  // Loads the sandbox's database, capturing what is printed.
  std::string load(Repository& repo, bool quiet = false) {
    ts::OutputCapture out(output_);
    outcome_ = openRepository(repo, output_, quiet, "powerpc");
    return out.text();
  }

  static const InstalledPackage* record(const Repository& repo, const std::string& name) {
    return findRecord(repo, name);
  }

  RunOutput output_;
  LoadOutcome outcome_ = LoadOutcome::kLoaded;
};

std::vector<std::string> names(const Repository& repo) {
  std::vector<std::string> out;
  for (const auto& p : repo.packages) out.push_back(p->name);
  std::sort(out.begin(), out.end());
  return out;
}

TEST_F(Loader, MissingDatabaseWarnsAndLeavesRepositoryEmpty) {
  Repository repo;
  EXPECT_EQ(load(repo), "WARNING: could not open repo\n");
  EXPECT_TRUE(repo.packages.empty());
  EXPECT_EQ(repo.arch, "powerpc");
  EXPECT_EQ(output_.messages, std::vector<std::string>{"WARNING: could not open repo"});

  Repository quietRepo;
  EXPECT_EQ(load(quietRepo, true), "");
  EXPECT_TRUE(output_.quiet);
}

TEST_F(Loader, RecordsFromMetadata) {
  writePackage("system", {{"version", "117532163 1700000000\n"},
                          {"deps", ""},
                          {"provides", "net 117532160 0 -1\n"},
                          {"files", "flash/bin/tool\n"}});
  writePackage("bundled", {{"version", "5 6\n"}});  // no "files": a bundle
  writePackage("empty", {});                        // nothing at all: broken
  writePackage("member", {{"version", "5 6\n"}, {"bundle", "basepack\n"}, {"files", ""}});
  writePackage(".hidden", {{"version", "1 1\n"}, {"files", ""}});
  ts::writeFile(kPdb + "leftover", "not a package");
  ts::writeFile(kPdb + "image", "capture of the image mode");

  Repository repo;
  EXPECT_EQ(load(repo), "");
  EXPECT_EQ(names(repo), (std::vector<std::string>{"bundled", "empty", "member", "system"}));

  const InstalledPackage* system = record(repo, "system");
  EXPECT_EQ(system->version, 117532163u);
  EXPECT_EQ(system->buildTime, 1700000000u);
  ASSERT_EQ(system->provides.size(), 1u);
  EXPECT_EQ(system->provides[0].priority, -1);
  EXPECT_EQ(system->files, PathSet{"/flash/bin/tool"});
  EXPECT_FALSE(system->isBundle);
  EXPECT_EQ(system->action, PendingAction::kNone);

  EXPECT_TRUE(record(repo, "bundled")->isBundle);
  EXPECT_EQ(record(repo, "bundled")->action, PendingAction::kNone);

  const InstalledPackage* empty = record(repo, "empty");
  EXPECT_EQ(empty->version, 0u);
  EXPECT_EQ(empty->action, PendingAction::kUninstall);

  // A member loaded from its metadata alone has lost its bundle.
  const InstalledPackage* member = record(repo, "member");
  EXPECT_EQ(member->bundle.name, "basepack");
  EXPECT_EQ(member->action, PendingAction::kUninstall);
}

TEST_F(Loader, ScheduleWords) {
  struct Case {
    const char* name;
    std::optional<std::string> word;
    bool broken;
    PendingAction action;
    bool userChoice;
  };
  const Case cases[] = {
      {"none", std::nullopt, false, PendingAction::kNone, false},
      {"uninstall", "uninstall\n", false, PendingAction::kUninstall, false},
      {"enable", "enable", false, PendingAction::kEnable, true},
      {"disable", "  disable\nrest", false, PendingAction::kDisable, true},
      {"unknown", "remove\n", false, PendingAction::kNone, false},
      {"empty", "", false, PendingAction::kNone, false},
      {"enable over broken", "enable\n", true, PendingAction::kEnable, true},
      {"disable over broken", "disable\n", true, PendingAction::kDisable, true},
      {"unknown keeps broken", "keep\n", true, PendingAction::kUninstall, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::removeTree("/flash");
    ts::removeTree("/ram");
    writePackage("pkg", {{"version", c.broken ? "" : "1 2\n"}, {"files", ""}});
    if (c.word) schedule("pkg", *c.word);
    Repository repo;
    load(repo);
    ASSERT_EQ(repo.packages.size(), 1u);
    EXPECT_EQ(repo.packages[0]->action, c.action);
    EXPECT_EQ(repo.packages[0]->userChoice, c.userChoice);
  }
}

TEST_F(Loader, ScheduleOfSanitisedNameAndNoneForPlaceholder) {
  writePackage("my_pkg.x", {{"version", "1 2\n"}, {"files", ""}});
  writePackage("place", {{"version", "4294967295 4294967295\n"}, {"files", ""}});
  schedule("mypkgx", "uninstall");
  schedule("my_pkg.x", "enable");  // not where the installer looks
  schedule("place", "uninstall");
  Repository repo;
  load(repo);
  EXPECT_EQ(record(repo, "my_pkg.x")->action, PendingAction::kUninstall);
  EXPECT_EQ(record(repo, "place")->action, PendingAction::kNone);
}

// A name without any letter, digit or "-" has the empty schedule name: its
// schedule file is "/ram/pdb//schedule", the file "schedule" of "/ram/pdb/".
TEST_F(Loader, EmptyScheduleNameReadsTheFileOfTheScheduleDirectory) {
  writePackage("_", {{"version", "1 2\n"}, {"files", ""}});
  ts::writeFile("/ram/pdb/schedule", "disable\n");
  Repository repo;
  load(repo);
  EXPECT_EQ(record(repo, "_")->action, PendingAction::kDisable);
  EXPECT_TRUE(record(repo, "_")->userChoice);
  EXPECT_EQ(scheduleFilePath("_"), "/ram/pdb//schedule");
  InstalledPackage alone("_");
  readMetadata(alone);
  EXPECT_EQ(alone.action, PendingAction::kDisable) << "without the listing too";
}

TEST_F(Loader, StateFilesLoadForEveryRecord) {
  writePackage("off", {{"version", "1 2\n"}, {"files", ""}, {"disabled", "auto\n"}});
  writePackage("on", {{"version", "1 2\n"}, {"files", ""}, {"enabled", "user\n"}});
  Repository repo;
  load(repo);
  EXPECT_TRUE(record(repo, "off")->disabled);
  EXPECT_FALSE(record(repo, "off")->userChoice);
  EXPECT_FALSE(record(repo, "on")->disabled);
  EXPECT_TRUE(record(repo, "on")->userChoice);
}

Package header(const std::string& name, Version version, bool isBundle = false) {
  Package p(name);
  p.version = version;
  p.buildTime = 1700000000;
  p.isBundle = isBundle;
  return p;
}

// A package file as the upgrade path keeps it: for a bundle, its header
// and description, then each member with payload and signature.
std::string packageImage(const Package& top, const std::vector<Package>& members = {}) {
  PackageWriter w;
  w.addPackageHeader(top);
  for (const Package& member : members) {
    w.addPackageHeader(member);
    w.addPayload({{0100755, 0, "bin/" + member.name, "#!/bin/sh\n"}});
    w.addPart(kPartSignature, std::string(68, '\0'));
  }
  if (members.empty()) {
    w.addPayload({{0100644, 0, "lib/" + top.name, "data"}});
    w.addPart(kPartSignature, std::string(68, '\0'));
  }
  return w.bytes();
}

const Version k713 = makeVersion(7, 1, 0x66, 3);

TEST_F(Loader, KeptBundleImageYieldsBundleAndMembers) {
  Package bundle = header("basepack", k713, true);
  bundle.note = "the bundle";
  bundle.depends = {{"system", k713, 0, 0}};
  Package system = header("system", k713);
  system.provides = {{"net", 1, 0, -1}};
  Package wireless = header("wireless", k713);
  wireless.depends = {{"system", k713, 0, 0}};
  writePackage("basepack", {{"image", packageImage(bundle, {system, wireless})}});
  writePackage("system", {{"version", "1 1\n"},
                          {"bundle", "basepack\n"},
                          {"files", "flash/bin/system\nflash/lib/a\n"}});
  writePackage("wireless",
               {{"bundle", "basepack\n"}, {"files", "flash/bin/wireless"}, {"disabled", "auto"}});
  schedule("system", "disable");

  Repository repo;
  EXPECT_EQ(load(repo), "");
  ASSERT_EQ(repo.packages.size(), 3u);
  // Members first, in file order, then their bundle.
  EXPECT_EQ(repo.packages[0]->name, "system");
  EXPECT_EQ(repo.packages[1]->name, "wireless");
  EXPECT_EQ(repo.packages[2]->name, "basepack");

  for (int i = 0; i < 2; ++i) {
    const InstalledPackage& member = *repo.packages[i];
    SCOPED_TRACE(member.name);
    EXPECT_EQ(member.version, k713);  // from the image, not from "version"
    EXPECT_EQ(member.bundle.name, "basepack");
    EXPECT_EQ(member.bundle.minVersion, k713);
    EXPECT_EQ(member.bundle.maxVersion, k713);
    EXPECT_EQ(member.bundle.priority, 0);
    EXPECT_FALSE(member.isBundle);
    EXPECT_EQ(member.arch, "i386");
  }
  const InstalledPackage& s = *repo.packages[0];
  EXPECT_EQ(s.files, (PathSet{"/flash/bin/system", "/flash/lib/a"}));
  ASSERT_EQ(s.provides.size(), 1u);
  EXPECT_EQ(s.provides[0].priority, -1);
  EXPECT_EQ(s.action, PendingAction::kDisable);
  EXPECT_TRUE(s.userChoice);

  const InstalledPackage& w = *repo.packages[1];
  EXPECT_EQ(w.files, PathSet{"/flash/bin/wireless"});
  EXPECT_TRUE(w.disabled);
  EXPECT_FALSE(w.userChoice);
  EXPECT_EQ(w.action, PendingAction::kNone);

  const InstalledPackage& b = *repo.packages[2];
  EXPECT_TRUE(b.isBundle);
  EXPECT_TRUE(b.bundle.name.empty());
  EXPECT_EQ(b.note, "the bundle");
  EXPECT_EQ(b.version, k713);
  ASSERT_EQ(b.depends.size(), 1u);
  EXPECT_TRUE(b.files.empty());
  EXPECT_EQ(b.action, PendingAction::kNone);
}

TEST_F(Loader, SecondImageDirectoryYieldsASecondRecord) {
  writePackage("foo", {{"image", packageImage(header("foo", makeVersion(1, 0, 0x66, 0)))},
                       {"files", "flash/lib/foo\n"}});
  ts::writeFile("/rw/pckg/.images/foo", packageImage(header("foo", makeVersion(2, 0, 0x66, 0))));
  // Only names of the database directory are looked up there.
  ts::writeFile("/rw/pckg/.images/bar", packageImage(header("bar", makeVersion(2, 0, 0x66, 0))));
  Repository repo;
  load(repo);
  ASSERT_EQ(repo.packages.size(), 2u);
  EXPECT_EQ(repo.packages[0]->version, makeVersion(1, 0, 0x66, 0));
  EXPECT_EQ(repo.packages[1]->version, makeVersion(2, 0, 0x66, 0));
  for (const auto& p : repo.packages) {
    EXPECT_EQ(p->files, PathSet{"/flash/lib/foo"});
    EXPECT_FALSE(p->isBundle);
  }
  EXPECT_EQ(findRecord(repo, "foo"), repo.packages[0].get());
}

TEST_F(Loader, UnreadableImageFallsBackToMetadata) {
  writePackage("junk", {{"image", "not a package file"}, {"version", "5 6\n"}, {"files", ""}});
  writePackage("shortheader", {{"version", "7 8\n"}, {"files", ""}});
  PackageWriter w;
  w.addHeader(header("shortheader", k713), 20);  // a header part too short to read
  ts::writeFile(kPdb + "shortheader/image", w.bytes());
  Repository repo;
  load(repo);
  ASSERT_EQ(repo.packages.size(), 2u);
  for (const auto& p : repo.packages) {
    SCOPED_TRACE(p->name);
    EXPECT_EQ(p->action, PendingAction::kNone);
    EXPECT_EQ(p->version, p->name == "junk" ? 5u : 7u);
  }
}

TEST_F(Loader, RefusedMemberHeaderEndsTheMembers) {
  // A member header too short to read: the reader stays on it.
  PackageWriter w;
  w.addPackageHeader(header("basepack", k713, true));
  w.addPackageHeader(header("system", k713));
  w.addHeader(header("wireless", k713), 20);
  w.addPackageHeader(header("extra", k713));
  writePackage("basepack", {{"image", w.bytes()}});
  Repository repo;
  load(repo);
  ASSERT_EQ(repo.packages.size(), 2u);
  EXPECT_EQ(repo.packages[0]->name, "system");
  EXPECT_EQ(repo.packages[1]->name, "basepack");
}

TEST_F(Loader, EveryTruncationOfAKeptBundleLoads) {
  Package bundle = header("basepack", k713, true);
  bundle.note = "note";
  Package system = header("system", k713);
  system.depends = {{"base", 1, 2, 0}};
  const std::string image = packageImage(bundle, {system, header("wireless", k713)});
  for (std::size_t length = 0; length < image.size(); ++length) {
    SCOPED_TRACE(length);
    writePackage("basepack", {{"image", image.substr(0, length)}});
    Repository repo;
    load(repo);
    ASSERT_FALSE(repo.packages.empty());
    for (const auto& p : repo.packages) EXPECT_FALSE(p->name.empty());
    EXPECT_EQ(repo.packages.back()->name, "basepack");
  }
}

TEST_F(Loader, TextPartClaimingFourGigabytesLoads) {
  PackageWriter w;
  w.addHeader(header("foo", k713));
  w.addPart(kPartNote, "short note", 0xFFFFFFFFu);
  writePackage("foo", {{"image", w.bytes()}});
  Repository repo;
  load(repo);
  ASSERT_EQ(repo.packages.size(), 1u);
  EXPECT_EQ(repo.packages[0]->name, "foo");
  EXPECT_EQ(repo.packages[0]->version, k713);
  EXPECT_EQ(repo.packages[0]->note, "short note");
}

TEST(ScheduleFilePath, KeepsLettersDigitsAndDash) {
  const std::pair<std::string, std::string> cases[] = {
      {"my_pkg.x", "/ram/pdb/mypkgx/schedule"},
      {"wifi-qcom-ac", "/ram/pdb/wifi-qcom-ac/schedule"},
      {"A9 z/..", "/ram/pdb/A9z/schedule"},
      {"caf\xc3\xa9", "/ram/pdb/caf/schedule"},
      {"", "/ram/pdb//schedule"},
  };
  for (const auto& [name, path] : cases) EXPECT_EQ(scheduleFilePath(name), path) << name;
}

}  // namespace
}  // namespace installer
