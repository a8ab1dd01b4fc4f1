#include "platform/flash_device.h"

#include <gtest/gtest.h>

#include "support/sandbox.h"

namespace installer {
namespace {

TEST(MinimumSystemVersion, NoMinimumWithoutTheFlashDriver) {
  if (!testing_support::haveChrootRights()) GTEST_SKIP() << "needs chroot rights";
  testing_support::ChrootSandbox sandbox;
  ASSERT_TRUE(sandbox.entered());
  EXPECT_EQ(minimumSystemVersion(), 0u);
  EXPECT_FALSE(boardVariantBit());
  // Something that opens but does not answer the request leaves no minimum.
  testing_support::writeFile("/dev/flash", "not a device");
  EXPECT_EQ(minimumSystemVersion(), 0u);
  EXPECT_FALSE(boardVariantBit());
}

}  // namespace
}  // namespace installer
