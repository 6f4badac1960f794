// An advisory lock on a directory, shared by every layer that guards files in it: the DBM files of
// a state directory and the property state files copied out of it. The lock is an flock(2) on a
// regular file inside the directory, not on the directory itself: on a file system shared by
// several hosts (GlusterFS, CephFS, NFSv4) locks on regular files exclude across hosts, locks on
// directories need not.
#ifndef KIV_COMMON_DIRECTORY_LOCK_H_
#define KIV_COMMON_DIRECTORY_LOCK_H_

#include <chrono>

#include "common/unique_fd.h"

namespace kiv {

// The lock of a directory, held while this object lives (or until unlock): an flock(2) on the
// directory's lock file kLockFileName (common/names.h), made on first use (mode 0640). flock locks
// belong to the open file description, so two holders in one process exclude each other just as
// two processes do. To get in, a holder first passes a gate, an flock of the directory's gate file
// kGateFileName taken the same way and let go at once; a writer waiting at the inner lock holds
// the gate, so readers that come after it wait behind it. Where the lock file cannot be made (a
// tree the server may only read), the directory itself is locked, which excludes on one host.
// Movable; not thread-safe itself: one object is used by one thread at a time.
class DirectoryLock {
 public:
  enum class Result {
    kLocked,       // the lock is held
    kNoDirectory,  // the directory could not be opened (error() tells why); nothing was created
    kBusy,         // the wait limit passed while others held the lock
    kFailed,       // flock failed for another reason (error() tells why)
    kNoLockFile,   // the directory has no lock file and none was to be made; nothing was made
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

  // The same for a directory opened already (any open, O_PATH too: the lock is on a file in it);
  // the lock owns it from now on. An invalid dir is kNoDirectory with the errno of the failed
  // open. Without make_lock_file, a directory without a lock file is kNoLockFile: a reader that
  // finds no lock file can tell whether there is anything to read before it makes one.
  Result lock(UniqueFd dir, bool exclusive, std::chrono::microseconds wait,
              bool make_lock_file = true);

  // Releases the lock and closes the descriptors; harmless when none is held.
  void unlock();

  bool held() const { return lock_.valid(); }
  // The locked directory while the lock is held (for the *at() calls under it), else -1.
  int fd() const { return held() ? dir_.get() : -1; }
  int error() const { return error_; }

 private:
  UniqueFd dir_;
  UniqueFd lock_;  // the lock file (or a second descriptor of the directory), locked
  int error_ = 0;
};

}  // namespace kiv

#endif  // KIV_COMMON_DIRECTORY_LOCK_H_
