#include "package/payload_decoder.h"

namespace installer {

PayloadDecoder::PayloadDecoder(std::streambuf* source, InflateBackend backend)
    : source_(source), inflater_(Inflater::create(backend)) {
  // Without a decoder (no memory for its state) nothing can be read, and a
  // payload that cannot be read is no empty one.
  failed_ = inflater_ == nullptr;
}

// The two bytes of the zlib header are judged here, the same way for either
// backend: deflate, a window of at most 32 KiB, the check bits right and no
// preset dictionary (the payload has none to offer).
bool PayloadDecoder::headerAccepted(std::size_t got) const {
  if (got < 2) return false;
  const unsigned cmf = input_[0];
  const unsigned flg = input_[1];
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

PayloadDecoder::Refill PayloadDecoder::refill() {
  const std::streamsize got =
      source_->sgetn(reinterpret_cast<char*>(input_), static_cast<std::streamsize>(kPiece));
  if (got <= 0) {
    // A part without a single byte holds no stream at all: an empty payload.
    if (!headerChecked_) endedCleanly_ = true;
    return Refill::kNone;
  }
  if (!headerChecked_ && !headerAccepted(static_cast<std::size_t>(got))) {
    failed_ = got >= 2;  // a single byte is a stream cut short
    return Refill::kRefused;
  }
  headerChecked_ = true;
  inflater_->setInput({input_, static_cast<std::size_t>(got)});
  return Refill::kFresh;
}

std::size_t PayloadDecoder::step(unsigned char* out) {
  if (finished_) return 0;
  if (inflater_ == nullptr || source_ == nullptr) {
    finished_ = true;
    return 0;
  }
  // Where the next piece of the part is read moves the progress bar, so it
  // must not depend on the library: it is read when the decoder can make
  // nothing more of what it was given, which the stream decides. (A rule
  // that reads as soon as the decoder has taken in all of a piece would
  // follow the library instead: zlib takes bytes as it needs them, ISA-L
  // takes whole pieces into a buffer of its own.)
  if (starved_) {
    starved_ = false;
    if (refill() != Refill::kFresh) {
      finished_ = true;
      return 0;
    }
  }
  const InflateStep step = inflater_->inflate({out, kPiece});
  if (step.status == InflateStatus::kFailed) {
    // Corrupt data or a wrong checksum: what this call decoded is not
    // delivered, and the stream ends here.
    finished_ = true;
    failed_ = true;
    return 0;
  }
  if (step.status == InflateStatus::kEnd) {
    finished_ = true;
    endedCleanly_ = true;
  }
  if (step.produced > 0 || finished_) return step.produced;
  if (inflater_->inputLeft() != 0) {
    // Input left, yet neither output nor an end: the decoder is stuck.
    finished_ = true;
    failed_ = true;
    return 0;
  }
  // Starved: what was read so far completed only framing or block headers,
  // or nothing yet.
  starved_ = true;
  return 0;
}

}  // namespace installer
