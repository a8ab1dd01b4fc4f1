// A router root for the fault and crash sweeps of the upgrade run: an
// installed system, and in the first download directory the package files of
// its next version. Each package's new version changes some of its files,
// keeps some, drops some and brings new ones in new directories; an
// image-based "kernel" owns the boot image, so the commit also moves a
// package file onto "/flash/bootimage" and links the kernel's image to it.
#pragma once

#include <string>

#include "support/sandbox.h"

namespace testing_support {

struct UpgradeSystemShape {
  int packages = 6;
  int files = 30;  // per package, in the installed version
};

// Installs the first version into `root` (a router root, through the image
// mode) and downloads the second. False, with a failure recorded, when the
// set-up itself fails.
bool prepareUpgradeSystem(const std::string& root, const UpgradeSystemShape& shape = {});

// The upgrade run on that root; "bootimage" is set, as on a router whose
// kernel package owns the boot image.
RunResult upgradeRun(const std::string& root, RunOptions options = {});

}  // namespace testing_support
