#include "platform/ticks.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

std::int64_t rawTimesSyscall() {
  const long result = syscall(SYS_times, nullptr);
  // The entry turns kernel values in the error range into -1 and errno;
  // undo that so a counter that happens to sit there still counts.
  if (result == -1) return -static_cast<std::int64_t>(errno);
  return result;
}

std::uint32_t monotonicTicks() {
  // Only differences are used, in unsigned arithmetic, so wrapping is harmless.
  return static_cast<std::uint32_t>(rawTimesSyscall() + 30000);
}

}  // namespace installer
