// The Store's foundations: opening the root, resolving paths beneath it, the locks, and what
// every operation shares.
#include "service/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include "common/file_io.h"
#include "service/log.h"
#include "service/store_internal.h"

namespace kiv::service {
namespace {

// Set once openat2 turned out to be missing, so that later calls go straight to the walk.
std::atomic<bool> openat2_missing{false};

int sys_openat2(int dir, const char* path, std::uint64_t flags, std::uint64_t resolve) {
  open_how how{};
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(::syscall(SYS_openat2, dir, path, &how, sizeof how));
}

// Opens the directory name inside dir, or fails with errno set. O_NOFOLLOW on each step: the
// private directories must be real ones inside the root.
UniqueFd open_private_dir(int dir, const std::string& name) {
  if (::mkdirat(dir, name.c_str(), 0700) != 0 && errno != EEXIST) return UniqueFd();
  return UniqueFd(::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

}  // namespace

bool read_names(int dir_fd, DirNames* out) {
  const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return false;
  DIR* d = ::fdopendir(copy);
  if (d == nullptr) {
    ::close(copy);
    return false;
  }
  ::rewinddir(d);
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    const std::string_view name(e->d_name);
    if (name == "." || name == "..") continue;
    out->emplace_back(std::string(name), e->d_type);
  }
  ::closedir(d);
  return ok;
}

Reason failure_reason(int error) {
  return error == ENOSPC || error == EDQUOT ? Reason::kNoSpace : Reason::kIo;
}

Reason parent_reason(int error) {
  if (error == ENOENT || error == ELOOP) return Reason::kParentMissing;
  if (error == ENOTDIR) return Reason::kNotCollection;
  return failure_reason(error);
}

Reason lookup_reason(Reason parent) {
  return parent == Reason::kParentMissing || parent == Reason::kNotCollection ? Reason::kNotFound
                                                                              : parent;
}

const char* move_name(bool collection) {
  return collection ? "MoveCollection" : "MoveDoc";
}

bool copy_range(int in, off_t in_off, std::uint64_t length, int out, off_t out_off) {
  std::uint64_t left = length;
  // In the kernel where it can: no bytes through this process, a reflink where the file system
  // shares blocks. Chunks of at most 1 GiB, so that every count fits the call's size_t and its
  // answer.
  while (left > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1u << 30));
    const ssize_t n = ::copy_file_range(in, &in_off, out, &out_off, step, 0);
    if (n > 0) {
      left -= static_cast<std::uint64_t>(n);
      continue;
    }
    if (n == 0) {
      errno = EIO;  // the source ended before length
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL) return false;
    break;  // not offered between these files: by hand from here on
  }
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  std::string chunk(left > 0 ? static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk)) : 0,
                    '\0');
  while (left > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, kChunk));
    const ssize_t got = kiv::pread_full(in, chunk.data(), step, in_off);
    if (got < 0) return false;
    if (static_cast<std::size_t>(got) != step) {
      errno = EIO;
      return false;
    }
    if (!kiv::pwrite_all(out, std::string_view(chunk.data(), step), out_off)) return false;
    in_off += got;
    out_off += got;
    left -= step;
  }
  return true;
}

int rename_no_replace(int from_dir, const std::string& from, int to_dir, const std::string& to) {
  const int rc = ::renameat2(from_dir, from.c_str(), to_dir, to.c_str(), RENAME_NOREPLACE);
  if (rc == 0 || errno != EINVAL) return rc;
  // A file is linked, which never replaces either: on a shared tree another host may have made
  // the name meanwhile, whatever locks this service holds. A directory cannot be linked.
  if (::linkat(from_dir, from.c_str(), to_dir, to.c_str(), 0) == 0) {
    ::unlinkat(from_dir, from.c_str(), 0);
    return 0;
  }
  if (errno == EEXIST) return -1;
  return ::renameat(from_dir, from.c_str(), to_dir, to.c_str());
}

std::unique_ptr<Store> Store::open(const std::string& root, const StoreOptions& options,
                                   std::string* why) {
  const std::string private_dir(kiv::kPrivatePrefix);
  std::string journal_name(kJournalName);
  if (!options.host_id.empty()) journal_name += "-" + options.host_id;
  const std::string journal_dir = private_dir + "/" + journal_name;
  UniqueFd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.valid()) {
    *why = "cannot open root " + root + ": " + std::strerror(errno);
    return nullptr;
  }
  UniqueFd priv = open_private_dir(root_fd.get(), private_dir);
  UniqueFd journal = priv.valid() ? open_private_dir(priv.get(), journal_name) : UniqueFd();
  if (!journal.valid()) {
    *why = "cannot open " + journal_dir + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(root_fd.release(), journal.release(), options));
  store->roll_forward();
  if (!store->make_slots()) {
    *why = "cannot create the journal slots in " + journal_dir + ": " + std::strerror(errno);
    return nullptr;
  }
  return store;
}

Store::Store(int root_fd, int journal_fd, const StoreOptions& options)
    : root_fd_(root_fd), journal_fd_(journal_fd), options_(options) {
  // Journal names sort in the order they were written, across restarts too.
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  sequence_ =
      static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

Reason Store::accept(const char* op, std::string_view uri, bool root_ok, ParsedUri* out) const {
  std::string why;
  if (!parse_uri(uri, out, &why)) {
    log_line("%s %s: refused: %s", op, printable(uri).c_str(), why.c_str());
    return Reason::kRefusedName;
  }
  if (!root_ok && out->is_root()) {
    log_line("%s /: refused: the root", op);
    return Reason::kRefusedName;
  }
  return Reason::kNone;
}

int Store::open_dir(const std::string& rel) const {
  const char* path = rel.empty() ? "." : rel.c_str();
  const std::uint64_t flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (options_.use_openat2 && !openat2_missing.load(std::memory_order_relaxed)) {
    int fd = -1;
    // EAGAIN: a rename elsewhere in the tree raced the lookup; the kernel asks for a retry.
    for (int attempt = 0; attempt < 8; ++attempt) {
      fd = sys_openat2(root_fd_.get(), path, flags,
                       RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
      if (fd >= 0 || errno != EAGAIN) break;
    }
    // Older kernels lack it (ENOSYS); some sandboxes refuse unknown system calls (EPERM).
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  // The segments have been checked (no "." or ".."), so a walk that refuses symbolic links at
  // every step cannot leave the root.
  int fd = ::openat(root_fd_.get(), ".", static_cast<int>(flags));
  std::size_t pos = 0;
  while (fd >= 0 && pos < rel.size()) {
    std::size_t slash = rel.find('/', pos);
    if (slash == std::string::npos) slash = rel.size();
    const std::string seg = rel.substr(pos, slash - pos);
    const int next = ::openat(fd, seg.c_str(), static_cast<int>(flags) | O_NOFOLLOW);
    int saved = errno;
    struct stat st {};
    // O_DIRECTORY answers ENOTDIR for a symbolic link; openat2 says ELOOP, and so does this.
    if (next < 0 && saved == ENOTDIR && ::fstatat(fd, seg.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
      saved = ELOOP;
    }
    ::close(fd);
    errno = saved;
    fd = next;
    pos = slash + 1;
  }
  return fd;
}

UniqueFd Store::open_parent(const ParsedUri& u, Reason* why) const {
  UniqueFd fd(open_dir(u.parent_relative()));
  *why = fd.valid() ? Reason::kNone : parent_reason(errno);
  return fd;
}

Store::Kind Store::kind_at(int dir_fd, const std::string& name, struct stat* st) const {
  if (::fstatat(dir_fd, name.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? Kind::kMissing : Kind::kError;
  }
  if (S_ISREG(st->st_mode)) return Kind::kDocument;
  if (S_ISDIR(st->st_mode)) return Kind::kCollection;
  return Kind::kOther;
}

bool Store::sync(int fd) const {
  return !options_.durable || ::fsync(fd) == 0;
}

bool Store::datasync(int fd) const {
  return !options_.durable || ::fdatasync(fd) == 0;
}

std::size_t Store::stripe_index(const std::string& normalized) {
  return std::hash<std::string>{}(normalized) % kStripes;
}

std::shared_mutex& Store::stripe(const std::string& normalized) {
  return stripes_[stripe_index(normalized)];
}

Store::CopyLocks::CopyLocks(Store* store, const std::string& from, const std::string& to) {
  const std::size_t s = stripe_index(from);
  const std::size_t d = stripe_index(to);
  destination_ = std::unique_lock<std::shared_mutex>(store->stripes_[d], std::defer_lock);
  if (s == d) {
    destination_.lock();  // the exclusive lock covers the reading too
    return;
  }
  source_ = std::shared_lock<std::shared_mutex>(store->stripes_[s], std::defer_lock);
  if (s < d) {
    source_.lock();
    destination_.lock();
  } else {
    destination_.lock();
    source_.lock();
  }
}

Reason Store::open_document(int dir, const std::string& name, UniqueFd* fd, struct stat* st) const {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  fd->reset(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd->valid() || ::fstat(fd->get(), st) != 0) {
    const int e = errno;
    fd->reset();
    const Kind k = kind_at(dir, name, st);
    if (k == Kind::kCollection) return Reason::kNotDocument;  // not readable as a file
    return k == Kind::kMissing || k == Kind::kOther ? Reason::kNotFound : failure_reason(e);
  }
  if (S_ISDIR(st->st_mode)) {
    fd->reset();
    return Reason::kNotDocument;
  }
  if (!S_ISREG(st->st_mode)) {  // special files count as nothing
    fd->reset();
    return Reason::kNotFound;
  }
  return Reason::kNone;
}

std::string Store::temp_name() {
  // The host id keeps the names of two hosts of one tree apart, whose process ids may be alike.
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.*s-tmp-%s%s%ld-%" PRIu64,
                static_cast<int>(kiv::kPrivatePrefix.size()), kiv::kPrivatePrefix.data(),
                options_.host_id.c_str(), options_.host_id.empty() ? "" : "-",
                static_cast<long>(::getpid()), temp_counter_++);
  return buf;
}

bool valid_host_id(std::string_view id) {
  if (id.empty() || id.size() > 32) return false;
  for (const char c : id) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

Reason lock_document(int fd, int operation, int wait_ms) {
  if (kiv::flock_within(fd, operation, wait_ms)) return Reason::kNone;
  return errno == EWOULDBLOCK ? Reason::kBusy : Reason::kIo;
}

Reason lock_to_read(int fd, struct stat* st, int wait_ms) {
  if (const Reason r = lock_document(fd, LOCK_SH, wait_ms); r != Reason::kNone) return r;
  return ::fstat(fd, st) == 0 ? Reason::kNone : failure_reason(errno);
}

}  // namespace kiv::service
