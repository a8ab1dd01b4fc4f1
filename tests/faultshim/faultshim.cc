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
// and kill. syncfs counts as fsync; link (link, linkat) is a kind of its own.
//
//   FAULT_UNREADABLE=PATH  every read of a descriptor opened on PATH (the name
//                      as the process sees it, after any change of root)
//                      fails with FAULT_ERRNO; not counted, whatever
//                      FAULT_AT says: a disk that cannot give back one file.
//                      "-" names standard input (descriptor 0)
//   FAULT_READ_AFTER=N  the reads of FAULT_UNREADABLE first give back N bytes
//                      in all (a read that would pass them is cut there),
//                      and only the later ones fail: a bad block further in
//   FAULT_UNOPENABLE=PATH  every open of PATH fails with FAULT_ERRNO, the same
//                      way
//
//   FAULT_RECORD=FILE  writes the record of every call that changed the file
//                      system, with its arguments and the bytes written, for
//                      the power-cut replay (its format: the header comment
//                      of tests/powercut/call_record.h). Opened at load, like
//                      FAULT_LOG; independent of the counting above.
// The library defines the calls under both their names (pwrite and
// pwrite64, ...): the names must not be mapped onto each other.
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <initializer_list>

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
  int recordFd = -1;
  long count = 0;
  long recorded = 0;
  bool skipSync = false;
  bool skipFsync = false;
  char unreadable[1024] = "";
  char unopenable[1024] = "";
  long long readableBytes = 0;  // of the unreadable file, before its reads fail
};

Settings settings;

// The installer may read its input on a second thread while the first
// writes: the count, the log and the table of descriptors are kept under
// one lock (recursive: a counted call may look a descriptor up).
pthread_mutex_t shimLock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

class Locked {
 public:
  Locked() { pthread_mutex_lock(&shimLock); }
  ~Locked() { pthread_mutex_unlock(&shimLock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using OpenFn = int (*)(const char*, int, ...);
using WriteFn = ssize_t (*)(int, const void*, size_t);

ssize_t writeReal(int fd, const void* data, size_t size) {
  static const WriteFn next = real<WriteFn>("write");
  return next(fd, data, size);
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

int openOwnFile(const char* path) {
  static const OpenFn openReal = real<OpenFn>("open");
  return openReal(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
  if (const char* log = getenv("FAULT_LOG")) settings.logFd = openOwnFile(log);
  if (const char* record = getenv("FAULT_RECORD")) settings.recordFd = openOwnFile(record);
  if (const char* path = getenv("FAULT_UNREADABLE")) {
    snprintf(settings.unreadable, sizeof settings.unreadable, "%s", path);
  }
  if (const char* after = getenv("FAULT_READ_AFTER")) settings.readableBytes = atoll(after);
  if (const char* path = getenv("FAULT_UNOPENABLE")) {
    snprintf(settings.unopenable, sizeof settings.unopenable, "%s", path);
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
  Locked locked;
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

// Absolute names. The record and the log name files by the path the process
// would use from its root: a relative name is taken from the working
// directory or from the directory a descriptor was opened on, and "." and
// ".." are resolved by their text (the installer's paths hold no links to
// directories).
constexpr size_t kPathSize = 1024;
constexpr int kTrackedFds = 1024;
char fdPaths[kTrackedFds][kPathSize];

void normalize(char* path) {
  char out[kPathSize];
  size_t used = 0;
  const char* p = path;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    const size_t length = static_cast<size_t>(end - p);
    if (length == 0 || (length == 1 && p[0] == '.')) {
      // nothing
    } else if (length == 2 && p[0] == '.' && p[1] == '.') {
      while (used > 0 && out[used - 1] != '/') --used;
      if (used > 0) --used;
    } else if (used + 1 + length < kPathSize) {
      out[used++] = '/';
      memcpy(out + used, p, length);
      used += length;
    }
    p = end;
  }
  if (used == 0) out[used++] = '/';
  out[used] = '\0';
  memcpy(path, out, used + 1);
}

// `dir` is AT_FDCWD or a descriptor opened on a directory.
void resolve(int dir, const char* path, char* out) {
  if (path == nullptr) path = "";
  if (path[0] == '/') {
    snprintf(out, kPathSize, "%s", path);
  } else {
    char base[kPathSize] = "";
    if (dir == AT_FDCWD) {
      if (getcwd(base, sizeof base) == nullptr) base[0] = '\0';
    } else if (dir >= 0 && dir < kTrackedFds && fdPaths[dir][0] != '\0') {
      snprintf(base, sizeof base, "%s", fdPaths[dir]);
    } else {
      // A descriptor opened where the library did not see it: the name is
      // marked as not placed, for the reader of the record to refuse.
      snprintf(out, kPathSize, "?fd%d/%s", dir, path);
      return;
    }
    snprintf(out, kPathSize, "%s/%s", base, path);
  }
  normalize(out);
}

int remember(int fd, int dir, const char* path) {
  Locked locked;
  if (fd >= 0 && fd < kTrackedFds) resolve(dir, path, fdPaths[fd]);
  return fd;
}

int remember(int fd, const char* path) { return remember(fd, AT_FDCWD, path); }

void forget(int fd) {
  Locked locked;
  if (fd >= 0 && fd < kTrackedFds) fdPaths[fd][0] = '\0';
}

bool strikeFd(const char* kind, int fd) {
  Locked locked;
  char detail[kPathSize + 16];
  if (fd >= 0 && fd < kTrackedFds && fdPaths[fd][0] != '\0') {
    snprintf(detail, sizeof detail, "%s", fdPaths[fd]);
  } else {
    snprintf(detail, sizeof detail, "fd=%d", fd);
  }
  return strike(kind, detail);
}

bool strikeRename(const char* from, const char* to) {
  char detail[2 * kPathSize + 16];
  snprintf(detail, sizeof detail, "%s from %s", to, from);
  return strike("rename", detail);
}

bool changesFile(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

bool strikeOpen(const char* path, int flags) {
  setUp();
  if (settings.unopenable[0] != '\0') {
    char full[kPathSize];
    resolve(AT_FDCWD, path, full);
    if (strcmp(full, settings.unopenable) == 0) {
      errno = settings.error;
      return true;
    }
  }
  if (!changesFile(flags) && !settings.reads) return false;
  return strike("open", path);
}

bool unreadable(int fd) {
  if (settings.unreadable[0] == '\0' || fd < 0) return false;
  if (strcmp(settings.unreadable, "-") == 0) return fd == 0;
  return fd < kTrackedFds && strcmp(fdPaths[fd], settings.unreadable) == 0;
}

int fopenFlags(const char* mode) {
  if (mode == nullptr) return O_RDONLY;
  const bool plus = strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'w':
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
    case 'a':
      return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
    default:
      return plus ? O_RDWR : O_RDONLY;
  }
}

mode_t modeArgument(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

// The record of the calls (FAULT_RECORD). Each event is written with one
// call as soon as the call returns, so that a record survives the end of the
// process at any point.
bool recording() {
  setUp();
  return settings.recordFd >= 0;
}

// Appends `text` escaped as the record wants it: blanks, control bytes,
// "%" and bytes from 0x7f become "%XX".
size_t putEscaped(char* out, size_t used, size_t size, const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (used + 4 >= size) break;
    if (*p <= 0x20 || *p == '%' || *p >= 0x7f) {
      out[used++] = '%';
      out[used++] = kHex[*p >> 4];
      out[used++] = kHex[*p & 15];
    } else {
      out[used++] = static_cast<char>(*p);
    }
  }
  return used;
}

// One event: "N CALL" then `fields` (printf-formatted) then the escaped
// `path` and `second` when given, then the newline.
void recordEvent(const char* call, const char* path, const char* second, const char* fields, ...) {
  const int error = errno;
  char line[4 * kPathSize * 3];
  int length = snprintf(line, sizeof line, "%ld %s", ++settings.recorded, call);
  size_t used = length > 0 ? static_cast<size_t>(length) : 0;
  if (fields != nullptr && fields[0] != '\0') {
    va_list args;
    va_start(args, fields);
    line[used++] = ' ';
    length = vsnprintf(line + used, sizeof line - used, fields, args);
    va_end(args);
    if (length > 0) used += static_cast<size_t>(length);
  }
  for (const char* text : {path, second}) {
    if (text == nullptr) continue;
    line[used++] = ' ';
    used = putEscaped(line, used, sizeof line - 1, text);
  }
  line[used++] = '\n';
  writeReal(settings.recordFd, line, used);
  errno = error;
}

void recordPath(const char* call, int dir, const char* path) {
  if (!recording()) return;
  char full[kPathSize];
  resolve(dir, path, full);
  recordEvent(call, full, nullptr, "");
}

void recordModePath(const char* call, int dir, const char* path, mode_t mode) {
  if (!recording()) return;
  char full[kPathSize];
  resolve(dir, path, full);
  recordEvent(call, full, nullptr, "%o", static_cast<unsigned>(mode & 07777));
}

void recordTwoPaths(const char* call, int fromDir, const char* from, int toDir, const char* to) {
  if (!recording()) return;
  char source[kPathSize];
  char target[kPathSize];
  resolve(fromDir, from, source);
  resolve(toDir, to, target);
  recordEvent(call, source, target, "");
}

void recordFdCall(const char* call, int fd) {
  if (recording()) recordEvent(call, nullptr, nullptr, "%d", fd);
}

// The size of the descriptor's file, or -1 when it is not a regular file:
// the replay checks it against the writes it saw.
long long fileSize(int fd) {
  const int error = errno;
  struct stat st;
  const long long size = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
  errno = error;
  return size;
}

void recordFdSize(const char* call, int fd, long long size) {
  if (recording()) recordEvent(call, nullptr, nullptr, "%d %lld", fd, size);
}

// Whether a path names something now (an open with O_CREAT made the file
// when it did not).
bool present(int dir, const char* path) {
  struct stat st;
  return fstatat(dir, path, &st, 0) == 0;
}

// After an open: the descriptor, what the open asked for, whether it made
// the file, and the file's mode.
int recordOpen(int fd, int dir, const char* path, int flags, bool existed) {
  remember(fd, dir, path);
  if (fd < 0 || !recording()) return fd;
  const int error = errno;
  struct stat st;
  const unsigned mode = fstat(fd, &st) == 0 ? st.st_mode & 07777 : 0;
  const bool created = (flags & O_CREAT) != 0 && !existed;
  char full[kPathSize];
  resolve(dir, path, full);
  recordEvent("open", full, nullptr, "%d %x %d %o", fd, static_cast<unsigned>(flags),
              created ? 1 : 0, mode);
  errno = error;
  return fd;
}

int recordMkstemp(int fd, const char* pattern) {
  remember(fd, pattern);
  if (fd < 0 || !recording()) return fd;
  const int error = errno;
  struct stat st;
  const unsigned mode = fstat(fd, &st) == 0 ? st.st_mode & 07777 : 0600;
  char full[kPathSize];
  resolve(AT_FDCWD, pattern, full);
  recordEvent("mkstemp", full, nullptr, "%d %o", fd, mode);
  errno = error;
  return fd;
}

// After a write of `done` bytes at `offset` (-1: the descriptor's position,
// which the write has moved past them). Writes to what is not a file (a
// pipe, the console) are not the file system's business.
void recordWrite(int fd, const struct iovec* parts, int count, ssize_t done, off_t offset) {
  if (done <= 0 || fd <= 2 || !recording()) return;
  const int error = errno;
  if (offset < 0) {
    const off_t now = lseek(fd, 0, SEEK_CUR);
    if (now < 0) {
      errno = error;
      return;
    }
    offset = now - done;
  }
  recordEvent("write", nullptr, nullptr, "%d %lld %lld", fd, static_cast<long long>(offset),
              static_cast<long long>(done));
  size_t left = static_cast<size_t>(done);
  for (int i = 0; i < count && left > 0; ++i) {
    const size_t piece = parts[i].iov_len < left ? parts[i].iov_len : left;
    writeReal(settings.recordFd, parts[i].iov_base, piece);
    left -= piece;
  }
  writeReal(settings.recordFd, "\n", 1);
  errno = error;
}

void recordWrite(int fd, const void* data, ssize_t done, off_t offset) {
  struct iovec part = {const_cast<void*>(data), done > 0 ? static_cast<size_t>(done) : 0};
  recordWrite(fd, &part, 1, done, offset);
}

}  // namespace

extern "C" {

ssize_t read(int fd, void* data, size_t size) {
  static const auto next = real<ssize_t (*)(int, void*, size_t)>("read");
  long long readable = 0;
  {
    Locked locked;
    if (!unreadable(fd)) {
      readable = -1;
    } else {
      readable = settings.readableBytes > 0 ? settings.readableBytes : 0;
    }
  }
  if (readable < 0) return next(fd, data, size);
  if (readable == 0) {
    errno = settings.error;
    return -1;
  }
  // Not under the lock: a read of a pipe may wait for its writer.
  const ssize_t done = next(
      fd, data, static_cast<long long>(size) > readable ? static_cast<size_t>(readable) : size);
  if (done > 0) {
    Locked locked;
    settings.readableBytes -= done;
  }
  return done;
}

ssize_t write(int fd, const void* data, size_t size) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  const ssize_t done = writeReal(fd, data, size);
  recordWrite(fd, data, done, -1);
  return done;
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const struct iovec*, int)>("writev");
  const ssize_t done = next(fd, iov, count);
  recordWrite(fd, iov, count, done, -1);
  return done;
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  const ssize_t done = next(fd, data, size, offset);
  recordWrite(fd, data, done, offset);
  return done;
}

ssize_t pwrite64(int fd, const void* data, size_t size, off64_t offset) {
  if (fd > 2 && strikeFd("write", fd)) return -1;
  static const auto next = real<ssize_t (*)(int, const void*, size_t, off64_t)>("pwrite64");
  const ssize_t done = next(fd, data, size, offset);
  recordWrite(fd, data, done, offset);
  return done;
}

int fsync(int fd) {
  if (strikeFd("fsync", fd)) return -1;
  int result = 0;
  if (!settings.skipFsync) {
    static const auto next = real<int (*)(int)>("fsync");
    result = next(fd);
  }
  if (result == 0 && recording()) recordFdSize("fsync", fd, fileSize(fd));
  return result;
}

int fdatasync(int fd) {
  if (strikeFd("fsync", fd)) return -1;
  int result = 0;
  if (!settings.skipFsync) {
    static const auto next = real<int (*)(int)>("fdatasync");
    result = next(fd);
  }
  if (result == 0 && recording()) recordFdSize("fdatasync", fd, fileSize(fd));
  return result;
}

int syncfs(int fd) {
  if (strikeFd("fsync", fd)) return -1;
  int result = 0;
  if (!settings.skipFsync) {
    static const auto next = real<int (*)(int)>("syncfs");
    result = next(fd);
  }
  if (result == 0) recordFdCall("syncfs", fd);
  return result;
}

int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int flags) {
  static const auto next = real<int (*)(int, off64_t, off64_t, unsigned)>("sync_file_range");
  const int result = next(fd, offset, length, flags);
  if (result == 0 && recording()) {
    recordEvent("sync_file_range", nullptr, nullptr, "%d %lld %lld %u", fd,
                static_cast<long long>(offset), static_cast<long long>(length), flags);
  }
  return result;
}

void sync() {
  strike("sync", nullptr);
  if (!settings.skipSync) {
    static const auto next = real<void (*)()>("sync");
    next();
  }
  if (recording()) recordEvent("sync", nullptr, nullptr, "");
}

int close(int fd) {
  static const auto next = real<int (*)(int)>("close");
  const long long size = fd > 2 && recording() ? fileSize(fd) : -1;
  const int result = next(fd);
  // The descriptor is gone whatever close answers.
  if (fd > 2) recordFdSize("close", fd, size);
  forget(fd);
  return result;
}

// Copies of a descriptor lead to the same file.
int recordDup(int fd, int copy) {
  if (copy < 0 || copy == fd) return copy;
  Locked locked;
  if (copy < kTrackedFds) {
    if (fd >= 0 && fd < kTrackedFds) {
      memcpy(fdPaths[copy], fdPaths[fd], kPathSize);
    } else {
      fdPaths[copy][0] = '\0';
    }
  }
  if (recording()) recordEvent("dup", nullptr, nullptr, "%d %d", fd, copy);
  return copy;
}

int dup(int fd) {
  static const auto next = real<int (*)(int)>("dup");
  return recordDup(fd, next(fd));
}

int dup2(int fd, int copy) {
  static const auto next = real<int (*)(int, int)>("dup2");
  return recordDup(fd, next(fd, copy));
}

int dup3(int fd, int copy, int flags) {
  static const auto next = real<int (*)(int, int, int)>("dup3");
  return recordDup(fd, next(fd, copy, flags));
}

// Only the duplicating commands are looked at; every command's one argument
// is passed on as the C library's own wrapper does.
int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* argument = va_arg(args, void*);
  va_end(args);
  static const auto next = real<int (*)(int, int, ...)>("fcntl");
  const int result = next(fd, command, argument);
  if (command == F_DUPFD || command == F_DUPFD_CLOEXEC) return recordDup(fd, result);
  return result;
}

int rename(const char* from, const char* to) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(const char*, const char*)>("rename");
  const int result = next(from, to);
  if (result == 0) recordTwoPaths("rename", AT_FDCWD, from, AT_FDCWD, to);
  return result;
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(int, const char*, int, const char*)>("renameat");
  const int result = next(fromDir, from, toDir, to);
  if (result == 0) recordTwoPaths("rename", fromDir, from, toDir, to);
  return result;
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (strikeRename(from, to)) return -1;
  static const auto next = real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  const int result = next(fromDir, from, toDir, to, flags);
  // An exchange of two names is no rename (the replay refuses it); a rename
  // that may not replace did the same as a plain one when it succeeded.
  if (result == 0) {
    recordTwoPaths((flags & RENAME_EXCHANGE) == 0 ? "rename" : "rename-exchange", fromDir, from,
                   toDir, to);
  }
  return result;
}

int link(const char* from, const char* to) {
  if (strike("link", to)) return -1;
  static const auto next = real<int (*)(const char*, const char*)>("link");
  const int result = next(from, to);
  if (result == 0) recordTwoPaths("link", AT_FDCWD, from, AT_FDCWD, to);
  return result;
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  if (strike("link", to)) return -1;
  static const auto next = real<int (*)(int, const char*, int, const char*, int)>("linkat");
  const int result = next(fromDir, from, toDir, to, flags);
  if (result == 0) recordTwoPaths("link", fromDir, from, toDir, to);
  return result;
}

int mkstemp(char* pattern) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*)>("mkstemp");
  return recordMkstemp(next(pattern), pattern);
}

int mkstemp64(char* pattern) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*)>("mkstemp64");
  return recordMkstemp(next(pattern), pattern);
}

int mkostemp(char* pattern, int flags) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*, int)>("mkostemp");
  return recordMkstemp(next(pattern, flags), pattern);
}

int mkostemp64(char* pattern, int flags) {
  if (strike("mkstemp", pattern)) return -1;
  static const auto next = real<int (*)(char*, int)>("mkostemp64");
  return recordMkstemp(next(pattern, flags), pattern);
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(const char*, int, ...)>("open");
  const bool existed = recording() && present(AT_FDCWD, path);
  return recordOpen(next(path, flags, mode), AT_FDCWD, path, flags, existed);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(const char*, int, ...)>("open64");
  const bool existed = recording() && present(AT_FDCWD, path);
  return recordOpen(next(path, flags, mode), AT_FDCWD, path, flags, existed);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat");
  const bool existed = recording() && present(dir, path);
  return recordOpen(next(dir, path, flags, mode), dir, path, flags, existed);
}

int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = modeArgument(flags, args);
  va_end(args);
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(int, const char*, int, ...)>("openat64");
  const bool existed = recording() && present(dir, path);
  return recordOpen(next(dir, path, flags, mode), dir, path, flags, existed);
}

int creat(const char* path, mode_t mode) {
  const int flags = O_CREAT | O_WRONLY | O_TRUNC;
  if (strikeOpen(path, flags)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("creat");
  const bool existed = recording() && present(AT_FDCWD, path);
  return recordOpen(next(path, mode), AT_FDCWD, path, flags, existed);
}

FILE* fopen(const char* path, const char* mode) {
  const int flags = fopenFlags(mode);
  if (strikeOpen(path, flags)) return nullptr;
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen");
  const bool existed = recording() && present(AT_FDCWD, path);
  FILE* file = next(path, mode);
  if (file != nullptr) recordOpen(fileno(file), AT_FDCWD, path, flags, existed);
  return file;
}

FILE* fopen64(const char* path, const char* mode) {
  const int flags = fopenFlags(mode);
  if (strikeOpen(path, flags)) return nullptr;
  static const auto next = real<FILE* (*)(const char*, const char*)>("fopen64");
  const bool existed = recording() && present(AT_FDCWD, path);
  FILE* file = next(path, mode);
  if (file != nullptr) recordOpen(fileno(file), AT_FDCWD, path, flags, existed);
  return file;
}

// The C library closes these descriptors inside, where close is not seen.
int fclose(FILE* file) {
  const int fd = file != nullptr ? fileno(file) : -1;
  static const auto next = real<int (*)(FILE*)>("fclose");
  // The size after the stream's buffer went out.
  if (file != nullptr) fflush(file);
  const long long size = fd > 2 && recording() ? fileSize(fd) : -1;
  const int result = next(file);
  if (fd > 2) recordFdSize("close", fd, size);
  forget(fd);
  return result;
}

DIR* opendir(const char* path) {
  static const auto next = real<DIR* (*)(const char*)>("opendir");
  DIR* dir = next(path);
  if (dir != nullptr) recordOpen(dirfd(dir), AT_FDCWD, path, O_RDONLY | O_DIRECTORY, true);
  return dir;
}

int closedir(DIR* dir) {
  const int fd = dir != nullptr ? dirfd(dir) : -1;
  static const auto next = real<int (*)(DIR*)>("closedir");
  const int result = next(dir);
  if (fd > 2) recordFdCall("close", fd);
  forget(fd);
  return result;
}

int symlink(const char* text, const char* path) {
  if (strike("symlink", path)) return -1;
  static const auto next = real<int (*)(const char*, const char*)>("symlink");
  const int result = next(text, path);
  if (result == 0 && recording()) {
    char full[kPathSize];
    resolve(AT_FDCWD, path, full);
    recordEvent("symlink", full, text, "");
  }
  return result;
}

int symlinkat(const char* text, int dir, const char* path) {
  if (strike("symlink", path)) return -1;
  static const auto next = real<int (*)(const char*, int, const char*)>("symlinkat");
  const int result = next(text, dir, path);
  if (result == 0 && recording()) {
    char full[kPathSize];
    resolve(dir, path, full);
    recordEvent("symlink", full, text, "");
  }
  return result;
}

int unlink(const char* path) {
  if (strike("unlink", path)) return -1;
  static const auto next = real<int (*)(const char*)>("unlink");
  const int result = next(path);
  if (result == 0) recordPath("unlink", AT_FDCWD, path);
  return result;
}

int unlinkat(int dir, const char* path, int flags) {
  const bool directory = (flags & AT_REMOVEDIR) != 0;
  if (strike(directory ? "rmdir" : "unlink", path)) return -1;
  static const auto next = real<int (*)(int, const char*, int)>("unlinkat");
  const int result = next(dir, path, flags);
  if (result == 0) recordPath(directory ? "rmdir" : "unlink", dir, path);
  return result;
}

int remove(const char* path) {
  if (strike("unlink", path)) return -1;
  static const auto next = real<int (*)(const char*)>("remove");
  struct stat st;
  const bool directory = lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
  const int result = next(path);
  if (result == 0) recordPath(directory ? "rmdir" : "unlink", AT_FDCWD, path);
  return result;
}

int rmdir(const char* path) {
  if (strike("rmdir", path)) return -1;
  static const auto next = real<int (*)(const char*)>("rmdir");
  const int result = next(path);
  if (result == 0) recordPath("rmdir", AT_FDCWD, path);
  return result;
}

// The mode a directory was made with, after the umask.
void recordMkdir(int dir, const char* path) {
  if (!recording()) return;
  struct stat st;
  const mode_t made = fstatat(dir, path, &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_mode : 0755;
  recordModePath("mkdir", dir, path, made);
}

int mkdir(const char* path, mode_t mode) {
  if (strike("mkdir", path)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("mkdir");
  const int result = next(path, mode);
  if (result == 0) recordMkdir(AT_FDCWD, path);
  return result;
}

int mkdirat(int dir, const char* path, mode_t mode) {
  if (strike("mkdir", path)) return -1;
  static const auto next = real<int (*)(int, const char*, mode_t)>("mkdirat");
  const int result = next(dir, path, mode);
  if (result == 0) recordMkdir(dir, path);
  return result;
}

int chmod(const char* path, mode_t mode) {
  if (strike("chmod", path)) return -1;
  static const auto next = real<int (*)(const char*, mode_t)>("chmod");
  const int result = next(path, mode);
  if (result == 0) recordModePath("chmod", AT_FDCWD, path, mode);
  return result;
}

int fchmodat(int dir, const char* path, mode_t mode, int flags) {
  if (strike("chmod", path)) return -1;
  static const auto next = real<int (*)(int, const char*, mode_t, int)>("fchmodat");
  const int result = next(dir, path, mode, flags);
  if (result == 0) recordModePath("chmod", dir, path, mode);
  return result;
}

int fchmod(int fd, mode_t mode) {
  if (strikeFd("chmod", fd)) return -1;
  static const auto next = real<int (*)(int, mode_t)>("fchmod");
  const int result = next(fd, mode);
  if (result == 0 && recording()) {
    recordEvent("fchmod", nullptr, nullptr, "%d %o", fd, static_cast<unsigned>(mode & 07777));
  }
  return result;
}

int truncate(const char* path, off_t length) {
  if (strike("truncate", path)) return -1;
  static const auto next = real<int (*)(const char*, off_t)>("truncate");
  const int result = next(path, length);
  if (result == 0 && recording()) {
    char full[kPathSize];
    resolve(AT_FDCWD, path, full);
    recordEvent("truncate-path", full, nullptr, "%lld", static_cast<long long>(length));
  }
  return result;
}

int ftruncate(int fd, off_t length) {
  if (strikeFd("truncate", fd)) return -1;
  static const auto next = real<int (*)(int, off_t)>("ftruncate");
  const int result = next(fd, length);
  if (result == 0 && recording()) {
    recordEvent("truncate", nullptr, nullptr, "%d %lld", fd, static_cast<long long>(length));
  }
  return result;
}

int chroot(const char* path) {
  static const auto next = real<int (*)(const char*)>("chroot");
  char full[kPathSize];
  resolve(AT_FDCWD, path, full);
  const int result = next(path);
  if (result == 0 && recording()) recordEvent("chroot", full, nullptr, "");
  return result;
}

int chdir(const char* path) {
  static const auto next = real<int (*)(const char*)>("chdir");
  const int result = next(path);
  if (result == 0) recordPath("chdir", AT_FDCWD, ".");
  return result;
}

}  // extern "C"
