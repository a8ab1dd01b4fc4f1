// A copy of a package stream that is wanted only for some streams: the bytes
// consumed before the reader's user knows which kind of stream it reads are
// held in memory, up to a bound; then they are either written to the copy's
// target, followed by every later byte, or dropped with every later byte.
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>

namespace installer {

// What a copy holds at most before its kind is known. The file header, a
// package or bundle header with its texts and lists, and the header of the
// part after them take a few hundred bytes in any real package (each list
// entry is 32 bytes: 2,000 of them still fit); more before the decision is no
// package worth installing, and memory stays bounded by one input block.
inline constexpr std::size_t kHeldCopyLimit = 64 * 1024;

class HeldCopy : public std::streambuf {
 public:
  // `open` gives the buffer the copy goes to, once it is wanted; null when
  // none can be had. It is called at most once.
  using Opener = std::function<std::streambuf*()>;

  enum class State {
    kHolding,   // the kind of stream is not known yet
    kCopying,   // wanted: every byte goes to the target
    kDropped,   // not wanted: every byte is forgotten
    kTooLong,   // more than the limit came before the decision
    kNoTarget,  // wanted, and the target could not be opened
  };

  HeldCopy(Opener open, std::size_t limit = kHeldCopyLimit);
  HeldCopy(const HeldCopy&) = delete;
  HeldCopy& operator=(const HeldCopy&) = delete;

  // The copy is wanted: the target is opened and what is held is written to
  // it. False when the bytes held were too many or no target could be had.
  [[nodiscard]] bool keep();
  // Not wanted: what is held is forgotten. False when the bytes held were too
  // many.
  [[nodiscard]] bool drop();

  State state() const { return state_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;

 private:
  Opener open_;
  std::size_t limit_;
  std::string held_;
  std::streambuf* target_ = nullptr;
  State state_ = State::kHolding;
};

}  // namespace installer
