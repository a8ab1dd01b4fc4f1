// Fault injection for end-to-end tests, loaded with LD_PRELOAD into the real
// installer. It counts the calls that change the file system and makes one
// of them fail or ends the process there. Set through the environment:
//
//   FAULT_AT=N         act at the Nth counted call (1-based); 0 or unset: never
//   FAULT_ACTION=fail  the call fails with FAULT_ERRNO without doing anything
//               exit   the process ends with _exit(FAULT_EXIT_STATUS, default 99)
//               kill   the process sends itself SIGKILL
//   FAULT_ERRNO=ENOSPC | EIO | EACCES | a number          (default EIO)
//   FAULT_CALLS=write,fsync,...   the kinds counted (default: all below)
//   FAULT_SKIP_SYNC=1  sync() is counted but not passed on: it flushes every
//                      file system of the machine, which only costs time
//                      in tests (a killed process loses nothing it wrote);
//                   =all  fsync() and fdatasync() too (they then succeed),
//                      to measure what the durability of a run costs
//   FAULT_LOG=FILE     appends "N kind detail" for every counted call (opened
//                      when the library loads, before any change of root);
//                      the detail is the path (for calls on a descriptor, the
//                      path it was opened with), for renames "TO from FROM"
//
// Kinds: write (write, writev, pwrite; not on descriptors 0 to 2), fsync
// (fsync, fdatasync), sync, rename, mkstemp (mkstemp, mkostemp and their
// 64-bit names), open (open, openat, creat, fopen when they may create or
// change a file; FAULT_READS=1 counts read-only opens too), symlink, unlink
// (unlink, unlinkat, remove), rmdir, mkdir, chmod (chmod, fchmod), truncate
// (truncate, ftruncate). "sync" cannot fail, so it is only counted for exit
// and kill.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

enum Action { kNone, kFail, kExit, kKill };

struct Settings {
  bool ready = false;
  long at = 0;
  Action action = kNone;
  int error = EIO;
  int exitStatus = 99;
  bool reads = false;
  char calls[256] = "";
  int logFd = -1;
  long count = 0;
  bool skipSync = false;
  bool skipFsync = false;
};

Settings settings;

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int errnoByName(const char* text) {
  if (text == nullptr) return EIO;
  if (strcmp(text, "ENOSPC") == 0) return ENOSPC;
  if (strcmp(text, "EIO") == 0) return EIO;
  if (strcmp(text, "EACCES") == 0) return EACCES;
  if (strcmp(text, "EROFS") == 0) return EROFS;
  if (strcmp(text, "EDQUOT") == 0) return EDQUOT;
  const int number = atoi(text);
  return number > 0 ? number : EIO;
}

void setUp() {
  if (settings.ready) return;
  settings.ready = true;
  if (const char* at = getenv("FAULT_AT")) settings.at = atol(at);
  if (const char* action = getenv("FAULT_ACTION")) {
    if (strcmp(action, "fail") == 0) settings.action = kFail;
    if (strcmp(action, "exit") == 0) settings.action = kExit;
    if (strcmp(action, "kill") == 0) settings.action = kKill;
  }
  settings.error = errnoByName(getenv("FAULT_ERRNO"));
  if (const char* status = getenv("FAULT_EXIT_STATUS")) settings.exitStatus = atoi(status);
  if (const char* reads = getenv("FAULT_READS")) settings.reads = strcmp(reads, "1") == 0;
  if (const char* skip = getenv("FAULT_SKIP_SYNC")) {
    settings.skipSync = strcmp(skip, "1") == 0 || strcmp(skip, "all") == 0;
    settings.skipFsync = strcmp(skip, "all") == 0;
  }
  if (const char* calls = getenv("FAULT_CALLS")) {
    snprintf(settings.calls, sizeof settings.calls, ",%s,", calls);
  }
  if (const char* log = getenv("FAULT_LOG")) {
    using OpenFn = int (*)(const char*, int, ...);
    static const OpenFn openReal = real<OpenFn>("open");
    settings.logFd = openReal(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
}

// Read at load time, before the installer changes its root: FAULT_LOG names
// a file as seen from where the process starts.
__attribute__((constructor)) void setUpAtLoad() { setUp(); }

bool counted(const char* kind) {
  if (settings.calls[0] == '\0') return true;
  char key[32];
  snprintf(key, sizeof key, ",%s,", kind);
  return strstr(settings.calls, key) != nullptr;
}

void logCall(long n, const char* kind, const char* detail) {
  if (settings.logFd < 0) return;
  using WriteFn = ssize_t (*)(int, const void*, size_t);
  static const WriteFn writeReal = real<WriteFn>("write");
  char line[4200];
  const int length = snprintf(line, sizeof line, "%ld %s %s\n", n, kind, detail);
  if (length > 0) {
    writeReal(
        settings.logFd, line,
        static_cast<size_t>(length) < sizeof line ? static_cast<size_t>(length) : sizeof line - 1);
  }
}

// Counts the call; true when it is to fail (errno is then set).
bool strike(const char* kind, const char* detail) {
  setUp();
  if (!counted(kind)) return false;
  const long n = ++settings.count;
  logCall(n, kind, detail == nullptr ? "-" : detail);
  if (settings.at <= 0 || n != settings.at) return false;
  switch (settings.action) {
    case kExit:
      _exit(settings.exitStatus);
    case kKill:
      kill(getpid(), SIGKILL);
      _exit(137);
    case kFail:
      if (strcmp(kind, "sync") == 0) return false;
      errno = settings.error;
      return true;
    case kNone:
      break;
  }
  return false;
}

// The path each descriptor was opened with, so that the log can name the
// file a write or a sync went to.
constexpr int kTrackedFds = 1024;
char fdPaths[kTrackedFds][256];

int remember(int fd, const char* path) {
  if (fd >= 0 && fd < kTrackedFds) snprintf(fdPaths[fd], sizeof fdPaths[fd], "%s", path);
  return fd;
}

bool strikeFd(const char* kind, int fd) {
  char detail[300];
  if (fd >= 0 && fd < kTrackedFds && fdPaths[fd][0] != '\0') {
    snprintf(detail, sizeof detail, "%s", fdPaths[fd]);
  } else {
    snprintf(detail, sizeof detail, "fd=%d", fd);
  }
  return strike(kind, detail);
}

bool strikeRename(const char* from, const char* to) {
  char detail[600];
  snprintf(detail, sizeof detail, "%s from %s", to, from);
  return strike("rename", detail);
}

bool changesFile(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

bool strikeOpen(const char* path, int flags) {
  setUp();
  if (!changesFile(flags) && !settings.reads) return false;
  return strike("open", path);
}

bool fopenChanges(const char* mode) {
  return mode != nullptr && (strchr(mode, 'w') != nullptr || strchr(mode, 'a') != nullptr ||
                             strchr(mode, '+') != nullptr);
}

mode_t modeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
  return next(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  return next(fd, iov, count);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  return next(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  return next(fd, data, size, offset);
}

int fsync(int fd) {
  if (strikeFd("fsync", fd)) return -1;
  if (settings.skipFsync) return 0;
  static const auto next = real<int (*)(int)>("fsync");
  return next(fd);
}

int fdatasync(int fd) {
  if (strikeFd("fsync", fd)) return -1;
  if (settings.skipFsync) return 0;
  static const auto next = real<int (*)(int)>("fdatasync");
  return next(fd);
}

void sync() {
  strike("sync", nullptr);
  if (settings.skipSync) return;
  static const auto next = real<void (*)()>("sync");
  next();
}

int rename(const char* from, const char* to) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(const char*, const char*)>("rename");
  return next(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
  return next(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return next(fromDir, from, toDir, to, flags);
}

int mkstemp(char* pattern) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*)>("mkstemp");
  return remember(next(pattern), pattern);
}

int mkstemp64(char* pattern) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*)>("mkstemp64");
  return remember(next(pattern), pattern);
}

int mkostemp(char* pattern, int flags) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*, int)>("mkostemp");
  return remember(next(pattern, flags), pattern);
}

int mkostemp64(char* pattern, int flags) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*, int)>("mkostemp64");
  return remember(next(pattern, flags), pattern);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(const char*, int, ...)>("open");
  return remember(next(path, flags, mode), path);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(const char*, int, ...)>("open64");
  return remember(next(path, flags, mode), path);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat");
  return remember(next(dir, path, flags, mode), path);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat64");
  return remember(next(dir, path, flags, mode), path);
}

int creat(const char* path, mode_t mode) {
  if (strikeOpen(path, O_CREAT | O_WRONLY | O_TRUNC)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("creat");
  return remember(next(path, mode), path);
}

FILE* fopen(const char* path, const char* mode) {
  if (strikeOpen(path, fopenChanges(mode) ? O_WRONLY : O_RDONLY)) return nullptr;
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen");
  FILE* file = next(path, mode);
  if (file != nullptr) remember(fileno(file), path);
  return file;
}

FILE* fopen64(const char* path, const char* mode) {
  if (strikeOpen(path, fopenChanges(mode) ? O_WRONLY : O_RDONLY)) return nullptr;
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen64");
  FILE* file = next(path, mode);
  if (file != nullptr) remember(fileno(file), path);
  return file;
}

int symlink(const char* text, const char* path) {
  if (strike("symlink", path)) return -1;
  static const auto next = real<int (*)(const char*, const char*)>("symlink");
  return next(text, path);
}

int unlink(const char* path) {
  if (strike("unlink", path)) return -1;
  static const auto next = real<int (*)(const char*)>("unlink");
  return next(path);
}

int unlinkat(int dir, const char* path, int flags) {
  if (strike(flags & AT_REMOVEDIR ? "rmdir" : "unlink", path)) return -1;
  static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
  return next(dir, path, flags);
}

int remove(const char* path) {
  if (strike("unlink", path)) return -1;
  static const auto next = real<int (*)(const char*)>("remove");
  return next(path);
}

int rmdir(const char* path) {
  if (strike("rmdir", path)) return -1;
  static const auto next = real<int (*)(const char*)>("rmdir");
  return next(path);
}

int mkdir(const char* path, mode_t mode) {
  if (strike("mkdir", path)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
  return next(path, mode);
}

int chmod(const char* path, mode_t mode) {
  if (strike("chmod", path)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("chmod");
  return next(path, mode);
}

int fchmod(int fd, mode_t mode) {
  if (strikeFd("chmod", fd)) return -1;
  static const auto next = real<int (*)(int, mode_t)>("fchmod");
  return next(fd, mode);
}

int truncate(const char* path, off_t length) {
  if (strike("truncate", path)) return -1;
  static const auto next = real<int (*)(const char*, off_t)>("truncate");
  return next(path, length);
}

int ftruncate(int fd, off_t length) {
  if (strikeFd("truncate", fd)) return -1;
  static const auto next = real<int (*)(int, off_t)>("ftruncate");
  return next(fd, length);
}

}  // extern "C"
