// The file payload stream: inflating through fixed buffers, forward skips,
// and file entry headers.
#include "package/payload.h"

#include <algorithm>

#include "package/format.h"
#include "package/read_ahead.h"

namespace installer {
namespace {

constexpr std::size_t kSkipChunk = 1024;

using Traits = std::streambuf::traits_type;

const std::streambuf::pos_type kSeekFailed{std::streambuf::off_type(-1)};

}  // namespace

InflateStreambuf::InflateStreambuf(std::streambuf* source, InflateBackend backend)
    : decoder_(source, backend) {
  char* const start = output_ + kPutBack;
  setg(start, start, start);
  failed_ = decoder_.failed();
}

InflateStreambuf::InflateStreambuf(PackageReader& reader, InflateBackend backend,
                                   PayloadThreads threads)
    : InflateStreambuf(reader.rdbuf(), backend) {
  reader_ = &reader;
  consumed_ = reader.part().consumed();
  if (threads == PayloadThreads::kTwo && !decoder_.failed()) {
    ahead_ = std::make_unique<ReadAhead>(decoder_, reader);
  }
}

InflateStreambuf::~InflateStreambuf() = default;

std::uint64_t InflateStreambuf::inputConsumed() const {
  if (aheadStarted_) return consumed_;
  return reader_ != nullptr ? reader_->part().consumed() : 0;
}

void InflateStreambuf::takeState(bool finished, bool endedCleanly, bool failed) {
  finished_ = finished;
  endedCleanly_ = endedCleanly;
  failed_ = failed;
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
  if (finished_) return Traits::eof();
  if (ahead_ != nullptr && !aheadStarted_) {
    aheadStarted_ = ahead_->start();
    if (!aheadStarted_) ahead_.reset();
  }
  if (aheadStarted_) return underflowAhead(begin);

  auto* const out = reinterpret_cast<unsigned char*>(start);
  std::size_t size = 0;
  do {
    size = decoder_.step(out);
  } while (size == 0 && !decoder_.finished());
  takeState(decoder_.finished(), decoder_.endedCleanly(), decoder_.failed());
  if (size == 0) return Traits::eof();
  produced_ += size;
  setg(begin, start, start + size);
  return Traits::to_int_type(*start);
}

// The pieces the second thread made, taken in order: the copy held back
// with each is made first, where one thread would have made it while
// reading the input that the piece's output came from.
InflateStreambuf::int_type InflateStreambuf::underflowAhead(char* begin) {
  const bool putBack = begin < output_ + kPutBack;
  for (;;) {
    DecodedPiece& piece = ahead_->next();
    reader_->part().copyHeldBack(piece.copy);
    consumed_ = piece.consumed;
    takeState(piece.finished, piece.endedCleanly, piece.failed);
    if (piece.size > 0) {
      char* const start = reinterpret_cast<char*>(piece.data) + DecodedPiece::kPutBack;
      if (putBack) start[-1] = output_[kPutBack - 1];
      produced_ += piece.size;
      setg(putBack ? start - 1 : start, start, start + piece.size);
      return Traits::to_int_type(*start);
    }
    if (finished_) return Traits::eof();
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
