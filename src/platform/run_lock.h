// The one-installer-at-a-time lock, held for the rest of the process. Every
// run that may change the flash takes it before it changes anything, and
// so does every recovery; a listing without it lists without recovering.
//
// It is an exclusive flock on the root directory, which is always there and
// cannot be swapped for a link or filled up: no run goes on unlocked
// because a file could not be made. The flock on "/ram/installer.lock" is
// taken too, when that file can be used, so that whoever waits on it still
// sees a run at work.
#pragma once

namespace installer {

inline constexpr const char* kRunLockPath = "/ram/installer.lock";
inline constexpr const char* kRunLockAnchor = "/";

enum class LockOutcome {
  kHeld,         // this process holds the lock now
  kBusy,         // another process holds it: change nothing
  kUnavailable,  // the directory could not be locked: change nothing
};

class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // Takes the lock without waiting. Taking it again while held answers
  // kHeld at once; the lock is given up when the object goes away (or the
  // process ends, whatever way it ends).
  [[nodiscard]] LockOutcome acquire(const char* path = kRunLockPath,
                                    const char* anchor = kRunLockAnchor);
  bool held() const { return anchorFd_ >= 0; }

 private:
  void release();

  int anchorFd_ = -1;
  int fileFd_ = -1;
};

}  // namespace installer
