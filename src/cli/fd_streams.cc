#include "cli/fd_streams.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace installer {

FdInputBuf::FdInputBuf(int fd, std::size_t blockSize) : fd_(fd), buffer_(kPutBack + blockSize) {}

bool FdInputBuf::refill() {
  if (atEnd_) return false;
  // Keep the last bytes consumed in front, where a put-back finds them.
  const std::size_t keep = std::min(pos_, kPutBack);
  std::memmove(buffer_.data(), buffer_.data() + pos_ - keep, keep);
  pos_ = end_ = keep;
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    atEnd_ = true;  // end of input, or an error that ends it
    return false;
  }
}

FdInputBuf::int_type FdInputBuf::underflow() {
  if (pos_ == end_ && !refill()) return traits_type::eof();
  return traits_type::to_int_type(buffer_[pos_]);
}

FdInputBuf::int_type FdInputBuf::uflow() {
  const int_type c = underflow();
  if (!traits_type::eq_int_type(c, traits_type::eof())) ++pos_;
  return c;
}

std::streamsize FdInputBuf::xsgetn(char_type* s, std::streamsize n) {
  std::streamsize done = 0;
  while (done < n) {
    if (pos_ == end_ && !refill()) break;
    const auto step = std::min<std::size_t>(end_ - pos_, static_cast<std::size_t>(n - done));
    std::memcpy(s + done, buffer_.data() + pos_, step);
    pos_ += step;
    done += static_cast<std::streamsize>(step);
  }
  return done;
}

std::streamsize FdInputBuf::showmanyc() {
  if (pos_ < end_) {
    return atEnd_ ? static_cast<std::streamsize>(end_ - pos_)
                  : std::numeric_limits<std::streamsize>::max();
  }
  return atEnd_ ? -1 : std::numeric_limits<std::streamsize>::max();
}

FdInputBuf::int_type FdInputBuf::pbackfail(int_type c) {
  if (pos_ == 0) return traits_type::eof();
  --pos_;
  if (!traits_type::eq_int_type(c, traits_type::eof()))
    buffer_[pos_] = traits_type::to_char_type(c);
  return traits_type::not_eof(c);
}

FdOutputBuf::FdOutputBuf(int fd, std::size_t blockSize) : fd_(fd), buffer_(blockSize) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

// Callers that care close first and look at the result; a destructor can
// only let the descriptor go.
FdOutputBuf::~FdOutputBuf() { static_cast<void>(close()); }

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
