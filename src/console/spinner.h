// The spinner drawn while the commit copies a file across file systems: one
// character that turns at most once every 20 clock ticks.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace installer {

struct SpinnerState {
  std::uint32_t lastTick = 0;  // tick of the last step; 0 before the first
  unsigned index = 0;          // next character of "|/-\"
};

// Advances `state` for one copied block at clock `now` and returns what to
// draw: the first character alone on the first step, then a backspace and the
// next character once more than 20 ticks have passed, else nothing. After a
// pause the spinner catches up by one step (20 ticks) per call.
std::string spinnerStep(SpinnerState& state, std::uint32_t now);

// The spinner of one run: it keeps turning across every file the run copies.
struct Spinner {
  std::ostream& out;
  SpinnerState state;
};

// spinnerStep with monotonicTicks(); what it returns is drawn on the
// spinner's stream and flushed.
void advanceSpinner(Spinner& spinner);

}  // namespace installer
