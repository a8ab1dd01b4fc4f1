// Version numbers that test fixtures share.
#pragma once

#include "records/version.h"

namespace testing_support {

// "7.1" style final versions.
constexpr installer::Version ver(unsigned major, unsigned minor, unsigned number = 0) {
  return installer::makeVersion(major, minor, installer::kStageFinal, number);
}

// The release most fixtures install, and the one that upgrades it.
constexpr installer::Version kV71 = ver(7, 1);
constexpr installer::Version kV72 = ver(7, 2);

// The signature rules change between these: 7.1beta3 is the last release
// for which the older scheme alone is accepted, 7.1beta4 the first for which
// it is not, and 7.16 a release well after them.
constexpr installer::Version kV7_1beta3 = 0x07016203;
constexpr installer::Version kV7_1beta4 = 0x07016204;
constexpr installer::Version kV7_16 = ver(7, 16);

}  // namespace testing_support
