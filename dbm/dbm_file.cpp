// Opening and closing DBM files: the directory lock taken around every open, the read images that
// spare a reader the lock and the file, and the process-wide settings of the layer.
//
// The lock is the directory's (its lock file, common/directory_lock.h) rather than the database
// file's: the file is replaced by a rename at every write, and the DBM library refuses an existing
// empty file, so it cannot carry a lock of its own. The lock file travels with its directory when
// a collection moves. All databases of one directory share the lock.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/beneath.h"
#include "common/file_io.h"
#include "dbm/dbm_internal.h"

namespace kiv {

namespace {

constexpr apr_interval_time_t kDefaultLockWait = apr_time_from_sec(30);

std::atomic<apr_interval_time_t> lock_wait{kDefaultLockWait};
std::atomic<const char*> type_in_use{nullptr};  // null: APR-util's default type

}  // namespace

}  // namespace kiv

extern "C" {

namespace {

// Closes a database nobody closed when its pool goes. Registered on the pool of the open; run
// early by dav_kiv_dbm_close.
apr_status_t close_dbm_file(void* data) noexcept {
  static_cast<kiv::DbmFile*>(data)->close();
  return APR_SUCCESS;
}

}  // namespace

}  // extern "C"

namespace kiv {

namespace {

static_assert(alignof(DbmFile) <= 8, "pools align their blocks to 8 bytes");

// A database record in p, closed by a cleanup on p; it holds lock and, when it is to be served
// from one, image.
DbmFile* make_file(apr_pool_t* p, const char* path, const char* name, bool writable,
                   DirectoryLock lock, std::shared_ptr<const DbmSnapshot> image) {
  auto* db = new (apr_palloc(p, sizeof(DbmFile)))
      DbmFile(p, apr_pstrdup(p, path), apr_pstrdup(p, name), writable);
  db->lock = std::move(lock);
  db->image = std::move(image);
  apr_pool_cleanup_register(p, db, close_dbm_file, apr_pool_cleanup_null);
  return db;
}

// A reader whose image is current needs neither the lock nor the file, and one that finds no file
// at all has no database. True when that settled the open (*pdb set, or left null for none, or
// *err set for a file that is a link).
bool read_without_lock(apr_pool_t* p, int dir, const char* path, const char* name, DbmFile** pdb,
                       dav_error** err) {
  struct stat st;
  const int error = stat_entry(dir, name, &st);
  if (error == ELOOP) {
    *err = dbm_error(p, DbmError::kRefused, path);
    return true;
  }
  if (error != 0) return database_state(p, dir, name) == FileState::kMissing;
  std::shared_ptr<const DbmSnapshot> image = dbm_cache_find(path, dbm_generation(path), st);
  if (image == nullptr) return false;
  *pdb = make_file(p, path, name, false, DirectoryLock(), std::move(image));
  return true;
}

// Takes the lock of the directory open at dir: shared for a reader, exclusive for a writer. A
// reader makes nothing where there is nothing to read: in a directory without a lock file and
// without the database name, it leaves the lock unheld (and *pdb null).
dav_error* lock_directory(apr_pool_t* p, UniqueFd dir, bool ro, DirectoryLock* lock,
                          const char* name, DbmFile** pdb) {
  // Kept for a second try; a copy of a descriptor costs the file system nothing.
  UniqueFd again(ro ? ::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0) : -1);
  DirectoryLock::Result result = lock->lock(std::move(dir), !ro, dbm_lock_wait(), !ro);
  if (result == DirectoryLock::Result::kNoLockFile) {
    *pdb = nullptr;
    if (database_state(p, again.get(), name) == FileState::kMissing) return nullptr;
    result = lock->lock(std::move(again), !ro, dbm_lock_wait());
  }
  switch (result) {
    case DirectoryLock::Result::kLocked:
      return nullptr;
    case DirectoryLock::Result::kNoLockFile:
      return nullptr;
    case DirectoryLock::Result::kNoDirectory:
      errno = lock->error();
      return dav_kiv_dbm_error(nullptr, p, APR_FROM_OS_ERROR(lock->error()));
    case DirectoryLock::Result::kBusy:
      return dbm_error(p, DbmError::kBusy);
    case DirectoryLock::Result::kFailed:
      return dbm_error(p, DbmError::kLockFailed, std::strerror(lock->error()));
  }
  return nullptr;
}

// Opens the file of a database under the lock held, or answers for a file that is missing,
// damaged or a link. A reader of a cache-enabled process reads it whole into an image and lets
// the lock go.
dav_error* open_locked(apr_pool_t* p, const char* path, const char* name, bool ro,
                       DirectoryLock lock, DbmFile** pdb) {
  switch (database_state(p, lock.fd(), name)) {
    case FileState::kMissing:
      if (ro) return nullptr;
      // Nothing to read: the writer starts from an empty image and makes the file at its first
      // write.
      *pdb = make_file(p, path, name, true, std::move(lock), empty_image());
      return nullptr;
    case FileState::kDamaged:
      return dbm_error(p, DbmError::kDamaged, path);
    case FileState::kLink:
      return dbm_error(p, DbmError::kRefused, path);
    case FileState::kWhole:
      break;
  }
  DbmFile* db = make_file(p, path, name, !ro, std::move(lock), nullptr);
  // A writer reads the file through a read-only handle until its first write (open_for_write).
  apr_dbm_t* dbm = nullptr;
  const apr_status_t status = open_dbm(p, db->library_path(name), true, &dbm);
  if (status != APR_SUCCESS) {
    const int error = errno;
    dav_kiv_dbm_close(db);
    errno = error;
    // A database that cannot be read simply holds no properties; one that cannot be written is
    // an error.
    if (ro) return nullptr;
    return dav_kiv_dbm_error(nullptr, p, status);
  }
  if (ro && dbm_cache_enabled()) {
    // Read the whole file once under the shared lock; later readers use the image.
    if (std::shared_ptr<const DbmSnapshot> image = remember_image(*db, dbm)) {
      apr_dbm_close(dbm);
      db->image = std::move(image);
      db->lock.unlock();
      *pdb = db;
      return nullptr;
    }
  }
  db->dbm = dbm;
  *pdb = db;
  return nullptr;
}

// Opens the database at path; with a root, its directory is reached beneath it (open_in_tree).
dav_error* open_database(apr_pool_t* p, const char* root, const char* path, int ro, DbmFile** pdb) {
  *pdb = nullptr;
  const char* name = apr_pstrdup(p, std::string(base_name(path)).c_str());
  UniqueFd dir = open_in_tree(root, parent_directory(path), O_RDONLY | O_DIRECTORY);
  if (!dir.valid()) {
    const int error = errno;
    if (path_refused(error)) return dbm_error(p, DbmError::kRefused, path);
    if (ro) return nullptr;  // no directory, no database; a writer cannot create one there
    errno = error;
    return dav_kiv_dbm_error(nullptr, p, APR_FROM_OS_ERROR(error));
  }
  if (ro && dbm_cache_enabled()) {
    dav_error* err = nullptr;
    if (read_without_lock(p, dir.get(), path, name, pdb, &err)) return err;
  }
  DirectoryLock lock;
  if (dav_error* err = lock_directory(p, std::move(dir), ro != 0, &lock, name, pdb)) {
    return err;
  }
  if (!lock.held()) return nullptr;  // a reader found nothing to read
  // A writer whose image is current reads from it and opens the file at its first write, still
  // under the exclusive lock it holds from now on.
  if (!ro && dbm_cache_enabled()) {
    if (std::shared_ptr<const DbmSnapshot> image = current_image(path, lock.fd(), name)) {
      *pdb = make_file(p, path, name, true, std::move(lock), std::move(image));
      return nullptr;
    }
  }
  return open_locked(p, path, name, ro != 0, std::move(lock), pdb);
}

}  // namespace

const char* DbmFile::library_path(const char* entry) const {
  return apr_psprintf(pool, "/proc/self/fd/%d/%s", lock.fd(), entry);
}

void DbmFile::close() noexcept {
  if (dbm != nullptr) {
    // A database opened for writing but left unchanged is read whole before it closes, so that
    // the next readers can use the image without opening the file.
    if (writable && !changed && work_path == nullptr && image == nullptr && dbm_cache_enabled()) {
      remember_image(*this, dbm);
    }
    apr_dbm_close(dbm);
    dbm = nullptr;
  }
  finish_work_copy(this);
  if (changed) {
    dbm_changed(path);  // still under the exclusive lock
    changed = false;
  }
  image.reset();
  // Last: the DBM library has written everything before another writer may start.
  lock.unlock();
}

dav_error* dav_kiv_dbm_open_path(apr_pool_t* p, const char* path, int ro, DbmFile** pdb) {
  return open_database(p, nullptr, path, ro, pdb);
}

dav_error* dav_kiv_dbm_open_beneath(apr_pool_t* p, const char* root, const char* path, int ro,
                                    DbmFile** pdb) {
  return open_database(p, root, path, ro, pdb);
}

void dav_kiv_dbm_close(DbmFile* db) {
  if (db == nullptr) return;
  apr_pool_cleanup_run(db->pool, db, close_dbm_file);
}

const char* dbm_type() {
  return type_in_use.load(std::memory_order_relaxed);
}

apr_status_t open_dbm(apr_pool_t* p, const char* path, bool ro, apr_dbm_t** dbm) {
  const apr_int32_t mode = ro ? APR_DBM_READONLY : APR_DBM_RWCREATE;
  const char* type = dbm_type();
  // The account of Apache's workers and its group may read the databases, nobody else.
  const apr_fileperms_t perms = APR_FPROT_UREAD | APR_FPROT_UWRITE | APR_FPROT_GREAD;
  return type == nullptr ? apr_dbm_open(dbm, path, mode, perms, p)
                         : apr_dbm_open_ex(dbm, type, path, mode, perms, p);
}

void set_dbm_lock_wait(apr_interval_time_t limit) {
  lock_wait.store(limit, std::memory_order_relaxed);
}

std::chrono::microseconds dbm_lock_wait() {
  return std::chrono::microseconds(lock_wait.load(std::memory_order_relaxed));
}

void set_dbm_type(const char* type) {
  type_in_use.store(type, std::memory_order_relaxed);
}

}  // namespace kiv
