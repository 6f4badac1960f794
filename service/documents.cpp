// Documents: storing one whole (a new one appears whole; an existing one is rewritten in place,
// see replace.cpp), reading one whole, looking one up for a delivery and reading it in chunks.
// Uploads are in upload.cpp.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_io.h"
#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {

Reason Store::add_doc(std::string_view uri, std::string_view content) {
  ParsedUri u;
  if (const Reason r = accept("AddDoc", uri, false, &u); r != Reason::kNone) return r;
  const std::string shown = printable(u.normalized);
  if (content.size() > options_.max_document) {
    log_line("AddDoc %s: refused: %zu bytes exceed the document cap", shown.c_str(),
             content.size());
    return Reason::kTooLarge;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  std::unique_lock<std::shared_mutex> doc(stripe(u.normalized));
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) {
    log_line("AddDoc %s: parent collection: %s", shown.c_str(), reason_name(why));
    return why;
  }
  struct stat st {};
  Content c;
  c.bytes = content;
  switch (kind_at(parent.get(), u.name(), &st)) {
    case Kind::kMissing: {
      const Reason made = create_doc("AddDoc", parent.get(), u.name(), shown, c);
      // Another host of a shared tree made the document first: this store replaces it.
      if (made == Reason::kExists && kind_at(parent.get(), u.name(), &st) == Kind::kDocument) {
        return replace_doc("AddDoc", parent.get(), u, st, c);
      }
      return made;
    }
    case Kind::kDocument:
      return replace_doc("AddDoc", parent.get(), u, st, c);
    case Kind::kCollection:
      log_line("AddDoc %s: names a collection", shown.c_str());
      return Reason::kNotDocument;
    case Kind::kError: {
      const int e = errno;
      log_line("AddDoc %s: %s", shown.c_str(), std::strerror(e));
      return failure_reason(e);
    }
    default:
      log_line("AddDoc %s: names something that is no document", shown.c_str());
      return Reason::kNotDocument;
  }
}

Reason Store::create_doc(const char* op, int parent, const std::string& name,
                         const std::string& shown, const Content& content) {
  std::string temp;
  UniqueFd fd;
  for (int attempt = 0; attempt < 8 && !fd.valid(); ++attempt) {
    temp = temp_name();
    fd.reset(
        ::openat(parent, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
    if (!fd.valid() && errno != EEXIST) break;
  }
  if (!fd.valid()) {
    const int e = errno;
    log_line("%s %s: cannot create a temporary file: %s", op, shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  const bool written = (content.file >= 0 ? copy_range(content.file, 0, content.size, fd.get(), 0)
                                          : kiv::write_all(fd.get(), content.bytes)) &&
                       datasync(fd.get());
  const int saved = errno;
  if (written) set_fresh_mtime(fd.get(), nullptr);
  fd.reset();
  if (!written) {
    ::unlinkat(parent, temp.c_str(), 0);
    log_line("%s %s: cannot write: %s", op, shown.c_str(), std::strerror(saved));
    return failure_reason(saved);
  }
  int rc = ::renameat2(parent, temp.c_str(), parent, name.c_str(), RENAME_NOREPLACE);
  if (rc != 0 && errno == EINVAL) {
    // A file system without RENAME_NOREPLACE: a link never replaces either.
    rc = ::linkat(parent, temp.c_str(), parent, name.c_str(), 0);
    if (rc == 0) ::unlinkat(parent, temp.c_str(), 0);
  }
  if (rc != 0) {
    const int e = errno;
    ::unlinkat(parent, temp.c_str(), 0);
    log_line("%s %s: cannot put the document in place: %s", op, shown.c_str(), std::strerror(e));
    return e == EEXIST ? Reason::kExists : failure_reason(e);
  }
  if (!sync(parent)) {
    const int e = errno;
    log_line("%s %s: cannot sync the collection: %s", op, shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  return Reason::kNone;
}

Reason Store::open_to_read(const ParsedUri& u, ReadHandle* h) {
  h->tree = std::shared_lock<std::shared_mutex>(tree_);
  h->doc = std::shared_lock<std::shared_mutex>(stripe(u.normalized));
  Reason why = Reason::kNone;
  const UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) return lookup_reason(why);
  return open_document(parent.get(), u.name(), &h->fd, &h->st);
}

Reason Store::get_doc(std::string_view uri, std::string* content, std::uint64_t limit) {
  content->clear();
  ParsedUri u;
  if (const Reason r = accept("GetDocContent", uri, true, &u); r != Reason::kNone) return r;
  if (u.is_root()) return Reason::kNotDocument;
  ReadHandle h;
  if (const Reason r = open_to_read(u, &h); r != Reason::kNone) return r;
  if (const Reason r = lock_to_read(h.fd.get(), &h.st); r != Reason::kNone) {
    log_line("GetDocContent %s: cannot lock: %s", printable(uri).c_str(), reason_name(r));
    return r;
  }
  const auto size = static_cast<std::uint64_t>(h.st.st_size);
  if (size > options_.max_document || size > limit) {
    log_line("GetDocContent %s: %llu bytes are too many to send whole", printable(uri).c_str(),
             static_cast<unsigned long long>(size));
    return Reason::kTooLarge;
  }
  content->resize(static_cast<std::size_t>(size));
  const ssize_t got = kiv::pread_full(h.fd.get(), content->data(), content->size(), 0);
  if (got < 0) {
    const int e = errno;
    log_line("GetDocContent %s: cannot read: %s", printable(uri).c_str(), std::strerror(e));
    content->clear();
    return failure_reason(e);
  }
  content->resize(static_cast<std::size_t>(got));
  return Reason::kNone;
}

Reason Store::found_document(std::string_view uri, const ParsedUri& u, UniqueFd fd, struct stat* st,
                             bool want_content, bool want_descriptor, Found* out) {
  if (want_content && static_cast<std::uint64_t>(st->st_size) <= kiv::proto::kMaxInline) {
    if (const Reason locked = lock_to_read(fd.get(), st); locked != Reason::kNone) {
      log_line("Stat %s: cannot lock: %s", printable(uri).c_str(), reason_name(locked));
      return locked;
    }
    out->content.resize(static_cast<std::size_t>(st->st_size));
    const ssize_t got = kiv::pread_full(fd.get(), out->content.data(), out->content.size(), 0);
    if (got != static_cast<ssize_t>(out->content.size())) {
      log_line("Stat %s: cannot read: %s", printable(uri).c_str(),
               got < 0 ? std::strerror(errno) : "the file is shorter than it was");
      return got < 0 ? failure_reason(errno) : Reason::kIo;
    }
    out->has_content = true;
  } else if (want_descriptor) {
    out->descriptor = std::move(fd);
  }
  out->entry = Entry{u.normalized, u.name(), false};
  out->attributes = attributes_of(*st);
  return Reason::kNone;
}

Reason Store::stat(std::string_view uri, bool want_content, bool want_descriptor, Found* out) {
  ParsedUri u;
  if (const Reason r = accept("Stat", uri, true, &u); r != Reason::kNone) return r;
  struct stat st {};
  std::shared_lock<std::shared_mutex> tree(tree_);
  if (u.is_root()) {
    if (::fstat(root_fd_.get(), &st) != 0) return failure_reason(errno);
    out->entry = Entry{"/", "", true};
    out->attributes = attributes_of(st);
    return Reason::kNone;
  }
  // The content and the attributes come from one open file under the document's lock: they
  // describe one version.
  std::shared_lock<std::shared_mutex> doc(stripe(u.normalized));
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) return lookup_reason(why);
  if (want_content || want_descriptor) {
    // A document is opened at once, and told from a collection by its open file.
    UniqueFd fd;
    const Reason r = open_document(parent.get(), u.name(), &fd, &st);
    if (r == Reason::kNone) {
      return found_document(uri, u, std::move(fd), &st, want_content, want_descriptor, out);
    }
    // Not a document: a collection, which open_document has described in st.
    if (r != Reason::kNotDocument) return r;
  } else {
    const Kind k = kind_at(parent.get(), u.name(), &st);
    if (k == Kind::kError) return failure_reason(errno);
    if (k != Kind::kDocument && k != Kind::kCollection) return Reason::kNotFound;
  }
  out->entry = Entry{u.normalized, u.name(), S_ISDIR(st.st_mode)};
  out->attributes = attributes_of(st);
  return Reason::kNone;
}

Reason Store::read(std::string_view uri, const Attributes& expected, std::uint64_t offset,
                   std::uint32_t length, std::string* out) {
  out->clear();
  ParsedUri u;
  if (const Reason r = accept("Read", uri, true, &u); r != Reason::kNone) return r;
  if (u.is_root()) return Reason::kNotDocument;
  if (length > kiv::proto::kMaxChunk) {
    log_line("Read %s: refused: %u bytes are more than a chunk", printable(uri).c_str(), length);
    return Reason::kTooLarge;
  }
  // Rewrites hold the document's locks, in this process and (its flock) on every host: a chunk
  // is never read half old, half new. The version is told under them, and the chunk read.
  ReadHandle h;
  if (const Reason r = open_to_read(u, &h); r != Reason::kNone) return r;
  if (const Reason r = lock_to_read(h.fd.get(), &h.st, kiv::proto::kDocumentBusyWaitMs);
      r != Reason::kNone) {
    log_line("Read %s: the document is being rewritten", printable(uri).c_str());
    return r;
  }
  if (!kiv::proto::same_version(attributes_of(h.st), expected)) return Reason::kChanged;
  const auto size = static_cast<std::uint64_t>(h.st.st_size);
  if (offset > size || length > size - offset) {
    log_line("Read %s: refused: %u bytes from %llu lie beyond the %llu bytes of the document",
             printable(uri).c_str(), length, static_cast<unsigned long long>(offset),
             static_cast<unsigned long long>(size));
    return Reason::kRange;
  }
  // A chunk that lies in a hole is zeros: no need to have the kernel make pages of them.
  const off_t data = ::lseek(h.fd.get(), static_cast<off_t>(offset), SEEK_DATA);
  if (length > 0 && ((data < 0 && errno == ENXIO) ||
                     (data >= 0 && static_cast<std::uint64_t>(data) >= offset + length))) {
    out->assign(length, '\0');
    return Reason::kNone;
  }
  out->resize(length);
  const ssize_t got = kiv::pread_full(h.fd.get(), out->data(), length, static_cast<off_t>(offset));
  if (got != static_cast<ssize_t>(length)) {
    const int e = got < 0 ? errno : 0;
    log_line("Read %s: cannot read: %s", printable(uri).c_str(),
             got < 0 ? std::strerror(e) : "the file is shorter than it was");
    out->clear();
    return got < 0 ? failure_reason(e) : Reason::kIo;
  }
  return Reason::kNone;
}

}  // namespace kiv::service
