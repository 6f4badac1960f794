// What crosses the files of the DBM layer: the open file record, the checks made on a file before
// the DBM library is let at it, the copy a writer changes, and the read images.
#ifndef KIV_DBM_DBM_INTERNAL_H_
#define KIV_DBM_DBM_INTERNAL_H_

#include <cstddef>
#include <memory>

#include "common/directory_lock.h"
#include "common/host.h"
#include "dbm/dbm.h"
#include "dbm/dbm_cache.h"

namespace kiv {

// An open DBM file, built in the pool of the open (dbm_file.cpp). Its cleanup on that pool
// closes it; close() leaves every member empty, so the record needs no destructor run.
//
// Every file of the database is reached through the directory that the lock holds open: the DBM
// library, which opens files by name, is handed a name through that descriptor
// (library_path), so that a directory renamed or replaced by a link meanwhile cannot redirect it.
struct DbmFile {
  DbmFile(apr_pool_t* p, const char* database_path, const char* file_name, bool write)
      : pool(p), path(database_path), name(file_name), writable(write) {}

  // Closes the DBM handle, puts a writer's copy into place, counts the change and gives up the
  // lock, in that order. Harmless when run twice.
  void close() noexcept;

  // The name of entry (a file of the database's directory) for the DBM library: a path through
  // the directory the lock holds, from pool. Only while the lock is held.
  const char* library_path(const char* entry) const;

  apr_pool_t* pool;  // the pool of the open; values, keys and errors built from it live here
  const char* path;  // where the database lies (a copy in pool): its name for messages and images
  const char* name;  // its file's name in its directory (in pool)
  bool writable;     // opened read-write
  apr_dbm_t* dbm = nullptr;  // the open DBM handle; null while an image serves reads
  // The directory lock, held from open to close: shared for a read-only open, exclusive for a
  // read-write one; none for a read served from an image. Its descriptor is the directory's.
  DirectoryLock lock;

  // A writer changes a copy of the file beside it (under this name in the same directory) and
  // renames it over the file at close; null until the first write (and for DBM types that keep
  // two files, which are changed in place).
  const char* work_path = nullptr;
  bool in_place = false;  // a DBM type that keeps two files is written in place
  bool changed = false;   // a store or delete happened: the close counts a change of the file

  // A read image of the file, served instead of the DBM library while dbm is null; a writable
  // database opens the file at its first write.
  std::shared_ptr<const DbmSnapshot> image;
  std::size_t image_position = 0;  // the next record of a key listing over the image
};

// The APR-util DBM type in use: null for the default one (dbm_file.cpp).
const char* dbm_type();

// Opens the DBM at path with the type in use, read-only or read-write (creating the file, mode
// 0640).
apr_status_t open_dbm(apr_pool_t* p, const char* path, bool ro, apr_dbm_t** dbm);

// ---- Failures (dbm_errors.cpp; dav_kiv_dbm_error of dbm.h is there too) ----

enum class DbmError {
  kBusy,        // the directory lock was not had within dbm_lock_wait()
  kLockFailed,  // (detail: strerror) flock failed otherwise
  kDamaged,     // (detail: the path) a file cut short
  kNoSpace,     // the file system has no room for a store (507)
  kRefused,     // (detail: the path) a symbolic link on the way, or outside the root (403)
};

// The error record for a failure of the layer, its text followed by detail when given; from
// pool. Never null.
__attribute__((returns_nonnull)) dav_error* dbm_error(apr_pool_t* pool, DbmError which,
                                                      const char* detail = nullptr);

// ---- Checks on files (file_check.cpp) ----

// What the file of a database looks like before the DBM library is let at it.
enum class FileState { kMissing, kWhole, kDamaged, kLink };

// The state of the file name in the directory open at dir (never followed: a symbolic link is
// kLink): a Berkeley DB hash file (the default type here) must hold as many whole pages as its
// header names; files of other types pass unchecked.
FileState file_state(int dir, const char* name);

// file_state of the database name in dir, whatever files its DBM type keeps (a type with two
// files is only looked for, not checked).
FileState database_state(apr_pool_t* p, int dir, const char* name);

// True when the file system of the directory open at dir has room for a store of bytes, or the
// free space cannot be told.
bool room_to_store(int dir, apr_size_t bytes);

// ---- The copy a writer changes (copy_on_write.cpp) ----

// Makes a writable database ready for its first write: the file is copied beside itself and the
// copy opened for writing (the read-only handle of the file, if any, is closed). A DBM type that
// keeps two files, which no single rename replaces, is opened in place instead.
apr_status_t open_for_write(DbmFile* db);

// Puts a writer's copy into place when the DBM library wrote it whole, else removes it; the file
// stays as it was then. Runs after the DBM handle is closed. Nothing to do without a copy.
void finish_work_copy(DbmFile* db) noexcept;

// ---- Read images (images.cpp) ----

// Reads every record of the DBM open as db (under its lock) into an image and keeps it in the
// process's cache under db's path. Null when the database holds more than an image may, or memory
// ran out.
std::shared_ptr<const DbmSnapshot> remember_image(const DbmFile& db, apr_dbm_t* dbm) noexcept;

// The image of a database that holds nothing; shared by every writer that starts from no file.
std::shared_ptr<const DbmSnapshot> empty_image();

// The cached image of the database at path, the file name in the directory open at dir, when it
// is current, else null.
std::shared_ptr<const DbmSnapshot> current_image(const char* path, int dir, const char* name);

}  // namespace kiv

#endif  // KIV_DBM_DBM_INTERNAL_H_
