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

InflateStreambuf::InflateStreambuf(std::streambuf* source) : source_(source) {
  char* const start = output_ + kPutBack;
  setg(start, start, start);
  zlibReady_ = inflateInit(&zs_) == Z_OK;
}

InflateStreambuf::~InflateStreambuf() {
  if (zlibReady_) inflateEnd(&zs_);
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
  if (finished_ || !zlibReady_ || source_ == nullptr) return Traits::eof();

  for (;;) {
    bool freshInput = false;
    if (zs_.avail_in == 0) {
      const std::streamsize got = source_->sgetn(reinterpret_cast<char*>(input_),
                                                 static_cast<std::streamsize>(kBufferSize));
      if (got > 0) {
        zs_.next_in = input_;
        zs_.avail_in = static_cast<uInt>(got);
        freshInput = true;
      }
      // Without new input zlib may still hold output that did not fit into
      // the previous buffer: one more call drains it or reports no progress.
    }
    zs_.next_out = reinterpret_cast<Bytef*>(start);
    zs_.avail_out = static_cast<uInt>(kBufferSize);
    const int rc = inflate(&zs_, Z_PARTIAL_FLUSH);
    const std::size_t made = kBufferSize - zs_.avail_out;
    if (rc != Z_OK && rc != Z_STREAM_END) {
      // Corrupt data, a dictionary request or no more input: the end.
      finished_ = true;
      return Traits::eof();
    }
    if (rc == Z_STREAM_END) finished_ = true;
    if (made > 0) {
      produced_ += made;
      setg(begin, start, start + made);
      return Traits::to_int_type(*start);
    }
    if (finished_) return Traits::eof();
    // The input completed only framing or block headers: go on with the
    // next chunk. Without fresh input nothing more can come.
    if (!freshInput) {
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
  if (payload.gcount() != static_cast<std::streamsize>(kFileEntryHeaderSize))
    return EntryRead::kEnd;
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
