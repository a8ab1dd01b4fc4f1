// A copy of a package stream that is wanted only for some streams: the bytes
// consumed before the reader's user knows which kind of stream it reads are
// held in memory, up to a bound, and past it written to the copy's target
// already; once the kind is known they are either kept there, followed by
// every later byte, or dropped with every later byte (a target already
// written is then discarded).
#pragma once

#include <cstddef>
#include <functional>
#include <streambuf>
#include <string>

namespace installer {

// What a copy holds in memory at most before its kind is known. The file
// header, a package or bundle header with its texts and lists, and the
// header of the part after them take a few hundred bytes in any real
// package; a longer header (a long note, thousands of list entries) spills
// to the target, so that memory stays bounded by this and one input block
// whatever the header holds.
inline constexpr std::size_t kHeldCopyLimit = 64 * 1024;

class HeldCopy : public std::streambuf {
 public:
  // `open` gives the buffer the copy goes to, once it is wanted or must take
  // what no longer fits in memory; null when none can be had. It is called
  // at most once. `discard`, when given, is called once when a target
  // already written turns out not to be wanted.
  using Opener = std::function<std::streambuf*()>;
  using Discarder = std::function<void()>;

  enum class State {
    kHolding,   // the kind of stream is not known yet; the bytes are in memory
    kSpilled,   // not known yet; the bytes went to the target
    kCopying,   // wanted: every byte goes to the target
    kDropped,   // not wanted: every byte is forgotten
    kNoTarget,  // the target was needed and could not be opened
  };

  explicit HeldCopy(Opener open, std::size_t limit = kHeldCopyLimit, Discarder discard = {});
  HeldCopy(const HeldCopy&) = delete;
  HeldCopy& operator=(const HeldCopy&) = delete;

  // The copy is wanted: the target is opened (unless the bytes already went
  // there) and what is held is written to it. False when no target could be
  // had.
  [[nodiscard]] bool keep();
  // Not wanted: what is held is forgotten, a target already written
  // discarded. False when a target was needed earlier and could not be had.
  [[nodiscard]] bool drop();

  State state() const { return state_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;

 private:
  // Opens the target and writes what is held to it; false when there is no
  // target (the state says so then).
  bool openTarget();

  Opener open_;
  std::size_t limit_;
  Discarder discard_;
  std::string held_;
  std::streambuf* target_ = nullptr;
  State state_ = State::kHolding;
};

}  // namespace installer
