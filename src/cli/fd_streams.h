// A stream buffer straight on a file descriptor, for the image mode: the
// capture file written in large blocks with a sticky error that remembers
// why a write failed. (Standard input is read with package/fd_input.h.)
#pragma once

#include <cstddef>
#include <streambuf>
#include <vector>

namespace installer {

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
