// The in-place rewrite of an existing document, behind a record in its stripe's journal slot,
// and the slots themselves.
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/file_io.h"
#include "common/tree_id.h"
#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {

Attributes attributes_of(const struct stat& st) {
  Attributes a;
  a.size = static_cast<std::uint64_t>(st.st_size);
  a.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  a.ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  a.inode = static_cast<std::uint64_t>(st.st_ino);
  a.device = static_cast<std::uint64_t>(st.st_dev);
  a.mode = static_cast<std::uint32_t>(st.st_mode);
  return a;
}

void Store::set_fresh_mtime(int fd, const struct stat* previous) {
  timespec times[2] = {{0, UTIME_OMIT}, {}};
  ::clock_gettime(CLOCK_REALTIME, &times[1]);
  // The kernel stamps writes with a coarse clock: two versions written within one tick, of one
  // size, would look alike. A version is always later than the one it replaces.
  if (previous != nullptr) {
    timespec later = previous->st_mtim;
    if (++later.tv_nsec == 1000000000) {
      later.tv_nsec = 0;
      ++later.tv_sec;
    }
    if (later.tv_sec > times[1].tv_sec ||
        (later.tv_sec == times[1].tv_sec && later.tv_nsec > times[1].tv_nsec)) {
      times[1] = later;
    }
  }
  ::futimens(fd, times);  // best effort: the content is what counts
}

UniqueFd Store::open_slot(const ParsedUri& u, std::string* slot) {
  // The record goes into the journal slot of the document's stripe, whose lock the caller holds:
  // a slot holds the record of the last rewrite in its stripe, so a record never outlives the
  // next rewrite of the same document. Read too: content may be copied out of the record.
  *slot = slot_name(stripe_index(u.normalized));
  UniqueFd j(::openat(journal_fd_.get(), slot->c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!j.valid() && errno == ENOENT && make_slots()) {
    j.reset(::openat(journal_fd_.get(), slot->c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  }
  return j;
}

Reason Store::replace_doc(const char* op, int parent, const ParsedUri& u, const struct stat& st,
                          const Content& content, Attributes* stored) {
  const std::string uri = printable(u.normalized);
  if (st.st_nlink > 1) {
    // Its other names may lie anywhere, outside the tree too: a rewrite in place would reach
    // them all.
    log_line("%s %s: refused: the document has %ju hard links", op, uri.c_str(),
             static_cast<std::uintmax_t>(st.st_nlink));
    return Reason::kForbidden;
  }
  std::string slot;
  UniqueFd j = open_slot(u, &slot);
  if (!j.valid() || !write_record(j.get(), u, st, content)) {
    // A torn record fails its checksum and is never completed.
    const int e = errno;
    if (j.valid()) clear_slot(j.get());
    log_line("%s %s: cannot write journal record: %s", op, uri.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  Source source;
  source.length = content.length();
  if (content.file >= 0) {
    // Content from a file comes from the record, whose checksum covers exactly these bytes.
    source.file = j.get();
    source.offset = static_cast<off_t>(kJournalFixedSize + u.relative().size());
  } else {
    source.bytes = content.bytes;
  }
  return rewrite(op, parent, u, st, std::move(j), slot, source, stored);
}

Reason Store::rewrite(const char* op, int parent, const ParsedUri& u, const struct stat& st,
                      UniqueFd j, const std::string& slot, const Source& source,
                      Attributes* stored) {
  const std::string uri = printable(u.normalized);
  // The staged file goes before the slot is emptied: a record without its file is dropped at the
  // next start, never the reverse.
  auto undo = [&] {
    if (!source.staged.empty()) ::unlinkat(parent, source.staged.c_str(), 0);
    clear_slot(j.get());
  };
  UniqueFd target(
      ::openat(parent, u.name().c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat now {};
  if (!target.valid() || ::fstat(target.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
      now.st_dev != st.st_dev || now.st_ino != st.st_ino || now.st_nlink > 1) {
    const int e = errno;
    undo();
    log_line("%s %s: the document changed under the rewrite: %s", op, uri.c_str(),
             std::strerror(e));
    return Reason::kIo;
  }
  // A reader that sends the document from an open descriptor (the web server's sendfile) holds
  // a shared flock on it until its response is out: the rewrite waits a bounded time for it
  // rather than change bytes under it, and then leaves the document as it is. The same lock
  // keeps out readers and rewriters on the other hosts of a shared tree (on this one, the
  // stripe does): the document is rewritten whole, or read whole, never mixed.
  if (!kiv::flock_within(target.get(), LOCK_EX, kiv::proto::kDocumentBusyWaitMs)) {
    const int e = errno;
    undo();
    log_line("%s %s: busy: the document is being read (%s)", op, uri.c_str(), std::strerror(e));
    return e == EWOULDBLOCK ? Reason::kBusy : failure_reason(e);
  }
  const std::uint64_t length = source.length;
  // Claim the blocks of longer content before anything is overwritten, so that a disk without
  // room for it refuses the rewrite while the document is still whole. File systems that cannot
  // preallocate go on as before.
  if (length > static_cast<std::uint64_t>(now.st_size) &&
      ::fallocate(target.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(length)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    const int e = errno;
    undo();
    log_line("%s %s: no room for the new content: %s", op, uri.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  const bool written = source.file >= 0
                           ? copy_range(source.file, source.offset, length, target.get(), 0)
                           : kiv::pwrite_all(target.get(), source.bytes, 0);
  if (!written || ::ftruncate(target.get(), static_cast<off_t>(length)) != 0 ||
      !datasync(target.get())) {
    const int e = errno;
    j.reset();
    const std::string kept = keep_record(slot, u.relative(), source.staged);
    log_line("%s %s: rewrite failed half-way, completed at next start from journal %s: %s", op,
             uri.c_str(), kept.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  set_fresh_mtime(target.get(), &st);
  // The rewrite is whole on disk; the record and the staged file are no longer needed, nor may
  // the record's content stay. Neither removal need be durable: completing the record again
  // would write the same bytes, and a record whose staged file is gone is dropped.
  undo();
  drop_superseded(parent, u.relative(), uri);
  if (stored != nullptr && ::fstat(target.get(), &now) == 0) *stored = attributes_of(now);
  return Reason::kNone;
}

bool Store::write_record(int j, const ParsedUri& u, const struct stat& st, const Content& content) {
  JournalHeader h;
  h.device = kiv::identity_device(static_cast<std::uint64_t>(st.st_dev));
  h.inode = static_cast<std::uint64_t>(st.st_ino);
  h.path = u.relative();
  h.content_length = content.length();
  const std::string header = encode_journal_header(h);
  Checksum sum;
  sum.update(header);
  if (!kiv::pwrite_all(j, header, 0)) return false;
  if (content.file >= 0) {
    // Through a bounded buffer: the checksum needs every byte once.
    constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::string chunk(static_cast<std::size_t>(std::min<std::uint64_t>(content.size, kChunk)),
                      '\0');
    for (std::uint64_t off = 0; off < content.size;) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, content.size - off));
      const ssize_t got = kiv::pread_full(content.file, chunk.data(), n, static_cast<off_t>(off));
      if (got != static_cast<ssize_t>(n)) {
        if (got >= 0) errno = EIO;  // the source got shorter
        return false;
      }
      const std::string_view piece(chunk.data(), n);
      sum.update(piece);
      if (!kiv::pwrite_all(j, piece, static_cast<off_t>(header.size() + off))) return false;
      off += n;
    }
  } else {
    sum.update(content.bytes);
    if (!kiv::pwrite_all(j, content.bytes, static_cast<off_t>(header.size()))) return false;
  }
  const std::string trailer = encode_journal_trailer(sum);
  const std::uint64_t end = header.size() + h.content_length;
  return kiv::pwrite_all(j, trailer, static_cast<off_t>(end)) &&
         ::ftruncate(j, static_cast<off_t>(end + trailer.size())) == 0 && datasync(j);
}

bool Store::write_staged_record(int j, const JournalHeader& h) {
  const std::string record = encode_journal_record(h, {});
  return kiv::pwrite_all(j, record, 0) && ::ftruncate(j, static_cast<off_t>(record.size())) == 0 &&
         datasync(j);
}

std::string Store::keep_record(const std::string& slot, const std::string& path,
                               const std::string& staged) {
  // Out of the slot, where the next rewrite would overwrite it; the next start completes it.
  const std::string kept = next_journal_name();
  if (::renameat(journal_fd_.get(), slot.c_str(), journal_fd_.get(), kept.c_str()) == 0) {
    make_slots();
    std::lock_guard<std::mutex> lock(pending_mu_);
    pending_[path].push_back(Kept{kept, staged});
  }
  return kept;
}

void Store::drop_superseded(int parent, const std::string& path, const std::string& uri) {
  std::vector<Kept> superseded;
  {
    std::lock_guard<std::mutex> lock(pending_mu_);
    auto it = pending_.find(path);
    if (it == pending_.end()) return;
    superseded = std::move(it->second);
    pending_.erase(it);
  }
  for (const Kept& old : superseded) {
    ::unlinkat(journal_fd_.get(), old.record.c_str(), 0);
    if (!old.staged.empty()) ::unlinkat(parent, old.staged.c_str(), 0);
  }
  // An older record that survived a crash would be completed over this rewrite.
  if (!sync(journal_fd_.get())) {
    log_line("AddDoc %s: cannot sync the journal: %s", uri.c_str(), std::strerror(errno));
  }
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

void Store::clear_slot(int fd) {
  if (::ftruncate(fd, 0) != 0) {
    // Then at least the record is marked done, and never completed again.
    static const char zeros[sizeof kJournalMagic] = {};
    (void)kiv::pwrite_all(fd, std::string_view(zeros, kJournalMagic.size()), 0);
  }
}

}  // namespace kiv::service
