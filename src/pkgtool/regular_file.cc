#include "pkgtool/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

RegularFileStream::~RegularFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

RegularOpen RegularFileStream::open(const std::string& path) {
  // Without O_NONBLOCK the open of a FIFO alone waits for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return RegularOpen::kFailed;
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return RegularOpen::kFailed;
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return RegularOpen::kNotRegular;
  }
  // Reads of a regular file never wait; the flag is cleared all the same.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  buffer_ = std::make_unique<FdInputBuf>(fd);
  rdbuf(buffer_.get());
  clear();
  return RegularOpen::kOpened;
}

}  // namespace installer
