#include "platform/thread_wait.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

// 32-bit targets built for 64-bit time alone name only the time64 entry.
#if !defined(SYS_futex) && defined(SYS_futex_time64)
#define SYS_futex SYS_futex_time64
#endif

namespace installer {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the kernel waits on the counter's own four bytes");

void sleepWhileEqual(const std::atomic<std::uint32_t>& word, std::uint32_t value) {
  // The kernel compares the word with `value` before it sleeps: a change
  // made in between is never slept through.
  syscall(SYS_futex, reinterpret_cast<const std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, value,
          nullptr, nullptr, 0);
}

void wakeSleeper(std::atomic<std::uint32_t>& word) {
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr,
          nullptr, 0);
}

}  // namespace installer
