#include "console/spinner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <utility>

namespace installer {
namespace {

TEST(Spinner, TurnsAtMostOncePerTwentyTicksAndCatchesUpAfterAPause) {
  SpinnerState state;
  // 1041 is 21 ticks after the step at 1020; the long pause to 1200 is
  // caught up one 20-tick step per block, until at most 20 ticks remain.
  const std::pair<std::uint32_t, const char*> steps[] = {
      {1000, "|"},    {1000, ""},    {1020, ""},    {1021, "\b/"},  {1030, ""},     {1041, "\b-"},
      {1200, "\b\\"}, {1200, "\b|"}, {1200, "\b/"}, {1200, "\b-"},  {1200, "\b\\"}, {1200, "\b|"},
      {1200, "\b/"},  {1200, ""},    {1221, "\b-"}, {1221, "\b\\"}, {1221, ""},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(spinnerStep(state, steps[i].first), steps[i].second) << "step " << i;
  }
}

TEST(Spinner, TickDifferencesSurviveWrapAround) {
  SpinnerState state;
  EXPECT_EQ(spinnerStep(state, 0xFFFFFFF0u), "|");
  EXPECT_EQ(spinnerStep(state, 0x00000004u), "");
  EXPECT_EQ(spinnerStep(state, 0x00000005u), "\b/");
}

}  // namespace
}  // namespace installer
