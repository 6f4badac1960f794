// Resolving paths beneath a root without symbolic links: openat2 where the kernel has it, a walk
// of O_NOFOLLOW opens elsewhere.
#include "common/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace kiv {

namespace {

enum Openat2 : int { kUntried, kWorks, kMissing };

std::atomic<int> openat2_state{kUntried};
std::atomic<bool> walk_only{false};

// A few tries at most: the kernel answers EAGAIN when a rename raced with the resolution.
constexpr int kRaceTries = 8;

// openat2 beneath root_fd without symbolic links. -1 with errno; ENOSYS when the kernel (or a
// filter in front of it) does not offer the call.
int open_with_openat2(int root_fd, const std::string& rel, int flags, mode_t mode) {
  open_how how{};
  // A last component that is a link must be refused, not opened as a link.
  how.flags = static_cast<unsigned long long>((flags & ~O_NOFOLLOW) | O_CLOEXEC);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
  for (int i = 0; i < kRaceTries; ++i) {
    const long fd =
        ::syscall(SYS_openat2, root_fd, rel.empty() ? "." : rel.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != EAGAIN && errno != EINTR) break;
  }
  return -1;
}

// Opens name in dir without following it; a link is ELOOP, also where O_PATH would open it.
int open_entry(int dir, const std::string& name, int flags, mode_t mode) {
  UniqueFd fd(::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd.valid()) return -1;
  if ((flags & O_PATH) != 0) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return -1;
    if (S_ISLNK(st.st_mode)) {
      errno = ELOOP;
      return -1;
    }
  }
  return fd.release();
}

// One component at a time from root_fd, each opened without following it.
int open_by_walk(int root_fd, std::string_view rel, int flags, mode_t mode) {
  std::string last = ".";
  UniqueFd dir;
  int at = root_fd;
  std::size_t pos = 0;
  bool have_last = false;
  while (pos <= rel.size()) {
    const std::size_t slash = rel.find('/', pos);
    const std::size_t end = slash == std::string_view::npos ? rel.size() : slash;
    const std::string_view segment = rel.substr(pos, end - pos);
    pos = end + 1;
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      errno = EXDEV;
      return -1;
    }
    if (have_last) {
      // The component before this one is a directory to pass through.
      UniqueFd next(open_entry(at, last, O_PATH, 0));
      if (!next.valid()) return -1;
      struct stat st;
      if (::fstat(next.get(), &st) != 0) return -1;
      if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
      }
      dir = std::move(next);
      at = dir.get();
    }
    last.assign(segment);
    have_last = true;
  }
  if (!have_last) return ::openat(root_fd, ".", flags | O_CLOEXEC, mode);
  return open_entry(at, last, flags, mode);
}

}  // namespace

UniqueFd open_beneath(int root_fd, std::string_view rel, int flags, mode_t mode) {
  if (!walk_only.load(std::memory_order_relaxed) &&
      openat2_state.load(std::memory_order_relaxed) != kMissing) {
    const int fd = open_with_openat2(root_fd, std::string(rel), flags, mode);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != E2BIG)) {
      if (fd >= 0) openat2_state.store(kWorks, std::memory_order_relaxed);
      return UniqueFd(fd);
    }
    // EPERM can be a refusal of the file system itself once the call is known to work.
    if (errno == EPERM && openat2_state.load(std::memory_order_relaxed) == kWorks) {
      return UniqueFd();
    }
    openat2_state.store(kMissing, std::memory_order_relaxed);
  }
  return UniqueFd(open_by_walk(root_fd, rel, flags, mode));
}

bool path_below(std::string_view root, std::string_view path, std::string_view* rel) {
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  if (path.substr(0, root.size()) != root) return false;
  path.remove_prefix(root.size());
  if (!path.empty() && path.front() != '/') return false;  // "/srv/repo2" is not below "/srv/repo"
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  *rel = path;
  return true;
}

int root_descriptor(const char* root) {
  // Each thread keeps the root it used last open: a thread serves one tree (its server's document
  // root) request after request.
  thread_local std::string cached_root;
  thread_local UniqueFd cached_fd;
  if (!cached_fd.valid() || cached_root != root) {
    // The root itself is the administrator's to choose, through links or not.
    UniqueFd fd(::open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    cached_root = root;
    cached_fd = std::move(fd);
  }
  return cached_fd.get();
}

UniqueFd open_in_tree(const char* root, std::string_view path, int flags, mode_t mode) {
  if (root == nullptr) {
    return UniqueFd(::open(std::string(path).c_str(), flags | O_CLOEXEC, mode));
  }
  std::string_view rel;
  if (!path_below(root, path, &rel)) {
    errno = EXDEV;
    return UniqueFd();
  }
  const int root_fd = root_descriptor(root);
  if (root_fd < 0) return UniqueFd();
  return open_beneath(root_fd, rel, flags, mode);
}

int stat_in_tree(const char* root, std::string_view path, struct stat* st) {
  const UniqueFd fd = open_in_tree(root, path, O_PATH | (root == nullptr ? O_NOFOLLOW : 0));
  if (!fd.valid() || ::fstat(fd.get(), st) != 0) return errno;
  return 0;
}

int stat_entry(int dir_fd, const char* name, struct stat* st) {
  if (::fstatat(dir_fd, name, st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  return S_ISLNK(st->st_mode) ? ELOOP : 0;
}

void set_beneath_mode(BeneathMode mode) {
  walk_only.store(mode == BeneathMode::kWalk, std::memory_order_relaxed);
}

}  // namespace kiv
