// The capture's descriptor stream buffer: written in blocks, and it
// remembers why it failed.
#include "cli/fd_streams.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <string>

namespace installer {
namespace {

std::string pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  return data;
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
