// The file payload of a package: one zlib stream of file entries, read
// through fixed buffers straight from the reader's current part.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <streambuf>
#include <string>

#include "platform/inflate.h"

namespace installer {

class InflateStreambuf : public std::streambuf {
 public:
  explicit InflateStreambuf(std::streambuf* source,
                            InflateBackend backend = Inflater::configured());
  ~InflateStreambuf() override;
  InflateStreambuf(const InflateStreambuf&) = delete;
  InflateStreambuf& operator=(const InflateStreambuf&) = delete;

  std::uint64_t produced() const { return produced_; }
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
  static constexpr std::size_t kBufferSize = 4096;

  enum class Refill { kFresh, kNone, kRefused };
  // Reads the next piece of the part into the decoder; kRefused when the
  // first piece does not start with an acceptable zlib header.
  Refill refill();
  bool headerAccepted(std::size_t got);

  std::streambuf* source_;
  std::unique_ptr<Inflater> inflater_;
  bool headerChecked_ = false;
  bool finished_ = false;
  bool endedCleanly_ = false;
  bool failed_ = false;
  std::uint64_t produced_ = 0;
  char output_[kPutBack + kBufferSize];
  unsigned char input_[kBufferSize];
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
