// The package tool driven as a package builder uses it: keys, build,
// inspect, verify and bundle, and its refusals.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "package/format.h"
#include "package/reader.h"
#include "platform/inflate.h"
#include "support/dev_keys.h"
#include "support/sandbox.h"

namespace {

namespace ts = testing_support;
using installer::Dependency;
using installer::makeVersion;

constexpr char kDescription[] =
    "# the routing package\n"
    "name: routing\n"
    "version: 7.16.2\n"
    "build-time: 2024-05-01 12:00:00\n"
    "arch: arm\n"
    "note: dynamic routing\n"
    "depends: system min=7.16 max=7.17\n"
    "provides: bgp priority=3\n"
    "provides: ospf min=2.0\n"
    "conflicts: oldrouting max=6.49\n"
    "flags: boot-image\n"
    "class: lib/modules/* 2\n";

std::vector<std::string> directoryEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class PkgtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ts::writeFile(path("/routing.desc"), kDescription);
    ts::writeFile(path("/tree/bin/routed"), "#!/bin/sh\necho routing\n", 0755);
    ts::writeFile(path("/tree/lib/modules/bgp.ko"), "module", 0644);
  }

  std::string path(const std::string& inside) const { return dir_ / inside; }

  ts::RunResult tool(const std::vector<std::string>& args) { return ts::runPkgtool(args); }

  // Builds a small package named `name`, signed with the development keys.
  std::string buildMember(const std::string& name) {
    ts::writeFile(path("/" + name + ".desc"), "name: " + name + "\nversion: 7.16\n");
    const std::string out = path("/" + name + ".npk");
    const ts::RunResult r = tool({"build", path("/" + name + ".desc"), "-o", out, "--dev-key"});
    EXPECT_EQ(r.status, 0) << r.err;
    return out;
  }

  ts::TempRoot dir_;
};

TEST_F(PkgtoolTest, BuildInspectVerifyWithOwnKeys) {
  ts::RunResult r = tool({"keygen", "ed25519", path("/ed")});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), std::string("ed25519-public \n").size() + 64);
  EXPECT_EQ(ts::readFile(path("/ed.pub")), r.out);
  struct stat st {};
  ASSERT_EQ(stat(path("/ed").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  r = tool({"keygen", "legacy", path("/old")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("legacy-public ", 0), 0u);

  const std::string out = path("/routing.npk");
  r = tool({"build", path("/routing.desc"), path("/tree"), "-o", out, "--key", path("/ed"),
            "--legacy-key", path("/old")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const auto bytes = ts::readFile(out);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(r.out, out + ": routing-7.16.2, 2 files, " + std::to_string(bytes->size()) +
                       " bytes, signed (ed25519 and legacy)\n");

  r = tool({"inspect", out});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* line :
       {"part 25 sha256-switch at 8, 0 bytes\n", "  name: routing\n",
        "  version: 7.16.2 (0x07106602)\n", "  build time: 2024-05-01 12:00:00 UTC (1714564800)\n",
        "  flags: 0x00000001 boot-image\n", "  system min=7.16 max=7.17\n", "  bgp priority=3\n",
        "  ospf min=2.0\n", "  oldrouting max=6.49\n", "  100755 class 0         23 bin/routed\n",
        "  100644 class 2          6 lib/modules/bgp.ko\n", "  form: ed25519 and legacy\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "in\n" << r.out;
  }
  r = tool({"inspect", "--json", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("{\"file\":\"" + out + "\",\"magic\":3134255390,", 0), 0u) << r.out;

  // The installer's built-in keys are the development pair: refused.
  r = tool({"verify", out});
  EXPECT_EQ(r.status, 1);
  const std::string dev = ts::kDevEd25519PublicHex;
  EXPECT_EQ(r.out, out + ": routing-7.16.2: signature refused (tried ed25519 with key " + dev +
                       "; the older scheme is not accepted for this package)\n");
  r = tool({"verify", "--public-key", path("/ed.pub"), out});
  EXPECT_EQ(r.status, 0) << r.out;
  const std::string pub = ts::readFile(path("/ed.pub")).value_or("").substr(15, 64);
  EXPECT_EQ(r.out, out + ": routing-7.16.2: ok (ed25519, key " + pub + ")\n");
}

TEST_F(PkgtoolTest, BuiltPackageReadsBackThroughTheReader) {
  const std::string out = path("/routing.npk");
  const ts::RunResult r =
      tool({"build", path("/routing.desc"), path("/tree"), "-o", out, "--dev-key"});
  ASSERT_EQ(r.status, 0) << r.err;

  std::ifstream in(out, std::ios::binary);
  installer::PackageReader reader(in, true);
  reader.wantedTypes = {1, 18, 24, 16, 2, 23, 3, 19, 17, 21, 4, 9};
  installer::Package p;
  ASSERT_EQ(reader.nextPart(), installer::kPartHeader);
  ASSERT_TRUE(installer::readHeader(p, reader));
  EXPECT_EQ(p.name, "routing");
  EXPECT_EQ(p.version, makeVersion(7, 16, installer::kStageFinal, 2));
  EXPECT_EQ(p.buildTime, 1714564800u);
  EXPECT_EQ(p.flags, installer::kFlagBootImage);
  EXPECT_EQ(p.arch, "arm");
  EXPECT_EQ(p.note, "dynamic routing");
  auto same =
      [](const std::vector<Dependency>& list,
         const std::vector<std::tuple<std::string, std::uint32_t, std::uint32_t, int>>& expected) {
        ASSERT_EQ(list.size(), expected.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
          EXPECT_EQ(list[i].name, std::get<0>(expected[i]));
          EXPECT_EQ(list[i].minVersion, std::get<1>(expected[i]));
          EXPECT_EQ(list[i].maxVersion, std::get<2>(expected[i]));
          EXPECT_EQ(list[i].priority, std::get<3>(expected[i]));
        }
      };
  same(p.depends, {{"system", 0x07106600, 0x07116600, 0}});
  same(p.provides, {{"bgp", 0, 0, 3}, {"ospf", 0x02006600, 0, 0}});
  same(p.conflicts, {{"oldrouting", 0, 0x06316600, 0}});
  EXPECT_EQ(reader.partType, installer::kPartPayload);
}

TEST_F(PkgtoolTest, DefaultBuildTimeIsNowOrSourceDateEpoch) {
  ts::writeFile(path("/plain.desc"), "name: plain\nversion: 7.16\n");
  ts::RunOptions epoch;
  epoch.env["SOURCE_DATE_EPOCH"] = "1000";
  ts::RunResult r =
      ts::runPkgtool({"build", path("/plain.desc"), "-o", path("/a.npk"), "--dev-key"}, epoch);
  ASSERT_EQ(r.status, 0) << r.err;
  r = tool({"inspect", path("/a.npk")});
  EXPECT_NE(r.out.find("  build time: 1970-01-01 00:16:40 UTC (1000)\n"), std::string::npos)
      << r.out;

  const auto before = static_cast<std::uint32_t>(time(nullptr));
  ts::RunOptions noEpoch;
  noEpoch.unsetEnv = {"SOURCE_DATE_EPOCH"};
  r = ts::runPkgtool({"build", path("/plain.desc"), "-o", path("/b.npk"), "--dev-key"}, noEpoch);
  ASSERT_EQ(r.status, 0) << r.err;
  std::ifstream in(path("/b.npk"), std::ios::binary);
  installer::PackageReader reader(in, false);
  reader.wantedTypes = {1};
  installer::Package p;
  ASSERT_EQ(reader.nextPart(), installer::kPartHeader);
  ASSERT_TRUE(installer::readHeader(p, reader));
  EXPECT_GE(p.buildTime, before);
  EXPECT_LE(p.buildTime, static_cast<std::uint32_t>(time(nullptr)));
}

TEST_F(PkgtoolTest, BundleRoundTrip) {
  const std::string routing = buildMember("routing");
  const std::string extra = buildMember("extra");
  ts::writeFile(path("/bundle.desc"),
                "name: sysbundle\nversion: 7.16\nbuild-time: 0\noff-by-default: extra\n");
  const std::string out = path("/sysbundle.npk");
  ts::RunResult r = tool({"bundle", path("/bundle.desc"), routing, extra, "-o", out});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto bytes = ts::readFile(out);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(r.out, out + ": bundle sysbundle-7.16, 2 members, " + std::to_string(bytes->size()) +
                       " bytes\n");

  r = tool({"verify", out});
  EXPECT_EQ(r.status, 0);
  const std::string byDevKey = " (ed25519, key " + std::string(ts::kDevEd25519PublicHex) + ")\n";
  EXPECT_EQ(r.out, out + ": routing-7.16: ok" + byDevKey + out + ": extra-7.16: ok" + byDevKey);
  r = tool({"inspect", out});
  ASSERT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("part 18 bundle-header at 8, 36 bytes\n  name: sysbundle\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("part 21 image at 58, 0 bytes\npart 20 off-by-default at 64, 34 bytes\n"
                       "  extra\n"),
            std::string::npos)
      << r.out;

  // One spoilt byte in the second member's name.
  std::string spoilt = *bytes;
  spoilt[spoilt.rfind("extra")] = 'E';
  ts::writeFile(path("/spoilt.npk"), spoilt);
  r = tool({"verify", path("/spoilt.npk")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, path("/spoilt.npk") + ": routing-7.16: ok" + byDevKey + path("/spoilt.npk") +
                       ": Extra-7.16: signature refused (tried ed25519 with key " +
                       ts::kDevEd25519PublicHex +
                       "; the older scheme is not accepted for this package)\n");
}

TEST_F(PkgtoolTest, RefusalsAreOneLineAndLeaveNoFile) {
  ts::writeFile(path("/bad.desc"), "name: x\nversion: 7.1x\n");
  const std::string out = path("/out.npk");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"frobnicate"}, 2, "pkgtool: unknown command \"frobnicate\" (see pkgtool --help)\n"},
      {{"build", path("/routing.desc"), "-o", out},
       2,
       "pkgtool: no signing key: give --key FILE (and --legacy-key FILE), --dev-key for the "
       "development keys, or --unsigned\n"},
      {{"build", path("/missing.desc"), "-o", out, "--dev-key"},
       1,
       "pkgtool: cannot open " + path("/missing.desc") + ": No such file or directory\n"},
      {{"build", path("/bad.desc"), "-o", out, "--dev-key"},
       1,
       "pkgtool: " + path("/bad.desc") + ":2: bad version \"7.1x\"\n"},
      {{"build", path("/routing.desc"), "-o", out, "--dev-key", "--switch", "sideways"},
       2,
       "pkgtool: --switch takes before, after or none\n"},
      {{"build", path("/routing.desc"), "-o", out, "--dev-key", "--switch", "none"},
       1,
       "pkgtool: an Ed25519 signature needs a SHA-256 digest (a type-25 part before it)\n"},
      {{"build", path("/routing.desc"), "-o", out, "--key", path("/routing.desc")},
       1,
       "pkgtool: key file " + path("/routing.desc") +
           " is not a key file of the kind ed25519-secret (64 hex digits)\n"},
      {{"build", path("/routing.desc"), path("/tree/bin/routed"), "-o", out, "--dev-key"},
       1,
       "pkgtool: not a directory: " + path("/tree/bin/routed") + "\n"},
      {{"build", path("/routing.desc"), "-o", out, "--dev-key", "--bogus"},
       2,
       "pkgtool: unknown option --bogus\n"},
      {{"bundle", path("/routing.desc"), path("/routing.desc"), "-o", out},
       1,
       "pkgtool: " + path("/routing.desc") + ": class rules belong to a package description\n"},
      {{"inspect", path("/routing.desc")},
       1,
       "pkgtool: " + path("/routing.desc") + " is not a package file (unknown magic)\n"},
  };
  for (const Case& c : cases) {
    const ts::RunResult r = tool(c.args);
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.err;
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(ts::exists(out));
  EXPECT_EQ(directoryEntries(dir_.path()),
            (std::vector<std::string>{"bad.desc", "routing.desc", "tree"}));
}

TEST_F(PkgtoolTest, BuildsNothingTheInstallerWouldRefuse) {
  const std::string out = path("/out.npk");
  auto build = [&](const std::string& description, const std::string& tree = "") {
    ts::writeFile(path("/odd.desc"), description);
    std::vector<std::string> args = {"build", path("/odd.desc")};
    if (!tree.empty()) args.push_back(tree);
    for (const char* word : {"-o", out.c_str(), "--dev-key"}) args.push_back(word);
    return tool(args);
  };
  struct Case {
    std::string description;
    std::string error;
  } cases[] = {
      {"name: image\nversion: 7.1\n",
       ":1: the installer refuses the name \"image\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"name: a\nversion: 7.1\ndepends: a\n", ": a depends on itself"},
      {"name: a\nversion: 7.1\nconflicts: a\n", ": a conflicts with itself"},
      {"name: a\nversion: 7.1\ndepends: b min=7.2 max=7.1\n",
       ":3: min=7.2 is above max=7.1: nothing satisfies it"},
  };
  for (const Case& c : cases) {
    const ts::RunResult r = build(c.description);
    EXPECT_EQ(r.status, 1) << c.description;
    EXPECT_EQ(r.err, "pkgtool: " + path("/odd.desc") + c.error + "\n");
    EXPECT_FALSE(ts::exists(out));
  }

  ts::writeFile(path("/own/var/pdb/other/files"), "flash/etc/passwd\n");
  ts::RunResult r = build("name: a\nversion: 7.1\n", path("/own"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "pkgtool: var/pdb/other/files would land on /flash/var/pdb/other/files, which belongs "
            "to the installer\n");
  EXPECT_FALSE(ts::exists(out));

  // One member twice.
  const std::string member = path("/a.npk");
  ts::writeFile(path("/one/bin/a"), "a");
  r = build("name: a\nversion: 7.1\n", path("/one"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(": a-7.1, 1 file, " + std::to_string(ts::readFile(out)->size()) +
                              " bytes, signed (ed25519 and legacy)\n"))
      << r.out;
  ASSERT_EQ(rename(out.c_str(), member.c_str()), 0);
  ts::writeFile(path("/suite.desc"), "name: suite\nversion: 7.1\n");
  r = tool({"bundle", path("/suite.desc"), member, member, "-o", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pkgtool: member " + member + " is a again: a bundle brings each once\n");
  r = tool({"bundle", path("/suite.desc"), member, "-o", out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(": bundle suite-7.1, 1 member, "), std::string::npos) << r.out;
}

TEST_F(PkgtoolTest, InspectJsonKeepsUtf8) {
  ts::writeFile(path("/cafe.desc"),
                "name: caf\xc3\xa9\nversion: 7.1\nnote: d\xc3\xa9j\xc3\xa0 \"vu\"\n");
  const std::string out = path("/cafe.npk");
  ASSERT_EQ(tool({"build", path("/cafe.desc"), "-o", out, "--dev-key"}).status, 0);
  const ts::RunResult r = tool({"inspect", "--json", out});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(",\"name\":\"caf\xc3\xa9\","), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",\"text\":\"d\xc3\xa9j\xc3\xa0 \\\"vu\\\"\""), std::string::npos) << r.out;
}

// What is no package file is refused at once: a FIFO is never waited on, and
// bytes beyond the size a file's header declares are no parts of it, however
// many there are.
TEST_F(PkgtoolTest, InspectAndVerifyReadOnlyWhatAPackageFileHolds) {
  ts::RunOptions options;
  options.timeoutSeconds = 20;
  const std::string fifo = path("/waiting.npk");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  for (const char* command : {"inspect", "verify"}) {
    SCOPED_TRACE(command);
    const ts::RunResult r = ts::runPkgtool({command, fifo}, options);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("cannot open"), std::string::npos) << r.out << r.err;
  }

  // A file header that declares itself alone, then 4 MiB of zeros, which
  // read as parts would be hundreds of thousands of them.
  std::string bytes(8, '\0');
  installer::encodeLe32(reinterpret_cast<unsigned char*>(bytes.data()), installer::kMagicPackage);
  installer::encodeLe32(reinterpret_cast<unsigned char*>(bytes.data()) + 4, 0);
  bytes.append(4 << 20, '\0');
  ts::writeFile(path("/zeros.npk"), bytes);
  const ts::RunResult text = ts::runPkgtool({"inspect", path("/zeros.npk")}, options);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, "file: " + path("/zeros.npk") +
                          "\nmagic: 0xbad0f11e (package)\nsize: 4194312 bytes (header declares "
                          "8)\ntrailing bytes: 4194304\n");
  const ts::RunResult json = ts::runPkgtool({"inspect", "--json", path("/zeros.npk")}, options);
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find("\"parts\":[],\"trailingBytes\":4194304}"), std::string::npos)
      << json.out;
}

TEST_F(PkgtoolTest, FailedBuildKeepsTheOldFile) {
  const std::string out = path("/routing.npk");
  ts::writeFile(out, "old contents");
  ts::writeFile(path("/bad.desc"), "name: x\nimage: missing.bin\nversion: 7.1\n");
  ts::RunResult r = tool({"build", path("/bad.desc"), "-o", out, "--dev-key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "pkgtool: cannot open " + path("/missing.bin") + ": No such file or directory\n");
  EXPECT_EQ(ts::readFile(out), "old contents");

  // The last step, the rename, fails onto a directory: the temporary goes.
  ts::makeDirs(path("/taken"));
  r = tool({"build", path("/routing.desc"), "-o", path("/taken"), "--dev-key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pkgtool: cannot rename the temporary file to " + path("/taken") +
                       ": Is a directory\n");
  EXPECT_EQ(directoryEntries(dir_.path()),
            (std::vector<std::string>{"bad.desc", "routing.desc", "routing.npk", "taken", "tree"}));

  r = tool({"keygen", "ed25519", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "pkgtool: " + out + " exists; --force replaces it\n");
  EXPECT_EQ(ts::readFile(out), "old contents");
}

// Which inflate the build chose is told by the package tool, whose payload
// reading is the installer's own.
TEST(PkgtoolVersionTest, NamesThePayloadInflate) {
  const ts::RunResult r = ts::runPkgtool({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("pkgtool (router installer)\npayload inflate: ") +
                       installer::Inflater::name(installer::Inflater::configured()) + "\n");
  EXPECT_EQ(r.err, "");
}

TEST(InstallerBinaryTest, HoldsNoDevelopmentSecret) {
  const auto binary = ts::readFile(INSTALLER_BINARY);
  ASSERT_TRUE(binary);
  for (const char* hex : {ts::kDevEd25519SeedHex, ts::kDevLegacySecretHex}) {
    std::string raw;
    for (std::size_t i = 0; i < 64; i += 2) {
      raw += static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16));
    }
    EXPECT_EQ(binary->find(raw), std::string::npos);
    EXPECT_EQ(binary->find(hex), std::string::npos);
  }
}

}  // namespace
