// Counts the bytes a process writes to regular files, loaded with
// LD_PRELOAD. Writes to pipes, terminals, sockets and devices are not
// counted. At exit it appends one line "PID BYTES" to the file named by
// WRITECOUNT_OUT, which it opens when it loads, before the process can
// change its root. Every process that loads it adds its own line (children
// too), so the total of a command is the sum of the lines.
//
// Counted: write, writev, pwrite, pwritev (and their 64-bit names),
// copy_file_range, sendfile, and fwrite, whose own calls to write inside the
// C library are not seen. Not seen: fputs, fprintf and the like to files,
// and stores into mapped files.
// The library defines the calls under both their names (pwrite and
// pwrite64, ...): the names must not be mapped onto each other.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace {

std::atomic<std::uint64_t> written{0};
int outFd = -1;

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool isFile(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

template <typename N>
N counted(int fd, N result) {
  if (result > 0 && isFile(fd)) written += static_cast<std::uint64_t>(result);
  return result;
}

__attribute__((constructor)) void start() {
  const char* path = getenv("WRITECOUNT_OUT");
  if (path == nullptr) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // Out of the way of the descriptors the process numbers itself.
  outFd = fcntl(fd, F_DUPFD_CLOEXEC, 900);
  close(fd);
}

__attribute__((destructor)) void finish() {
  if (outFd < 0) return;
  char line[64];
  const int n = snprintf(line, sizeof line, "%ld %llu\n", static_cast<long>(getpid()),
                         static_cast<unsigned long long>(written.load()));
  if (n > 0) {
    static auto writeFn = real<ssize_t (*)(int, const void*, size_t)>("write");
    writeFn(outFd, line, static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  static auto fn = real<ssize_t (*)(int, const void*, size_t)>("write");
  return counted(fd, fn(fd, data, size));
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static auto fn = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  return counted(fd, fn(fd, iov, count));
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  static auto fn = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return counted(fd, fn(fd, data, size, offset));
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  static auto fn = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return counted(fd, fn(fd, data, size, offset));
}

ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t offset) {
  static auto fn = real<ssize_t (*)(int, const struct iovec*, int, off_t)>("pwritev");
  return counted(fd, fn(fd, iov, count, offset));
}

ssize_t pwritev64(int fd, const struct iovec* iov, int count, off64_t offset) {
  static auto fn = real<ssize_t (*)(int, const struct iovec*, int, off64_t)>("pwritev64");
  return counted(fd, fn(fd, iov, count, offset));
}

ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                        unsigned flags) {
  static auto fn =
      real<ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned)>("copy_file_range");
  return counted(out, fn(in, inOffset, out, outOffset, size, flags));
}

ssize_t sendfile(int out, int in, off_t* offset, size_t size) {
  static auto fn = real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile");
  return counted(out, fn(out, in, offset, size));
}

ssize_t sendfile64(int out, int in, off64_t* offset, size_t size) {
  static auto fn = real<ssize_t (*)(int, int, off64_t*, size_t)>("sendfile64");
  return counted(out, fn(out, in, offset, size));
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  static auto fn = real<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  const size_t done = fn(data, size, count, stream);
  const int fd = fileno(stream);
  if (fd >= 0 && isFile(fd)) written += static_cast<std::uint64_t>(done) * size;
  return done;
}

}  // extern "C"
