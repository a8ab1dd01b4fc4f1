#include "package/held_copy.h"

#include <utility>

namespace installer {

HeldCopy::HeldCopy(Opener open, std::size_t limit) : open_(std::move(open)), limit_(limit) {}

bool HeldCopy::keep() {
  if (state_ != State::kHolding) return state_ == State::kCopying;
  target_ = open_ ? open_() : nullptr;
  if (target_ == nullptr) {
    state_ = State::kNoTarget;
  } else {
    state_ = State::kCopying;
    // A failed write is the target's to remember (a sticky error).
    target_->sputn(held_.data(), static_cast<std::streamsize>(held_.size()));
  }
  std::string().swap(held_);
  return state_ == State::kCopying;
}

bool HeldCopy::drop() {
  if (state_ != State::kHolding) return state_ == State::kDropped;
  state_ = State::kDropped;
  std::string().swap(held_);
  return true;
}

std::streamsize HeldCopy::xsputn(const char* s, std::streamsize n) {
  switch (state_) {
    case State::kCopying:
      return target_->sputn(s, n);
    case State::kHolding:
      if (static_cast<std::size_t>(n) > limit_ - held_.size()) {
        state_ = State::kTooLong;
        std::string().swap(held_);
        return n;
      }
      held_.append(s, static_cast<std::size_t>(n));
      return n;
    default:
      return n;
  }
}

HeldCopy::int_type HeldCopy::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
}

}  // namespace installer
