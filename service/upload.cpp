// Uploads: the new content of a document arrives in pieces into a temporary file beside it and is
// put in place at commit, as a new document (linked or renamed into place) or as the new content
// of an existing one (rewritten in place behind a journal record, see replace.cpp).
#include <fcntl.h>
#include <unistd.h>

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
namespace {

// Rewrites up to this size keep their content in the journal record: two syncs instead of four.
constexpr std::uint64_t kRecordContentMax = kiv::proto::kMaxChunk;

// How much of a durable upload is written before the disk is asked to write it back.
constexpr std::uint64_t kWriteBehind = 8 * 1024 * 1024;

bool all_zero(std::string_view data) {
  return !data.empty() && data[0] == '\0' &&
         std::memcmp(data.data(), data.data() + 1, data.size() - 1) == 0;
}

// Links the unnamed file fd into dir under name; 0, or -1 with errno set.
int link_unnamed(int fd, int dir, const std::string& name) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, path, dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  // Without /proc, AT_EMPTY_PATH does the same for a process that may use it.
  if (errno != ENOENT) return -1;
  return ::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH);
}

}  // namespace

Upload::~Upload() {
  // An unnamed file goes with its descriptor; a named one is removed.
  if (!name_.empty()) ::unlinkat(dir_.get(), name_.c_str(), 0);
}

Reason Store::begin_upload(std::string_view uri, const std::uint64_t* length,
                           std::unique_ptr<Upload>* out) {
  out->reset();
  ParsedUri u;
  if (const Reason r = accept("UploadBegin", uri, false, &u); r != Reason::kNone) return r;
  const std::string shown = printable(u.normalized);
  if (length != nullptr && *length > options_.max_document) {
    log_line("UploadBegin %s: refused: %" PRIu64 " bytes exceed the document cap", shown.c_str(),
             *length);
    return Reason::kTooLarge;
  }
  std::unique_ptr<Upload> up(new Upload);
  {
    std::shared_lock<std::shared_mutex> tree(tree_);
    Reason why = Reason::kNone;
    up->dir_ = open_parent(u, &why);
    if (!up->dir_.valid()) {
      log_line("UploadBegin %s: parent collection: %s", shown.c_str(), reason_name(why));
      return why;
    }
    struct stat st {};
    const Kind k = kind_at(up->dir_.get(), u.name(), &st);
    if (k == Kind::kError) {
      const int e = errno;
      log_line("UploadBegin %s: %s", shown.c_str(), std::strerror(e));
      return failure_reason(e);
    }
    if (k != Kind::kMissing && k != Kind::kDocument) {
      log_line("UploadBegin %s: names something that is no document", shown.c_str());
      return Reason::kNotDocument;
    }
    if (k == Kind::kDocument && st.st_nlink > 1) {
      log_line("UploadBegin %s: refused: the document has %ju hard links", shown.c_str(),
               static_cast<std::uintmax_t>(st.st_nlink));
      return Reason::kForbidden;
    }
  }
  const int dir = up->dir_.get();
  // An unnamed file can only be given a name through /proc (or with a privilege).
  static const bool can_link = ::access("/proc/self/fd", X_OK) == 0;
  if (can_link) up->file_.reset(::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0640));
  // File systems without unnamed files: a private name, removed unless the upload is stored.
  for (int attempt = 0; attempt < 8 && !up->file_.valid(); ++attempt) {
    up->name_ = temp_name();
    up->file_.reset(
        ::openat(dir, up->name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
    if (!up->file_.valid()) {
      up->name_.clear();
      if (errno != EEXIST) break;
    }
  }
  if (!up->file_.valid()) {
    const int e = errno;
    log_line("UploadBegin %s: cannot create a temporary file: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  // A known length claims its room now: a full disk is told before the body is sent.
  if (length != nullptr && *length > 0 &&
      ::fallocate(up->file_.get(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(*length)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    const int e = errno;
    log_line("UploadBegin %s: no room for %" PRIu64 " bytes: %s", shown.c_str(), *length,
             std::strerror(e));
    return failure_reason(e);
  }
  up->uri_ = std::move(u);
  up->shown_ = shown;
  *out = std::move(up);
  return Reason::kNone;
}

Reason Store::write_upload(Upload& up, std::string_view data) {
  if (up.failed_ != Reason::kNone) return up.failed_;
  if (data.size() > options_.max_document - up.received_) {
    log_line("UploadWrite %s: refused: more than the document cap", up.shown_.c_str());
    up.failed_ = Reason::kTooLarge;
    (void)::ftruncate(up.file_.get(), 0);  // give the room back now
    return up.failed_;
  }
  // Runs of zeros stay holes: they read back as zeros and take no room.
  if (!all_zero(data) && !kiv::pwrite_all(up.file_.get(), data, static_cast<off_t>(up.received_))) {
    const int e = errno;
    log_line("UploadWrite %s: cannot write: %s", up.shown_.c_str(), std::strerror(e));
    up.failed_ = failure_reason(e);
    (void)::ftruncate(up.file_.get(), 0);
    return up.failed_;
  }
  up.received_ += data.size();
  // A durable store syncs the whole file at commit. Its writeback starts as the body comes, a
  // stretch at a time, so that the disk writes while the network delivers and the sync at
  // commit waits only for the last stretch. A hint: where the file system ignores or refuses
  // it, the commit's sync does all of the writing, as it would anyway.
  if (options_.durable && up.received_ - up.written_back_ >= kWriteBehind) {
    (void)::sync_file_range(up.file_.get(), static_cast<off_t>(up.written_back_),
                            static_cast<off_t>(up.received_ - up.written_back_),
                            SYNC_FILE_RANGE_WRITE);
    up.written_back_ = up.received_;
  }
  return Reason::kNone;
}

Reason Store::commit_upload(Upload& up, std::uint64_t total, Attributes* stored, bool create_only) {
  if (up.failed_ != Reason::kNone) return up.failed_;
  const std::string& shown = up.shown_;
  if (total != up.received_) {
    log_line("UploadCommit %s: refused: %" PRIu64 " bytes announced, %" PRIu64 " received",
             shown.c_str(), total, up.received_);
    return Reason::kIo;
  }
  // Holes at the end (a body that ends in zeros) count in the size too. Written before any lock
  // is taken: a large file's sync is the slow part.
  if (::ftruncate(up.file_.get(), static_cast<off_t>(total)) != 0 || !datasync(up.file_.get())) {
    const int e = errno;
    log_line("UploadCommit %s: cannot write: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  std::unique_lock<std::shared_mutex> doc(stripe(up.uri_.normalized));
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(up.uri_, &why);
  if (!parent.valid()) {
    log_line("UploadCommit %s: parent collection: %s", shown.c_str(), reason_name(why));
    return why;
  }
  struct stat st {};
  const Kind kind = kind_at(parent.get(), up.uri_.name(), &st);
  if (create_only && kind != Kind::kMissing && kind != Kind::kError) {
    log_line("UploadCommit %s: something is there already", shown.c_str());
    return Reason::kExists;
  }
  switch (kind) {
    case Kind::kMissing: {
      // The link or rename that puts it in place never replaces (Exists when something came).
      const Reason made = commit_new(parent.get(), up, stored);
      // Another host of a shared tree made the document first: a store that may replace does.
      if (made == Reason::kExists && !create_only &&
          kind_at(parent.get(), up.uri_.name(), &st) == Kind::kDocument) {
        return commit_replace(parent.get(), up, st, stored);
      }
      return made;
    }
    case Kind::kDocument:
      return commit_replace(parent.get(), up, st, stored);
    case Kind::kError: {
      const int e = errno;
      log_line("UploadCommit %s: %s", shown.c_str(), std::strerror(e));
      return failure_reason(e);
    }
    default:
      log_line("UploadCommit %s: names something that is no document", shown.c_str());
      return Reason::kNotDocument;
  }
}

bool Store::stage(int parent, Upload& up, const std::string& name) {
  struct stat dir {
  }, file{};
  if (::fstat(parent, &dir) != 0 || ::fstat(up.file_.get(), &file) != 0) return false;
  if (dir.st_dev == file.st_dev) {
    const int rc = up.name_.empty() ? link_unnamed(up.file_.get(), parent, name)
                                    : rename_no_replace(up.dir_.get(), up.name_, parent, name);
    if (rc == 0) up.name_.clear();  // the name is the caller's now
    return rc == 0;
  }
  // The collection moved to another file system during the upload: a synced copy instead.
  UniqueFd copy(
      ::openat(parent, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!copy.valid()) return false;
  if (!copy_range(up.file_.get(), 0, up.received_, copy.get(), 0) || !datasync(copy.get())) {
    const int e = errno;
    ::unlinkat(parent, name.c_str(), 0);
    errno = e;
    return false;
  }
  up.file_ = std::move(copy);
  return true;
}

Reason Store::commit_new(int parent, Upload& up, Attributes* stored) {
  const std::string& shown = up.shown_;
  // A link never replaces, nor does the rename: a document that appeared meanwhile stays. A copy
  // (the file sits on another file system) appears under its name only once it is whole.
  struct stat dir {
  }, file{};
  const bool same = ::fstat(parent, &dir) == 0 && ::fstat(up.file_.get(), &file) == 0 &&
                    dir.st_dev == file.st_dev;
  const std::string copy = same ? std::string() : temp_name();
  bool placed = stage(parent, up, same ? up.uri_.name() : copy);
  if (placed && !same && rename_no_replace(parent, copy, parent, up.uri_.name()) != 0) {
    const int e = errno;
    ::unlinkat(parent, copy.c_str(), 0);
    errno = e;
    placed = false;
  }
  if (!placed) {
    const int e = errno;
    log_line("UploadCommit %s: cannot put the document in place: %s", shown.c_str(),
             std::strerror(e));
    return e == EEXIST ? Reason::kExists : failure_reason(e);
  }
  set_fresh_mtime(up.file_.get(), nullptr);
  if (!sync(parent)) {
    const int e = errno;
    log_line("UploadCommit %s: cannot sync the collection: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  struct stat st {};
  if (::fstat(up.file_.get(), &st) == 0) *stored = attributes_of(st);
  return Reason::kNone;
}

Reason Store::commit_replace(int parent, Upload& up, const struct stat& st, Attributes* stored) {
  const std::string& shown = up.shown_;
  const std::uint64_t size = up.received_;
  if (size <= kRecordContentMax || st.st_nlink > 1) {
    // Small enough to travel in the record itself (and a hard-linked document is refused there).
    Content content;
    content.file = up.file_.get();
    content.size = size;
    return replace_doc("UploadCommit", parent, up.uri_, st, content, stored);
  }
  // The record names the staged file, whose content was synced before the record is written:
  // a whole record always finds whole content. The file gets its name after the record (a
  // record whose file has no name is dropped at the next start, and no file is left without a
  // record) and before the document is touched (so that the next start finds it). A copy, made
  // when the file sits on another file system, is named first: its identity goes in the record.
  struct stat dir {
  }, source{};
  const std::string staged = temp_name();
  bool named = false;
  if (::fstat(parent, &dir) != 0 || ::fstat(up.file_.get(), &source) != 0 ||
      (dir.st_dev != source.st_dev &&
       (!(named = stage(parent, up, staged)) || ::fstat(up.file_.get(), &source) != 0))) {
    const int e = errno;
    if (named) ::unlinkat(parent, staged.c_str(), 0);
    log_line("UploadCommit %s: cannot stage the new content: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  std::string slot;
  UniqueFd j = open_slot(up.uri_, &slot);
  JournalHeader h;
  h.device = kiv::identity_device(static_cast<std::uint64_t>(st.st_dev));
  h.inode = static_cast<std::uint64_t>(st.st_ino);
  h.path = up.uri_.relative();
  h.content_length = size;
  h.source = staged;
  h.source_device = kiv::identity_device(static_cast<std::uint64_t>(source.st_dev));
  h.source_inode = static_cast<std::uint64_t>(source.st_ino);
  if (!j.valid() || !write_staged_record(j.get(), h)) {
    const int e = errno;
    if (named) ::unlinkat(parent, staged.c_str(), 0);
    if (j.valid()) clear_slot(j.get());
    log_line("UploadCommit %s: cannot write journal record: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  if (!named) named = stage(parent, up, staged);
  if (!named || !sync(parent)) {
    const int e = errno;
    if (named) ::unlinkat(parent, staged.c_str(), 0);
    clear_slot(j.get());
    log_line("UploadCommit %s: cannot stage the new content: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  Source content;
  content.file = up.file_.get();
  content.length = size;
  content.staged = staged;
  return rewrite("UploadCommit", parent, up.uri_, st, std::move(j), slot, content, stored);
}

}  // namespace kiv::service
