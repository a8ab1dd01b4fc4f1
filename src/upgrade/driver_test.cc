#include "upgrade/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "support/sandbox.h"

namespace installer {
namespace {

using testing_support::ChrootSandbox;
using testing_support::writeFile;

// Package files built byte by byte: the scan reads headers only, so neither
// payload nor signature is needed, and broken layouts are easy to state.
std::string le32(std::uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string part(std::uint16_t type, const std::string& data) {
  std::string out;
  out += static_cast<char>(type & 0xFF);
  out += static_cast<char>(type >> 8);
  return out + le32(static_cast<std::uint32_t>(data.size())) + data;
}

std::string headerData(const std::string& name, std::uint32_t version) {
  std::string data = name;
  data.resize(16, '\0');
  return data + le32(version) + le32(1700000000) + std::string(8, '\0') + le32(0);
}

std::string header(const std::string& name, std::uint32_t version = 0x07016600) {
  return part(1, headerData(name, version));
}

std::string bundleHeader(const std::string& name) { return part(18, headerData(name, 0x07016600)); }

std::string file(const std::string& parts) {
  return le32(0xBAD0F11E) + le32(static_cast<std::uint32_t>(parts.size())) + parts;
}

// A dependency list whose count promises more entries than it holds.
std::string shortDependencyList() {
  return part(3, std::string("\x02\x00", 2) + std::string(32, 'd'));
}

class ScanPackageDir : public testing_support::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    if (stopped()) return;
    testing_support::makeDirs(kDir);
  }

  const std::string kDir = "/rw/pckg/.download/";
  RunOutput output_;
};

TEST_F(ScanPackageDir, TriesOnlyVisibleNpkAndVpkNames) {
  const std::string good = file(header("pkg"));
  writeFile(kDir + "alpha.npk", file(header("alpha")));
  writeFile(kDir + "beta.vpk", file(header("beta")));
  for (const char* skipped :
       {"upper.NPK", "upper.Vpk", "trail.npk.part", "trail.npkx", ".hidden.npk", ".npk",
        "notes.txt", "npk", "bell\a.npk", "esc\x1b[2J.npk", "del\x7f.npk"}) {
    writeFile(kDir + skipped, good);
  }
  // Neither a broken file nor a garbled name is reported for skipped names.
  writeFile(kDir + ".broken.npk", "junk");
  writeFile(kDir + "junk\n.npk", "junk");

  std::vector<std::unique_ptr<PackageFile>> list;
  scanPackageDir(output_, kDir, list);
  std::vector<std::string> paths;
  for (const auto& record : list) paths.push_back(record->path);
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{kDir + "alpha.npk", kDir + "beta.vpk"}));
  EXPECT_TRUE(output_.messages.empty());
}

TEST_F(ScanPackageDir, MissingDirectoryYieldsNothing) {
  std::vector<std::unique_ptr<PackageFile>> list;
  scanPackageDir(output_, "/flash/var/pckg/", list);
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(output_.messages.empty());
}

TEST_F(ScanPackageDir, ReadsHeadersAndBundleMembers) {
  writeFile(kDir + "single.npk", file(header("single") + part(16, "mipsbe") + part(23, "a note") +
                                      part(3, std::string("\x00\x00", 2)) + part(4, "payload") +
                                      part(9, std::string(68, 's'))));
  writeFile(kDir + "bundle.npk",
            file(bundleHeader("bundle") + part(21, "img") + header("one") + part(4, "x") +
                 part(9, "s") + header("two") + part(21, "i") + part(9, "s")));

  std::vector<std::unique_ptr<PackageFile>> list;
  scanPackageDir(output_, kDir, list);
  ASSERT_EQ(list.size(), 2u);
  std::sort(list.begin(), list.end(),
            [](const auto& a, const auto& b) { return a->name < b->name; });

  const PackageFile& bundle = *list[0];
  EXPECT_EQ(bundle.name, "bundle");
  EXPECT_TRUE(bundle.isBundle);
  EXPECT_TRUE(bundle.imageBased);
  ASSERT_EQ(bundle.members.size(), 2u);
  EXPECT_EQ(bundle.members[0]->name, "one");
  EXPECT_EQ(bundle.members[1]->name, "two");
  EXPECT_TRUE(bundle.members[1]->imageBased);

  const PackageFile& single = *list[1];
  EXPECT_EQ(single.name, "single");
  EXPECT_FALSE(single.isBundle);
  EXPECT_EQ(single.version, 0x07016600u);
  EXPECT_EQ(single.arch, "mipsbe");
  EXPECT_EQ(single.note, "a note");
  EXPECT_TRUE(output_.messages.empty());
}

// Runs the scan in a child process with a watchdog: a scan that never
// returns is the fault some of these layouts provoke.
struct ChildScan {
  bool finished = false;
  bool brokenReported = false;
  bool nothingListed = false;
};

ChildScan scanInChild(const std::string& dir, const std::string& entry) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(60);
    RunOutput output;
    output.quiet = false;
    std::vector<std::unique_ptr<PackageFile>> list;
    scanPackageDir(output, dir, list);
    const bool reported =
        output.messages == std::vector<std::string>{"ERROR: broken package " + entry};
    _exit((reported ? 1 : 0) | (list.empty() ? 2 : 0));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ChildScan result;
  result.finished = WIFEXITED(status);
  if (result.finished) {
    result.brokenReported = (WEXITSTATUS(status) & 1) != 0;
    result.nothingListed = (WEXITSTATUS(status) & 2) != 0;
  }
  return result;
}

TEST_F(ScanPackageDir, BrokenFilesAreReportedByTheirBareName) {
  const std::string good = file(header("pkg"));
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"truncated after download", good.substr(0, good.size() - 3)},
      {"longer than declared", good + "x"},
      {"empty file", ""},
      {"shorter than the file header", good.substr(0, 5)},
      {"unknown magic", le32(0x12345678) + good.substr(4)},
      {"no header part first", file(part(24, "text") + part(4, "payload"))},
      {"header part shorter than 32 bytes", file(part(1, std::string(20, 'n')))},
      {"dependency list shorter than its count", file(header("pkg") + shortDependencyList())},
      {"bundle without members", file(bundleHeader("bundle") + part(21, "img"))},
      {"bundle whose member header is short",
       file(bundleHeader("bundle") + header("one") + part(1, std::string(20, 'm')))},
      {"bundle whose second member has a short list",
       file(bundleHeader("bundle") + header("one") + header("two") + shortDependencyList())},
  };
  for (const auto& c : cases) {
    testing_support::removeTree("/rw");
    writeFile(kDir + "pkg-7.1.npk", c.content);
    const ChildScan result = scanInChild(kDir, "pkg-7.1.npk");
    EXPECT_TRUE(result.finished) << c.name;
    EXPECT_TRUE(result.brokenReported) << c.name;
    EXPECT_TRUE(result.nothingListed) << c.name;
  }
}

TEST_F(ScanPackageDir, EntriesOtherThanFilesAreBroken) {
  for (const bool fifo : {true, false}) {
    testing_support::removeTree("/rw");
    testing_support::makeDirs(kDir);
    const std::string path = kDir + "pkg-7.1.npk";
    if (fifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else {
      testing_support::makeDirs(path);
    }
    const ChildScan result = scanInChild(kDir, "pkg-7.1.npk");
    EXPECT_TRUE(result.finished) << "fifo " << fifo;  // never waits for a writer
    EXPECT_TRUE(result.brokenReported) << "fifo " << fifo;
    EXPECT_TRUE(result.nothingListed) << "fifo " << fifo;
  }
}

TEST_F(ScanPackageDir, BrokenFileDoesNotHideUsableOnes) {
  writeFile(kDir + "bad.npk", "junk");
  writeFile(kDir + "good.npk", file(header("good")));
  std::vector<std::unique_ptr<PackageFile>> list;
  scanPackageDir(output_, kDir, list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->name, "good");
  EXPECT_EQ(output_.messages, std::vector<std::string>{"ERROR: broken package bad.npk"});
}

}  // namespace
}  // namespace installer
