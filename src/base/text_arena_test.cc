#include "base/text_arena.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace installer {
namespace {

// Texts of every size around the block's limits, interleaved, so that long
// ones land between short ones and short ones cross into new blocks: each
// view must still show its own bytes when the arena has grown past it.
TEST(TextArena, EveryKeptTextStaysIntactAsTheArenaGrows) {
  const std::size_t sizes[] = {0, 1, 9, 35, 4095, 4096, 4097, 16383, 16384, 16385, 40000};
  TextArena arena;
  std::vector<std::pair<std::string, std::string_view>> kept;
  for (int round = 0; round < 40; ++round) {
    for (const std::size_t size : sizes) {
      std::string text(size, static_cast<char>('a' + (round + size) % 26));
      if (!text.empty()) text.back() = static_cast<char>(round);
      const std::string_view view = arena.keep(text);
      kept.emplace_back(std::move(text), view);
    }
  }
  for (const auto& [text, view] : kept) ASSERT_EQ(view, text) << text.size();

  arena.clear();
  EXPECT_EQ(arena.keep("/flash/bin/tool"), "/flash/bin/tool");
}

}  // namespace
}  // namespace installer
