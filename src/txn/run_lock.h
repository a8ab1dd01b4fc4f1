// The one-installer-at-a-time lock: an exclusive flock on
// "/ram/installer.lock", held for the rest of the process. Every run that may
// change the flash takes it before it changes anything; listing does not.
#pragma once

namespace installer {

inline constexpr const char* kRunLockPath = "/ram/installer.lock";

enum class LockOutcome {
  kHeld,         // this process holds the lock now
  kBusy,         // another process holds it: change nothing
  kUnavailable,  // no lock file can be made here (no "/ram", read-only):
                 // the run goes on without one, as a system without a
                 // writable "/ram" always has
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
  [[nodiscard]] LockOutcome acquire(const char* path = kRunLockPath);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace installer
