#include "package/held_copy.h"

#include <utility>

namespace installer {

HeldCopy::HeldCopy(Opener open, std::size_t limit, Discarder discard)
    : open_(std::move(open)), limit_(limit), discard_(std::move(discard)) {}

bool HeldCopy::openTarget() {
  target_ = open_ ? open_() : nullptr;
  if (target_ == nullptr) {
    state_ = State::kNoTarget;
  } else {
    // A failed write is the target's to remember (a sticky error).
    target_->sputn(held_.data(), static_cast<std::streamsize>(held_.size()));
  }
  std::string().swap(held_);
  return target_ != nullptr;
}

bool HeldCopy::keep() {
  if (state_ == State::kSpilled) state_ = State::kCopying;
  if (state_ != State::kHolding) return state_ == State::kCopying;
  if (openTarget()) state_ = State::kCopying;
  return state_ == State::kCopying;
}

bool HeldCopy::drop() {
  if (state_ == State::kSpilled) {
    state_ = State::kDropped;
    if (discard_) discard_();
    return true;
  }
  if (state_ != State::kHolding) return state_ == State::kDropped;
  state_ = State::kDropped;
  std::string().swap(held_);
  return true;
}

std::streamsize HeldCopy::xsputn(const char* s, std::streamsize n) {
  switch (state_) {
    case State::kCopying:
    case State::kSpilled:
      return target_->sputn(s, n);
    case State::kHolding:
      if (static_cast<std::size_t>(n) > limit_ - held_.size()) {
        // More than memory is to hold: the target takes it all now.
        if (!openTarget()) return n;
        state_ = State::kSpilled;
        return target_->sputn(s, n);
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
