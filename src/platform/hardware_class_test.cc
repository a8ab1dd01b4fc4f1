#include "platform/hardware_class.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

namespace installer {
namespace {

struct ClassCase {
  const char* what;
  std::uint32_t processorVersion;
  bool boardVariant;
  std::optional<int> expected;
};

// Every row of the class table, its edges, and the order in which the rows
// are tried; runs on any host, as only the register read is the machine's.
const ClassCase kClassCases[] = {
    {"first flash-dependent revision, variant bit set", 0x80211000, true, 2},
    {"first flash-dependent revision, variant bit clear", 0x80211000, false, 4},
    {"second flash-dependent revision, variant bit set", 0x80212100, true, 2},
    {"second flash-dependent revision, variant bit clear", 0x80212100, false, 4},
    {"a stepping of a flash-dependent revision", 0x802110FF, true, 2},
    {"a neighbour of a flash-dependent revision goes by its low byte", 0x80211100, false, 2},
    {"low byte 0x83 of the upper half", 0x00830000, false, 1},
    {"low byte 0x84 with other bits around it", 0x7F84ABCD, false, 1},
    {"low byte 0x85", 0x00850000, true, 1},
    {"low byte just below the first family", 0x00820000, false, std::nullopt},
    {"low byte just above the first family", 0x00860000, false, std::nullopt},
    {"low byte 0x20", 0x80200000, false, 2},
    {"low byte 0x21", 0x00210001, false, 2},
    {"low byte 0x22", 0x00220000, false, std::nullopt},
    {"upper half 0x1302", 0x13020000, false, 3},
    {"upper half 0x1302, any lower half", 0x1302FFFF, true, 3},
    {"upper half 0x1303", 0x13030000, false, std::nullopt},
    {"low byte 0x83 under another high byte", 0x13830000, false, 1},
    {"the variant bit alone decides nothing elsewhere", 0x00000000, true, std::nullopt},
    {"the register's low half alone decides nothing", 0x00000083, false, std::nullopt},
};

TEST(HardwareClassOf, TableOfProcessorVersions) {
  for (const ClassCase& c : kClassCases) {
    EXPECT_EQ(hardwareClassOf(c.processorVersion, c.boardVariant), c.expected) << c.what;
  }
}

TEST(HardwareClassOf, BoardVariantAskedOnlyForTheTwoRevisions) {
  for (const ClassCase& c : kClassCases) {
    // Where the bit is not needed, it must not change the answer.
    if (!classNeedsBoardVariant(c.processorVersion)) {
      EXPECT_EQ(hardwareClassOf(c.processorVersion, true),
                hardwareClassOf(c.processorVersion, false))
          << c.what;
    }
  }
  EXPECT_TRUE(classNeedsBoardVariant(0x80211000));
  EXPECT_TRUE(classNeedsBoardVariant(0x80212142));
  EXPECT_FALSE(classNeedsBoardVariant(0x80213000));
}

#if !defined(__powerpc__)
TEST(HardwareClass, NoneOffThePowerPcRouters) { EXPECT_FALSE(hardwareClass().has_value()); }
#endif

}  // namespace
}  // namespace installer
