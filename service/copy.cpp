// Copies of documents and collections, file to file inside the service: the bytes never leave
// it. A new document is written under a private name and renamed into place whole; an existing
// one is replaced in place through the journal (replace.cpp), so that it keeps its inode.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {

Reason Store::copy_doc(std::string_view from, std::string_view to) {
  ParsedUri src, dst;
  if (const Reason r = accept("CopyDoc", from, false, &src); r != Reason::kNone) return r;
  if (const Reason r = accept("CopyDoc", to, false, &dst); r != Reason::kNone) return r;
  const std::string names = printable(src.normalized) + " -> " + printable(dst.normalized);
  if (inside_or_same(src, dst)) {
    log_line("CopyDoc %s: refused: the destination is the source or lies inside it", names.c_str());
    return Reason::kRefusedName;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  CopyLocks locks(this, src.normalized, dst.normalized);
  Reason why = Reason::kNone;
  UniqueFd sp = open_parent(src, &why);
  UniqueFd in;
  struct stat in_st {};
  Reason opened =
      sp.valid() ? open_document(sp.get(), src.name(), &in, &in_st) : lookup_reason(why);
  // The source is read whole under its file lock: no rewrite through another host mixes in.
  if (opened == Reason::kNone) opened = lock_to_read(in.get(), &in_st);
  if (opened != Reason::kNone) {
    log_line("CopyDoc %s: source: %s", names.c_str(), reason_name(opened));
    return opened;
  }
  UniqueFd dp = open_parent(dst, &why);
  if (!dp.valid()) {
    log_line("CopyDoc %s: destination parent: %s", names.c_str(), reason_name(why));
    return why;
  }
  Content content;
  content.file = in.get();
  content.size = static_cast<std::uint64_t>(in_st.st_size);
  const std::string shown = printable(dst.normalized);
  struct stat st {};
  switch (kind_at(dp.get(), dst.name(), &st)) {
    case Kind::kMissing:
      return create_doc("CopyDoc", dp.get(), dst.name(), shown, content);
    case Kind::kDocument:
      return replace_doc("CopyDoc", dp.get(), dst, st, content);
    case Kind::kError: {
      const int e = errno;
      log_line("CopyDoc %s: %s", names.c_str(), std::strerror(e));
      return failure_reason(e);
    }
    default:
      log_line("CopyDoc %s: the destination is no document", names.c_str());
      return Reason::kNotDocument;
  }
}

Reason Store::copy_collection(std::string_view from, std::string_view to, bool infinity,
                              std::vector<CopyFailure>* failures) {
  failures->clear();
  ParsedUri src, dst;
  if (const Reason r = accept("CopyCollection", from, false, &src); r != Reason::kNone) return r;
  if (const Reason r = accept("CopyCollection", to, false, &dst); r != Reason::kNone) return r;
  const std::string names = printable(src.normalized) + " -> " + printable(dst.normalized);
  if (inside_or_same(src, dst)) {
    log_line("CopyCollection %s: refused: the destination is the source or lies inside it",
             names.c_str());
    return Reason::kRefusedName;
  }
  std::shared_lock<std::shared_mutex> tree(tree_);
  Reason why = Reason::kNone;
  UniqueFd sp = open_parent(src, &why);
  struct stat st {};
  const Kind k = sp.valid() ? kind_at(sp.get(), src.name(), &st) : Kind::kMissing;
  if (k != Kind::kCollection) {
    const int e = errno;
    log_line("CopyCollection %s: no such collection", names.c_str());
    if (k == Kind::kDocument) return Reason::kNotCollection;
    return k == Kind::kError ? failure_reason(e) : Reason::kNotFound;
  }
  UniqueFd dp = open_parent(dst, &why);
  if (!dp.valid()) {
    log_line("CopyCollection %s: destination parent: %s", names.c_str(), reason_name(why));
    return why;
  }
  if (::mkdirat(dp.get(), dst.name().c_str(), 0750) != 0) {
    const int e = errno;
    log_line("CopyCollection %s: %s", names.c_str(),
             e == EEXIST ? "destination exists" : std::strerror(e));
    return e == EEXIST ? Reason::kExists : failure_reason(e);
  }
  Reason r = Reason::kNone;
  if (infinity) {
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd from_dir(::openat(sp.get(), src.name().c_str(), flags));
    UniqueFd to_dir(::openat(dp.get(), dst.name().c_str(), flags));
    r = from_dir.valid() && to_dir.valid()
            ? copy_members(from_dir.get(), to_dir.get(), src.normalized + "/", dst.normalized + "/",
                           "", 0, failures)
            : failure_reason(errno);
  }
  if (r == Reason::kNone && !sync(dp.get())) r = failure_reason(errno);
  if (r != Reason::kNone) {
    log_line("CopyCollection %s: %s", names.c_str(), reason_name(r));
  } else if (!failures->empty()) {
    log_line("CopyCollection %s: %zu members not copied, the first %s: %s", names.c_str(),
             failures->size(), printable(failures->front().path).c_str(),
             reason_name(failures->front().reason));
  }
  return r;
}

Reason Store::copy_members(int from, int to, const std::string& from_uri, const std::string& to_uri,
                           const std::string& rel, int depth, std::vector<CopyFailure>* failures) {
  DirNames names;
  if (!read_names(from, &names)) return failure_reason(errno);
  // In name order, so that the failures come in an order that does not depend on the disk.
  std::sort(names.begin(), names.end());
  for (const auto& entry : names) {
    const std::string& name = entry.first;
    // The module's state and the service's private files are never copied (the module copies
    // the dead properties itself, and never the locks).
    if (kiv::is_reserved_name(name)) continue;
    const std::string member = rel + name;
    struct stat st {};
    const Kind k = kind_at(from, name, &st);
    if (k == Kind::kDocument) {
      const Reason r = copy_member(from, to, name, from_uri + member, to_uri + member);
      if (r != Reason::kNone) failures->push_back({member, r});
    } else if (k == Kind::kCollection) {
      if (depth >= kMaxDepth) {
        failures->push_back({member + "/", Reason::kIo});
        continue;
      }
      if (::mkdirat(to, name.c_str(), 0750) != 0) {
        failures->push_back(
            {member + "/", errno == EEXIST ? Reason::kExists : failure_reason(errno)});
        continue;
      }
      const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
      UniqueFd sub_from(::openat(from, name.c_str(), flags));
      UniqueFd sub_to(::openat(to, name.c_str(), flags));
      const Reason r = sub_from.valid() && sub_to.valid()
                           ? copy_members(sub_from.get(), sub_to.get(), from_uri, to_uri,
                                          member + "/", depth + 1, failures)
                           : failure_reason(errno);
      if (r != Reason::kNone) failures->push_back({member + "/", r});
    } else if (k == Kind::kError) {
      failures->push_back({member, failure_reason(errno)});
    }
    // Symbolic links and special files count as nothing: they stay behind.
  }
  return sync(to) ? Reason::kNone : failure_reason(errno);
}

Reason Store::copy_member(int from, int to, const std::string& name, const std::string& from_uri,
                          const std::string& to_uri) {
  CopyLocks locks(this, from_uri, to_uri);
  UniqueFd in;
  struct stat in_st {};
  if (const Reason r = open_document(from, name, &in, &in_st); r != Reason::kNone) return r;
  if (const Reason r = lock_to_read(in.get(), &in_st); r != Reason::kNone) return r;
  Content content;
  content.file = in.get();
  content.size = static_cast<std::uint64_t>(in_st.st_size);
  return create_doc("CopyCollection", to, name, printable(to_uri), content);
}

}  // namespace kiv::service
