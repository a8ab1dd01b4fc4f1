#include "records/version.h"

#include <gtest/gtest.h>

#include "records/package.h"

namespace installer {
namespace {

struct TextCase {
  unsigned major, minor, stage, number;
  const char* text;
};

TEST(VersionText, FormsByStage) {
  const TextCase cases[] = {
      {7, 1, 0x66, 3, "7.1.3"},
      {7, 1, 0x66, 0, "7.1"},
      {7, 1, 0x62, 3, "7.1beta3"},
      {7, 1, 0x63, 0, "7.1rc"},
      {7, 1, 0x61, 12, "7.1alpha12"},
      {7, 1, 0, 3, "7.13"},
      {255, 255, 0x66, 255, "255.255.255"},
      {0, 0, 0, 0, "0.0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(versionText(makeVersion(c.major, c.minor, c.stage, c.number)), c.text) << c.text;
  }
}

TEST(VersionText, OrderFollowsStages) {
  const Version ordered[] = {makeVersion(7, 1, 0x61, 5), makeVersion(7, 1, 0x62, 1),
                             makeVersion(7, 1, 0x62, 3), makeVersion(7, 1, 0x63, 2),
                             makeVersion(7, 1, 0x66, 0), makeVersion(7, 1, 0x66, 1),
                             makeVersion(7, 2, 0x61, 1)};
  for (std::size_t i = 1; i < std::size(ordered); ++i) EXPECT_LT(ordered[i - 1], ordered[i]) << i;
}

TEST(Labels, EachLabelKeepsItsOwnVersionText) {
  Package foo("foo");
  foo.version = makeVersion(7, 1, 0x66, 3);
  Package bar("bar");
  bar.version = makeVersion(6, 48, 0x66, 0);
  EXPECT_EQ(packageLabel(foo) + " " + packageLabel(bar), "foo-7.1.3 bar-6.48");

  Dependency unbounded{"bar", 0, 0, 0};
  Dependency bounded{"bar", makeVersion(7, 1, 0x66, 0), 0, 0};
  EXPECT_EQ(dependencyLabel(unbounded), "bar");
  EXPECT_EQ(dependencyLabel(bounded), "bar-7.1");

  InstalledPackage member("member");
  member.version = makeVersion(1, 0, 0x66, 0);
  EXPECT_EQ(displayLabel(member), "member-1.0");
  member.bundle = {"suite", makeVersion(7, 2, 0x66, 0), makeVersion(7, 2, 0x66, 0), 0};
  EXPECT_EQ(displayLabel(member), "suite-7.2");
}

}  // namespace
}  // namespace installer
