// An advisory lock on a directory, shared by every layer that guards files in it: the DBM files of
// a state directory and the property state files copied out of it.
#ifndef KIV_COMMON_DIRECTORY_LOCK_H_
#define KIV_COMMON_DIRECTORY_LOCK_H_

#include <chrono>

#include "common/unique_fd.h"

namespace kiv {

// An flock(2) on a directory, held while this object lives (or until unlock). flock locks belong
// to the open file description, so two holders in one process exclude each other just as two
// processes do. To get in, a holder first passes a gate, the flock of the directory above taken
// the same way and let go at once; a writer waiting at the inner lock holds the gate, so readers
// that come after it wait behind it. Movable; not thread-safe itself: one object is used by one
// thread at a time.
class DirectoryLock {
 public:
  enum class Result {
    kLocked,       // the lock is held
    kNoDirectory,  // the directory could not be opened (error() tells why); nothing was created
    kBusy,         // the wait limit passed while others held the lock
    kFailed,       // flock failed for another reason (error() tells why)
  };

  DirectoryLock() = default;
  ~DirectoryLock() { unlock(); }
  DirectoryLock(DirectoryLock&& other) noexcept = default;
  DirectoryLock& operator=(DirectoryLock&& other) noexcept;
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Opens dir and locks it shared or exclusive, polling without blocking until wait has passed.
  // Any lock held before is released first.
  Result lock(const char* dir, bool exclusive, std::chrono::microseconds wait);

  // The same for a directory opened already (readable, not O_PATH: flock needs a real open); the
  // lock owns it from now on. An invalid dir is kNoDirectory with the errno of the failed open.
  Result lock(UniqueFd dir, bool exclusive, std::chrono::microseconds wait);

  // Releases the lock and closes the descriptor; harmless when none is held.
  void unlock();

  bool held() const { return fd_.valid(); }
  // The locked directory while the lock is held (for the *at() calls under it), else -1.
  int fd() const { return fd_.get(); }
  int error() const { return error_; }

 private:
  UniqueFd fd_;
  int error_ = 0;
};

}  // namespace kiv

#endif  // KIV_COMMON_DIRECTORY_LOCK_H_
