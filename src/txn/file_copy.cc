#include "txn/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "txn/file_io.h"

namespace installer {
namespace {

constexpr std::size_t kCopyBlock = 16384;

// Copies every byte of `in` to `out`; 0 or the errno of the first failure.
int copyContents(int in, int out, const std::function<void()>& onBlock) {
  char block[kCopyBlock];
  for (;;) {
    const ssize_t got = read(in, block, sizeof block);
    if (got == 0) return 0;
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (!writeAll(out, {block, static_cast<std::size_t>(got)})) return errno;
    if (onBlock) onBlock();
  }
}

}  // namespace

int copyToTemporary(TemporaryLog& log, const std::string& source, const std::string& dir,
                    std::string& copy, const std::function<void()>& onBlock) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  const int out = createTemporaryFile(log, dir, copy);
  if (out < 0) {
    const int error = errno;
    close(in);
    return error;
  }
  int error = copyContents(in, out, onBlock);
  close(in);
  // The move would have kept the source's permission bits; so does the copy.
  // Its data reaches the disk with the commit's one flush.
  if (error == 0 && fchmod(out, st.st_mode & 07777) != 0) error = errno;
  if (close(out) != 0 && error == 0) error = errno;
  if (error != 0) unlink(copy.c_str());
  return error;
}

}  // namespace installer
