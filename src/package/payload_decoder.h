// The payload part's zlib stream decoded piece by piece: the part is read
// in fixed pieces, each only when the decoder can make nothing more of what
// it has, and decoded into fixed pieces of output. The same calls in the
// same order whichever thread makes them, so that where the reader stands
// after each piece of output does not depend on who asks for it.
#pragma once

#include <cstddef>
#include <memory>
#include <streambuf>

#include "platform/inflate.h"

namespace installer {

class PayloadDecoder {
 public:
  static constexpr std::size_t kPiece = 4096;

  PayloadDecoder(std::streambuf* source, InflateBackend backend);
  PayloadDecoder(const PayloadDecoder&) = delete;
  PayloadDecoder& operator=(const PayloadDecoder&) = delete;

  // Decodes into `out` (room for kPiece bytes) what the input read so far
  // allows, or, when the last step was starved, reads the next piece first.
  // 0 without `finished` means a piece of input was taken in (or is
  // wanted) that completed no output yet.
  std::size_t step(unsigned char* out);

  // No step makes anything more.
  bool finished() const { return finished_; }
  // The stream ended as a zlib stream should, checksum included (an empty
  // part counts as an empty payload).
  bool endedCleanly() const { return endedCleanly_; }
  // Corrupt data, a wrong checksum, a dictionary asked for, or no decoder,
  // as opposed to input that ran out.
  bool failed() const { return failed_; }

 private:
  enum class Refill { kFresh, kNone, kRefused };
  // Reads the next piece of the part into the decoder; kRefused when the
  // first piece does not start with an acceptable zlib header.
  Refill refill();
  bool headerAccepted(std::size_t got) const;

  std::streambuf* source_;
  std::unique_ptr<Inflater> inflater_;
  bool starved_ = false;
  bool headerChecked_ = false;
  bool finished_ = false;
  bool endedCleanly_ = false;
  bool failed_ = false;
  unsigned char input_[kPiece];
};

}  // namespace installer
