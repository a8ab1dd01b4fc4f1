#include "base/text_arena.h"

#include <cstring>

namespace installer {

std::string_view TextArena::keep(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > kBlockSize / 4) {
    // A long text gets a block of its own, kept before the block in use so
    // that the rest of that block still takes the short ones.
    auto own = std::make_unique_for_overwrite<char[]>(text.size());
    std::memcpy(own.get(), text.data(), text.size());
    const char* at = own.get();
    blocks_.insert(blocks_.empty() ? blocks_.end() : blocks_.end() - 1, std::move(own));
    return {at, text.size()};
  }
  if (kBlockSize - used_ < text.size()) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  std::memcpy(at, text.data(), text.size());
  used_ += text.size();
  return {at, text.size()};
}

void TextArena::clear() {
  blocks_.clear();
  used_ = kBlockSize;
}

}  // namespace installer
