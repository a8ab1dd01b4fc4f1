// The kernel's clock-tick counter, read with the raw times system call.
#pragma once

#include <cstdint>

namespace installer {

// The value the kernel returns for times(NULL), made through the generic
// syscall entry so that no library wrapper reinterprets it. When the entry
// reports failure, the negated errno is returned instead, which is the
// kernel's own value. Only differences between readings mean anything.
std::int64_t rawTimesSyscall();

// Clock ticks (100 a second on the target) from the times system call.
std::uint32_t monotonicTicks();

}  // namespace installer
