// The file payload of a package: one zlib stream of file entries, read
// through fixed buffers straight from the reader's current part.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>

#include "package/payload_decoder.h"
#include "package/reader.h"
#include "platform/inflate.h"

namespace installer {

class ReadAhead;

// How a payload is read: on the calling thread alone, or with a second
// thread that reads, hashes and inflates ahead of it. Either way the same
// bytes, the same end, and the same calls that change the file system in the
// same order.
enum class PayloadThreads { kOne, kTwo };

class InflateStreambuf : public std::streambuf {
 public:
  explicit InflateStreambuf(std::streambuf* source,
                            InflateBackend backend = Inflater::configured());
  // The payload part `reader` stands on. With kTwo the reader is the second
  // thread's until the stream ended or this object is gone; if no thread can
  // be had, one is used.
  InflateStreambuf(PackageReader& reader, InflateBackend backend, PayloadThreads threads);
  ~InflateStreambuf() override;
  InflateStreambuf(const InflateStreambuf&) = delete;
  InflateStreambuf& operator=(const InflateStreambuf&) = delete;

  std::uint64_t produced() const { return produced_; }
  // The file offset the package reader had reached once the bytes being
  // read were decoded: where a progress bar stands, with one thread or two.
  // Only for a stream made on a reader.
  std::uint64_t inputConsumed() const;
  // Whether the stream ended as a zlib stream should, checksum included (an
  // empty part counts as an empty payload); false while it goes on, and
  // after corrupt data or input that ran out before the stream's end.
  bool endedCleanly() const { return endedCleanly_; }
  // Whether the stream was found corrupt (bad header, bad data, a wrong
  // checksum, a dictionary asked for), as opposed to input that ran out.
  // The backends may tell the two apart differently (one notices a bad
  // block header only once it has all of it), and deliver different amounts
  // of a stream that fails: only a clean end is a payload's end.
  bool failed() const { return failed_; }

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  static constexpr std::size_t kPutBack = 16;
  static constexpr std::size_t kBufferSize = PayloadDecoder::kPiece;

  int_type underflowAhead(char* begin);
  void takeState(bool finished, bool endedCleanly, bool failed);

  PayloadDecoder decoder_;
  PackageReader* reader_ = nullptr;
  std::unique_ptr<ReadAhead> ahead_;  // after the decoder: stopped before it goes
  bool aheadStarted_ = false;
  std::uint64_t consumed_ = 0;  // with a second thread: of the piece being read
  bool finished_ = false;
  bool endedCleanly_ = false;
  bool failed_ = false;
  std::uint64_t produced_ = 0;
  char output_[kPutBack + kBufferSize];
};

// One decoded file entry header.
struct FileEntry {
  std::uint16_t mode = 0;
  std::uint8_t hardwareClass = 0;
  std::uint32_t dataLength = 0;
  std::string name;
};

enum class EntryRead { kEntry, kEnd, kBroken };

// Reads the 30 fixed bytes and the name: kEnd when the fixed bytes cannot be
// read and the inflating stream below ended cleanly (the normal end of the
// payload), kBroken when the name is cut short or the stream did not end
// cleanly.
[[nodiscard]] EntryRead readFileEntry(std::istream& payload, FileEntry& entry);

}  // namespace installer
