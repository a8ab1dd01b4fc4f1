// The image mode of the installer binary: a package or bundle piped into
// standard input, installed, kept as the package's image and committed.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>
#include <zlib.h>

#include <functional>
#include <sstream>

#include "package/format.h"
#include "package/held_copy.h"
#include "package/payload_writer.h"
#include "support/fault_run.h"
#include "support/install_fixtures.h"
#include "support/router_root.h"
#include "support/sandbox.h"
#include "support/signed_package.h"
#include "support/versions.h"

namespace {

namespace ts = testing_support;
using installer::Dependency;
using installer::kStageFinal;
using installer::makeVersion;
using installer::PayloadEntry;
using installer::Version;
using testing_support::kV71;
using testing_support::kV72;

ts::FixturePackage package(const std::string& name, Version version,
                           std::vector<PayloadEntry> files = {}) {
  ts::FixturePackage p(ts::fixtureHeader(name, version));
  p.files =
      files.empty() ? std::vector<PayloadEntry>{ts::payloadEntry("bin/" + name, name)} : files;
  return p;
}

installer::Package bundleHeader(Version version) {
  installer::Package bundle = ts::fixtureHeader("suite", version);
  bundle.isBundle = true;
  return bundle;
}

// The console bytes of a run of status lines, each drawn over the last, the
// last one wiped.
std::string statusLines(const std::vector<std::string>& texts) {
  std::string out;
  std::string shown;
  auto draw = [&](const std::string& text) {
    if (text == shown) return;
    out += "\x1b[?25l\r" + text;
    if (text.size() < shown.size()) out += std::string(shown.size() - text.size(), ' ');
    out += "\r\x1b[?25h";
    shown = text;
  };
  for (const std::string& text : texts) draw(text);
  draw("");
  return out;
}

std::string progressBar(const std::string& label, std::uint64_t consumed, std::uint64_t total) {
  std::string line = "installing " + label + " [";
  const std::size_t width = 76 - line.size();
  const auto filled = static_cast<std::size_t>(consumed * width / total);
  return line + std::string(filled, '#') + std::string(width - filled, ' ') + "]";
}

std::uint32_t partStart(const std::string& file, std::uint16_t type) {
  for (const ts::PartSpan& span : ts::partSpans(file)) {
    if (span.type == type) return span.start;
  }
  return 0;
}

std::uint32_t partEnd(const std::string& file, std::uint16_t type) {
  for (const ts::PartSpan& span : ts::partSpans(file)) {
    if (span.type == type) return span.start + span.length;
  }
  return 0;
}

class ImageModeTest : public ts::ChrootRightsTest {
 protected:
  void SetUp() override {
    ChrootRightsTest::SetUp();
    if (stopped()) return;
    ts::makeRouterDirs(root_.path());
  }

  ts::RunResult run(const std::string& input, std::vector<std::string> args = {},
                    ts::RunOptions options = {}) {
    return runIn(root_, input, std::move(args), std::move(options));
  }

  static ts::RunResult runIn(const ts::TempRoot& root, const std::string& input,
                             std::vector<std::string> args = {}, ts::RunOptions options = {}) {
    args.insert(args.end(), {"-r", root.path(), "-"});
    options.input = input;
    return ts::runInstaller(args, options);
  }

  // Everything under "/flash" but the message log, which every run writes.
  std::string flash() const { return withoutLog(ts::treeListing(root_ / "/flash")); }

  static std::string withoutLog(const std::string& listing) {
    std::istringstream in(listing);
    std::string kept;
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("/postlog ", 0) != 0) kept += line + "\n";
    }
    return kept;
  }

  std::string file(const std::string& inside) const {
    return ts::readFile(root_ / inside).value_or("<missing>");
  }
  bool exists(const std::string& inside) const { return ts::exists(root_ / inside); }

  ts::TempRoot root_;
};

TEST_F(ImageModeTest, InstallsFromStandardInputWithItsProgressBar) {
  ts::FixturePackage p = package("tool", kV71, {ts::payloadEntry("bin/tool", "#!/bin/sh\n")});
  p.image = std::string(3 * 4096 + 100, 'i');
  const std::string bytes = ts::packageFile(p);
  const std::uint32_t image = partStart(bytes, installer::kPartImage);
  const std::uint32_t payloadEnd = partEnd(bytes, installer::kPartPayload);
  ASSERT_GT(payloadEnd - partStart(bytes, installer::kPartPayload), 0u);
  ASSERT_LT(payloadEnd - partStart(bytes, installer::kPartPayload), 4096u);

  const ts::RunResult result = run(bytes);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  // The bar moves before each 4096-byte step over the image part and after
  // the one file of the payload.
  std::vector<std::string> bars;
  for (std::uint32_t at : {image, image + 4096, image + 8192, image + 12288, payloadEnd}) {
    bars.push_back(progressBar("tool-7.1", at, bytes.size()));
  }
  EXPECT_EQ(result.out, statusLines(bars));

  EXPECT_EQ(file("/flash/bin/tool"), "#!/bin/sh\n");
  EXPECT_EQ(file("/flash/var/pdb/tool/image"), bytes);
  EXPECT_FALSE(exists("/flash/var/pdb/image"));
  EXPECT_FALSE(exists("/flash/var/pdb/tool/version")) << "an image-based package has no metadata";
}

TEST_F(ImageModeTest, APlainPackageKeepsNoCapture) {
  ASSERT_EQ(run(ts::packageFile(package("tool", kV71))).status, 0);
  EXPECT_EQ(file("/flash/bin/tool"), "tool");
  EXPECT_FALSE(exists("/flash/var/pdb/image"));
  EXPECT_FALSE(exists("/flash/var/pdb/tool/image"));
  EXPECT_EQ(file("/flash/var/pdb/tool/files"), "flash/bin/tool\n");
}

// Whether any call of a run that changes the file system names the capture.
bool touchesCapture(const std::vector<ts::FaultCall>& calls) {
  for (const ts::FaultCall& call : calls) {
    if (call.detail.find("/flash/var/pdb/image") != std::string::npos ||
        call.detail.find("/flash/var/pdb//image") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// The capture is written only for a stream that can keep it, whole; a plain
// package or bundle never creates, writes or removes it, so it writes each
// byte once.
TEST_F(ImageModeTest, OnlyAStreamThatKeepsItsImageWritesTheCapture) {
  ts::FixturePackage imaged = package("tool", kV71);
  imaged.image = std::string(70000, 'i');
  struct Case {
    const char* name;
    std::string stream;
    const char* keptImage;  // where the stream is kept, or null
  };
  const Case cases[] = {
      {"plain package", ts::packageFile(package("tool", kV71)), nullptr},
      {"plain bundle", ts::bundleFile(bundleHeader(kV71), {package("a", kV71)}, {}, std::nullopt),
       nullptr},
      {"image-based package", ts::packageFile(imaged), "/flash/var/pdb/tool/image"},
      {"bundle with an image",
       ts::bundleFile(bundleHeader(kV71), {package("a", kV71)}, {}, std::string(70000, 'b')),
       "/flash/var/pdb/suite/image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    ts::TempRoot logs;
    ts::FaultPlan plan;
    plan.log = logs / "/calls";
    const ts::RunResult result = runIn(root, c.stream, {}, ts::withFault({}, plan));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(touchesCapture(ts::readFaultLog(plan.log)), c.keptImage != nullptr);
    if (c.keptImage != nullptr) {
      EXPECT_EQ(ts::readFile(root / c.keptImage), c.stream);
    }
    EXPECT_FALSE(ts::exists(root / "/flash/var/pdb/image"));
  }
}

// What comes before the header says whether the stream is kept is held in
// memory up to a limit, and goes to the capture beyond it: a package with a
// longer header installs as the upgrade run installs it. A plain one leaves
// no capture, an image-based one keeps all of the stream as its image.
TEST_F(ImageModeTest, AHeaderBeyondWhatIsHeldInstalls) {
  const auto wordy = [](const std::string& name, std::size_t noteLength, int depends,
                        bool imageBased) {
    ts::FixturePackage p = package(name, kV71);
    p.header.note = std::string(noteLength, 'n');
    for (int i = 0; i < depends; ++i) p.header.depends.push_back(Dependency{"base", 0, 0, 0});
    if (imageBased) p.image = "image";
    return ts::packageFile(p);
  };
  ASSERT_EQ(run(ts::packageFile(package("base", kV71))).status, 0);
  const std::size_t shortHeld = partStart(wordy("tool", 1, 0, false), installer::kPartPayload);
  struct Case {
    const char* name;
    std::string stream;
    bool imageBased;
  };
  const Case cases[] = {
      {"at the limit", wordy("limit", 1 + installer::kHeldCopyLimit - shortHeld, 0, false), false},
      {"one byte beyond", wordy("beyond", 2 + installer::kHeldCopyLimit - shortHeld, 0, false),
       false},
      {"a 70 KiB note", wordy("note", 70 * 1024, 0, false), false},
      {"2,100 requirements", wordy("needs", 0, 2100, false), false},
      {"a 16 MiB note", wordy("huge", 16 << 20, 0, false), false},
      {"an image-based package with a 70 KiB note", wordy("kernel", 70 * 1024, 0, true), true},
  };
  ASSERT_EQ(partStart(cases[0].stream, installer::kPartPayload), installer::kHeldCopyLimit);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ts::RunResult result = run(c.stream);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(exists("/flash/var/pdb/image"));
    if (c.imageBased) {
      EXPECT_EQ(file("/flash/var/pdb/kernel/image"), c.stream);
    }
  }
  for (const char* name : {"limit", "beyond", "note", "needs", "huge", "kernel"}) {
    EXPECT_EQ(file(std::string("/flash/bin/") + name), name);
  }
}

TEST_F(ImageModeTest, TheBootImageVariableMakesTheImageTheBootImage) {
  ts::FixturePackage p = package("kernel", kV71);
  p.header.flags = installer::kFlagBootImage;
  p.image = "boot loader data";
  const std::string bytes = ts::packageFile(p);
  for (const bool variable : {true, false}) {
    SCOPED_TRACE(variable ? "with bootimage" : "without bootimage");
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    ts::RunOptions options;
    if (variable) options.env["bootimage"] = "1";
    ASSERT_EQ(runIn(root, bytes, {}, options).status, 0);

    EXPECT_TRUE(ts::exists(root / "/flash/UPGRADED"));
    if (variable) {
      EXPECT_EQ(ts::readFile(root / "/flash/bootimage"), bytes);
      char target[256] = {};
      ASSERT_GT(readlink((root / "/flash/var/pdb/kernel/image").c_str(), target, sizeof target - 1),
                0);
      EXPECT_STREQ(target, "/flash/bootimage");
      EXPECT_FALSE(ts::exists(root / "/flash/bin/kernel")) << "the payload stays unread";
    } else {
      EXPECT_FALSE(ts::exists(root / "/flash/bootimage"));
      EXPECT_EQ(ts::readFile(root / "/flash/var/pdb/kernel/image"), bytes);
      EXPECT_TRUE(ts::exists(root / "/flash/bin/kernel"));
    }
  }
}

TEST_F(ImageModeTest, ABootImageStaysWhenItsPackageSettlesAway) {
  // The new kernel needs what only the old one provided: it is installed,
  // replaces the old one, and its own settling takes it out again. Its
  // capture is then the boot image; the old one is gone with the old record.
  ts::TempRoot root;
  ts::makeRouterDirs(root.path());
  ts::RunOptions boot;
  boot.env["bootimage"] = "1";
  ASSERT_EQ(runIn(root, ts::packageFile(package("keeper", kV71))).status, 0);
  ts::FixturePackage old = package("kernel", kV71);
  old.header.flags = installer::kFlagBootImage;
  old.header.provides.push_back(Dependency{"bootapi", 0, 0, 0});
  old.image = "old boot";
  const std::string oldBytes = ts::packageFile(old);
  ASSERT_EQ(runIn(root, oldBytes, {}, boot).status, 0);
  ASSERT_EQ(ts::readFile(root / "/flash/bootimage"), oldBytes);

  ts::FixturePackage needy = package("kernel", kV72);
  needy.header.flags = installer::kFlagBootImage;
  needy.header.depends.push_back(Dependency{"bootapi", 0, 0, 0});
  needy.image = "new boot";
  const std::string bytes = ts::packageFile(needy);
  const ts::RunResult r = runIn(root, bytes, {}, boot);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(ts::readFile(root / "/flash/bootimage"), bytes);
  EXPECT_FALSE(ts::exists(root / "/flash/var/pdb/kernel"));
  EXPECT_FALSE(ts::exists(root / "/flash/var/pdb/image"));
}

TEST_F(ImageModeTest, TheSamePackageSentTwiceKeepsItsKeptImage) {
  ts::FixturePackage p = package("tool", kV71);
  p.image = std::string(5000, 'i');
  const std::string bytes = ts::packageFile(p);
  ts::FixturePackage owner = package("kernel", kV71);
  owner.header.flags = installer::kFlagBootImage;
  owner.image = std::string(5000, 'k');
  const std::string ownerBytes = ts::packageFile(owner);
  ts::RunOptions boot;
  boot.env["bootimage"] = "1";

  for (const std::string& flag : {std::string(), std::string("--reinstall")}) {
    SCOPED_TRACE(flag.empty() ? "plain" : flag);
    std::vector<std::string> args;
    if (!flag.empty()) args.push_back(flag);
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    ASSERT_EQ(runIn(root, bytes).status, 0);
    ASSERT_EQ(runIn(root, ownerBytes, {}, boot).status, 0);
    const std::string before = withoutLog(ts::treeListing(root / "/flash"));

    const ts::RunResult again = runIn(root, bytes, args);
    EXPECT_EQ(again.status, 0);
    const ts::RunResult ownerAgain = runIn(root, ownerBytes, args, boot);
    EXPECT_EQ(ownerAgain.status, 0);

    EXPECT_EQ(withoutLog(ts::treeListing(root / "/flash")), before);
    EXPECT_EQ(ts::readFile(root / "/flash/var/pdb/tool/image"), bytes);
    EXPECT_EQ(ts::readFile(root / "/flash/bootimage"), ownerBytes);
    EXPECT_FALSE(ts::exists(root / "/flash/var/pdb/image"));
    if (flag.empty()) {
      EXPECT_NE(again.out.find("WARNING: omitting package tool-7.1: it is already installed"),
                std::string::npos);
    } else {
      EXPECT_NE(again.out.find("installed tool-7.1\n"), std::string::npos);
    }
  }
}

TEST_F(ImageModeTest, ASecondVersionRemovesTheFilesItNoLongerHas) {
  ASSERT_EQ(run(ts::packageFile(package("tool", kV71,
                                        {ts::payloadEntry("a", "1"), ts::payloadEntry("b", "1")})))
                .status,
            0);
  ASSERT_EQ(run(ts::packageFile(package("tool", kV72,
                                        {ts::payloadEntry("a", "2"), ts::payloadEntry("c", "2")})))
                .status,
            0);
  EXPECT_EQ(file("/flash/a"), "2");
  EXPECT_EQ(file("/flash/c"), "2");
  EXPECT_FALSE(exists("/flash/b"));
  EXPECT_EQ(file("/flash/var/pdb/tool/version"), std::to_string(kV72) + " 1000\n");
}

TEST_F(ImageModeTest, AFailedInstallChangesNothingUnderFlash) {
  ASSERT_EQ(run(ts::packageFile(package("tool", kV71,
                                        {ts::payloadEntry("a", "1"), ts::payloadEntry("b", "1")})))
                .status,
            0);
  const std::string before = flash();
  const std::string ramBefore = ts::treeListing(root_ / "/ram");

  ts::FixturePackage forged =
      package("tool", kV72, {ts::payloadEntry("a", "2"), ts::payloadEntry("c", "2")});
  forged.goodSignature = false;
  forged.image = "image";
  const ts::RunResult result = run(ts::packageFile(forged));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("ERROR: installation of tool-7.2 failed: broken package\n"),
            std::string::npos);
  EXPECT_EQ(flash(), before);
  EXPECT_EQ(ts::treeListing(root_ / "/ram"), ramBefore) << "staged temporary files are deleted";
  EXPECT_NE(file("/flash/postlog").find("ERROR: installation of tool-7.2 failed: broken package\n"),
            std::string::npos);
}

// A zlib stream of `first`, flushed to a byte boundary, then of `rest`:
// `*cutAt` is where a cut leaves exactly the entries of `first`.
std::string streamFlushedAfter(const std::string& first, const std::string& rest,
                               std::size_t* cutAt) {
  z_stream zs{};
  deflateInit(&zs, 6);
  std::string out(first.size() + rest.size() + 1024, '\0');
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(first.data()));
  zs.avail_in = static_cast<uInt>(first.size());
  deflate(&zs, Z_FULL_FLUSH);
  *cutAt = zs.total_out;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(rest.data()));
  zs.avail_in = static_cast<uInt>(rest.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// A signed payload whose zlib stream does not end as a zlib stream ends
// (cut anywhere, between two entries too, found corrupt, or asking for a
// preset dictionary) is a broken package, however much of it arrived first:
// how far a library decodes before it stops differs, the outcome does not.
// An empty part is an empty payload, and bytes after the stream's end are
// never entries. The same in the image mode and in the upgrade run.
TEST_F(ImageModeTest, APayloadCountsOnlyWhenItsStreamEndsCleanly) {
  const std::string first = installer::encodeFileEntries({{0100755, 0, "a", "2"}});
  const std::string second = installer::encodeFileEntries({{0100755, 0, "b", "2"}});
  const std::string whole = installer::deflateBytes(first + second);
  std::string badChecksum = whole;
  badChecksum.back() = static_cast<char>(badChecksum.back() ^ 1);
  std::string dictionary = whole;
  dictionary[1] = static_cast<char>(0x20 + 31 - (0x78 * 256 + 0x20) % 31);  // FDICT, check right
  std::size_t betweenEntries = 0;
  const std::string flushed = streamFlushedAfter(first, second, &betweenEntries);
  const std::string another =
      installer::deflateBytes(installer::encodeFileEntries({{0100755, 0, "c", "3"}}));

  struct Case {
    const char* name;
    std::string payload;
    const char* installed;  // the files of the new version, or null: broken
  };
  const Case cases[] = {
      {"wrong checksum", badChecksum, nullptr},
      {"preset dictionary", dictionary, nullptr},
      {"cut before the checksum", whole.substr(0, whole.size() - 4), nullptr},
      {"cut between two entries", flushed.substr(0, betweenEntries), nullptr},
      {"cut inside an entry", whole.substr(0, whole.size() / 2), nullptr},
      {"flushed and whole", flushed, "a b"},
      {"empty part", "", ""},
      {"another stream after the end", whole + another, "a b"},
  };
  for (const bool image : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(image ? "image mode, " : "upgrade run, ") + c.name);
      ts::RouterRoot router;
      router.install(
          {{"tool.npk", ts::packageFile(package("tool", kV71, {ts::payloadEntry("a", "1")}))}});
      const std::string before = router.tree();
      ts::FixturePackage next = package("tool", kV72);
      next.rawPayload = c.payload;
      ts::RunResult result;
      if (image) {
        ts::RunOptions options;
        options.input = ts::packageFile(next);
        result = router.run({"-"}, options);
      } else {
        router.download("tool.npk", ts::packageFile(next));
        result = router.run();
      }
      const bool broken =
          result.out.find("ERROR: installation of tool-7.2 failed: broken package\n") !=
          std::string::npos;
      if (c.installed == nullptr) {
        EXPECT_TRUE(broken) << result.out;
        // The upgrade run cancels everything and ends as a run that had
        // nothing to install; the image mode reports the failed install.
        EXPECT_EQ(result.status, image ? 1 : 0);
        EXPECT_EQ(router.tree(), before);
        continue;
      }
      EXPECT_FALSE(broken) << result.out;
      EXPECT_EQ(result.status, 0) << result.out;
      const std::string files = c.installed;
      EXPECT_EQ(router.file("/flash/a"), files.find('a') != std::string::npos ? "2" : "<missing>");
      EXPECT_EQ(router.file("/flash/b"), files.find('b') != std::string::npos ? "2" : "<missing>");
      EXPECT_FALSE(router.exists("/flash/c"));
      EXPECT_EQ(router.file("/flash/var/pdb/tool/version").rfind(std::to_string(kV72) + " ", 0),
                0u);
    }
  }
}

TEST_F(ImageModeTest, AConflictingPackageInstallsDisabledUnderX) {
  ts::FixturePackage alpha = package("alpha", kV71);
  alpha.header.conflicts.push_back(Dependency{"beta", 0, 0, 0});
  ASSERT_EQ(run(ts::packageFile(alpha)).status, 0);
  ASSERT_EQ(run(ts::packageFile(package("beta", kV71))).status, 0);
  EXPECT_EQ(file("/flash/x/beta/bin/beta"), "beta");
  EXPECT_FALSE(exists("/flash/bin/beta"));
  EXPECT_EQ(file("/flash/var/pdb/beta/disabled"), "auto\n");
  EXPECT_EQ(file("/flash/var/pdb/beta/files"), "flash/x/beta/bin/beta\n");
  EXPECT_FALSE(exists("/flash/var/pdb/alpha/disabled"));
}

TEST_F(ImageModeTest, AnOldSystemPackageAsksForConversionEvenWhenRefused) {
  ts::FixturePackage system = package("system", makeVersion(6, 49, kStageFinal, 0));
  system.header.arch = "mips";
  const ts::RunResult result = run(ts::packageFile(system));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("ERROR: can not install system-6.49: it is not made for i386, but for "
                            "mips\n"),
            std::string::npos);
  EXPECT_TRUE(exists("/rw/CONVERT"));
  EXPECT_FALSE(exists("/flash/var/pdb/system"));
}

TEST_F(ImageModeTest, TheSideBySideMagicKeepsTheInstalledPackage) {
  ASSERT_EQ(run(ts::packageFile(package("tool", kV71, {ts::payloadEntry("a", "1")}))).status, 0);
  const std::string side = ts::packageFile(package("tool", kV72, {ts::payloadEntry("b", "2")}),
                                           installer::kMagicSideBySide);
  ASSERT_EQ(run(side).status, 0);
  EXPECT_EQ(file("/flash/a"), "1");
  EXPECT_EQ(file("/flash/b"), "2");
  EXPECT_EQ(file("/flash/var/pdb/tool/version"), std::to_string(kV71) + " 1000\n");
  EXPECT_EQ(file("/flash/var/pdb/tool/files"), "flash/a\n");
}

TEST_F(ImageModeTest, ABundleWithMembersOffByDefault) {
  const std::string bytes = ts::bundleFile(
      bundleHeader(kV71), {package("a", kV71), package("b", kV71)}, {"b"}, std::string(100, 'i'));
  const ts::RunResult result = run(bytes);
  ASSERT_EQ(result.status, 0) << result.out;
  EXPECT_EQ(file("/flash/bin/a"), "a");
  EXPECT_EQ(file("/flash/x/b/bin/b"), "b");
  EXPECT_EQ(file("/flash/var/pdb/b/disabled"), "auto\n");
  EXPECT_EQ(file("/flash/var/pdb/a/bundle"), "suite\n");
  EXPECT_EQ(file("/flash/var/pdb/suite/image"), bytes);
  EXPECT_FALSE(exists("/flash/var/pdb/image"));
}

TEST_F(ImageModeTest, ABundleUpgradeUninstallsTheMembersItDropped) {
  const std::string first =
      ts::bundleFile(bundleHeader(kV71),
                     {package("a", kV71), package("b", kV71, {ts::payloadEntry("lib/b", "b")})});
  ASSERT_EQ(run(first).status, 0);
  ASSERT_TRUE(exists("/flash/lib/b"));
  const std::string second = ts::bundleFile(bundleHeader(kV72), {package("a", kV72)});
  ASSERT_EQ(run(second).status, 0);
  EXPECT_FALSE(exists("/flash/lib/b"));
  EXPECT_FALSE(exists("/flash/var/pdb/b"));
  EXPECT_EQ(file("/flash/bin/a"), "a");
  EXPECT_EQ(file("/flash/var/pdb/suite/image"), second);
}

TEST_F(ImageModeTest, AMemberPassedOverAsInstalledIsStillChecked) {
  // A forged bundle: its first member copies the installed member's header
  // (passed over as installed) with junk for payload and signature, and it
  // would drop "b" and claim a newer version. The member's signature is
  // checked all the same, and its refusal refuses the bundle.
  ASSERT_EQ(
      run(ts::bundleFile(bundleHeader(kV71), {package("a", kV71), package("b", kV71)})).status, 0);
  const std::string before = flash();
  ts::FixturePackage forged = package("a", kV71);
  forged.rawPayload = "junk";
  forged.goodSignature = false;
  const ts::RunResult result = run(ts::bundleFile(bundleHeader(kV72), {forged}));
  EXPECT_EQ(result.status, 2);
  EXPECT_NE(result.out.find("ERROR: installation of suite-7.2 failed: broken package\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(flash(), before);

  // The genuine member, passed over the same way, leaves the bundle good.
  const std::string genuine =
      ts::bundleFile(bundleHeader(kV72), {package("a", kV71), package("b", kV71)});
  const ts::RunResult accepted = run(genuine);
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_EQ(file("/flash/var/pdb/suite/image"), genuine);
}

// A single package that copies the installed one's header is passed over
// only when it is signed: a forged copy, with "--reinstall" too, is broken
// and neither its lists nor its capture are kept.
TEST_F(ImageModeTest, APackagePassedOverAsInstalledIsStillChecked) {
  ts::FixturePackage kernel = package("kernel", kV71);
  kernel.image = "genuine image";
  const std::string genuine = ts::packageFile(kernel);
  ASSERT_EQ(run(genuine).status, 0);
  const std::string before = flash();
  ts::FixturePackage forged = kernel;
  forged.header.depends.push_back(Dependency{"absent", 0, 0, 0});
  forged.goodSignature = false;
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"--reinstall"}}) {
    SCOPED_TRACE(args.size());
    const ts::RunResult result = run(ts::packageFile(forged), args);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("ERROR: installation of kernel-7.1 failed: broken package\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("installed kernel-7.1"), std::string::npos) << result.out;
    EXPECT_EQ(flash(), before);
  }
  // The genuine file is passed over as before.
  EXPECT_EQ(run(genuine).status, 0);
  EXPECT_EQ(flash(), before);
}

TEST_F(ImageModeTest, ANameWithAControlByteForgesNoLine) {
  const std::string name = "a\nERROR: fake";
  const ts::RunResult result = run(ts::packageFile(package(name, kV71)));
  EXPECT_NE(result.status, 0);
  EXPECT_EQ(result.out.find("\nERROR: fake"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("ERROR: installation of a?ERROR: fake-7.1 failed: broken package\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(file("/flash/postlog").find("\nERROR: fake"), std::string::npos);
}

TEST_F(ImageModeTest, ABundleCutBetweenMembersInstallsNothing) {
  const std::string whole =
      ts::bundleFile(bundleHeader(kV71), {package("a", kV71), package("b", kV71)});
  const std::string firstOnly = ts::bundleFile(bundleHeader(kV71), {package("a", kV71)});
  const std::string before = flash();
  const ts::RunResult result = run(whole.substr(0, firstOnly.size()));
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(flash(), before);
}

TEST_F(ImageModeTest, ACaptureThatDoesNotFitFailsTheInstall) {
  if (!ts::canMountTmpfs()) GTEST_SKIP() << "needs a tmpfs";
  ASSERT_EQ(mount("tmpfs", (root_ / "/flash").c_str(), "tmpfs", 0, "size=64k"), 0);
  ts::makeDirs(root_ / "/flash/var/pdb");
  const std::string before = flash();

  ts::FixturePackage p = package("tool", kV71);
  p.image = std::string(256 * 1024, 'i');
  const ts::RunResult result = run(ts::packageFile(p));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("ERROR: installation of tool-7.1 failed: disk is too small\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(flash(), before);
  umount2((root_ / "/flash").c_str(), MNT_DETACH);
}

// A capture that cannot be opened stops only a stream that needs one: an
// image-based package ends at once (status 255, nothing changed), a plain
// one installs.
TEST_F(ImageModeTest, ACaptureThatCannotBeOpenedStopsOnlyAnImageBasedPackage) {
  const std::function<void(const ts::TempRoot&)> noDatabase = [](const ts::TempRoot& root) {
    ts::removeTree(root / "/flash/var");
  };
  const std::function<void(const ts::TempRoot&)> linkThere = [](const ts::TempRoot& root) {
    ASSERT_EQ(symlink("/flash/elsewhere", (root / "/flash/var/pdb/image").c_str()), 0);
  };
  const struct {
    const char* name;
    const std::function<void(const ts::TempRoot&)>& prepare;
  } places[] = {{"no database directory", noDatabase}, {"a link in its place", linkThere}};
  ts::FixturePackage imaged = package("tool", kV71);
  imaged.image = "image data";
  for (const auto& place : places) {
    SCOPED_TRACE(place.name);
    ts::TempRoot root;
    ts::makeRouterDirs(root.path());
    place.prepare(root);
    const std::string before = ts::treeListing(root / "/flash");

    const ts::RunResult image = runIn(root, ts::packageFile(imaged));
    EXPECT_EQ(image.status, 255);
    EXPECT_TRUE(image.out.ends_with("ERROR: could not open image\n")) << image.out;
    EXPECT_EQ(ts::treeListing(root / "/flash"), before);

    const ts::RunResult plain = runIn(root, ts::packageFile(package("tool", kV71)));
    EXPECT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(ts::readFile(root / "/flash/bin/tool"), "tool");
    EXPECT_EQ(ts::readFile(root / "/flash/var/pdb/tool/files"), "flash/bin/tool\n");
  }
}

TEST_F(ImageModeTest, PackagesBuiltByThePackageToolInstallAndList) {
  ts::TempRoot work;
  ts::writeFile(work / "/hello.desc", "name: hello\nversion: 7.1\nbuild-time: 1000\n");
  ts::makeDirs(work / "/tree/bin");
  ts::writeFile(work / "/tree/bin/hello", "#!/bin/sh\necho hello\n", 0755);
  ts::writeFile(work / "/extra.desc", "name: extra\nversion: 7.1\nbuild-time: 1000\n");
  ts::writeFile(work / "/suite.desc",
                "name: suite\nversion: 7.1\nbuild-time: 1000\noff-by-default: extra\n");
  const std::vector<std::vector<std::string>> steps = {
      {"build", work / "/hello.desc", work / "/tree", "-o", work / "/hello.npk", "--dev-key"},
      {"build", work / "/extra.desc", work / "/tree", "-o", work / "/extra.npk", "--dev-key"},
      {"bundle", work / "/suite.desc", work / "/extra.npk", "-o", work / "/suite.npk"},
  };
  for (const auto& step : steps) {
    const ts::RunResult built = ts::runPkgtool(step);
    ASSERT_EQ(built.status, 0) << step[0] << ": " << built.err;
  }

  const std::string hello = ts::readFile(work / "/hello.npk").value_or("");
  const ts::RunResult first = run(hello);
  EXPECT_EQ(first.status, 0) << first.out;
  EXPECT_EQ(first.out,
            statusLines(
                {progressBar("hello-7.1", partStart(hello, installer::kPartPayload), hello.size()),
                 progressBar("hello-7.1", partEnd(hello, installer::kPartPayload), hello.size())}));
  const std::string suite = ts::readFile(work / "/suite.npk").value_or("");
  EXPECT_EQ(run(suite).status, 0);

  EXPECT_EQ(file("/flash/bin/hello"), "#!/bin/sh\necho hello\n");
  EXPECT_EQ(file("/flash/x/extra/bin/hello"), "#!/bin/sh\necho hello\n");
  EXPECT_EQ(file("/flash/var/pdb/suite/image"), suite);
  const ts::RunResult listing = ts::runInstaller({"-r", root_.path(), "--show"});
  EXPECT_NE(listing.out.find("           hello    "), std::string::npos) << listing.out;
  EXPECT_NE(listing.out.find("           extra XB "), std::string::npos) << listing.out;
}

}  // namespace
