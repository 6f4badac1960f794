// The lock-null list file of a directory, ".DAV/.locknull" in the directory's state directory:
// reading it, writing it, adding a name and removing one. The file is read, changed in memory and
// rewritten within one request, without a lock of its own.
#include <apr_file_info.h>
#include <apr_file_io.h>

#include <cstring>
#include <string>
#include <string_view>

#include "common/open_file.h"
#include "dbm/state_dir.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "provider/locknull_list.h"
#include "provider/repository.h"
#include "provider/resource.h"

namespace kiv::locks {

namespace {

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

dav_error* dav_kiv_locknull_load(apr_pool_t* pool, const char* dirpath, dav_buffer* pbuf) {
  // The buffer gets storage (it spells the file path) and then describes an empty list, whatever
  // happens next.
  const char* file_path = apr_pstrdup(pool, locknull_read_path(dirpath).c_str());
  dav_buffer_init(pool, pbuf, file_path);
  pbuf->cur_len = 0;

  OpenFile file;
  if (apr_file_open(file.out(), file_path, APR_READ | APR_BINARY, APR_OS_DEFAULT, pool) !=
      APR_SUCCESS) {
    return nullptr;  // no list yet
  }
  apr_finfo_t finfo;
  if (apr_file_info_get(&finfo, APR_FINFO_SIZE, file.get()) != APR_SUCCESS) {
    return lock_error(pool, LockError::kLocknullStat, nullptr, about(file_path));
  }
  if (finfo.size < 0 || static_cast<apr_uint64_t>(finfo.size) > APR_UINT32_MAX) {
    return lock_error(pool, LockError::kLocknullHuge, nullptr, about(file_path));
  }
  const auto size = static_cast<apr_size_t>(finfo.size);
  if (size == 0) return nullptr;  // an empty file is an empty list (reading it would hit EOF)
  dav_set_bufsize(pool, pbuf, size);
  apr_size_t amount = 0;
  if (apr_file_read_full(file.get(), pbuf->buf, size, &amount) != APR_SUCCESS || amount != size) {
    pbuf->cur_len = 0;
    return lock_error(pool, LockError::kLocknullRead, nullptr, about(dirpath));
  }
  return nullptr;
}

dav_error* dav_kiv_locknull_save(apr_pool_t* pool, const char* dirpath, dav_buffer* pbuf) {
  if (pbuf->buf == nullptr) return nullptr;
  dav_kiv_make_state_dir(pool, dirpath);

  const char* file_path = locknull_write_file(pool, dirpath);

  if (pbuf->cur_len == 0) {
    if (apr_file_remove(file_path, pool) != APR_SUCCESS) {
      return lock_error(pool, LockError::kLocknullRemove, nullptr, about(file_path));
    }
    return nullptr;
  }
  OpenFile file;
  if (apr_file_open(file.out(), file_path, APR_WRITE | APR_CREATE | APR_TRUNCATE | APR_BINARY,
                    APR_OS_DEFAULT, pool) != APR_SUCCESS) {
    return lock_error(pool, LockError::kLocknullOpenWrite, nullptr, about(file_path));
  }
  apr_size_t amount = 0;
  if (apr_file_write_full(file.get(), pbuf->buf, pbuf->cur_len, &amount) != APR_SUCCESS ||
      amount != pbuf->cur_len) {
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

  dav_buffer buf = {0, 0, nullptr};
  if (dav_error* err = dav_kiv_locknull_load(pool, dirpath, &buf)) {
    return lock_error(pool, LockError::kLocknullAddLoad, err);
  }
  const std::string_view entry(name);
  dav_check_bufsize(pool, &buf, locknull_entry_size(entry));
  buf.cur_len = locknull_append(buf.buf, buf.cur_len, entry);
  if (dav_error* err = dav_kiv_locknull_save(pool, dirpath, &buf)) {
    return lock_error(pool, LockError::kLocknullAddSave, err);
  }
  return nullptr;
}

dav_error* dav_kiv_locknull_remove_member(apr_pool_t* pool, const char* path, dav_buffer* pbuf) {
  const char* dirpath = path;
  const char* name = path;
  if (const char* slash = std::strrchr(path, '/')) {
    dirpath = apr_pstrmemdup(pool, path, static_cast<apr_size_t>(slash - path));
    name = slash + 1;
  }
  if (dav_error* err = dav_kiv_locknull_load(pool, dirpath, pbuf)) return err;
  apr_size_t size = pbuf->cur_len;
  if (!locknull_remove_first(pbuf->buf, &size, name)) return nullptr;
  pbuf->cur_len = size;
  return dav_kiv_locknull_save(pool, dirpath, pbuf);
}

void note_lock_created(request_rec* r) {
  if (r != nullptr) apr_table_setn(r->notes, kLockCreatedNote, "1");
}

}  // namespace kiv::locks
