#include "package/fd_input.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace installer {

namespace {
const std::streambuf::pos_type kSeekFailed{std::streambuf::off_type(-1)};
// How long a wait for input goes before it looks whether it was given up.
constexpr int kCancelCheckMs = 20;
}  // namespace

FdInputBuf::FdInputBuf(int fd, std::size_t blockSize) : fd_(fd), buffer_(kPutBack + blockSize) {}

bool FdInputBuf::refill() {
  if (atEnd_) return false;
  // Keep the last bytes consumed in front, where a put-back finds them.
  const std::size_t keep = std::min(pos_, kPutBack);
  std::memmove(buffer_.data(), buffer_.data() + pos_ - keep, keep);
  pos_ = end_ = keep;
  if (!waitForInput(false)) {
    atEnd_ = true;
    return false;
  }
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    // A descriptor left non-blocking by whoever started the installer has
    // nothing yet: that is no error, the writer is only slower.
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!waitForInput(true)) {
        atEnd_ = true;
        return false;
      }
      continue;
    }
    // The end of input, or an error that ends it for good.
    if (got < 0) error_ = errno;
    atEnd_ = true;
    return false;
  }
}

void FdInputBuf::giveUpWaitingWhen(const std::atomic<bool>* cancelled) { cancelled_ = cancelled; }

bool FdInputBuf::mayWait() const {
  struct stat st;
  return fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode);
}

bool FdInputBuf::waitForInput(bool always) {
  if (cancelled_ == nullptr && !always) return true;
  for (;;) {
    if (cancelled_ != nullptr && cancelled_->load(std::memory_order_acquire)) return false;
    pollfd input = {fd_, POLLIN, 0};
    const int ready = ::poll(&input, 1, cancelled_ != nullptr ? kCancelCheckMs : -1);
    // Readable, at its end, or in error: the read tells which.
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;
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

FdInputBuf::pos_type FdInputBuf::seekoff(off_type off, std::ios_base::seekdir dir,
                                         std::ios_base::openmode which) {
  if (dir != std::ios_base::cur || (which & std::ios_base::in) == 0 || error_ != 0) {
    return kSeekFailed;
  }
  const auto buffered = static_cast<off_type>(end_ - pos_);
  // Within what is buffered nothing needs to be read again.
  if (off >= -static_cast<off_type>(pos_) && off <= buffered) {
    pos_ = static_cast<std::size_t>(static_cast<off_type>(pos_) + off);
    const off_t now = lseek(fd_, 0, SEEK_CUR);
    return now < 0 ? pos_type(0) : pos_type(now - static_cast<off_t>(end_ - pos_));
  }
  // The descriptor stands `buffered` bytes past the reader's position.
  const off_t target = lseek(fd_, off - buffered, SEEK_CUR);
  if (target < 0) return kSeekFailed;
  pos_ = end_ = 0;
  atEnd_ = false;
  return pos_type(target);
}

}  // namespace installer
