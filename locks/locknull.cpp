// The lock-null list file of a directory, ".DAV/.locknull" in the directory's state directory:
// reading it, writing it, adding a name and removing one. The file is read, changed in memory and
// rewritten within one request, without a lock of its own (the lock database's, which the lock
// hooks hold while they change a list, keeps writers apart), and reached beneath the tree's root
// without symbolic links (common/beneath.h). A new list is written beside the old one under a
// private name and renamed over it, so that a reader, on this host or another, finds one whole
// list or the other.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <string_view>

#include "common/beneath.h"
#include "common/file_io.h"
#include "common/unique_fd.h"
#include "dbm/state_dir.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "provider/local_files.h"
#include "provider/locknull_list.h"
#include "provider/repository.h"
#include "provider/resource.h"

namespace kiv::locks {

namespace {

// The name a new list is written under, beside the list it replaces: a private name, which no
// document's property database can have.
constexpr const char* kWorkName = ".kivd-locknull";

LockErrorDetail about(const char* path, unsigned long number = 0) {
  LockErrorDetail detail;
  detail.path = path;
  detail.number = number;
  return detail;
}

// The file the list of dirpath is written to, under the directory the repository service names
// for dirpath (the path itself).
const char* locknull_write_file(apr_pool_t* pool, const char* dirpath) {
  std::string uploads_path;
  std::string uploads_name;
  Repository::current().split_from_slash(1, dirpath, &uploads_path, &uploads_name);
  return apr_pstrdup(pool, locknull_write_path(uploads_path, dirpath).c_str());
}

}  // namespace

dav_error* dav_kiv_locknull_load(apr_pool_t* pool, const char* root, const char* dirpath,
                                 dav_buffer* pbuf) {
  // The buffer gets storage (it spells the file path) and then describes an empty list, whatever
  // happens next.
  const char* file_path = apr_pstrdup(pool, locknull_read_path(dirpath).c_str());
  dav_buffer_init(pool, pbuf, file_path);
  pbuf->cur_len = 0;

  const UniqueFd file = open_in_tree(root, file_path, O_RDONLY);
  if (!file.valid()) {
    if (path_refused(errno)) return refused_path_error(pool, file_path);
    return nullptr;  // no list yet
  }
  struct stat st;
  if (::fstat(file.get(), &st) != 0) {
    return lock_error(pool, LockError::kLocknullStat, nullptr, about(file_path));
  }
  if (st.st_size < 0 || static_cast<apr_uint64_t>(st.st_size) > APR_UINT32_MAX) {
    return lock_error(pool, LockError::kLocknullHuge, nullptr, about(file_path));
  }
  const auto size = static_cast<apr_size_t>(st.st_size);
  if (size == 0) return nullptr;  // an empty file is an empty list
  dav_set_bufsize(pool, pbuf, size);
  if (pread_full(file.get(), pbuf->buf, size, 0) != static_cast<ssize_t>(size)) {
    pbuf->cur_len = 0;
    return lock_error(pool, LockError::kLocknullRead, nullptr, about(dirpath));
  }
  return nullptr;
}

dav_error* dav_kiv_locknull_save(apr_pool_t* pool, const char* root, const char* dirpath,
                                 dav_buffer* pbuf) {
  if (pbuf->buf == nullptr) return nullptr;
  dav_kiv_make_state_dir(pool, root, dirpath);

  const char* file_path = locknull_write_file(pool, dirpath);

  if (pbuf->cur_len == 0) {
    const UniqueFd dir = open_in_tree(root, parent_directory(file_path), O_PATH | O_DIRECTORY);
    if (!dir.valid() && path_refused(errno)) return refused_path_error(pool, file_path);
    if (!dir.valid() || ::unlinkat(dir.get(), std::string(base_name(file_path)).c_str(), 0) != 0) {
      return lock_error(pool, LockError::kLocknullRemove, nullptr, about(file_path));
    }
    return nullptr;
  }
  const UniqueFd dir = open_in_tree(root, parent_directory(file_path), O_PATH | O_DIRECTORY);
  UniqueFd file;
  if (dir.valid()) {
    file.reset(::openat(dir.get(), kWorkName, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        kStateFileMode));
  }
  if (!file.valid()) {
    if (path_refused(errno)) return refused_path_error(pool, file_path);
    return lock_error(pool, LockError::kLocknullOpenWrite, nullptr, about(file_path));
  }
  if (!write_all(file.get(), std::string_view(pbuf->buf, pbuf->cur_len)) || !file.close() ||
      ::renameat(dir.get(), kWorkName, dir.get(), std::string(base_name(file_path)).c_str()) != 0) {
    ::unlinkat(dir.get(), kWorkName, 0);
    return lock_error(pool, LockError::kLocknullWrite, nullptr,
                      about(file_path, static_cast<unsigned long>(pbuf->cur_len)));
  }
  return nullptr;
}

dav_error* dav_kiv_locknull_add(apr_pool_t* pool, const dav_resource* resource) {
  const char* dirpath = nullptr;
  const char* name = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(resource, &dirpath, &name)) return err;
  // A resource that does not exist is never a collection, so it always has a name; a collection
  // has no entry of its own in any list.
  if (name == nullptr) return nullptr;

  const char* root = tree_root(resource);
  dav_buffer buf = {0, 0, nullptr};
  if (dav_error* err = dav_kiv_locknull_load(pool, root, dirpath, &buf)) {
    return lock_error(pool, LockError::kLocknullAddLoad, err);
  }
  const std::string_view entry(name);
  dav_check_bufsize(pool, &buf, locknull_entry_size(entry));
  buf.cur_len = locknull_append(buf.buf, buf.cur_len, entry);
  if (dav_error* err = dav_kiv_locknull_save(pool, root, dirpath, &buf)) {
    return lock_error(pool, LockError::kLocknullAddSave, err);
  }
  return nullptr;
}

dav_error* dav_kiv_locknull_remove_member(apr_pool_t* pool, const char* root, const char* path,
                                          dav_buffer* pbuf) {
  const char* dirpath = path;
  const char* name = path;
  if (const char* slash = std::strrchr(path, '/')) {
    dirpath = apr_pstrmemdup(pool, path, static_cast<apr_size_t>(slash - path));
    name = slash + 1;
  }
  if (dav_error* err = dav_kiv_locknull_load(pool, root, dirpath, pbuf)) return err;
  apr_size_t size = pbuf->cur_len;
  if (!locknull_remove_first(pbuf->buf, &size, name)) return nullptr;
  pbuf->cur_len = size;
  return dav_kiv_locknull_save(pool, root, dirpath, pbuf);
}

void note_lock_created(request_rec* r) {
  if (r != nullptr) apr_table_setn(r->notes, kLockCreatedNote, "1");
}

}  // namespace kiv::locks
