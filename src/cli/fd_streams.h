// Stream buffers straight on file descriptors, for the image mode: standard
// input read in large blocks, and the capture file written in large blocks
// with a sticky error that remembers why a write failed.
#pragma once

#include <cstddef>
#include <streambuf>
#include <vector>

namespace installer {

// Reads a descriptor through one large block. It keeps no get area of its
// own, so that `in_avail` always asks `showmanyc`, which answers "as much as
// you want" until the end of input has been seen: a reader that asks for a
// few bytes with `readsome` then gets all of them, whatever the block
// boundaries and however slowly a pipe delivers. The last bytes consumed can
// be put back.
class FdInputBuf : public std::streambuf {
 public:
  explicit FdInputBuf(int fd, std::size_t blockSize = 65536);

 protected:
  int_type underflow() override;
  int_type uflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  std::streamsize showmanyc() override;
  int_type pbackfail(int_type c) override;

 private:
  bool refill();

  static constexpr std::size_t kPutBack = 16;
  int fd_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
};

// Writes a descriptor through one large block. The first failed write makes
// the buffer fail for good; `error` keeps its errno.
class FdOutputBuf : public std::streambuf {
 public:
  explicit FdOutputBuf(int fd, std::size_t blockSize = 65536);
  ~FdOutputBuf() override;
  FdOutputBuf(const FdOutputBuf&) = delete;
  FdOutputBuf& operator=(const FdOutputBuf&) = delete;

  // Writes what is buffered and closes the descriptor; false when any write
  // or the close failed.
  [[nodiscard]] bool close();
  bool failed() const { return error_ != 0; }
  int error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool flushBuffer();

  int fd_;
  std::vector<char> buffer_;
  int error_ = 0;
};

}  // namespace installer
