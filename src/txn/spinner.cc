#include "txn/spinner.h"

#include <cstdio>

#include "platform/ticks.h"
#include "txn/manifest.h"

namespace installer {
namespace {

constexpr char kSpinnerChars[4] = {'|', '/', '-', '\\'};
constexpr std::uint32_t kTicksPerStep = 20;

// The spinner keeps turning across every copy of the process.
SpinnerState processSpinner;

}  // namespace

std::string spinnerStep(SpinnerState& state, std::uint32_t now) {
  std::string drawn;
  if (state.lastTick == 0) {
    state.lastTick = now;
    drawn += kSpinnerChars[state.index];
    state.index = (state.index + 1) % 4;
  } else if (now - state.lastTick > kTicksPerStep) {
    state.lastTick += kTicksPerStep;
    drawn += '\b';
    drawn += kSpinnerChars[state.index];
    state.index = (state.index + 1) % 4;
  }
  return drawn;
}

void advanceSpinner() {
  const std::string drawn = spinnerStep(processSpinner, monotonicTicks());
  if (drawn.empty()) return;
  std::fwrite(drawn.data(), 1, drawn.size(), stdout);
  std::fflush(stdout);
}

}  // namespace installer
