#include "console/spinner.h"

#include "platform/ticks.h"

namespace installer {
namespace {

constexpr char kSpinnerChars[4] = {'|', '/', '-', '\\'};
constexpr std::uint32_t kTicksPerStep = 20;

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

void advanceSpinner(Spinner& spinner) {
  const std::string drawn = spinnerStep(spinner.state, monotonicTicks());
  if (drawn.empty()) return;
  spinner.out << drawn << std::flush;
}

}  // namespace installer
