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
  // The kernel starts its tick counter 300 seconds (30000 ticks at 100 a
  // second) before it wraps, so that code which mishandles the wrap fails
  // soon after boot; adding them back counts from boot. Only differences are
  // used, in unsigned arithmetic, so a wrap later on is harmless.
  return static_cast<std::uint32_t>(rawTimesSyscall() + 30000);
}

}  // namespace installer
