// "--show" on a router root holding a small installed database: packages
// from metadata, a bundle kept as its package file, a disabled package, one
// with a note and one whose name is longer than its column.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "package/writer.h"
#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

const std::string kHeader =
    "            Name          Version                Built                                    "
    "Note\n";
const std::string kRule = std::string(94, '-') + "\n";

// One line per record, as a person sees the table.
const std::map<std::string, std::string> kRows = {
    {"system",
     "          system  B         7.1.3 Jan/05/2024 13:07:45                                   "
     "      \n"},
    {"wireless",
     "        wireless XB         7.1.3 Jan/05/2024 13:07:45                                   "
     "      \n"},
    {"basepack",
     "        basepack            7.1.3 Jan/05/2024 13:07:45                              base "
     "system\n"},
    {"extra-firmware",
     "  extra-firmware           7.1rc2 Nov/14/2023 22:13:20             needs a reboot after "
     "install\n"},
    {"container",
     "       container X       7.1beta3 Jan/01/1970 23:59:59                                   "
     "      \n"},
    {"a-very-long-package-name",
     "a-very-long-package-name              7.1 Jan/01/1970 00:00:00                           "
     "              \n"},
    {"orphan",
     "          orphan              0.0 Jan/01/1970 00:00:00                                   "
     "      \n"},
};

Package header(const std::string& name, Version version, std::uint32_t buildTime) {
  Package p(name);
  p.version = version;
  p.buildTime = buildTime;
  return p;
}

class ShowTest : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    const Version v713 = makeVersion(7, 1, kStageFinal, 3);

    PackageWriter bundle;
    Package basepack = header("basepack", v713, 1704460065);
    basepack.isBundle = true;
    basepack.note = "base system";
    bundle.addPackageHeader(basepack);
    for (const char* member : {"system", "wireless"}) {
      bundle.addPackageHeader(header(member, v713, 1704460065));
      bundle.addPayload({{0100755, 0, std::string("bin/") + member, "binary"}});
      bundle.addPart(kPartSignature, std::string(68, '\0'));
    }
    write("basepack/image", bundle.bytes());
    write("system/files", "flash/bin/system\n");
    write("system/bundle", "basepack\n");
    write("wireless/files", "flash/bin/wireless\n");
    write("wireless/bundle", "basepack\n");
    write("wireless/disabled", "user\n");

    PackageWriter single;
    Package firmware = header("extra-firmware", makeVersion(7, 1, kStageCandidate, 2), 1700000000);
    firmware.note = "needs a reboot after install";
    single.addPackageHeader(firmware);
    single.addImage(std::string(64, 'i'));
    write("extra-firmware/image", single.bytes());

    write("container/version", std::to_string(makeVersion(7, 1, kStageBeta, 3)) + " 86399\n");
    write("container/deps", "system 117506560 0\n");
    write("container/files", "flash/bin/container\n");
    write("container/disabled", "auto\n");
    write("a-very-long-package-name/version",
          std::to_string(makeVersion(7, 1, kStageFinal, 0)) + " 0\n");
    write("a-very-long-package-name/deps", "");
    write("a-very-long-package-name/files", "");
    ts::makeDirs(root_ / "/flash/var/pdb/orphan");  // nothing in it: broken

    // Never records: hidden entries and leftover plain files.
    write(".staging/version", "1 1\n");
    write("tmpAbc123", "a staged file left by an interrupted run");
    write("image", "capture of the image mode");
  }

  void write(const std::string& path, const std::string& content) {
    ts::writeFile(root_ / ("/flash/var/pdb/" + path), content);
  }

  // The order in which the installer meets the records: the kept package
  // files in directory order (bundle members before their bundle), then the
  // packages known only from metadata, in directory order.
  std::string expectedRows() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir((root_ / "/flash/var/pdb").c_str())) {
      while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (name[0] != '.' && stat((root_ / "/flash/var/pdb/" + name).c_str(), &info) == 0 &&
            S_ISDIR(info.st_mode)) {
          names.push_back(name);
        }
      }
      closedir(dir);
    }
    std::string rows;
    for (const std::string& name : names) {
      if (name == "basepack") rows += kRows.at("system") + kRows.at("wireless");
      if (name == "basepack" || name == "extra-firmware") rows += kRows.at(name);
    }
    for (const std::string& name : names) {
      if (name != "basepack" && name != "extra-firmware" && name != "system" &&
          name != "wireless") {
        rows += kRows.at(name);
      }
    }
    return rows;
  }

  ts::TempRoot root_;
};

TEST_F(ShowTest, ListsTheDatabase) {
  const ts::RunResult run = ts::runInstaller({"-r", root_.path(), "--show"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, kHeader + kRule + expectedRows());
}

TEST_F(ShowTest, QuietStillLists) {
  const ts::RunResult run = ts::runInstaller({"-q", "-r", root_.path(), "--show"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, kHeader + kRule + expectedRows());
}

TEST(Show, MissingDatabaseWarnsAndListsNothing) {
  if (!ts::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  ts::TempRoot root;
  ts::RunResult run = ts::runInstaller({"-r", root.path(), "--show"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "WARNING: could not open repo\n" + kHeader + kRule);
  run = ts::runInstaller({"-q", "-r", root.path(), "--show"});
  EXPECT_EQ(run.out, kHeader + kRule);
}

}  // namespace
}  // namespace installer
