#include "txn/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/sandbox.h"

namespace installer {
namespace {

namespace ts = testing_support;

// What may stand where a file of ours is opened, and whether it is opened.
TEST(OpenOwnRegularFile, OnlyARegularFileOfItsOwnName) {
  ts::TempRoot dir;
  ts::writeFile(dir / "/plain", "text");
  ts::writeFile(dir / "/elsewhere", "kept");
  ASSERT_EQ(symlink((dir / "/elsewhere").c_str(), (dir / "/link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "/fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((dir / "/directory").c_str(), 0755), 0);
  struct Case {
    const char* name;
    int flags;
    bool opens;
  } cases[] = {
      {"/plain", O_RDONLY, true},
      {"/plain", O_WRONLY | O_CREAT | O_TRUNC, true},
      {"/absent", O_WRONLY | O_CREAT, true},
      {"/absent-read", O_RDONLY, false},
      {"/link", O_WRONLY | O_CREAT | O_TRUNC, false},
      {"/link", O_RDONLY, false},
      // Opening a FIFO must neither wait for its other end nor succeed.
      {"/fifo", O_RDONLY, false},
      {"/fifo", O_WRONLY | O_CREAT, false},
      {"/directory", O_RDONLY, false},
  };
  for (const Case& c : cases) {
    const int fd = openOwnRegularFile((dir / c.name).c_str(), c.flags, 0600);
    EXPECT_EQ(fd >= 0, c.opens) << c.name << " flags " << c.flags;
    if (fd >= 0) {
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << c.name;
      close(fd);
    }
  }
  EXPECT_EQ(ts::readFile(dir / "/elsewhere"), "kept") << "the link's target is untouched";
  EXPECT_EQ(ts::readFile(dir / "/plain"), "") << "truncated through the plain name";
}

TEST(WriteAll, WritesEveryByteOrSaysWhy) {
  ts::TempRoot dir;
  const std::string path = dir / "/out";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  // More than a pipe or a single page takes at once.
  const std::string big(1 << 20, 'x');
  EXPECT_TRUE(writeAll(fd, "head "));
  EXPECT_TRUE(writeAll(fd, big));
  EXPECT_TRUE(writeAll(fd, ""));
  close(fd);
  EXPECT_EQ(ts::readFile(path), "head " + big);

  const int readOnly = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(readOnly, 0);
  errno = 0;
  EXPECT_FALSE(writeAll(readOnly, "x"));
  EXPECT_EQ(errno, EBADF);
  close(readOnly);
}

}  // namespace
}  // namespace installer
