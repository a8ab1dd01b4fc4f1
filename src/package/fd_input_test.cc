// The descriptor stream buffer of package input: every byte delivered in
// blocks whatever the reads look like, skips on a seekable file, and a read
// error that ends the input and is remembered.
#include "package/fd_input.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
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

// A regular file holding `data`, open for reading; removed at the end.
class DataFile {
 public:
  explicit DataFile(const std::string& data) {
    char name[] = "/tmp/fdin-XXXXXX";
    fd_ = mkstemp(name);
    path_ = name;
    if (fd_ >= 0 && write(fd_, data.data(), data.size()) == static_cast<ssize_t>(data.size())) {
      lseek(fd_, 0, SEEK_SET);
    }
  }
  ~DataFile() {
    close(fd_);
    unlink(path_.c_str());
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::string path_;
};

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

// Standard input may come non-blocking from whoever started the installer:
// an empty pipe then answers "try again", which is no read error.
TEST(FdInputBufTest, ANonBlockingPipeThatIsEmptyForAWhileIsWaitedFor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
  const std::string data = pattern(20000);
  std::thread writer([&] {
    // Later than the first read, whatever the machine's speed.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(write(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fds[1]);
  });
  FdInputBuf buf(fds[0], 4096);
  std::istream in(&buf);
  std::string read(data.size() + 1, '\0');
  in.read(read.data(), static_cast<std::streamsize>(read.size()));
  read.resize(static_cast<std::size_t>(in.gcount()));
  writer.join();
  close(fds[0]);
  EXPECT_EQ(buf.error(), 0);
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

// Skips relative to the reader's position land on the right byte, within
// the block held and beyond it, forward and back; a pipe refuses the ones
// beyond what it holds.
TEST(FdInputBufTest, SkipsOnASeekableFile) {
  const std::string data = pattern(50000);
  DataFile file(data);
  FdInputBuf buf(file.fd(), 4096);
  std::istream in(&buf);
  std::size_t at = 0;
  for (const long skip : {10L, 3000L, 20000L, -5L, -10000L, 0L}) {
    SCOPED_TRACE(skip);
    ASSERT_NE(buf.pubseekoff(skip, std::ios_base::cur, std::ios_base::in), std::streampos(-1));
    at = static_cast<std::size_t>(static_cast<long>(at) + skip);
    char c = 0;
    ASSERT_TRUE(in.get(c));
    EXPECT_EQ(c, data[at]);
    ++at;
  }

  Pipe pipe(data);
  FdInputBuf piped(pipe.readEnd(), 4096);
  EXPECT_EQ(piped.pubseekoff(20000, std::ios_base::cur, std::ios_base::in), std::streampos(-1));
  std::string rest(data.size(), '\0');
  EXPECT_EQ(piped.sgetn(rest.data(), static_cast<std::streamsize>(rest.size())),
            static_cast<std::streamsize>(data.size()));
  EXPECT_EQ(rest, data);
}

// A read that fails ends the input like its end, never throws, and is
// remembered with its errno; the end of a pipe is no error.
TEST(FdInputBufTest, AReadErrorEndsTheInputAndIsRemembered) {
  const int directory = open("/", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(directory, 0);
  FdInputBuf buf(directory);
  std::istream in(&buf);
  char bytes[8];
  in.read(bytes, sizeof bytes);
  EXPECT_EQ(in.gcount(), 0);
  EXPECT_EQ(buf.error(), EISDIR);
  EXPECT_EQ(buf.pubseekoff(1, std::ios_base::cur, std::ios_base::in), std::streampos(-1));
  close(directory);

  Pipe pipe(pattern(10));
  FdInputBuf piped(pipe.readEnd());
  std::istream all(&piped);
  all.read(bytes, sizeof bytes);
  all.read(bytes, sizeof bytes);
  EXPECT_EQ(all.gcount(), 2);
  EXPECT_EQ(piped.error(), 0);
}

}  // namespace
}  // namespace installer
