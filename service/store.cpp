#include "service/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>

#include "service/journal.h"
#include "service/log.h"

namespace kiv::service {
namespace {

using kiv::net::pread_full;
using kiv::net::pwrite_all;
using kiv::net::UniqueFd;

// Deeper trees are not deleted; a URI cannot name anything that deep anyway.
constexpr int kMaxDepth = 4096;
constexpr std::size_t kCopyChunk = 1 << 20;

// Set once openat2 turned out to be missing, so that later calls go straight to the walk.
std::atomic<bool> openat2_missing{false};

int sys_openat2(int dir, const char* path, std::uint64_t flags, std::uint64_t resolve) {
  open_how how{};
  how.flags = flags;
  how.resolve = resolve;
  return static_cast<int>(::syscall(SYS_openat2, dir, path, &how, sizeof how));
}

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}


// The entries of an open directory, "." and ".." left out. False when it cannot be read.
bool read_names(int dir_fd, std::vector<std::pair<std::string, unsigned char>>* out) {
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

const char* op_name(bool collection) {
  return collection ? "MoveCollection" : "MoveDoc";
}

}  // namespace

std::unique_ptr<Store> Store::open(const std::string& root, const StoreOptions& options,
                                   std::string* why) {
  UniqueFd root_fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root_fd.valid()) {
    *why = "cannot open root " + root + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::mkdirat(root_fd.get(), kPrivateDir, 0700) != 0 && errno != EEXIST) {
    *why = std::string("cannot create ") + kPrivateDir + ": " + std::strerror(errno);
    return nullptr;
  }
  if (::mkdirat(root_fd.get(), kJournalDir, 0700) != 0 && errno != EEXIST) {
    *why = std::string("cannot create ") + kJournalDir + ": " + std::strerror(errno);
    return nullptr;
  }
  // O_NOFOLLOW on each step: the private directories must be real ones inside the root.
  UniqueFd priv(
      ::openat(root_fd.get(), kPrivateDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  UniqueFd journal(priv.valid() ? ::openat(priv.get(), "journal",
                                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                                : -1);
  if (!journal.valid()) {
    *why = std::string("cannot open ") + kJournalDir + ": " + std::strerror(errno);
    return nullptr;
  }
  std::unique_ptr<Store> store(new Store(root_fd.release(), journal.release(), options));
  store->roll_forward();
  if (!store->make_slots()) {
    *why = std::string("cannot create the journal slots in ") + kJournalDir + ": " +
           std::strerror(errno);
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
    const int saved = errno;
    ::close(fd);
    errno = saved;
    fd = next;
    pos = slash + 1;
  }
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

bool Store::get_directory(std::string_view uri, Entry* out) {
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("GetDirectory %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  if (u.is_root()) {
    *out = Entry{"/", "", true};
    return true;
  }
  UniqueFd parent(open_dir(u.parent_relative()));
  if (!parent.valid()) return false;
  struct stat st {};
  const Kind k = kind_at(parent.get(), u.name(), &st);
  if (k != Kind::kDocument && k != Kind::kCollection) return false;
  *out = Entry{u.normalized, u.name(), k == Kind::kCollection};
  return true;
}

bool Store::list(std::string_view uri, std::string* base, std::vector<Member>* members) {
  members->clear();
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("GetSubDirectory %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  UniqueFd dir(open_dir(u.relative()));
  if (!dir.valid()) return false;
  std::vector<std::pair<std::string, unsigned char>> names;
  if (!read_names(dir.get(), &names)) {
    log_line("GetSubDirectory %s: cannot read: %s", printable(uri).c_str(), std::strerror(errno));
    return false;
  }
  for (auto& [name, type] : names) {
    if (is_hidden_name(name)) continue;
    bool collection = type == DT_DIR;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      const Kind k = kind_at(dir.get(), name, &st);
      if (k != Kind::kDocument && k != Kind::kCollection) continue;
      collection = k == Kind::kCollection;
    } else if (type != DT_DIR && type != DT_REG) {
      continue;
    }
    members->push_back(Member{std::move(name), collection});
  }
  std::sort(members->begin(), members->end(),
            [](const Member& a, const Member& b) { return a.name < b.name; });
  *base = u.is_root() ? "/" : u.normalized + "/";
  return true;
}

bool Store::add_doc(std::string_view uri, std::string_view content) {
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("AddDoc %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  if (u.is_root()) {
    log_line("AddDoc /: the root is a collection");
    return false;
  }
  if (content.size() > options_.max_document) {
    log_line("AddDoc %s: refused: %zu bytes exceed the document cap", printable(uri).c_str(),
             content.size());
    return false;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  std::unique_lock<std::shared_mutex> doc(stripe(u.normalized));
  UniqueFd parent(open_dir(u.parent_relative()));
  if (!parent.valid()) {
    log_line("AddDoc %s: parent collection missing", printable(uri).c_str());
    return false;
  }
  struct stat st {};
  switch (kind_at(parent.get(), u.name(), &st)) {
    case Kind::kMissing:
      return create_doc(parent.get(), u, content);
    case Kind::kDocument:
      return replace_doc(parent.get(), u, st, content);
    case Kind::kCollection:
      log_line("AddDoc %s: names a collection", printable(uri).c_str());
      return false;
    default:
      log_line("AddDoc %s: names something that is no document", printable(uri).c_str());
      return false;
  }
}

bool Store::create_doc(int parent, const ParsedUri& u, std::string_view content) {
  const std::string uri = printable(u.normalized);
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temp = temp_name();
    fd.reset(
        ::openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd.valid() && errno != EEXIST) break;
  }
  if (!fd.valid()) {
    log_line("AddDoc %s: cannot create a temporary file: %s", uri.c_str(), std::strerror(errno));
    return false;
  }
  const bool written = write_all(fd.get(), content) && datasync(fd.get());
  const int saved = errno;
  fd.reset();
  if (!written) {
    ::unlinkat(parent, temp.c_str(), 0);
    log_line("AddDoc %s: cannot write: %s", uri.c_str(), std::strerror(saved));
    return false;
  }
  int rc = ::renameat2(parent, temp.c_str(), parent, u.name().c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // A file system without RENAME_NOREPLACE: a link never replaces either.
    rc = ::linkat(parent, temp.c_str(), parent, u.name().c_str(), 0);
    if (rc == 0) ::unlinkat(parent, temp.c_str(), 0);
  }
  if (rc != 0) {
    const int e = errno;
    ::unlinkat(parent, temp.c_str(), 0);
    log_line("AddDoc %s: cannot put the document in place: %s", uri.c_str(), std::strerror(e));
    return false;
  }
  if (!sync(parent)) {
    log_line("AddDoc %s: cannot sync the collection: %s", uri.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

std::string Store::temp_name() {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*s-tmp-%ld-%" PRIu64, static_cast<int>(kPrivatePrefix.size()),
                kPrivatePrefix.data(), static_cast<long>(::getpid()), temp_counter_++);
  return buf;
}

bool Store::copy_file(int src_dir, const std::string& src_name, int dst_dir,
                      const std::string& dst_name) {
  UniqueFd in(::openat(src_dir, src_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  UniqueFd out(::openat(dst_dir, dst_name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777));
  if (!out.valid()) return false;
  std::string chunk(kCopyChunk, '\0');
  for (off_t off = 0;;) {
    const ssize_t n = pread_full(in.get(), chunk.data(), chunk.size(), off);
    if (n < 0) return false;
    if (n == 0) break;
    if (!pwrite_all(out.get(), std::string_view(chunk.data(), static_cast<std::size_t>(n)), off)) {
      return false;
    }
    off += n;
  }
  return sync(out.get());
}

bool Store::copy_tree(int src_dir, const std::string& src_name, int dst_dir,
                      const std::string& dst_name, int depth) {
  if (depth > kMaxDepth) return false;
  UniqueFd from(
      ::openat(src_dir, src_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!from.valid() || ::fstat(from.get(), &st) != 0) return false;
  if (::mkdirat(dst_dir, dst_name.c_str(), st.st_mode & 07777) != 0) return false;
  UniqueFd to(::openat(dst_dir, dst_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  std::vector<std::pair<std::string, unsigned char>> names;
  if (!to.valid() || !read_names(from.get(), &names)) return false;
  for (const auto& entry : names) {
    const std::string& name = entry.first;
    // Temporary files of interrupted writes are not worth carrying; everything else is, the
    // module's state directories included.
    if (name.compare(0, kPrivatePrefix.size(), kPrivatePrefix) == 0) continue;
    struct stat member {};
    const Kind k = kind_at(from.get(), name, &member);
    bool ok = true;  // symbolic links and special files stay behind
    if (k == Kind::kCollection) ok = copy_tree(from.get(), name, to.get(), name, depth + 1);
    if (k == Kind::kDocument) ok = copy_file(from.get(), name, to.get(), name);
    if (!ok) return false;
  }
  return sync(to.get());
}

bool Store::move_by_copy(int src_parent, const std::string& src_name, int dst_parent,
                         const std::string& dst_name, bool collection, const std::string& names) {
  const char* op = op_name(collection);
  const std::string temp = temp_name();
  const bool copied = collection ? copy_tree(src_parent, src_name, dst_parent, temp, 0)
                                 : copy_file(src_parent, src_name, dst_parent, temp);
  int rc = -1;
  if (copied) {
    rc = ::renameat2(dst_parent, temp.c_str(), dst_parent, dst_name.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
      rc = ::renameat(dst_parent, temp.c_str(), dst_parent, dst_name.c_str());
    }
  }
  if (rc != 0) {
    log_line("%s %s: cannot copy across file systems: %s", op, names.c_str(), std::strerror(errno));
    // Whatever part of the copy exists goes again; the source is untouched.
    if (collection) {
      remove_tree(dst_parent, temp, 0);
    } else {
      ::unlinkat(dst_parent, temp.c_str(), 0);
    }
    return false;
  }
  const bool removed = collection ? remove_tree(src_parent, src_name, 0)
                                  : ::unlinkat(src_parent, src_name.c_str(), 0) == 0;
  if (!sync(dst_parent) || !removed || !sync(src_parent)) {
    log_line("%s %s: copied across file systems, but the source could not be deleted whole", op,
             names.c_str());
    return false;
  }
  return true;
}

std::string Store::next_journal_name() {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016" PRIx64 ".jnl", sequence_++);
  return buf;
}

std::string Store::slot_name(std::size_t stripe) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "slot-%02zu.jnl", stripe);
  return buf;
}

bool Store::make_slots() {
  for (std::size_t i = 0; i < kStripes; ++i) {
    UniqueFd slot(::openat(journal_fd_.get(), slot_name(i).c_str(),
                           O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!slot.valid()) return false;
  }
  // The slots' names must survive a crash before any record is written into them.
  return sync(journal_fd_.get());
}

bool Store::replace_doc(int parent, const ParsedUri& u, const struct stat& st,
                        std::string_view content) {
  const std::string uri = printable(u.normalized);
  JournalHeader h;
  h.device = static_cast<std::uint64_t>(st.st_dev);
  h.inode = static_cast<std::uint64_t>(st.st_ino);
  h.path = u.relative();
  h.content_length = content.size();

  // The record goes into the journal slot of the document's stripe, whose lock the caller holds:
  // a slot holds the record of the last rewrite in its stripe, so a record never outlives the
  // next rewrite of the same document.
  const std::string slot = slot_name(stripe_index(u.normalized));
  UniqueFd j(::openat(journal_fd_.get(), slot.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!j.valid() && errno == ENOENT && make_slots()) {
    j.reset(::openat(journal_fd_.get(), slot.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!j.valid()) {
    log_line("AddDoc %s: cannot open journal slot: %s", uri.c_str(), std::strerror(errno));
    return false;
  }
  const std::string header = encode_journal_header(h);
  Checksum sum;
  sum.update(header);
  sum.update(content);
  const std::string trailer = encode_journal_trailer(sum);
  const off_t record_size = static_cast<off_t>(header.size() + content.size() + trailer.size());
  if (!pwrite_all(j.get(), header, 0) ||
      !pwrite_all(j.get(), content, static_cast<off_t>(header.size())) ||
      !pwrite_all(j.get(), trailer, static_cast<off_t>(header.size() + content.size())) ||
      ::ftruncate(j.get(), record_size) != 0 || !datasync(j.get())) {
    // A torn record fails its checksum and is never completed.
    log_line("AddDoc %s: cannot write journal record: %s", uri.c_str(), std::strerror(errno));
    return false;
  }

  UniqueFd target(
      ::openat(parent, u.name().c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat now {};
  if (!target.valid() || ::fstat(target.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
      now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    const int e = errno;
    clear_slot(j.get());
    log_line("AddDoc %s: the document changed under the rewrite: %s", uri.c_str(),
             std::strerror(e));
    return false;
  }
  // Claim the blocks of longer content before anything is overwritten, so that a disk without
  // room for it refuses the rewrite while the document is still whole. File systems that cannot
  // preallocate go on as before.
  if (static_cast<std::uint64_t>(content.size()) > static_cast<std::uint64_t>(now.st_size) &&
      ::fallocate(target.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size())) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    const int e = errno;
    clear_slot(j.get());
    log_line("AddDoc %s: no room for the new content: %s", uri.c_str(), std::strerror(e));
    return false;
  }
  if (!pwrite_all(target.get(), content, 0) ||
      ::ftruncate(target.get(), static_cast<off_t>(content.size())) != 0 ||
      !datasync(target.get())) {
    // The record moves out of the slot, where the next rewrite would overwrite it, and stays
    // until the next start completes it.
    const int e = errno;
    j.reset();
    const std::string kept = next_journal_name();
    if (::renameat(journal_fd_.get(), slot.c_str(), journal_fd_.get(), kept.c_str()) == 0) {
      make_slots();
      std::lock_guard<std::mutex> lock(pending_mu_);
      pending_[h.path].push_back(kept);
    }
    log_line("AddDoc %s: rewrite failed half-way, completed at next start from journal %s: %s",
             uri.c_str(), kept.c_str(), std::strerror(e));
    return false;
  }
  // The rewrite is whole on disk; the record is no longer needed. Clearing it need not be
  // durable: completing it again would write the same bytes.
  clear_slot(j.get());
  std::vector<std::string> superseded;
  {
    std::lock_guard<std::mutex> lock(pending_mu_);
    auto it = pending_.find(h.path);
    if (it != pending_.end()) {
      superseded = std::move(it->second);
      pending_.erase(it);
    }
  }
  if (!superseded.empty()) {
    for (const std::string& old : superseded) ::unlinkat(journal_fd_.get(), old.c_str(), 0);
    // An older record that survived a crash would be completed over this rewrite.
    if (!sync(journal_fd_.get())) {
      log_line("AddDoc %s: cannot sync the journal: %s", uri.c_str(), std::strerror(errno));
    }
  }
  return true;
}

void Store::clear_slot(int fd) {
  static const char zeros[sizeof kJournalMagic] = {};
  (void)pwrite_all(fd, std::string_view(zeros, kJournalMagic.size()), 0);
}

bool Store::get_doc(std::string_view uri, std::string* content) {
  content->clear();
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("GetDocContent %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  if (u.is_root()) return false;
  std::shared_lock<std::shared_mutex> tree(tree_);
  std::shared_lock<std::shared_mutex> doc(stripe(u.normalized));
  UniqueFd parent(open_dir(u.parent_relative()));
  if (!parent.valid()) return false;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  UniqueFd fd(::openat(parent.get(), u.name().c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) return false;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (static_cast<std::uint64_t>(st.st_size) > options_.max_document) {
    log_line("GetDocContent %s: %lld bytes exceed the document cap", printable(uri).c_str(),
             static_cast<long long>(st.st_size));
    return false;
  }
  content->resize(static_cast<std::size_t>(st.st_size));
  const ssize_t got = pread_full(fd.get(), content->data(), content->size(), 0);
  if (got < 0) {
    log_line("GetDocContent %s: cannot read: %s", printable(uri).c_str(), std::strerror(errno));
    content->clear();
    return false;
  }
  content->resize(static_cast<std::size_t>(got));
  return true;
}

bool Store::add_collection(std::string_view uri) {
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("AddCollection %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  if (u.is_root()) {
    log_line("AddCollection /: exists");
    return false;
  }
  std::unique_lock<std::shared_mutex> tree(tree_);
  UniqueFd parent(open_dir(u.parent_relative()));
  if (!parent.valid()) {
    log_line("AddCollection %s: parent collection missing", printable(uri).c_str());
    return false;
  }
  if (::mkdirat(parent.get(), u.name().c_str(), 0777) != 0) {
    log_line("AddCollection %s: %s", printable(uri).c_str(),
             errno == EEXIST ? "exists" : std::strerror(errno));
    return false;
  }
  if (!sync(parent.get())) {
    log_line("AddCollection %s: cannot sync: %s", printable(uri).c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool Store::move(std::string_view from, std::string_view to, bool collection) {
  const char* op = op_name(collection);
  ParsedUri src, dst;
  std::string why;
  if (!parse_uri(from, &src, &why) || !parse_uri(to, &dst, &why)) {
    log_line("%s %s -> %s: refused: %s", op, printable(from).c_str(), printable(to).c_str(),
             why.c_str());
    return false;
  }
  const std::string names = printable(src.normalized) + " -> " + printable(dst.normalized);
  if (src.is_root() || dst.is_root()) {
    log_line("%s %s: the root cannot be moved or replaced", op, names.c_str());
    return false;
  }
  if (dst.segments.size() >= src.segments.size() &&
      std::equal(src.segments.begin(), src.segments.end(), dst.segments.begin())) {
    log_line("%s %s: the destination lies inside the source", op, names.c_str());
    return false;
  }
  std::unique_lock<std::shared_mutex> tree(tree_);
  UniqueFd sp(open_dir(src.parent_relative()));
  struct stat st {};
  const Kind k = sp.valid() ? kind_at(sp.get(), src.name(), &st) : Kind::kMissing;
  if (k != (collection ? Kind::kCollection : Kind::kDocument)) {
    log_line("%s %s: no such %s", op, names.c_str(), collection ? "collection" : "document");
    return false;
  }
  UniqueFd dp(open_dir(dst.parent_relative()));
  if (!dp.valid()) {
    log_line("%s %s: destination parent missing", op, names.c_str());
    return false;
  }
  if (kind_at(dp.get(), dst.name(), &st) != Kind::kMissing) {
    log_line("%s %s: destination exists", op, names.c_str());
    return false;
  }
  int rc =
      ::renameat2(sp.get(), src.name().c_str(), dp.get(), dst.name().c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // No RENAME_NOREPLACE on this file system; the destination was seen missing above and the
    // tree lock keeps the service's own writers away.
    rc = ::renameat(sp.get(), src.name().c_str(), dp.get(), dst.name().c_str());
  }
  if (rc != 0 && errno == EXDEV) {
    return move_by_copy(sp.get(), src.name(), dp.get(), dst.name(), collection, names);
  }
  if (rc != 0) {
    log_line("%s %s: %s", op, names.c_str(), std::strerror(errno));
    return false;
  }
  if (!sync(dp.get()) || !sync(sp.get())) {
    log_line("%s %s: cannot sync: %s", op, names.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool Store::del_doc(std::string_view uri) {
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("DelDoc %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  if (u.is_root()) {
    log_line("DelDoc /: the root is a collection");
    return false;
  }
  std::unique_lock<std::shared_mutex> tree(tree_);
  UniqueFd parent(open_dir(u.parent_relative()));
  struct stat st {};
  if (!parent.valid() || kind_at(parent.get(), u.name(), &st) != Kind::kDocument) {
    log_line("DelDoc %s: no such document", printable(uri).c_str());
    return false;
  }
  if (::unlinkat(parent.get(), u.name().c_str(), 0) != 0 || !sync(parent.get())) {
    log_line("DelDoc %s: %s", printable(uri).c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool Store::del_any(std::string_view uri) {
  ParsedUri u;
  std::string why;
  if (!parse_uri(uri, &u, &why)) {
    log_line("DelCollection %s: refused: %s", printable(uri).c_str(), why.c_str());
    return false;
  }
  if (u.is_root()) {
    log_line("DelCollection /: the root cannot be deleted");
    return false;
  }
  std::unique_lock<std::shared_mutex> tree(tree_);
  UniqueFd parent(open_dir(u.parent_relative()));
  struct stat st {};
  const Kind k = parent.valid() ? kind_at(parent.get(), u.name(), &st) : Kind::kMissing;
  bool ok = false;
  if (k == Kind::kDocument) {
    ok = ::unlinkat(parent.get(), u.name().c_str(), 0) == 0;
  } else if (k == Kind::kCollection) {
    ok = remove_tree(parent.get(), u.name(), 0);
  } else {
    log_line("DelCollection %s: no such document or collection", printable(uri).c_str());
    return false;
  }
  if (!sync(parent.get())) ok = false;
  if (!ok) log_line("DelCollection %s: could not delete everything", printable(uri).c_str());
  return ok;
}

bool Store::remove_tree(int parent, const std::string& name, int depth) {
  if (depth > kMaxDepth) return false;
  UniqueFd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return false;
  std::vector<std::pair<std::string, unsigned char>> names;
  bool ok = read_names(dir.get(), &names);
  for (const auto& [member, type] : names) {
    bool is_dir = type == DT_DIR;
    if (type == DT_UNKNOWN) {
      struct stat st {};
      is_dir = kind_at(dir.get(), member, &st) == Kind::kCollection;
    }
    if (is_dir) {
      ok = remove_tree(dir.get(), member, depth + 1) && ok;
    } else if (::unlinkat(dir.get(), member.c_str(), 0) != 0 && errno != ENOENT) {
      ok = false;
    }
  }
  dir.reset();
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) ok = false;
  return ok;
}

int Store::roll_forward() {
  std::vector<std::pair<std::string, unsigned char>> names;
  if (!read_names(journal_fd_.get(), &names)) {
    log_line("cannot read the journal directory: %s", std::strerror(errno));
    return 0;
  }
  // Records kept after a failed rewrite are older than any slot's record: they sort first.
  std::sort(names.begin(), names.end());
  int applied = 0;
  bool removed = false;
  for (const auto& entry : names) {
    const std::string& name = entry.first;
    const bool record = name.size() > 4 && name.compare(name.size() - 4, 4, ".jnl") == 0;
    const bool slot = record && name.compare(0, 5, "slot-") == 0;
    const JournalOutcome outcome = record ? apply_journal(name) : JournalOutcome::kDropped;
    if (outcome == JournalOutcome::kCompleted) ++applied;
    if (slot) {
      if (outcome == JournalOutcome::kKept) {
        // Out of the slot, where the next rewrite would overwrite it.
        ::renameat(journal_fd_.get(), name.c_str(), journal_fd_.get(),
                   next_journal_name().c_str());
        removed = true;
      } else {
        UniqueFd fd(::openat(journal_fd_.get(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.valid()) clear_slot(fd.get());
      }
      continue;
    }
    if (outcome == JournalOutcome::kKept) continue;  // tried again at the next start
    ::unlinkat(journal_fd_.get(), name.c_str(), 0);
    removed = true;
  }
  if (removed) sync(journal_fd_.get());
  return applied;
}

Store::JournalOutcome Store::apply_journal(const std::string& name) {
  UniqueFd j(::openat(journal_fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!j.valid() || ::fstat(j.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    log_line("journal %s: cannot open, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  std::string head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kJournalFixedSize + kJournalMaxPath)),
      '\0');
  JournalHeader h;
  std::size_t header_size = 0;
  if (pread_full(j.get(), head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
    log_line("journal %s: cannot read, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  // An empty slot, or one whose record was done, holds nothing to complete.
  if (size == 0 || head.compare(0, kJournalMagic.size(),
                                std::string(kJournalMagic.size(), '\0')) == 0) {
    return JournalOutcome::kDropped;
  }
  if (parse_journal_header(head, &h, &header_size) != JournalParse::kOk ||
      journal_record_size(h) != size) {
    log_line("journal %s: incomplete record, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  Checksum sum;
  std::string chunk(kCopyChunk, '\0');
  const std::uint64_t body_end = size - kJournalChecksumSize;
  for (std::uint64_t off = 0; off < body_end;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, body_end - off));
    if (pread_full(j.get(), chunk.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) {
      log_line("journal %s: cannot read, dropped", name.c_str());
      return JournalOutcome::kDropped;
    }
    sum.update(std::string_view(chunk.data(), n));
    off += n;
  }
  char trailer[kJournalChecksumSize];
  if (pread_full(j.get(), trailer, sizeof trailer, static_cast<off_t>(body_end)) !=
          static_cast<ssize_t>(sizeof trailer) ||
      get_u64(trailer) != sum.value()) {
    log_line("journal %s: checksum mismatch, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  ParsedUri u;
  std::string why;
  if (!parse_uri("/" + h.path, &u, &why) || u.is_root() || u.relative() != h.path) {
    log_line("journal %s: bad path, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  UniqueFd parent(open_dir(u.parent_relative()));
  UniqueFd target(parent.valid() ? ::openat(parent.get(), u.name().c_str(),
                                            O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                 : -1);
  struct stat now {};
  if (!target.valid() || ::fstat(target.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
      static_cast<std::uint64_t>(now.st_dev) != h.device ||
      static_cast<std::uint64_t>(now.st_ino) != h.inode) {
    log_line("journal %s: %s is gone, dropped", name.c_str(), printable(u.normalized).c_str());
    return JournalOutcome::kDropped;
  }
  for (std::uint64_t off = 0; off < h.content_length;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, h.content_length - off));
    if (pread_full(j.get(), chunk.data(), n, static_cast<off_t>(header_size + off)) !=
            static_cast<ssize_t>(n) ||
        !pwrite_all(target.get(), std::string_view(chunk.data(), n), static_cast<off_t>(off))) {
      log_line("journal %s: cannot complete %s, kept: %s", name.c_str(),
               printable(u.normalized).c_str(), std::strerror(errno));
      return JournalOutcome::kKept;
    }
    off += n;
  }
  if (::ftruncate(target.get(), static_cast<off_t>(h.content_length)) != 0 || !sync(target.get())) {
    log_line("journal %s: cannot complete %s, kept: %s", name.c_str(),
             printable(u.normalized).c_str(), std::strerror(errno));
    return JournalOutcome::kKept;
  }
  log_line("journal %s: completed the rewrite of %s", name.c_str(),
           printable(u.normalized).c_str());
  return JournalOutcome::kCompleted;
}

}  // namespace kiv::service
