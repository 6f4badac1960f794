// flock(2) on directories, with a gate that keeps waiting writers from being starved by readers.
#include "common/directory_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <thread>
#include <utility>

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::microseconds kFirstPause{100};
constexpr std::chrono::microseconds kLongestPause{1000};

// Takes flock operation on fd, polling until deadline. 0 when taken, else the errno that stopped
// it (EWOULDBLOCK when the deadline passed).
int lock_until(int fd, int operation, Clock::time_point deadline) {
  std::chrono::microseconds pause = kFirstPause;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    const int failure = errno;
    if (failure == EINTR) continue;
    if (failure != EWOULDBLOCK || Clock::now() >= deadline) return failure;
    std::this_thread::sleep_for(pause);
    pause = pause * 2 > kLongestPause ? kLongestPause : pause * 2;
  }
}

// The directory above the one open at dir_fd, to be used as the gate of its lock; invalid when
// there is none to use (it cannot be opened, or it is the same, as at "/").
UniqueFd open_gate(int dir_fd) {
  UniqueFd gate(::openat(dir_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!gate.valid()) return gate;
  struct stat gate_info;
  struct stat dir_info;
  if (::fstat(gate.get(), &gate_info) != 0 || ::fstat(dir_fd, &dir_info) != 0 ||
      (gate_info.st_dev == dir_info.st_dev && gate_info.st_ino == dir_info.st_ino)) {
    return UniqueFd();
  }
  return gate;
}

}  // namespace

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept {
  if (this != &other) {
    unlock();
    fd_ = std::move(other.fd_);
    error_ = other.error_;
  }
  return *this;
}

DirectoryLock::Result DirectoryLock::lock(const char* dir, bool exclusive,
                                          std::chrono::microseconds wait) {
  return lock(UniqueFd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)), exclusive, wait);
}

DirectoryLock::Result DirectoryLock::lock(UniqueFd dir, bool exclusive,
                                          std::chrono::microseconds wait) {
  const int open_error = errno;
  unlock();
  fd_ = std::move(dir);
  if (!fd_.valid()) {
    error_ = open_error;
    return Result::kNoDirectory;
  }
  const int operation = exclusive ? LOCK_EX : LOCK_SH;
  const Clock::time_point deadline = Clock::now() + wait;

  // flock grants a shared lock whenever only shared locks are held, so a steady stream of
  // readers would keep a writer out for ever. Everyone therefore passes a gate first, the same
  // way (shared or exclusive) as the lock it wants: a waiting writer holds the gate and stops new
  // readers there until the ones inside have left. The gate is let go once the lock is held:
  // closing its descriptor releases it.
  int failure = 0;
  {
    const UniqueFd gate = open_gate(fd_.get());
    if (gate.valid()) failure = lock_until(gate.get(), operation, deadline);
    if (failure == 0) failure = lock_until(fd_.get(), operation, deadline);
  }
  if (failure == 0) return Result::kLocked;
  error_ = failure;
  unlock();
  return failure == EWOULDBLOCK ? Result::kBusy : Result::kFailed;
}

void DirectoryLock::unlock() {
  if (!fd_.valid()) return;
  // Explicitly: a descriptor inherited by a forked child would otherwise keep the lock alive.
  ::flock(fd_.get(), LOCK_UN);
  fd_.reset();
}

}  // namespace kiv
