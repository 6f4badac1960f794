// flock(2) on the lock files of directories, with a gate that keeps waiting writers from being
// starved by readers.
#include "common/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include "common/names.h"

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::microseconds kFirstPause{100};
constexpr std::chrono::microseconds kLongestPause{1000};
// Where a try costs a round trip to a server (a shared file system), waiters pause this many
// times as long as a try took, so that their polling leaves the server to the holder, up to
// kSlowestPause.
constexpr int kPausePerTry = 16;
constexpr std::chrono::microseconds kSlowestPause{50000};

// Takes flock operation on fd, polling until deadline. 0 when taken, else the errno that stopped
// it (EWOULDBLOCK when the deadline passed).
int lock_until(int fd, int operation, Clock::time_point deadline) {
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    const Clock::time_point tried = Clock::now();
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    const int failure = errno;
    if (failure == EINTR) continue;
    const Clock::time_point now = Clock::now();
    if (failure != EWOULDBLOCK || now >= deadline) return failure;
    std::this_thread::sleep_for(pause);
    const auto cost = std::chrono::duration_cast<std::chrono::microseconds>(now - tried);
    const std::chrono::microseconds longest =
        std::min(kSlowestPause, std::max(kLongestPause, cost * kPausePerTry));
    pause = std::min(pause * 2, longest);
  }
}

// Opens the lock file name in the directory open at dir, making it when missing if make is set:
// never through a link. Invalid with errno set when it cannot be had. Every call on a shared
// file system costs a round trip: nothing else is asked of the file (O_CREAT refuses a directory
// under the name, O_NONBLOCK keeps a FIFO from blocking, and read-only is enough for flock).
UniqueFd open_lock_file(int dir, const char* name, bool make) {
  return UniqueFd(::openat(dir, name,
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (make ? O_CREAT : 0),
                           S_IRUSR | S_IWUSR | S_IRGRP));
}

// The lock of the directory open at dir: its lock file, or where that cannot be made because
// the tree is not writable here, the directory itself (one host only, but nothing shared can be
// changed through this host then either).
UniqueFd open_lock(int dir, bool make) {
  UniqueFd file = open_lock_file(dir, kLockFileName, make);
  if (file.valid() || (errno != EACCES && errno != EROFS && errno != EPERM)) return file;
  return UniqueFd(::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

}  // namespace

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    unlock();
    dir_ = std::move(other.dir_);
    lock_ = std::move(other.lock_);
    error_ = other.error_;
  }
  return *this;
}

DirectoryLock::Result DirectoryLock::lock(const char* dir, bool exclusive,
                                          std::chrono::microseconds wait) {
  return lock(UniqueFd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), exclusive, wait);
}

DirectoryLock::Result DirectoryLock::lock(UniqueFd dir, bool exclusive,
                                          std::chrono::microseconds wait, bool make_lock_file) {
  const int open_error = errno;
  unlock();
  if (!dir.valid()) {
    error_ = open_error;
    return Result::kNoDirectory;
  }
  UniqueFd lock_file = open_lock(dir.get(), make_lock_file);
  if (!lock_file.valid()) {
    error_ = errno;
    return error_ == ENOENT && !make_lock_file ? Result::kNoLockFile : Result::kFailed;
  }
  const int operation = exclusive ? LOCK_EX : LOCK_SH;
  const Clock::time_point deadline = Clock::now() + wait;

  // flock grants a shared lock whenever only shared locks are held, so a steady stream of
  // readers would keep a writer out for ever. Everyone therefore passes a gate first, the same
  // way (shared or exclusive) as the lock it wants: a waiting writer holds the gate and stops new
  // readers there until the ones inside have left. The gate is let go once the lock is held:
  // closing its descriptor releases it. A gate that cannot be had costs fairness, not safety.
  int failure = 0;
  {
    const UniqueFd gate = open_lock_file(dir.get(), kGateFileName, true);
    if (gate.valid()) failure = lock_until(gate.get(), operation, deadline);
    if (failure == 0) failure = lock_until(lock_file.get(), operation, deadline);
  }
  if (failure != 0) {
    error_ = failure;
    return failure == EWOULDBLOCK ? Result::kBusy : Result::kFailed;
  }
  dir_ = std::move(dir);
  lock_ = std::move(lock_file);
  return Result::kLocked;
}

void DirectoryLock::unlock() {
  if (lock_.valid()) {
    // Explicitly: a descriptor inherited by a forked child would otherwise keep the lock alive.
    ::flock(lock_.get(), LOCK_UN);
    lock_.reset();
  }
  dir_.reset();
}

}  // namespace kiv
