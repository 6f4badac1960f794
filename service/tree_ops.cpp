// Operations on the name space: lookups, listings, new collections, moves and deletes.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {

Reason Store::get_directory(std::string_view uri, Entry* out) {
  ParsedUri u;
  if (const Reason r = accept("GetDirectory", uri, true, &u); r != Reason::kNone) return r;
  std::shared_lock<std::shared_mutex> tree(tree_);
  if (u.is_root()) {
    *out = Entry{"/", "", true};
    return Reason::kNone;
  }
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) return lookup_reason(why);
  struct stat st {};
  switch (kind_at(parent.get(), u.name(), &st)) {
    case Kind::kDocument:
    case Kind::kCollection:
      *out = Entry{u.normalized, u.name(), S_ISDIR(st.st_mode)};
      return Reason::kNone;
    case Kind::kError:
      return failure_reason(errno);
    default:
      return Reason::kNotFound;
  }
}

Reason Store::list(std::string_view uri, std::string* base, std::vector<Member>* members) {
  members->clear();
  ParsedUri u;
  if (const Reason r = accept("GetSubDirectory", uri, true, &u); r != Reason::kNone) return r;
  std::shared_lock<std::shared_mutex> tree(tree_);
  UniqueFd dir(open_dir(u.relative()));
  if (!dir.valid()) {
    const Reason r = lookup_reason(parent_reason(errno));
    if (r != Reason::kNotFound || u.is_root()) return r;
    // A document answers that it is none; anything else on the way means nothing is there.
    Reason why = Reason::kNone;
    UniqueFd parent = open_parent(u, &why);
    struct stat st {};
    return parent.valid() && kind_at(parent.get(), u.name(), &st) == Kind::kDocument
               ? Reason::kNotCollection
               : Reason::kNotFound;
  }
  DirNames names;
  if (!read_names(dir.get(), &names)) {
    const int e = errno;
    log_line("GetSubDirectory %s: cannot read: %s", printable(uri).c_str(), std::strerror(e));
    return failure_reason(e);
  }
  for (auto& [name, type] : names) {
    if (kiv::is_reserved_name(name)) continue;
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
  return Reason::kNone;
}

Reason Store::add_collection(std::string_view uri) {
  ParsedUri u;
  if (const Reason r = accept("AddCollection", uri, false, &u); r != Reason::kNone) return r;
  const std::string shown = printable(u.normalized);
  std::unique_lock<std::shared_mutex> tree(tree_);
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  if (!parent.valid()) {
    log_line("AddCollection %s: parent collection: %s", shown.c_str(), reason_name(why));
    return why;
  }
  if (::mkdirat(parent.get(), u.name().c_str(), 0750) != 0) {
    const int e = errno;
    log_line("AddCollection %s: %s", shown.c_str(), e == EEXIST ? "exists" : std::strerror(e));
    return e == EEXIST ? Reason::kExists : failure_reason(e);
  }
  if (!sync(parent.get())) {
    const int e = errno;
    log_line("AddCollection %s: cannot sync: %s", shown.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  return Reason::kNone;
}

Reason Store::move(std::string_view from, std::string_view to, bool collection) {
  const char* op = move_name(collection);
  ParsedUri src, dst;
  if (const Reason r = accept(op, from, false, &src); r != Reason::kNone) return r;
  if (const Reason r = accept(op, to, false, &dst); r != Reason::kNone) return r;
  const std::string names = printable(src.normalized) + " -> " + printable(dst.normalized);
  if (inside_or_same(src, dst)) {
    log_line("%s %s: refused: the destination lies inside the source", op, names.c_str());
    return Reason::kRefusedName;
  }
  std::unique_lock<std::shared_mutex> tree(tree_);
  Reason why = Reason::kNone;
  UniqueFd sp = open_parent(src, &why);
  struct stat st {};
  const Kind k = sp.valid() ? kind_at(sp.get(), src.name(), &st) : Kind::kMissing;
  const Kind want = collection ? Kind::kCollection : Kind::kDocument;
  if (k != want) {
    const int e = errno;
    log_line("%s %s: no such %s", op, names.c_str(), collection ? "collection" : "document");
    if (k == Kind::kDocument) return Reason::kNotCollection;
    if (k == Kind::kCollection) return Reason::kNotDocument;
    return k == Kind::kError ? failure_reason(e) : Reason::kNotFound;
  }
  UniqueFd dp = open_parent(dst, &why);
  if (!dp.valid()) {
    log_line("%s %s: destination parent: %s", op, names.c_str(), reason_name(why));
    return why;
  }
  if (kind_at(dp.get(), dst.name(), &st) != Kind::kMissing) {
    log_line("%s %s: destination exists", op, names.c_str());
    return Reason::kExists;
  }
  if (rename_no_replace(sp.get(), src.name(), dp.get(), dst.name()) != 0) {
    const int e = errno;
    if (e == EXDEV) {
      return move_by_copy(sp.get(), src.name(), dp.get(), dst.name(), collection, names);
    }
    log_line("%s %s: %s", op, names.c_str(), std::strerror(e));
    return e == EEXIST ? Reason::kExists : failure_reason(e);
  }
  if (!sync(dp.get()) || !sync(sp.get())) {
    const int e = errno;
    log_line("%s %s: cannot sync: %s", op, names.c_str(), std::strerror(e));
    return failure_reason(e);
  }
  return Reason::kNone;
}

Reason Store::del_doc(std::string_view uri) {
  return remove("DelDoc", uri, false);
}

Reason Store::del_any(std::string_view uri) {
  return remove("DelCollection", uri, true);
}

Reason Store::remove(const char* op, std::string_view uri, bool any) {
  ParsedUri u;
  if (const Reason r = accept(op, uri, false, &u); r != Reason::kNone) return r;
  const std::string shown = printable(u.normalized);
  std::unique_lock<std::shared_mutex> tree(tree_);
  Reason why = Reason::kNone;
  UniqueFd parent = open_parent(u, &why);
  struct stat st {};
  const Kind k = parent.valid() ? kind_at(parent.get(), u.name(), &st) : Kind::kMissing;
  if (k == Kind::kError) return failure_reason(errno);
  if (k != Kind::kDocument && !(any && k == Kind::kCollection)) {
    log_line("%s %s: no such document%s", op, shown.c_str(), any ? " or collection" : "");
    return k == Kind::kCollection ? Reason::kNotDocument : Reason::kNotFound;
  }
  const bool removed = k == Kind::kCollection ? remove_tree(parent.get(), u.name(), 0)
                                              : ::unlinkat(parent.get(), u.name().c_str(), 0) == 0;
  if (removed && sync(parent.get())) return Reason::kNone;
  const int e = errno;
  log_line("%s %s: could not delete everything: %s", op, shown.c_str(), std::strerror(e));
  // A tree that was deleted in part leaves no telling errno.
  return k == Kind::kCollection ? Reason::kIo : failure_reason(e);
}

bool Store::remove_tree(int parent, const std::string& name, int depth) {
  if (depth > kMaxDepth) return false;
  UniqueFd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir.valid()) return false;
  DirNames names;
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

}  // namespace kiv::service
