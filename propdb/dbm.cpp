// The DBM access layer: where the state of a resource lies on disk, and the one way every DBM
// file of the module (property databases, the lock database) is opened, read, written and closed.
//
// The default DBM type of APR-util does nothing against concurrent writers, and two writers on
// one file corrupt it. So every open holds an advisory flock(2) on the directory that holds the
// database, shared for reading and exclusive for writing, from before the DBM is opened until
// after it is closed. Locking the directory rather than the file means nothing has to be created
// in order to lock it (the DBM library refuses an existing empty file) and no lock file is left
// for a move to forget. All databases of one directory share the lock. The directory above serves
// as a gate that gives waiting writers precedence over readers that arrive after them.
#include "common/host.h"
// The host's headers come first: dav_host.h renames a member of mod_dav.h.

#include <apr_strings.h>
#include <apr_time.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <memory>
#include <string_view>

#include "propdb/dbm_cache.h"
#include "propdb/propdb.h"
#include "repository/repository.h"

namespace {

constexpr apr_size_t kErrorTextSize = 200;
constexpr apr_interval_time_t kDefaultLockWait = apr_time_from_sec(30);
constexpr apr_interval_time_t kFirstPause = 100;  // microseconds
constexpr apr_interval_time_t kLongestPause = apr_time_from_msec(1);

std::atomic<apr_interval_time_t> lock_wait{kDefaultLockWait};
std::atomic<const char*> dbm_type{nullptr};  // null: APR-util's default type

// The directory that holds path: "." for a bare name, "/" for a file at the root.
const char* parent_directory(apr_pool_t* p, const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return apr_pstrmemdup(p, path, static_cast<apr_size_t>(slash - path));
}

// Free space a store leaves untouched on top of twice its record: pages the DBM library may add
// or split while it writes the record.
constexpr apr_uint64_t kStoreHeadroom = apr_uint64_t{256} * 1024;

// The DBM library writes its pages when the database closes, where a failure (a full disk) can
// no longer be reported and leaves a database that holds pages it never wrote. So a store is
// refused up front when the file system has no room for it. True when there is room or the
// free space cannot be told.
bool room_to_store(apr_pool_t* p, const char* path, apr_size_t bytes) {
  struct statvfs st;
  if (::statvfs(parent_directory(p, path), &st) != 0) return true;
  const apr_uint64_t free_bytes = static_cast<apr_uint64_t>(st.f_bavail) * st.f_frsize;
  return free_bytes >= kStoreHeadroom + 2 * static_cast<apr_uint64_t>(bytes);
}

// What the file of a database looks like before the DBM library is let at it.
enum class FileState { kMissing, kWhole, kDamaged };

// The DBM library hangs or fails in odd ways on a file cut short, so a Berkeley DB hash file (the
// default type here) is checked first: its header names its page size and its last page, and the
// file must hold that many whole pages. Files of other types pass unchecked.
FileState file_state(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? FileState::kMissing : FileState::kWhole;
  unsigned char header[36];
  struct stat st;
  const bool read = ::fstat(fd, &st) == 0 && ::pread(fd, header, sizeof header, 0) ==
                                                 static_cast<ssize_t>(sizeof header);
  ::close(fd);
  if (!read) return FileState::kDamaged;  // not even a header
  auto u32 = [&header](std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, header + at, sizeof v);
    return v;
  };
  constexpr std::uint32_t kHashMagic = 0x061561;
  if (u32(12) != kHashMagic) return FileState::kWhole;
  const std::uint64_t page = u32(20);
  const std::uint64_t pages = std::uint64_t{u32(32)} + 1;
  if (page < 512 || page > 65536 || (page & (page - 1)) != 0) return FileState::kDamaged;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  return size % page == 0 && size >= pages * page ? FileState::kWhole : FileState::kDamaged;
}

// The file names that the DBM type in use keeps for a database at path; *second is null for a
// type that keeps one file.
void used_names(apr_pool_t* p, const char* path, const char** first, const char** second) {
  const char* type = dbm_type.load(std::memory_order_relaxed);
  if (type == nullptr || apr_dbm_get_usednames_ex(p, type, path, first, second) != APR_SUCCESS) {
    apr_dbm_get_usednames(p, path, first, second);
  }
}

// file_state of the database at path, whatever files its DBM type keeps (a type with two files
// is only looked for, not checked).
FileState database_state(apr_pool_t* p, const char* path) {
  const char* first = nullptr;
  const char* second = nullptr;
  used_names(p, path, &first, &second);
  if (second == nullptr) return file_state(first);
  return ::access(first, F_OK) == 0 ? FileState::kWhole : FileState::kMissing;
}

// Copies the file at from to to (created or truncated, with from's permissions).
bool copy_file(const char* from, const char* to) {
  const int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (::fstat(in, &st) != 0) {
    ::close(in);
    return false;
  }
  const int out = ::open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                         st.st_mode & 07777);
  bool ok = out >= 0;
  char buf[64 * 1024];
  while (ok) {
    const ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = ::write(out, buf + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      done += w > 0 ? w : 0;
    }
  }
  ::close(in);
  if (out >= 0 && ::close(out) != 0) ok = false;
  return ok;
}

// The copy a writer changes: beside the file, under a name that starts with the prefix the
// repository reserves for private files, so that it can never be the database of a document.
// One writer at a time holds the directory's lock, so one name per database serves.
const char* work_path_of(apr_pool_t* p, const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return apr_pstrcat(p, ".kivd-dbm-", path, nullptr);
  return apr_pstrcat(p, apr_pstrmemdup(p, path, static_cast<apr_size_t>(slash - path + 1)),
                     ".kivd-dbm-", slash + 1, nullptr);
}

dav_error* damaged_error(apr_pool_t* p, const char* path) {
  return dav_new_error(p, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                       apr_pstrcat(p, "The database file is damaged: ", path, nullptr));
}

// Reads every record of an open DBM into an image; null when it holds more than an image may
// (the caller then keeps using the file).
std::shared_ptr<kiv::DbmSnapshot> read_image(apr_dbm_t* dbm) {
  auto image = std::make_shared<kiv::DbmSnapshot>();
  apr_datum_t key{};
  if (apr_dbm_firstkey(dbm, &key) != APR_SUCCESS) return nullptr;
  while (key.dptr != nullptr) {
    apr_datum_t value{};
    if (apr_dbm_fetch(dbm, key, &value) != APR_SUCCESS) return nullptr;
    image->add(std::string_view(key.dptr, key.dsize),
               std::string_view(value.dptr != nullptr ? value.dptr : "", value.dsize));
    apr_dbm_freedatum(dbm, value);
    if (image->size() > kiv::kMaxImageRecords || image->bytes() > kiv::kMaxImageBytes) {
      return nullptr;
    }
    if (apr_dbm_nextkey(dbm, &key) != APR_SUCCESS) return nullptr;
  }
  image->seal();
  return image;
}

// Keeps an image of the DBM open at path, read under its lock.
std::shared_ptr<kiv::DbmSnapshot> remember_image(apr_pool_t* /*p*/, const char* path,
                                                 apr_dbm_t* dbm) {
  struct stat st;
  if (::stat(path, &st) != 0) return nullptr;
  const std::uint64_t generation = kiv::dbm_generation(path);
  std::shared_ptr<kiv::DbmSnapshot> image = read_image(dbm);
  if (image != nullptr) kiv::dbm_cache_store(path, generation, st, image);
  return image;
}

// Closes the DBM handle and then gives up the advisory lock, in that order, so that the DBM
// library has written everything before another writer may start. Registered on the pool of the
// open; run early by dav_kiv_dbm_close. Harmless when run twice.
apr_status_t close_db_cleanup(void* data) {
  auto* db = static_cast<dav_db*>(data);
  if (db->dbm != nullptr) {
    // A database opened for writing but left unchanged is read whole before it closes, so that
    // the next readers can use the image without opening the file.
    if (db->writable && !db->changed && db->work_path == nullptr && db->image == nullptr &&
        kiv::dbm_cache_enabled()) {
      remember_image(db->pool, db->path, db->dbm);
    }
    apr_dbm_close(db->dbm);
    db->dbm = nullptr;
  }
  if (db->work_path != nullptr) {
    // The copy replaces the file only when the DBM library wrote it whole (a full disk leaves
    // it short); otherwise the file stays as it was before this request.
    if (!db->changed || file_state(db->work_path) != FileState::kWhole ||
        ::rename(db->work_path, db->path) != 0) {
      ::unlink(db->work_path);
    }
    db->work_path = nullptr;
  }
  if (db->changed) {
    kiv::dbm_changed(db->path);  // still under the exclusive lock
    db->changed = 0;
  }
  if (db->image_ref != nullptr) {
    delete static_cast<std::shared_ptr<const kiv::DbmSnapshot>*>(db->image_ref);
    db->image_ref = nullptr;
    db->image = nullptr;
  }
  if (db->lock_fd >= 0) {
    ::flock(db->lock_fd, LOCK_UN);
    ::close(db->lock_fd);
    db->lock_fd = -1;
  }
  return APR_SUCCESS;
}

dav_error* busy_error(apr_pool_t* p) {
  return dav_new_error(p, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                       "The database is busy: timed out waiting for other requests to finish "
                       "with it.");
}

dav_error* lock_failed_error(apr_pool_t* p, int error) {
  return dav_new_error(
      p, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
      apr_pstrcat(p, "Could not lock the database: ", std::strerror(error), nullptr));
}

apr_status_t open_dbm(apr_pool_t* p, const char* path, int ro, apr_dbm_t** dbm) {
  const apr_int32_t mode = ro ? APR_DBM_READONLY : APR_DBM_RWCREATE;
  const char* type = dbm_type.load(std::memory_order_relaxed);
  return type == nullptr ? apr_dbm_open(dbm, path, mode, APR_OS_DEFAULT, p)
                         : apr_dbm_open_ex(dbm, type, path, mode, APR_OS_DEFAULT, p);
}

std::shared_ptr<const kiv::DbmSnapshot> empty_image() {
  static const std::shared_ptr<const kiv::DbmSnapshot> empty = [] {
    auto image = std::make_shared<kiv::DbmSnapshot>();
    image->seal();
    return image;
  }();
  return empty;
}

// A database served from an image; a writable one holds lock_fd and opens the file when it is
// first written.
dav_db* image_db(apr_pool_t* p, const char* path, int writable, int lock_fd,
                 std::shared_ptr<const kiv::DbmSnapshot> image) {
  auto* db = static_cast<dav_db*>(apr_pcalloc(p, sizeof(dav_db)));
  db->pool = p;
  db->path = apr_pstrdup(p, path);
  db->writable = writable;
  db->lock_fd = lock_fd;
  db->image = image.get();
  db->image_ref = new std::shared_ptr<const kiv::DbmSnapshot>(std::move(image));
  apr_pool_cleanup_register(p, db, close_db_cleanup, apr_pool_cleanup_null);
  return db;
}

// Makes a writable database ready for its first write: the file is copied beside itself and
// the copy opened for writing (the read-only handle of the file, if any, is closed). A DBM type
// that keeps two files, which no single rename replaces, is opened in place instead.
apr_status_t open_for_write(dav_db* db) {
  if (db->work_path != nullptr || (db->dbm != nullptr && db->in_place)) return APR_SUCCESS;
  if (db->dbm != nullptr) {
    apr_dbm_close(db->dbm);
    db->dbm = nullptr;
  }
  const char* first = nullptr;
  const char* second = nullptr;
  used_names(db->pool, db->path, &first, &second);
  if (second != nullptr) {
    db->in_place = 1;
    return open_dbm(db->pool, db->path, 0, &db->dbm);
  }
  const char* work = work_path_of(db->pool, db->path);
  if (file_state(db->path) == FileState::kMissing) {
    if (::unlink(work) != 0 && errno != ENOENT) return APR_FROM_OS_ERROR(errno);
  } else if (!copy_file(db->path, work)) {
    const int error = errno != 0 ? errno : EIO;
    ::unlink(work);
    return APR_FROM_OS_ERROR(error);
  }
  const apr_status_t status = open_dbm(db->pool, work, 0, &db->dbm);
  if (status != APR_SUCCESS) {
    ::unlink(work);
    return status;
  }
  db->work_path = work;
  return APR_SUCCESS;
}

}  // namespace

namespace kiv {

namespace {

// Takes flock operation on fd, polling until deadline. 0 when taken, else the errno that stopped
// it (EWOULDBLOCK when the deadline passed).
int lock_until(int fd, int operation, apr_time_t deadline) {
  apr_interval_time_t pause = kFirstPause;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return 0;
    const int failure = errno;
    if (failure == EINTR) continue;
    if (failure != EWOULDBLOCK || apr_time_now() >= deadline) return failure;
    apr_sleep(pause);
    pause = pause * 2 > kLongestPause ? kLongestPause : pause * 2;
  }
}

// A descriptor of the directory above the one open at dir_fd, to be used as the gate of its
// lock; -1 when there is none to use (it cannot be opened, or it is the same, as at "/").
int open_gate(int dir_fd) {
  const int fd = ::openat(dir_fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat gate_info;
  struct stat dir_info;
  if (::fstat(fd, &gate_info) != 0 || ::fstat(dir_fd, &dir_info) != 0 ||
      (gate_info.st_dev == dir_info.st_dev && gate_info.st_ino == dir_info.st_ino)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

DirectoryLock::Result DirectoryLock::lock(const char* dir, bool exclusive) {
  unlock();
  fd_ = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = errno;
    return Result::kNoDirectory;
  }
  const int operation = exclusive ? LOCK_EX : LOCK_SH;
  const apr_time_t deadline = apr_time_now() + lock_wait.load(std::memory_order_relaxed);

  // flock grants a shared lock whenever only shared locks are held, so a steady stream of
  // readers would keep a writer out for ever. Everyone therefore passes a gate first, the same
  // way (shared or exclusive) as the lock it wants: a waiting writer holds the gate and stops new
  // readers there until the ones inside have left. The gate is let go once the lock is held.
  const int gate = open_gate(fd_);
  int failure = gate >= 0 ? lock_until(gate, operation, deadline) : 0;
  if (failure == 0) failure = lock_until(fd_, operation, deadline);
  if (gate >= 0) ::close(gate);  // closing releases the gate
  if (failure == 0) return Result::kLocked;
  error_ = failure;
  unlock();
  return failure == EWOULDBLOCK ? Result::kBusy : Result::kFailed;
}

int DirectoryLock::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void DirectoryLock::unlock() {
  if (fd_ < 0) return;
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
}

void set_dbm_lock_wait(apr_interval_time_t limit) {
  lock_wait.store(limit, std::memory_order_relaxed);
}

void set_dbm_type(const char* type) {
  dbm_type.store(type, std::memory_order_relaxed);
}

}  // namespace kiv

extern "C" {

void dav_dbm_get_statefiles(apr_pool_t* p, const char* fname, const char** first,
                            const char** second) {
  if (fname == nullptr) fname = DAV_KIV_STATE_FILE_FOR_DIR;
  const char* type = dbm_type.load(std::memory_order_relaxed);
  if (type == nullptr || apr_dbm_get_usednames_ex(p, type, fname, first, second) != APR_SUCCESS) {
    apr_dbm_get_usednames(p, fname, first, second);
  }
}

void dav_kiv_make_state_dir(apr_pool_t* p, const char* dirpath) {
  // A directory that exists already is the usual case; a real failure shows at the next open.
  (void)apr_dir_make(apr_pstrcat(p, dirpath, "/" DAV_KIV_STATE_DIR, nullptr), APR_OS_DEFAULT, p);
}

dav_error* dav_kiv_dbm_open_path(apr_pool_t* p, const char* path, int ro, dav_db** pdb) {
  *pdb = nullptr;
  const bool caching = kiv::dbm_cache_enabled();

  // A reader whose image is current needs neither the lock nor the file.
  if (ro && caching) {
    struct stat st;
    if (::stat(path, &st) != 0) {
      if (database_state(p, path) == FileState::kMissing) return nullptr;  // no properties
    } else if (auto image = kiv::dbm_cache_find(path, kiv::dbm_generation(path), st)) {
      *pdb = image_db(p, path, 0, -1, std::move(image));
      return nullptr;
    }
  }

  kiv::DirectoryLock lock;
  switch (lock.lock(parent_directory(p, path), ro == 0)) {
    case kiv::DirectoryLock::Result::kLocked:
      break;
    case kiv::DirectoryLock::Result::kNoDirectory:
      // No directory, no database: reading finds nothing, writing cannot create it.
      if (ro) return nullptr;
      errno = lock.error();
      return dav_kiv_dbm_error(nullptr, p, APR_FROM_OS_ERROR(lock.error()));
    case kiv::DirectoryLock::Result::kBusy:
      return busy_error(p);
    case kiv::DirectoryLock::Result::kFailed:
      return lock_failed_error(p, lock.error());
  }

  // A writer whose image is current reads from it and opens the file at its first write, still
  // under the exclusive lock it holds from now on.
  if (!ro && caching) {
    struct stat st;
    if (::stat(path, &st) == 0) {
      if (auto image = kiv::dbm_cache_find(path, kiv::dbm_generation(path), st)) {
        *pdb = image_db(p, path, 1, lock.release(), std::move(image));
        return nullptr;
      }
    }
  }

  switch (database_state(p, path)) {
    case FileState::kMissing:
      if (ro) return nullptr;
      // Nothing to read: the writer starts from an empty image and makes the file at its first
      // write.
      *pdb = image_db(p, path, 1, lock.release(), empty_image());
      return nullptr;
    case FileState::kDamaged:
      return damaged_error(p, path);
    case FileState::kWhole:
      break;
  }

  // A writer reads the file through a read-only handle until its first write (open_for_write).
  apr_dbm_t* dbm = nullptr;
  const apr_status_t status = open_dbm(p, path, 1, &dbm);
  if (status != APR_SUCCESS) {
    // A database that cannot be read simply holds no properties; one that cannot be written is
    // an error. The lock goes when `lock` does.
    if (ro) return nullptr;
    return dav_kiv_dbm_error(nullptr, p, status);
  }

  if (ro && caching) {
    // Read the whole file once under the shared lock; later readers use the image.
    std::shared_ptr<kiv::DbmSnapshot> image = remember_image(p, path, dbm);
    if (image != nullptr) {
      apr_dbm_close(dbm);
      *pdb = image_db(p, path, 0, -1, std::move(image));
      return nullptr;  // the lock goes with `lock`
    }
  }

  auto* db = static_cast<dav_db*>(apr_pcalloc(p, sizeof(dav_db)));
  db->pool = p;
  db->dbm = dbm;
  db->path = apr_pstrdup(p, path);
  db->writable = ro ? 0 : 1;
  db->lock_fd = lock.release();
  apr_pool_cleanup_register(p, db, close_db_cleanup, apr_pool_cleanup_null);
  *pdb = db;
  return nullptr;
}

dav_error* dav_kiv_dbm_open_resource(apr_pool_t* p, const dav_resource* resource, int ro,
                                     dav_db** pdb) {
  *pdb = nullptr;
  const char* dirpath = nullptr;
  const char* fname = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(resource, &dirpath, &fname)) return err;
  if (!ro) dav_kiv_make_state_dir(p, dirpath);
  const char* path = apr_pstrcat(p, dirpath, DAV_KIV_STATE_JOINT,
                                 fname != nullptr ? fname : DAV_KIV_STATE_FILE_FOR_DIR, nullptr);
  return dav_kiv_dbm_open_path(p, path, ro, pdb);
}

void dav_kiv_dbm_close(dav_db* db) {
  if (db == nullptr) return;
  apr_pool_cleanup_run(db->pool, db, close_db_cleanup);
}

dav_error* dav_kiv_dbm_fetch(dav_db* db, apr_datum_t key, apr_datum_t* pvalue) {
  if (db->dbm == nullptr) {
    const long i = db->image->find(std::string_view(key.dptr, key.dsize));
    if (i < 0) {
      pvalue->dptr = nullptr;
      pvalue->dsize = 0;
    } else {
      const std::string_view value = db->image->value(static_cast<std::size_t>(i));
      pvalue->dptr = const_cast<char*>(value.data());
      pvalue->dsize = value.size();
    }
    return nullptr;
  }
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_fetch(db->dbm, key, pvalue));
}

dav_error* dav_kiv_dbm_store(dav_db* db, apr_datum_t key, apr_datum_t value) {
  if (!room_to_store(db->pool, db->path, key.dsize + value.dsize)) {
    return dav_new_error(db->pool, HTTP_INSUFFICIENT_STORAGE, 0, ENOSPC,
                         "There is not enough free space to store the database record.");
  }
  if (const apr_status_t status = open_for_write(db)) return dav_kiv_dbm_error(nullptr, db->pool, status);
  db->changed = 1;
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_store(db->dbm, key, value));
}

dav_error* dav_kiv_dbm_delete(dav_db* db, apr_datum_t key) {
  if (const apr_status_t status = open_for_write(db)) return dav_kiv_dbm_error(nullptr, db->pool, status);
  db->changed = 1;
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_delete(db->dbm, key));
}

int dav_kiv_dbm_exists(dav_db* db, apr_datum_t key) {
  if (db->dbm == nullptr) return db->image->find(std::string_view(key.dptr, key.dsize)) >= 0;
  return apr_dbm_exists(db->dbm, key);
}

void dav_kiv_dbm_free_datum(dav_db* db, apr_datum_t data) {
  // Data handed out from an image belongs to the image.
  if (db->dbm == nullptr || (db->image != nullptr && db->image->owns(data.dptr))) return;
  apr_dbm_freedatum(db->dbm, data);
}

namespace {

// The key of the image's record at position, or a null key past the end.
void image_key(dav_db* db, apr_datum_t* pkey) {
  if (db->image_position >= db->image->size()) {
    pkey->dptr = nullptr;
    pkey->dsize = 0;
    return;
  }
  const std::string_view key = db->image->key(db->image_position);
  pkey->dptr = const_cast<char*>(key.data());
  pkey->dsize = key.size();
}

}  // namespace

dav_error* dav_kiv_dbm_first_key(dav_db* db, apr_datum_t* pkey) {
  if (db->dbm == nullptr) {
    db->image_position = 0;
    image_key(db, pkey);
    return nullptr;
  }
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_firstkey(db->dbm, pkey));
}

dav_error* dav_kiv_dbm_next_key(dav_db* db, apr_datum_t* pkey) {
  if (db->dbm == nullptr) {
    ++db->image_position;
    image_key(db, pkey);
    return nullptr;
  }
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_nextkey(db->dbm, pkey));
}

dav_error* dav_kiv_dbm_error(dav_db* db, apr_pool_t* p, apr_status_t status) {
  // Taken first: building the error may change errno.
  const int saved_errno = errno;
  if (status == APR_SUCCESS) return nullptr;
  if (db == nullptr) {
    return dav_new_error(p, HTTP_INTERNAL_SERVER_ERROR, 1, saved_errno,
                         "Could not open property database.");
  }
  int error_code = 0;
  char text[kErrorTextSize] = {};
  if (db->dbm != nullptr) apr_dbm_geterror(db->dbm, &error_code, text, sizeof(text));
  return dav_new_error(db->pool, HTTP_INTERNAL_SERVER_ERROR, error_code, saved_errno,
                       apr_pstrdup(db->pool, text));
}

}  // extern "C"
