#include "pkgtool/description.h"

#include <gtest/gtest.h>

#include "package/format.h"

namespace installer {
namespace {

TEST(VersionTextTest, ParsesWhatVersionTextPrints) {
  const Version versions[] = {
      makeVersion(7, 1, kStageFinal, 3),       makeVersion(7, 1, kStageFinal, 0),
      makeVersion(7, 1, kStageBeta, 3),        makeVersion(7, 1, kStageCandidate, 2),
      makeVersion(7, 1, kStageCandidate, 0),   makeVersion(7, 1, kStageAlpha, 1),
      makeVersion(255, 255, kStageFinal, 255), makeVersion(0, 0, kStageFinal, 0),
  };
  for (Version v : versions) {
    EXPECT_EQ(parseVersionText(versionText(v)), std::optional<Version>(v)) << versionText(v);
  }
  EXPECT_EQ(parseVersionText("7.1beta3"), std::optional<Version>(0x07016203));
  EXPECT_EQ(parseVersionText("0x07016204"), std::optional<Version>(0x07016204));
}

TEST(VersionTextTest, RefusesMalformedText) {
  for (const char* text :
       {"", "7", "7.", ".1", "7.1.", "7.1.3.4", "7.256", "256.1", "7.1gamma2", "7.1beta256",
        "7.1 beta3", "7.1beta3x", "-7.1", "0x123", "0x0701620g", "7.1.-3"}) {
    EXPECT_EQ(parseVersionText(text), std::nullopt) << text;
  }
}

TEST(DescriptionTest, FullDescription) {
  const std::string text =
      "# a comment\n"
      "\n"
      "name: routing\n"
      "version: 7.16.2\n"
      "build-time: 2024-05-01 12:00:00\n"
      "arch:   arm  \n"
      "note: dynamic routing: bgp and ospf\n"
      "extra-text: x\n"
      "aux-text: y\n"
      "depends: system min=7.16 max=7.17\n"
      "depends: wireless\n"
      "provides: bgp min=1.0 priority=-3\n"
      "conflicts: oldrouting max=6.49\n"
      "flags: boot-image no-metadata\n"
      "class: lib/modules/* 2\n"
      "class: * 0\n"
      "magic: side-by-side\n"
      "image: data/image.bin\n";
  PackageDescription d;
  std::string error;
  ASSERT_TRUE(parseDescription(text, "pkg/routing.desc", d, error)) << error;
  const Package& h = d.header;
  EXPECT_EQ(h.name, "routing");
  EXPECT_EQ(h.version, makeVersion(7, 16, kStageFinal, 2));
  EXPECT_TRUE(d.buildTimeGiven);
  EXPECT_EQ(h.buildTime, 1714564800u);
  EXPECT_EQ(h.arch, "arm");
  EXPECT_EQ(h.note, "dynamic routing: bgp and ospf");
  EXPECT_EQ(h.extraText, "x");
  EXPECT_EQ(h.auxText, "y");
  ASSERT_EQ(h.depends.size(), 2u);
  EXPECT_EQ(h.depends[0].name, "system");
  EXPECT_EQ(h.depends[0].minVersion, makeVersion(7, 16, kStageFinal, 0));
  EXPECT_EQ(h.depends[0].maxVersion, makeVersion(7, 17, kStageFinal, 0));
  EXPECT_EQ(h.depends[1].minVersion, 0u);
  ASSERT_EQ(h.provides.size(), 1u);
  EXPECT_EQ(h.provides[0].priority, -3);
  EXPECT_EQ(h.provides[0].minVersion, makeVersion(1, 0, kStageFinal, 0));
  ASSERT_EQ(h.conflicts.size(), 1u);
  EXPECT_EQ(h.conflicts[0].maxVersion, makeVersion(6, 49, kStageFinal, 0));
  EXPECT_EQ(h.flags, kFlagBootImage | kFlagNoMetadata);
  EXPECT_EQ(d.magic, kMagicSideBySide);
  EXPECT_EQ(d.imageFile, std::optional<std::string>("pkg/data/image.bin"));
  EXPECT_EQ(classFor(d.classes, "lib/modules/net/e1000.ko"), 2);
  EXPECT_EQ(classFor(d.classes, "bin/routed"), 0);
  EXPECT_EQ(classFor({}, "bin/routed"), 0);
}

TEST(DescriptionTest, DefaultsAndNumbers) {
  PackageDescription d;
  std::string error;
  ASSERT_TRUE(parseDescription("name: a\nversion: 0x07016203\nbuild-time: now\nflags: 0x3\n", "d",
                               d, error))
      << error;
  EXPECT_FALSE(d.buildTimeGiven);
  EXPECT_EQ(d.header.flags, 3u);
  EXPECT_EQ(d.magic, 0u);
  EXPECT_FALSE(d.imageFile);
  ASSERT_TRUE(
      parseDescription("name: sixteen-bytes-ok\nversion: 7.1\nbuild-time: 86400\n"
                       "image: /abs/img\noff-by-default: m\n",
                       "dir/d", d, error));
  EXPECT_EQ(d.header.buildTime, 86400u);
  EXPECT_EQ(d.imageFile, std::optional<std::string>("/abs/img"));
  EXPECT_EQ(d.offByDefault, std::vector<std::string>{"m"});
}

TEST(DescriptionTest, ErrorsNameFileAndLine) {
  struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"name: a\nversion 7.1\n", "d:2: expected \"field: value\""},
      {"name: a\nname: b\n", "d:2: \"name\" given twice"},
      {"name: seventeen-bytes-x\n", "d:1: the name must be 1 to 16 bytes"},
      {"name: a\nversion: 7.1x\n", "d:2: bad version \"7.1x\""},
      {"name: a\nbuild-time: yesterday\n", "d:2: bad build time \"yesterday\""},
      {"name: a\nbuild-time: 2024-13-01 00:00:00\n", "d:2: bad build time \"2024-13-01 00:00:00\""},
      {"name: a\nbuild-time: 4294967296\n", "d:2: bad build time \"4294967296\""},
      {"depends: system min=7.x\n", "d:1: bad version \"7.x\""},
      {"depends: system priority=3\n", "d:1: unknown dependency setting \"priority=3\""},
      {"provides: bgp priority=high\n", "d:1: bad priority \"high\""},
      {"conflicts:\n", "d:1: a dependency needs a name of 1 to 16 bytes"},
      {"flags: boot-image fast\n", "d:1: unknown flag \"fast\""},
      {"class: lib/* 5\n", "d:1: expected \"class: PATTERN CLASS\" with CLASS 0 to 4"},
      {"class: 2\n", "d:1: expected \"class: PATTERN CLASS\" with CLASS 0 to 4"},
      {"magic: other\n", "d:1: magic must be \"package\" or \"side-by-side\""},
      {"colour: blue\n", "d:1: unknown field \"colour\""},
      {"version: 7.1\n", "d: no name given"},
      {"name: a\n", "d: no version given"},
      // What the installer would refuse.
      {"name: .hidden\n",
       "d:1: the installer refuses the name \".hidden\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"name: a/b\n",
       "d:1: the installer refuses the name \"a/b\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"name: image\n",
       "d:1: the installer refuses the name \"image\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"name: a\x01\n",
       "d:1: the installer refuses the name \"a?\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"off-by-default: ..\n",
       "d:1: the installer refuses the member name \"..\": a package name must not start with "
       "\".\", hold \"/\", a blank or a control byte, or be \"image\""},
      {"depends: sys\x7f\n",
       "d:1: the installer refuses the dependency name \"sys?\": it must not hold a control "
       "byte"},
      {"depends: system min=7.2 max=7.1\n", "d:1: min=7.2 is above max=7.1: nothing satisfies it"},
      {"name: a\nversion: 7.1\ndepends: a\n", "d: a depends on itself"},
      {"name: a\nversion: 7.1\nconflicts: b\nconflicts: a max=7.0\n", "d: a conflicts with itself"},
  };
  for (const auto& c : cases) {
    PackageDescription d;
    std::string error;
    EXPECT_FALSE(parseDescription(c.text, "d", d, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

}  // namespace
}  // namespace installer
