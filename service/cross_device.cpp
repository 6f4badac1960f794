// Moves between file systems mounted inside the root: a rename cannot cross them, so the entry
// is copied beside the destination, put in place whole, and the source deleted.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/file_io.h"
#include "service/log.h"
#include "service/store.h"
#include "service/store_internal.h"

namespace kiv::service {

Reason Store::move_by_copy(int src_parent, const std::string& src_name, int dst_parent,
                           const std::string& dst_name, bool collection, const std::string& names) {
  const char* op = move_name(collection);
  const std::string temp = temp_name();
  const bool copied = collection ? copy_tree(src_parent, src_name, dst_parent, temp, 0)
                                 : copy_file(src_parent, src_name, dst_parent, temp);
  if (!copied || rename_no_replace(dst_parent, temp, dst_parent, dst_name) != 0) {
    const int e = errno;
    log_line("%s %s: cannot copy across file systems: %s", op, names.c_str(), std::strerror(e));
    // Whatever part of the copy exists goes again; the source is untouched.
    if (collection) {
      remove_tree(dst_parent, temp, 0);
    } else {
      ::unlinkat(dst_parent, temp.c_str(), 0);
    }
    return failure_reason(e);
  }
  const bool removed = collection ? remove_tree(src_parent, src_name, 0)
                                  : ::unlinkat(src_parent, src_name.c_str(), 0) == 0;
  if (!sync(dst_parent) || !removed || !sync(src_parent)) {
    log_line("%s %s: copied across file systems, but the source could not be deleted whole", op,
             names.c_str());
    return Reason::kIo;
  }
  return Reason::kNone;
}

bool Store::copy_file(int src_dir, const std::string& src_name, int dst_dir,
                      const std::string& dst_name) {
  UniqueFd in(::openat(src_dir, src_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!in.valid() || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  UniqueFd out(::openat(dst_dir, dst_name.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777));
  return out.valid() && kiv::copy_contents(in.get(), out.get()) && sync(out.get());
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
  DirNames names;
  if (!to.valid() || !read_names(from.get(), &names)) return false;
  for (const auto& entry : names) {
    const std::string& name = entry.first;
    // Temporary files of interrupted writes are not worth carrying; everything else is, the
    // module's state directories included.
    if (name.compare(0, kiv::kPrivatePrefix.size(), kiv::kPrivatePrefix) == 0) continue;
    struct stat member {};
    const Kind k = kind_at(from.get(), name, &member);
    bool ok = true;  // symbolic links and special files stay behind
    if (k == Kind::kCollection) ok = copy_tree(from.get(), name, to.get(), name, depth + 1);
    if (k == Kind::kDocument) ok = copy_file(from.get(), name, to.get(), name);
    if (!ok) return false;
  }
  return sync(to.get());
}

}  // namespace kiv::service
