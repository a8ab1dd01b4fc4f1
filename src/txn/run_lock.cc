#include "txn/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace installer {

RunLock::~RunLock() {
  if (fd_ >= 0) close(fd_);
}

LockOutcome RunLock::acquire(const char* path) {
  if (fd_ >= 0) return LockOutcome::kHeld;
  // A planted link is not followed, and a FIFO put in the file's place must
  // not make the open wait for a writer.
  constexpr int kFlags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path, O_RDWR | O_CREAT | kFlags, 0600);
  // A read-only "/ram" that already holds the file still lets us lock it.
  if (fd < 0) fd = open(path, O_RDONLY | kFlags);
  if (fd < 0) return LockOutcome::kUnavailable;
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    const bool busy = errno == EWOULDBLOCK;
    close(fd);
    return busy ? LockOutcome::kBusy : LockOutcome::kUnavailable;
  }
  fd_ = fd;
  return LockOutcome::kHeld;
}

}  // namespace installer
