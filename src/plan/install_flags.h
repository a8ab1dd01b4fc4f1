// The one bit set used both as the caller's tolerances (InstallFlags) and as
// the acceptance check's findings (AcceptResult).
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace installer {

using InstallFlags = std::uint32_t;
using AcceptResult = std::uint32_t;

enum InstallFlag : std::uint32_t {
  kFlagUpgrade = 0x01,
  kFlagDowngrade = 0x02,
  kFlagUnmet = 0x08,
  kFlagConflict = 0x10,
  kFlagReinstall = 0x20,
};

// Users' explicit enable/disable choices carried over to new versions:
// package name -> disabled.
using KeptState = std::map<std::string, bool>;

}  // namespace installer
