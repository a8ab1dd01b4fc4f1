#include "platform/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace installer {
namespace {

// kHeld, kBusy or kUnavailable for an exclusive flock on `fd`.
LockOutcome lockExclusive(int fd) {
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result == 0) return LockOutcome::kHeld;
  return errno == EWOULDBLOCK ? LockOutcome::kBusy : LockOutcome::kUnavailable;
}

}  // namespace

RunLock::~RunLock() { release(); }

void RunLock::release() {
  if (fileFd_ >= 0) close(fileFd_);
  if (anchorFd_ >= 0) close(anchorFd_);
  fileFd_ = anchorFd_ = -1;
}

LockOutcome RunLock::acquire(const char* path, const char* anchor) {
  if (anchorFd_ >= 0) return LockOutcome::kHeld;
  const int dir = open(anchor, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) return LockOutcome::kUnavailable;
  if (const LockOutcome outcome = lockExclusive(dir); outcome != LockOutcome::kHeld) {
    close(dir);
    return outcome;
  }
  anchorFd_ = dir;
  // A planted link is not followed, and a FIFO put in the file's place must
  // not make the open wait for a writer.
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path, O_RDWR | O_CREAT | kFlags, 0600);
  // A read-only "/ram" that already holds the file still lets us lock it.
  if (fd < 0) fd = open(path, O_RDONLY | kFlags);
  // Where the file cannot be used, the directory's lock is enough.
  if (fd < 0) return LockOutcome::kHeld;
  const LockOutcome outcome = lockExclusive(fd);
  if (outcome == LockOutcome::kBusy) {
    close(fd);
    release();
    return LockOutcome::kBusy;
  }
  if (outcome == LockOutcome::kHeld) {
    fileFd_ = fd;
  } else {
    close(fd);
  }
  return LockOutcome::kHeld;
}

}  // namespace installer
