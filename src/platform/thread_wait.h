// One thread sleeping until another changes a 32-bit counter, at the cost
// of a single system call on each side: the standard library's wait first
// yields the processor a few times, each a system call of its own, which on
// a virtual machine costs more than the wait it saves.
#pragma once

#include <atomic>
#include <cstdint>

namespace installer {

// Sleeps while `word` holds `value`; may return early (a signal, a spurious
// wake-up), so the caller looks again.
void sleepWhileEqual(const std::atomic<std::uint32_t>& word, std::uint32_t value);
// Wakes a thread sleeping on `word`, if one is.
void wakeSleeper(std::atomic<std::uint32_t>& word);

}  // namespace installer
