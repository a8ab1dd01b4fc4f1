#include "cli/fd_streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "base/ignore.h"

namespace installer {

FdOutputBuf::FdOutputBuf(int fd, std::size_t blockSize) : fd_(fd), buffer_(blockSize) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

// Callers that care close first and look at the result; a destructor can
// only let the descriptor go.
FdOutputBuf::~FdOutputBuf() { ignoreResult(close()); }

bool FdOutputBuf::flushBuffer() {
  const char* data = pbase();
  std::size_t left = static_cast<std::size_t>(pptr() - pbase());
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  if (error_ != 0 || fd_ < 0) return false;
  while (left > 0) {
    const ssize_t put = ::write(fd_, data, left);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error_ = put < 0 ? errno : ENOSPC;
      return false;
    }
    data += put;
    left -= static_cast<std::size_t>(put);
  }
  return true;
}

FdOutputBuf::int_type FdOutputBuf::overflow(int_type c) {
  if (!flushBuffer()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

int FdOutputBuf::sync() { return flushBuffer() ? 0 : -1; }

bool FdOutputBuf::close() {
  if (fd_ < 0) return error_ == 0;
  // The capture becomes a kept image or the boot image by a rename; its
  // contents reach the flash with the commit's flush before that rename.
  flushBuffer();
  if (::close(fd_) != 0 && error_ == 0) error_ = errno;
  fd_ = -1;
  return error_ == 0;
}

}  // namespace installer
