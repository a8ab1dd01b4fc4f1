// The descriptor stream buffers of the image mode: standard input read in
// blocks whatever the reads look like, and a capture that remembers why it
// failed.
#include "cli/fd_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <string>
#include <thread>

namespace installer {
namespace {

// A pipe fed with `data` by a writer thread, in small pieces, as a slow
// producer on the other end of standard input would.
class Pipe {
 public:
  explicit Pipe(std::string data) {
    if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    writer_ = std::thread([this, data = std::move(data)] {
      for (std::size_t at = 0; at < data.size(); at += 1000) {
        const std::size_t n = std::min<std::size_t>(1000, data.size() - at);
        if (write(fds_[1], data.data() + at, n) != static_cast<ssize_t>(n)) break;
      }
      close(fds_[1]);
    });
  }
  ~Pipe() {
    writer_.join();
    close(fds_[0]);
  }
  int readEnd() const { return fds_[0]; }

 private:
  int fds_[2];
  std::thread writer_;
};

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
}

TEST(FdInputBufTest, DeliversEveryByteAcrossBlocksAndPutBacks) {
  const std::string data = pattern(100000);
  Pipe pipe(data);
  FdInputBuf buf(pipe.readEnd(), 4096);
  std::istream in(&buf);
  std::string read;
  char chunk[3001];
  for (std::size_t step = 1; in; step = step % 2000 + 997) {
    in.read(chunk, static_cast<std::streamsize>(step));
    read.append(chunk, static_cast<std::size_t>(in.gcount()));
    // A byte just consumed can always be put back and read again.
    if (in.gcount() > 0 && in.unget()) {
      ASSERT_EQ(in.get(), static_cast<unsigned char>(read.back()));
    }
  }
  EXPECT_EQ(read, data);
}

TEST(FdInputBufTest, ReadsomeGetsWhatItAsksForUntilTheEnd) {
  Pipe pipe(pattern(10));
  FdInputBuf buf(pipe.readEnd(), 4);
  std::istream in(&buf);
  char bytes[8];
  EXPECT_EQ(in.readsome(bytes, 6), 6);
  EXPECT_EQ(in.readsome(bytes, 6), 4);
  EXPECT_EQ(in.readsome(bytes, 6), 0);
}

TEST(FdOutputBufTest, WritesEverythingAndReportsItsFirstFailure) {
  char name[] = "/tmp/fdout-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  {
    FdOutputBuf out(fd, 1000);
    const std::string data = pattern(5555);
    EXPECT_EQ(out.sputn(data.data(), static_cast<std::streamsize>(data.size())), 5555);
    EXPECT_TRUE(out.close());
  }
  char buffer[6000];
  const int back = open(name, O_RDONLY);
  EXPECT_EQ(read(back, buffer, sizeof buffer), 5555);
  EXPECT_EQ(std::string(buffer, 5555), pattern(5555));
  close(back);
  unlink(name);

  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  FdOutputBuf out(full, 16);
  const std::string data = pattern(100);
  out.sputn(data.data(), static_cast<std::streamsize>(data.size()));
  EXPECT_FALSE(out.close());
  EXPECT_TRUE(out.failed());
  EXPECT_EQ(out.error(), ENOSPC);
}

}  // namespace
}  // namespace installer
