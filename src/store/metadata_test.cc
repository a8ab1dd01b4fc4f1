#include "store/metadata.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "console/console.h"
#include "support/package_records.h"
#include "support/sandbox.h"
#include "txn/commit.h"
#include "txn/manifest.h"

namespace installer {
namespace {

namespace ts = testing_support;

const std::string kDir = "/flash/var/pdb/foo/";

class Metadata : public testing_support::RouterDirsTest {
 protected:
  void SetUp() override {
    RouterDirsTest::SetUp();
    if (stopped()) return;
    ts::makeDirs(kDir);
  }

  // Stages the record's files and commits them into the sandbox.
  bool writeAndCommit(const InstalledPackage& p) {
    Manifest m;
    const bool ok = writeMetadata(output_, p, m);
    EXPECT_EQ(commitManifest(m), CommitOutcome::kCommitted);
    return ok;
  }

  static std::optional<std::string> file(const std::string& name) {
    return ts::readFile(kDir + name);
  }

  RunOutput output_;
};

InstalledPackage fullRecord() {
  InstalledPackage p("foo");
  p.version = makeVersion(7, 1, 0x66, 3);
  p.buildTime = 1700000000;
  p.depends = {{"system", makeVersion(7, 1, 0x66, 0), 0, 0}, {"lib", 0, 12, 0}};
  p.provides = {{"net", 0x07016600, 0, -1}, {"dhcp", 1, 2, 3}};
  p.conflicts = {{"old-foo", 0, 0, 0}};
  p.bundle.name = "basepack";
  p.files = {"/flash/bin/tool", "/flash/lib/libfoo.so", "/flash/x/foo/etc"};
  return p;
}

TEST_F(Metadata, WritesEveryFileByteForByte) {
  InstalledPackage p = fullRecord();
  p.disabled = true;
  p.userChoice = true;
  ts::writeFile(kDir + "enabled", "user\n");
  ASSERT_TRUE(writeAndCommit(p));
  EXPECT_EQ(file("version"), "117532163 1700000000\n");
  EXPECT_EQ(file("deps"), "system 117532160 0\nlib 0 12\n");
  EXPECT_EQ(file("provides"), "net 117532160 0 -1\ndhcp 1 2 3\n");
  EXPECT_EQ(file("conflicts"), "old-foo 0 0\n");
  EXPECT_EQ(file("bundle"), "basepack\n");
  EXPECT_EQ(file("files"), "flash/bin/tool\nflash/lib/libfoo.so\nflash/x/foo/etc\n");
  EXPECT_EQ(file("disabled"), "user\n");
  EXPECT_FALSE(ts::exists(kDir + "enabled"));
}

TEST_F(Metadata, EmptyListsAndNoBundle) {
  ts::writeFile(kDir + "provides", "old 1 2 3\n");
  ts::writeFile(kDir + "bundle", "basepack\n");
  InstalledPackage p("foo");
  p.files = {"/flash/a", ""};
  ASSERT_TRUE(writeAndCommit(p));
  EXPECT_EQ(file("version"), "0 0\n");
  EXPECT_EQ(file("deps"), "");
  // An empty list neither writes nor removes its file.
  EXPECT_EQ(file("provides"), "old 1 2 3\n");
  EXPECT_FALSE(ts::exists(kDir + "conflicts"));
  EXPECT_FALSE(ts::exists(kDir + "bundle"));
  EXPECT_EQ(file("files"), "flash/a\n");
}

TEST_F(Metadata, BundleRecordGetsNoFilesFile) {
  InstalledPackage p = fullRecord();
  p.isBundle = true;
  ASSERT_TRUE(writeAndCommit(p));
  EXPECT_TRUE(ts::exists(kDir + "version"));
  EXPECT_FALSE(ts::exists(kDir + "files"));
}

TEST_F(Metadata, FilesEntryWithNewlineIsNotRecorded) {
  InstalledPackage p("foo");
  p.files = {"/flash/ok", "/flash/a\nflash/etc/passwd"};
  ASSERT_TRUE(writeAndCommit(p));
  EXPECT_EQ(file("files"), "flash/ok\n");
}

TEST_F(Metadata, ImageBasedOrNoMetadataFlagGetsStateFilesOnly) {
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant == 0 ? "imageBased" : "flags bit 1");
    ts::removeTree(kDir);
    ts::makeDirs(kDir);
    InstalledPackage p = fullRecord();
    if (variant == 0) p.imageBased = true;
    if (variant == 1) p.flags = kFlagNoMetadata | kFlagBootImage;
    p.disabled = true;
    ASSERT_TRUE(writeAndCommit(p));
    EXPECT_FALSE(ts::exists(kDir + "version"));
    EXPECT_FALSE(ts::exists(kDir + "files"));
    EXPECT_FALSE(ts::exists(kDir + "deps"));
    EXPECT_EQ(file("disabled"), "auto\n");
  }
}

TEST_F(Metadata, StateFilesFollowDisabledAndUserChoice) {
  struct Case {
    bool disabled, userChoice;
    std::optional<std::string> disabledFile, enabledFile;
  };
  const Case cases[] = {
      {true, true, "user\n", std::nullopt},
      {true, false, "auto\n", std::nullopt},
      {false, true, std::nullopt, "user\n"},
      {false, false, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "disabled " << c.disabled << " user " << c.userChoice);
    ts::writeFile(kDir + "disabled", "stale\n");
    ts::writeFile(kDir + "enabled", "stale\n");
    InstalledPackage p("foo");
    p.disabled = c.disabled;
    p.userChoice = c.userChoice;
    Manifest m;
    ASSERT_TRUE(writeStateFiles(output_, p, m));
    EXPECT_EQ(commitManifest(m), CommitOutcome::kCommitted);
    EXPECT_EQ(file("disabled"), c.disabledFile);
    EXPECT_EQ(file("enabled"), c.enabledFile);
  }
}

TEST_F(Metadata, WrittenRecordReadsBackAsItself) {
  InstalledPackage written = fullRecord();
  written.bundle.name.clear();
  written.files.insert("/flash/with space");
  written.disabled = true;
  ASSERT_TRUE(writeAndCommit(written));

  InstalledPackage read("foo");
  readVersionFile(read);
  readDependencyFiles(read);
  readBundleFile(read);
  readFilesFile(read);
  readStateFiles(read);
  EXPECT_EQ(read.action, PendingAction::kNone);
  EXPECT_EQ(read.version, written.version);
  EXPECT_EQ(read.buildTime, written.buildTime);
  auto same = [](const std::vector<Dependency>& a, const std::vector<Dependency>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].name != b[i].name || a[i].minVersion != b[i].minVersion ||
          a[i].maxVersion != b[i].maxVersion || a[i].priority != b[i].priority) {
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(same(read.depends, written.depends));
  EXPECT_TRUE(same(read.provides, written.provides));
  EXPECT_TRUE(same(read.conflicts, written.conflicts));
  EXPECT_EQ(read.files, written.files);
  EXPECT_FALSE(read.isBundle);
  EXPECT_TRUE(read.disabled);
  EXPECT_FALSE(read.userChoice);
}

TEST_F(Metadata, DependencyFileIsATokenStream) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nullopt: no file
    bool withPriority;
    bool ok;
    std::vector<std::string> entries;  // "name min max priority"
  };
  const Case cases[] = {
      {"missing file", std::nullopt, false, true, {}},
      {"empty file", "", false, true, {}},
      {"one per line", "a 1 2\nb 3 0\n", false, true, {"a 1 2 0", "b 3 0 0"}},
      {"last line without newline", "a 1 2\nb 3 4", false, true, {"a 1 2 0", "b 3 4 0"}},
      {"tokens across lines", "a\n1\n2\n\n  b 3\t4", false, true, {"a 1 2 0", "b 3 4 0"}},
      {"several on one line", "a 1 2 b 3 4", false, true, {"a 1 2 0", "b 3 4 0"}},
      {"name only", "a 1 2\nb\n", false, false, {"a 1 2 0"}},
      {"missing max", "a 1\n", false, false, {}},
      {"word for number", "a x 2\n", false, false, {}},
      {"priorities",
       "net 117532160 0 -1\nx 0 0 5\n",
       true,
       true,
       {"net 117532160 0 -1", "x 0 0 5"}},
      {"priority missing", "net 1 0\n", true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::removeTree(kDir + "deps");
    if (c.content) ts::writeFile(kDir + "deps", *c.content);
    std::vector<Dependency> list{{"kept", 9, 9, 9}};
    EXPECT_EQ(readDependencyFile(kDir + "deps", list, c.withPriority), c.ok);
    std::vector<std::string> got;
    for (std::size_t i = 1; i < list.size(); ++i) {
      std::ostringstream s;
      s << list[i].name << ' ' << list[i].minVersion << ' ' << list[i].maxVersion << ' '
        << list[i].priority;
      got.push_back(s.str());
    }
    EXPECT_EQ(list.front().name, "kept");  // entries are appended
    EXPECT_EQ(got, c.entries);
  }
}

TEST_F(Metadata, MalformedFilesMarkForUninstall) {
  struct Case {
    const char* name;
    const char* file;
    std::optional<std::string> content;
    PendingAction action;
  };
  const Case cases[] = {
      {"version missing", "version", std::nullopt, PendingAction::kUninstall},
      {"version one number", "version", "5\n", PendingAction::kUninstall},
      {"version good", "version", "5 6", PendingAction::kNone},
      {"deps name only", "deps", "system\n", PendingAction::kUninstall},
      {"provides without priority", "provides", "net 1 0\n", PendingAction::kUninstall},
      {"conflicts name only", "conflicts", "x 1\n", PendingAction::kUninstall},
      {"bundle named", "bundle", "basepack\n", PendingAction::kUninstall},
      {"bundle empty", "bundle", "\n", PendingAction::kNone},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::removeTree(kDir);
    ts::makeDirs(kDir);
    if (std::string(c.file) != "version") ts::writeFile(kDir + "version", "1 2\n");
    if (c.content) ts::writeFile(kDir + c.file, *c.content);
    InstalledPackage p("foo");
    readVersionFile(p);
    readDependencyFiles(p);
    readBundleFile(p);
    EXPECT_EQ(p.action, c.action);
  }
  InstalledPackage p("foo");
  readBundleFile(p);  // the last case left "bundle" holding a blank line
  EXPECT_EQ(p.bundle.name, "");
  ts::writeFile(kDir + "bundle", "basepack");
  p.bundle.minVersion = p.bundle.maxVersion = 7;
  readBundleFile(p);
  EXPECT_EQ(p.bundle.name, "basepack");
  EXPECT_EQ(p.bundle.minVersion, 0u);
  EXPECT_EQ(p.bundle.maxVersion, 0u);
}

TEST_F(Metadata, FilesListGainsLeadingSlashAndMissingMeansBundle) {
  InstalledPackage p("foo");
  readFilesFile(p);
  EXPECT_TRUE(p.isBundle);
  EXPECT_TRUE(p.files.empty());

  ts::writeFile(kDir + "files", "flash/bin/tool\n/flash/bin/tool\n\nflash/lib/a\n/flash/last");
  readFilesFile(p);
  EXPECT_FALSE(p.isBundle);
  EXPECT_EQ(p.files, (PathSet{"/flash/bin/tool", "/flash/last", "/flash/lib/a"}));
}

TEST_F(Metadata, StateFilesLoad) {
  struct Case {
    const char* name;
    std::optional<std::string> disabled, enabled;
    bool isDisabled, userChoice;
  };
  const Case cases[] = {
      {"auto", "auto\n", std::nullopt, true, false},
      {"auto without newline", "auto", std::nullopt, true, false},
      {"auto then more lines", "auto\nuser\n", std::nullopt, true, false},
      {"user", "user\n", std::nullopt, true, true},
      {"other text", "automatic\n", std::nullopt, true, true},
      {"empty", "", std::nullopt, true, true},
      {"disabled wins over enabled", "auto\n", "user\n", true, false},
      {"enabled by user", std::nullopt, "", false, true},
      {"neither", std::nullopt, std::nullopt, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::removeTree(kDir);
    ts::makeDirs(kDir);
    if (c.disabled) ts::writeFile(kDir + "disabled", *c.disabled);
    if (c.enabled) ts::writeFile(kDir + "enabled", *c.enabled);
    InstalledPackage p("foo");
    p.disabled = !c.isDisabled;
    p.userChoice = !c.userChoice;
    readStateFiles(p);
    EXPECT_EQ(p.disabled, c.isDisabled);
    EXPECT_EQ(p.userChoice, c.userChoice);
  }
}

// Write failures: "/flash" too small to hold anything beside the targets,
// so every staged file goes to "/ram".
class MetadataWriteFailure : public Metadata {
 protected:
  void SetUp() override {
    Metadata::SetUp();
    if (IsSkipped()) return;
    if (!ts::canMountTmpfs()) GTEST_SKIP() << "cannot mount tmpfs here";
    ts::removeTree("/ram");
    ts::removeTree("/tmp");
    ASSERT_TRUE(ts::mountTmpfs("/flash", "64k"));
  }

  // Runs `write` with the console captured; returns what was printed.
  template <typename Write>
  std::string printed(Write write) {
    ts::OutputCapture out(output_);
    write();
    return out.text();
  }
};

TEST_F(MetadataWriteFailure, NoPlaceForTheFirstFileStopsEverything) {
  InstalledPackage p = fullRecord();
  p.bundle.name.clear();
  p.version = makeVersion(1, 0, 0x66, 0);
  Manifest m;
  bool ok = true;
  EXPECT_EQ(printed([&] { ok = writeMetadata(output_, p, m); }),
            std::string("ERROR: installation of foo-1.0 failed: could not create meta/version: ") +
                std::strerror(ENOENT) + "\n");
  EXPECT_FALSE(ok);
  EXPECT_TRUE(m.empty());
}

TEST_F(MetadataWriteFailure, StateFileFailureIsReported) {
  InstalledPackage p("foo");
  p.version = makeVersion(1, 0, 0x66, 0);
  p.imageBased = true;
  p.disabled = true;
  Manifest m;
  bool ok = true;
  EXPECT_EQ(printed([&] { ok = writeMetadata(output_, p, m); }),
            std::string("ERROR: installation of foo-1.0 failed: could not create meta/disabled: ") +
                std::strerror(ENOENT) + "\n");
  EXPECT_FALSE(ok);

  p.disabled = false;
  p.userChoice = true;
  EXPECT_EQ(printed([&] { ok = writeStateFiles(output_, p, m); }),
            std::string("ERROR: installation of foo-1.0 failed: could not create meta/enabled: ") +
                std::strerror(ENOENT) + "\n");
  EXPECT_FALSE(ok);
}

TEST_F(MetadataWriteFailure, FullDiskWhileWritingFilesListKeepsEarlierEntries) {
  ASSERT_TRUE(ts::mountTmpfs("/ram", "64k"));
  InstalledPackage p("foo");
  p.version = makeVersion(1, 0, 0x66, 0);
  p.disabled = true;
  for (int i = 0; i < 3000; ++i)
    p.files.insert("/flash/share/some/longer/path/" + std::to_string(i));
  Manifest m;
  bool ok = true;
  EXPECT_EQ(printed([&] { ok = writeMetadata(output_, p, m); }),
            "ERROR: installation of foo-1.0 failed: disk is too small\n");
  EXPECT_FALSE(ok);
  EXPECT_EQ(output_.messages,
            std::vector<std::string>{"ERROR: installation of foo-1.0 failed: disk is too small"});
  // What was staged before the failure stays; the state files never were.
  EXPECT_EQ(m.entries.count(kDir + "version"), 1u);
  EXPECT_EQ(m.entries.count(kDir + "deps"), 1u);
  EXPECT_EQ(m.entries.count(kDir + "disabled"), 0u);
  cancelManifest(m);
}

}  // namespace
}  // namespace installer
