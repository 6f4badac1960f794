// The journal at start-up: every whole record completes the rewrite it describes; the others go.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/file_io.h"
#include "common/tree_id.h"
#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {
namespace {

constexpr std::size_t kChunk = 1 << 20;

// Feeds the bytes [0, end) of the file fd to *sum in chunks. False when they cannot be read.
bool checksum_range(int fd, std::uint64_t end, Checksum* sum) {
  std::string chunk(kChunk, '\0');
  for (std::uint64_t off = 0; off < end;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - off));
    if (kiv::pread_full(fd, chunk.data(), n, static_cast<off_t>(off)) != static_cast<ssize_t>(n)) {
      return false;
    }
    sum->update(std::string_view(chunk.data(), n));
    off += n;
  }
  return true;
}

bool is_record_name(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".jnl") == 0;
}

}  // namespace

int Store::roll_forward() {
  DirNames names;
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
    const bool record = is_record_name(name);
    const bool slot = record && name.compare(0, 5, "slot-") == 0;
    const JournalOutcome outcome = record ? apply_journal(name) : JournalOutcome::kDropped;
    if (outcome == JournalOutcome::kCompleted) ++applied;
    if (slot) {
      if (outcome == JournalOutcome::kKept) {
        // Out of the slot, where the next rewrite would overwrite it.
        ::renameat(journal_fd_.get(), name.c_str(), journal_fd_.get(), next_journal_name().c_str());
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
  JournalHeader h;
  std::size_t header_size = 0;
  if (!check_record(j.get(), name, static_cast<std::uint64_t>(st.st_size), &h, &header_size)) {
    return JournalOutcome::kDropped;
  }
  return complete_record(j.get(), name, h, header_size);
}

bool Store::check_record(int j, const std::string& name, std::uint64_t size, JournalHeader* h,
                         std::size_t* header_size) {
  std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kJournalMaxHeader)),
                   '\0');
  if (kiv::pread_full(j, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
    log_line("journal %s: cannot read, dropped", name.c_str());
    return false;
  }
  // An empty slot, or one whose record was done, holds nothing to complete.
  if (size == 0 ||
      head.compare(0, kJournalMagic.size(), std::string(kJournalMagic.size(), '\0')) == 0) {
    return false;
  }
  if (parse_journal_header(head, h, header_size) != JournalParse::kOk ||
      journal_record_size(*h) != size) {
    log_line("journal %s: incomplete record, dropped", name.c_str());
    return false;
  }
  Checksum sum;
  const std::uint64_t body_end = size - kJournalChecksumSize;
  char trailer[kJournalChecksumSize];
  if (!checksum_range(j, body_end, &sum) ||
      kiv::pread_full(j, trailer, sizeof trailer, static_cast<off_t>(body_end)) !=
          static_cast<ssize_t>(sizeof trailer)) {
    log_line("journal %s: cannot read, dropped", name.c_str());
    return false;
  }
  if (get_u64(trailer) != sum.value()) {
    log_line("journal %s: checksum mismatch, dropped", name.c_str());
    return false;
  }
  return true;
}

Store::JournalOutcome Store::complete_record(int j, const std::string& name, const JournalHeader& h,
                                             std::size_t header_size) {
  ParsedUri u;
  std::string why;
  if (!parse_uri("/" + h.path, &u, &why) || u.is_root() || u.relative() != h.path) {
    log_line("journal %s: bad path, dropped", name.c_str());
    return JournalOutcome::kDropped;
  }
  const std::string shown = printable(u.normalized);
  UniqueFd parent(open_dir(u.parent_relative()));
  // The staged content, when the record names it: the same file, whole.
  UniqueFd source;
  struct stat src {};
  if (h.staged() && parent.valid()) {
    source.reset(
        ::openat(parent.get(), h.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (source.valid() &&
        (::fstat(source.get(), &src) != 0 || !S_ISREG(src.st_mode) ||
         kiv::identity_device(static_cast<std::uint64_t>(src.st_dev)) != h.source_device ||
         static_cast<std::uint64_t>(src.st_ino) != h.source_inode ||
         static_cast<std::uint64_t>(src.st_size) != h.content_length)) {
      source.reset();  // another file under that name: not ours to remove
    }
  }
  UniqueFd target(parent.valid() ? ::openat(parent.get(), u.name().c_str(),
                                            O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                 : -1);
  // Other hosts of a shared tree may be serving the document already: they wait for the rewrite.
  if (target.valid() && lock_document(target.get(), LOCK_EX) != Reason::kNone) {
    log_line("journal %s: cannot lock %s, kept: %s", name.c_str(), shown.c_str(),
             std::strerror(errno));
    return JournalOutcome::kKept;
  }
  struct stat now {};
  if (!target.valid() || ::fstat(target.get(), &now) != 0 || !S_ISREG(now.st_mode) ||
      kiv::identity_device(static_cast<std::uint64_t>(now.st_dev)) != h.device ||
      static_cast<std::uint64_t>(now.st_ino) != h.inode) {
    if (source.valid()) ::unlinkat(parent.get(), h.source.c_str(), 0);
    log_line("journal %s: %s is gone, dropped", name.c_str(), shown.c_str());
    return JournalOutcome::kDropped;
  }
  if (h.staged() && !source.valid()) {
    // Named after the record was written, or removed once the rewrite was whole.
    log_line("journal %s: the staged content of %s is gone, dropped", name.c_str(), shown.c_str());
    return JournalOutcome::kDropped;
  }
  const bool copied = h.staged() ? copy_range(source.get(), 0, h.content_length, target.get(), 0)
                                 : copy_range(j, static_cast<off_t>(header_size), h.content_length,
                                              target.get(), 0);
  if (!copied || ::ftruncate(target.get(), static_cast<off_t>(h.content_length)) != 0 ||
      !sync(target.get())) {
    log_line("journal %s: cannot complete %s, kept: %s", name.c_str(), shown.c_str(),
             std::strerror(errno));
    return JournalOutcome::kKept;
  }
  set_fresh_mtime(target.get(), &now);
  if (source.valid()) ::unlinkat(parent.get(), h.source.c_str(), 0);
  log_line("journal %s: completed the rewrite of %s", name.c_str(), shown.c_str());
  return JournalOutcome::kCompleted;
}

}  // namespace kiv::service
