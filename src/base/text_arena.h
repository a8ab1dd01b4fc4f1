// Many short texts kept for the life of one owner, without an allocation
// each: the bytes go one after another into blocks that never move, so a
// view handed out stays valid until clear(). Nothing is given back before
// that; it suits texts that are added once and dropped together, such as the
// paths of one run.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace installer {

class TextArena {
 public:
  TextArena() = default;
  TextArena(TextArena&&) = default;
  TextArena& operator=(TextArena&&) = default;
  TextArena(const TextArena&) = delete;
  TextArena& operator=(const TextArena&) = delete;

  // A copy of `text` that lives as long as the arena (or until clear()).
  std::string_view keep(std::string_view text);
  void clear();

 private:
  // Large enough that a block's own cost vanishes, small enough that the
  // unused end of the last one stays well under what a run keeps.
  static constexpr std::size_t kBlockSize = 16384;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlockSize;  // bytes taken in the last block
};

}  // namespace installer
