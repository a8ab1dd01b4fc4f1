// The package reader: part walking, hashing and copying of consumed bytes,
// and the decoders of header parts and dependency lists.
#include "package/reader.h"

#include <algorithm>
#include <cstring>

#include "package/fd_input.h"
#include "package/format.h"

namespace installer {
namespace {

constexpr std::size_t kSkipChunk = 16384;
constexpr std::size_t kTextChunk = 4096;

using Traits = std::streambuf::traits_type;

const std::streambuf::pos_type kSeekFailed{std::streambuf::off_type(-1)};

// The name field ends at the first NUL or after all of its bytes.
std::string paddedName(const unsigned char* field) {
  const auto* end = static_cast<const unsigned char*>(std::memchr(field, 0, kNameSize));
  const std::size_t length = end == nullptr ? kNameSize : static_cast<std::size_t>(end - field);
  return std::string(reinterpret_cast<const char*>(field), length);
}

bool readExact(PackageReader& reader, unsigned char* out, std::size_t n) {
  reader.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
  return static_cast<std::size_t>(reader.gcount()) == n;
}

// Reads the rest of the current part as text, in bounded pieces: the declared
// length may be far more than the input holds, so nothing is sized from it.
std::string readText(PackageReader& reader) {
  std::string text;
  char chunk[kTextChunk];
  while (reader.part().partRemaining > 0) {
    const std::size_t want = std::min<std::size_t>(kTextChunk, reader.part().partRemaining);
    reader.read(chunk, static_cast<std::streamsize>(want));
    const auto got = static_cast<std::size_t>(reader.gcount());
    text.append(chunk, got);
    if (got < want) break;
  }
  return text;
}

}  // namespace

PartStreambuf::PartStreambuf(std::streambuf* source, bool hashing, std::streambuf* copyTo)
    : source_(source),
      copyTo_(copyTo),
      sha1_(Hasher::create(Hasher::Kind::kSha1)),
      sha256_(Hasher::create(Hasher::Kind::kSha256)),
      current_(sha1_.get()),
      hashing_(hashing) {}

void PartStreambuf::finishHash() {
  current_->finish(digest_);
  hashFinished_ = true;
}

void PartStreambuf::forward(const void* data, std::size_t n, bool hash) {
  if (n == 0) return;
  if (copyTo_ != nullptr) {
    if (heldBack_ != nullptr) {
      const auto* bytes = static_cast<const char*>(data);
      heldBack_->bytes.insert(heldBack_->bytes.end(), bytes, bytes + n);
      heldBack_->pieces.push_back(static_cast<std::uint32_t>(n));
    } else {
      copyTo_->sputn(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    }
  }
  if (hash && hashing_) current_->update(data, n);
}

void PartStreambuf::copyHeldBack(const HeldBackCopy& held) {
  if (copyTo_ == nullptr) return;
  const char* next = held.bytes.data();
  for (const std::uint32_t piece : held.pieces) {
    copyTo_->sputn(next, static_cast<std::streamsize>(piece));
    next += piece;
  }
}

std::size_t PartStreambuf::readRaw(void* buffer, std::size_t n, bool hash) {
  const std::streamsize got =
      source_->sgetn(static_cast<char*>(buffer), static_cast<std::streamsize>(n));
  if (got <= 0) return 0;
  const auto received = static_cast<std::size_t>(got);
  // Bytes that were put back have been hashed and copied once already.
  const std::size_t replayed = std::min<std::size_t>(replayCount_, received);
  replayCount_ -= static_cast<std::uint32_t>(replayed);
  forward(static_cast<const char*>(buffer) + replayed, received - replayed, hash);
  return received;
}

std::uint64_t PartStreambuf::skipBytes(std::uint64_t n) {
  char scratch[kSkipChunk];
  std::uint64_t total = 0;
  while (total < n) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(kSkipChunk, n - total));
    const std::size_t got = readRaw(scratch, want);
    total += got;
    if (got < want) break;
  }
  return total;
}

std::size_t PartStreambuf::readUnhashed(void* buffer, std::size_t n) {
  const std::size_t received = readRaw(buffer, std::min<std::size_t>(n, partRemaining), false);
  partRemaining -= static_cast<std::uint32_t>(received);
  return received;
}

PartStreambuf::int_type PartStreambuf::underflow() {
  if (partRemaining == 0) return Traits::eof();
  return source_->sgetc();
}

PartStreambuf::int_type PartStreambuf::uflow() {
  if (partRemaining == 0) return Traits::eof();
  const int_type c = source_->sbumpc();
  if (Traits::eq_int_type(c, Traits::eof())) return c;
  --partRemaining;
  if (replayCount_ > 0) {
    --replayCount_;
  } else {
    const char byte = Traits::to_char_type(c);
    forward(&byte, 1);
  }
  return c;
}

std::streamsize PartStreambuf::xsgetn(char_type* s, std::streamsize n) {
  if (partRemaining == 0 || n <= 0) return 0;
  const std::size_t want = std::min<std::size_t>(static_cast<std::size_t>(n), partRemaining);
  const std::size_t got = readRaw(s, want);
  partRemaining -= static_cast<std::uint32_t>(got);
  return static_cast<std::streamsize>(got);
}

std::streamsize PartStreambuf::showmanyc() {
  if (partRemaining == 0) return -1;
  const std::streamsize available = source_->in_avail();
  if (available <= 0) return available;
  return std::min<std::streamsize>(available, partRemaining);
}

PartStreambuf::int_type PartStreambuf::pbackfail(int_type c) {
  if (partRemaining == partLength) return Traits::eof();
  const int_type result = Traits::eq_int_type(c, Traits::eof())
                              ? source_->sungetc()
                              : source_->sputbackc(Traits::to_char_type(c));
  if (Traits::eq_int_type(result, Traits::eof())) return result;
  // Counted only once the source took the byte back: otherwise the next
  // fresh byte would be mistaken for a replay and escape the hash.
  if (hashing_ || copyTo_ != nullptr) ++replayCount_;
  ++partRemaining;
  return Traits::eq_int_type(c, Traits::eof()) ? Traits::not_eof(result) : c;
}

PartStreambuf::pos_type PartStreambuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                               std::ios_base::openmode which) {
  if ((which & std::ios_base::in) == 0) return kSeekFailed;
  const auto current = static_cast<off_type>(partLength - partRemaining);
  off_type target = 0;
  if (dir == std::ios_base::beg) {
    target = off;
  } else if (dir == std::ios_base::cur) {
    target = current + off;
  } else {
    return kSeekFailed;
  }
  if (target < 0 || target > static_cast<off_type>(partLength)) return kSeekFailed;
  if (target == current) return pos_type(target);
  if (!hashing_ && copyTo_ == nullptr) {
    // Relative to the source's own position, which need not be the file
    // offset when the package does not start the stream.
    if (source_->pubseekoff(target - current, std::ios_base::cur, std::ios_base::in) !=
        kSeekFailed) {
      partRemaining = partLength - static_cast<std::uint32_t>(target);
      return pos_type(target);
    }
  }
  if (target < current) return kSeekFailed;
  const auto distance = static_cast<std::uint64_t>(target - current);
  const std::uint64_t skipped = skipBytes(distance);
  partRemaining -= static_cast<std::uint32_t>(skipped);
  if (skipped < distance) return kSeekFailed;
  return pos_type(target);
}

PartStreambuf::pos_type PartStreambuf::seekpos(pos_type pos, std::ios_base::openmode which) {
  return seekoff(off_type(pos), std::ios_base::beg, which);
}

PackageReader::PackageReader(std::istream& input, bool hashing, std::streambuf* copyTo)
    : std::istream(nullptr), buf_(input.rdbuf(), hashing, copyTo) {
  init(&buf_);
  unsigned char header[kFileHeaderSize];
  if (buf_.source_ == nullptr ||
      buf_.source_->sgetn(reinterpret_cast<char*>(header), kFileHeaderSize) !=
          static_cast<std::streamsize>(kFileHeaderSize)) {
    magic = 0xFFFFFFFF;
    setstate(std::ios_base::badbit);
    return;
  }
  // The file header is copied but never hashed.
  if (copyTo != nullptr) copyTo->sputn(reinterpret_cast<const char*>(header), kFileHeaderSize);
  totalLength =
      decodeLe32(header + kFileLengthOffset) + static_cast<std::uint32_t>(kFileHeaderSize);
  buf_.partStart = kFileHeaderSize;
  magic = decodeLe32(header);
  if (magic != kMagicPackage && magic != kMagicSideBySide) setstate(std::ios_base::badbit);
}

PackageReader::~PackageReader() = default;

int PackageReader::inputError() const {
  const auto* input = dynamic_cast<const FdInputBuf*>(buf_.source_);
  return input != nullptr ? input->error() : 0;
}

bool PackageReader::inputMayWait() const {
  const auto* input = dynamic_cast<const FdInputBuf*>(buf_.source_);
  return input != nullptr && input->mayWait();
}

void PackageReader::giveUpWaitingWhen(const std::atomic<bool>* cancelled) {
  if (auto* input = dynamic_cast<FdInputBuf*>(buf_.source_)) input->giveUpWaitingWhen(cancelled);
}

void PackageReader::forgetInputError() {
  if (auto* input = dynamic_cast<FdInputBuf*>(buf_.source_)) input->forgetError();
}

int PackageReader::nextPart() {
  if (bad() || fail()) {
    partType = kNoPart;
    return kNoPart;
  }
  clear();
  PartStreambuf& b = buf_;
  for (;;) {
    if (b.partRemaining > 0) {
      bool skipped = false;
      if (!b.hashing_ && b.copyTo_ == nullptr) {
        skipped = b.source_->pubseekoff(b.partRemaining, std::ios_base::cur, std::ios_base::in) !=
                  std::streambuf::pos_type(std::streambuf::off_type(-1));
      }
      if (!skipped && b.skipBytes(b.partRemaining) < b.partRemaining) {
        partType = kNoPart;
        setstate(std::ios_base::failbit | std::ios_base::eofbit);
        return kNoPart;
      }
      b.partRemaining = 0;
    }
    b.partStart += b.partLength;

    unsigned char header[kPartHeaderSize];
    if (b.source_->sgetn(reinterpret_cast<char*>(header), kPartHeaderSize) !=
        static_cast<std::streamsize>(kPartHeaderSize)) {
      // The normal end of a file.
      b.finishHash();
      b.partLength = 0;
      partType = kNoPart;
      setstate(std::ios_base::failbit | std::ios_base::eofbit);
      return kNoPart;
    }
    if (b.copyTo_ != nullptr)
      b.copyTo_->sputn(reinterpret_cast<const char*>(header), kPartHeaderSize);
    const std::uint16_t type = decodeLe16(header);
    if (b.hashing_) {
      if (type == kPartSha256Switch) {
        b.current_ = b.sha256_.get();
      } else if (type == kPartHeader) {
        // The digest of a package starts at its own header.
        b.finishHash();
      }
      b.current_->update(header, kPartHeaderSize);
    }
    b.partStart += static_cast<std::uint32_t>(kPartHeaderSize);
    b.partLength = b.partRemaining = decodeLe32(header + kPartLengthOffset);
    partType = type;
    if (std::find(wantedTypes.begin(), wantedTypes.end(), std::uint32_t{type}) !=
        wantedTypes.end()) {
      return partType;
    }
  }
}

bool readHeader(Package& p, PackageReader& reader) {
  if (reader.partType != kPartHeader && reader.partType != kPartBundleHeader) return false;
  p.isBundle = reader.partType == kPartBundleHeader;
  unsigned char data[kHeaderDataSize];
  if (!readExact(reader, data, kHeaderDataSize)) return false;
  p.name = paddedName(data);
  p.version = decodeLe32(data + kHeaderVersionOffset);
  p.buildTime = decodeLe32(data + kHeaderBuildTimeOffset);
  if (reader.part().partLength >= kHeaderDataWithFlags) {
    unsigned char flags[4];
    if (readExact(reader, flags, sizeof flags)) p.flags = decodeLe32(flags);
  }

  reader.nextPart();
  // Each step looks once at the part current at that moment, in this order.
  if (reader.partType == kPartExtraText) {
    p.extraText = readText(reader);
    reader.nextPart();
  }
  if (reader.partType == kPartArch) {
    p.arch = readText(reader);
    reader.nextPart();
  } else {
    p.arch = "i386";
  }
  if (reader.partType == kPartAuxText) {
    p.auxText = readText(reader);
    reader.nextPart();
  }
  if (reader.partType == kPartNote) {
    p.note = readText(reader);
    reader.nextPart();
  }
  const std::pair<int, std::vector<Dependency>*> lists[] = {
      {kPartDepends, &p.depends}, {kPartProvides, &p.provides}, {kPartConflicts, &p.conflicts}};
  for (const auto& [type, list] : lists) {
    if (reader.partType != type) continue;
    if (!readDependencyList(reader, *list)) return false;
    reader.nextPart();
  }
  if (reader.partType == kPartImage) p.imageBased = true;
  return true;
}

bool readDependencyList(PackageReader& reader, std::vector<Dependency>& list) {
  unsigned char count[kDependencyCountSize];
  if (!readExact(reader, count, sizeof count)) return false;
  for (unsigned i = 0, n = decodeLe16(count); i < n; ++i) {
    unsigned char entry[kDependencyEntrySize];
    if (!readExact(reader, entry, kDependencyEntrySize)) return false;
    Dependency d;
    d.name = paddedName(entry);
    d.minVersion = decodeLe32(entry + kEntryMinVersionOffset);
    d.maxVersion = decodeLe32(entry + kEntryMaxVersionOffset);
    d.priority = static_cast<std::int32_t>(decodeLe32(entry + kEntryPriorityOffset));
    list.push_back(std::move(d));
  }
  return true;
}

}  // namespace installer
