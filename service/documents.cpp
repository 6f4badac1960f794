// Documents: storing one (a new one appears whole; an existing one is rewritten in place, see
// replace.cpp) and reading one.
#include <fcntl.h>
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
    case Kind::kMissing:
      return create_doc("AddDoc", parent.get(), u.name(), shown, c);
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

Reason Store::get_doc(std::string_view uri, std::string* content) {
  content->clear();
  ParsedUri u;
  if (const Reason r = accept("GetDocContent", uri, true, &u); r != Reason::kNone) return r;
  if (u.is_root()) return Reason::kNotDocument;
  std::shared_lock<std::shared_mutex> tree(tree_);
  std::shared_lock<std::shared_mutex> doc(stripe(u.normalized));
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) return lookup_reason(why);
  UniqueFd fd;
  struct stat st {};
  if (const Reason r = open_document(parent.get(), u.name(), &fd, &st); r != Reason::kNone) {
    return r;
  }
  if (static_cast<std::uint64_t>(st.st_size) > options_.max_document) {
    log_line("GetDocContent %s: %lld bytes exceed the document cap", printable(uri).c_str(),
             static_cast<long long>(st.st_size));
    return Reason::kTooLarge;
  }
  content->resize(static_cast<std::size_t>(st.st_size));
  const ssize_t got = kiv::pread_full(fd.get(), content->data(), content->size(), 0);
  if (got < 0) {
    const int e = errno;
    log_line("GetDocContent %s: cannot read: %s", printable(uri).c_str(), std::strerror(e));
    content->clear();
    return failure_reason(e);
  }
  content->resize(static_cast<std::size_t>(got));
  return Reason::kNone;
}

}  // namespace kiv::service
