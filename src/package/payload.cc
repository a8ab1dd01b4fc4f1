// The file payload stream: inflating through fixed buffers, forward skips,
// and file entry headers.
#include "package/payload.h"

#include <algorithm>

#include "package/format.h"

namespace installer {
namespace {

constexpr std::size_t kSkipChunk = 1024;

using Traits = std::streambuf::traits_type;

const std::streambuf::pos_type kSeekFailed{std::streambuf::off_type(-1)};

}  // namespace

InflateStreambuf::InflateStreambuf(std::streambuf* source, InflateBackend backend)
    : source_(source), inflater_(Inflater::create(backend)) {
  char* const start = output_ + kPutBack;
  setg(start, start, start);
  // Without a decoder (no memory for its state) nothing can be read, and a
  // payload that cannot be read is no empty one.
  failed_ = inflater_ == nullptr;
}

InflateStreambuf::~InflateStreambuf() = default;

// The two bytes of the zlib header are judged here, the same way for either
// backend: deflate, a window of at most 32 KiB, the check bits right and no
// preset dictionary (the payload has none to offer).
bool InflateStreambuf::headerAccepted(std::size_t got) {
  if (got < 2) return false;
  const unsigned cmf = input_[0];
  const unsigned flg = input_[1];
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (cmf * 256 + flg) % 31 == 0 && (flg & 0x20) == 0;
}

InflateStreambuf::Refill InflateStreambuf::refill() {
  const std::streamsize got =
      source_->sgetn(reinterpret_cast<char*>(input_), static_cast<std::streamsize>(kBufferSize));
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

InflateStreambuf::int_type InflateStreambuf::underflow() {
  if (gptr() < egptr()) return Traits::to_int_type(*gptr());
  char* const start = output_ + kPutBack;
  char* begin = start;
  // Keep the last byte read so that one byte can always be put back.
  if (gptr() > eback()) {
    output_[kPutBack - 1] = gptr()[-1];
    begin = start - 1;
  }
  setg(begin, start, start);
  if (finished_ || inflater_ == nullptr || source_ == nullptr) return Traits::eof();

  // Where the next piece of the part is read moves the progress bar, so it
  // must not depend on the library: it is read when the decoder can make
  // nothing more of what it was given, which the stream decides. (A rule
  // that reads as soon as the decoder has taken in all of a piece would
  // follow the library instead: zlib takes bytes as it needs them, ISA-L
  // takes whole pieces into a buffer of its own.)
  auto* const out = reinterpret_cast<unsigned char*>(start);
  for (;;) {
    const InflateStep step = inflater_->inflate({out, kBufferSize});
    if (step.status == InflateStatus::kFailed) {
      // Corrupt data or a wrong checksum: what this call decoded is not
      // delivered, and the stream ends here.
      finished_ = true;
      failed_ = true;
      return Traits::eof();
    }
    if (step.status == InflateStatus::kEnd) {
      finished_ = true;
      endedCleanly_ = true;
    }
    if (step.produced > 0) {
      produced_ += step.produced;
      setg(begin, start, start + step.produced);
      return Traits::to_int_type(*start);
    }
    if (finished_) return Traits::eof();
    if (inflater_->inputLeft() != 0) {
      // Input left, yet neither output nor an end: the decoder is stuck.
      finished_ = true;
      failed_ = true;
      return Traits::eof();
    }
    // Starved: what was read so far completed only framing or block
    // headers, or nothing yet.
    if (refill() != Refill::kFresh) {
      finished_ = true;
      return Traits::eof();
    }
  }
}

InflateStreambuf::pos_type InflateStreambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode which) {
  if ((which & std::ios_base::in) == 0) return kSeekFailed;
  // Positions count the bytes handed to the reader of the stream.
  const auto position =
      static_cast<off_type>(produced_ - static_cast<std::uint64_t>(egptr() - gptr()));
  off_type distance = 0;
  if (dir == std::ios_base::cur) {
    distance = off;
  } else if (dir == std::ios_base::beg) {
    distance = off - position;
  } else {
    return kSeekFailed;
  }
  if (distance < 0) return kSeekFailed;
  char scratch[kSkipChunk];
  for (off_type left = distance; left > 0;) {
    const auto want = static_cast<std::streamsize>(std::min<off_type>(left, kSkipChunk));
    if (sgetn(scratch, want) != want) return kSeekFailed;
    left -= want;
  }
  return pos_type(position + distance);
}

InflateStreambuf::pos_type InflateStreambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}

EntryRead readFileEntry(std::istream& payload, FileEntry& entry) {
  unsigned char fixed[kFileEntryHeaderSize];
  payload.read(reinterpret_cast<char*>(fixed), kFileEntryHeaderSize);
  if (payload.gcount() != static_cast<std::streamsize>(kFileEntryHeaderSize)) {
    // A stream that was cut or found corrupt is a broken payload wherever
    // it stops, between entries too: how much of such a stream arrives
    // depends on the inflate backend, whether it is broken must not.
    const auto* inflate = dynamic_cast<const InflateStreambuf*>(payload.rdbuf());
    return inflate != nullptr && !inflate->endedCleanly() ? EntryRead::kBroken : EntryRead::kEnd;
  }
  entry.mode = decodeLe16(fixed);
  entry.hardwareClass = fixed[23];
  entry.dataLength = decodeLe32(fixed + 24);
  const std::uint16_t nameLength = decodeLe16(fixed + 28);
  entry.name.assign(nameLength, '\0');
  payload.read(entry.name.data(), nameLength);
  if (payload.gcount() != nameLength) {
    entry.name.resize(static_cast<std::size_t>(payload.gcount()));
    return EntryRead::kBroken;
  }
  return EntryRead::kEntry;
}

}  // namespace installer
