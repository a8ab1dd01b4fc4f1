// The file payload of a package: one zlib stream of file entries, read
// through fixed buffers straight from the reader's current part.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>

namespace installer {

class InflateStreambuf : public std::streambuf {
 public:
  explicit InflateStreambuf(std::streambuf* source);
  ~InflateStreambuf() override;
  InflateStreambuf(const InflateStreambuf&) = delete;
  InflateStreambuf& operator=(const InflateStreambuf&) = delete;

  std::uint64_t produced() const { return produced_; }

 protected:
  int_type underflow() override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type pos, std::ios_base::openmode which) override;

 private:
  static constexpr std::size_t kPutBack = 16;
  static constexpr std::size_t kBufferSize = 4096;

  std::streambuf* source_;
  z_stream zs_{};
  bool zlibReady_ = false;
  bool finished_ = false;
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
// read (the normal end of the payload), kBroken when the name is cut short.
[[nodiscard]] EntryRead readFileEntry(std::istream& payload, FileEntry& entry);

}  // namespace installer
