// The exit statuses of the installer's modes. Boot and upgrade scripts act
// on them, so the numbers never change.
#pragma once

#include "upgrade/stream_install.h"

namespace installer {

enum class ExitStatus : int {
  kSuccess = 0,
  // Nothing installed from the image, the manifest not kept for "--commit",
  // or a step of the commit failed (each one reported on standard error).
  kFailed = 1,
  kBusy = 1,          // another installer holds the run lock
  kUnreadable = 1,    // a database file is there and could not be read
  kBundleFailed = 2,  // image mode: the bundle refused, or one of its members
  kNoMember = 3,      // image mode: a bundle without members
  kNoSpace = 28,      // upgrade run: the changes would not fit on the flash
  kNoCapture = 255,   // image mode: the capture file could not be created
};

// The image mode ends with the result of its stream install.
inline ExitStatus exitStatusOf(StreamInstall result) {
  switch (result) {
    case StreamInstall::kInstalled:
      return ExitStatus::kSuccess;
    case StreamInstall::kNotInstalled:
      return ExitStatus::kFailed;
    case StreamInstall::kBundleFailed:
      return ExitStatus::kBundleFailed;
    case StreamInstall::kNoMember:
      return ExitStatus::kNoMember;
    case StreamInstall::kNoSpace:
      return ExitStatus::kFailed;
  }
  return ExitStatus::kFailed;
}

}  // namespace installer
