// A stream buffer straight on a file descriptor, for package input: a
// download file, or standard input in the image mode. Reads in large
// blocks, never throws, and remembers a read error: the standard file
// buffer throws from its refill on one, and the package reader calls its
// source buffer directly, so a bad block would end the process. A read
// error ends the input, and the reader's user tells it from bytes that are
// wrong by asking `error`.
#pragma once

#include <atomic>
#include <cstddef>
#include <streambuf>
#include <vector>

namespace installer {

// It keeps no get area of its own, so that `in_avail` always asks
// `showmanyc`, which answers "as much as you want" until the end of input
// has been seen: a reader that asks for a few bytes with `readsome` then
// gets all of them, whatever the block boundaries and however slowly a pipe
// delivers. The last bytes consumed can be put back. A seekable descriptor
// can be moved forward or back relative to the current position (a skip
// over data nobody reads), a pipe cannot.
class FdInputBuf : public std::streambuf {
 public:
  explicit FdInputBuf(int fd, std::size_t blockSize = 65536);

  // The errno of the read that failed, 0 when none did.
  int error() const { return error_; }

  // For a reader on another thread that may be told to stop: a read waits
  // only while `cancelled` is false, and once it is set the input ends
  // without an error. Worth setting only where mayWait() (a pipe, a
  // terminal; a regular file never waits, and each read would then ask a
  // poll() for nothing). Null: reads wait as long as the input takes.
  void giveUpWaitingWhen(const std::atomic<bool>* cancelled);
  // Whether a read may wait for the input's writer.
  bool mayWait() const;
  // Forgets a read error: the reads that met it were made ahead of a user
  // who stopped before it reached them, and that user must see the input as
  // it saw it.
  void forgetError() { error_ = 0; }

 protected:
  int_type underflow() override;
  int_type uflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  std::streamsize showmanyc() override;
  int_type pbackfail(int_type c) override;
  pos_type seekoff(off_type off, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;

 private:
  bool refill();
  // Waits until the descriptor is readable, when a wait may be given up or
  // when `always`; false when the wait was given up.
  bool waitForInput(bool always);

  static constexpr std::size_t kPutBack = 16;
  int fd_;
  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  int error_ = 0;
  const std::atomic<bool>* cancelled_ = nullptr;
};

}  // namespace installer
