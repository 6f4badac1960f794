// What the dead-property store offers the rest of the module: the state directory layout, the DBM
// access layer that every DBM file of the module goes through (property databases and the lock
// database), and the property database record.
#ifndef KIV_PROPDB_PROPDB_H_
#define KIV_PROPDB_PROPDB_H_

#include "common/host.h"
// The host's headers come first: dav_host.h renames a member of mod_dav.h.

#include <apr_dbm.h>
#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_time.h>

namespace kiv {
class DbmSnapshot;
}  // namespace kiv

extern "C" {

// State directory and file names.
#define DAV_KIV_STATE_DIR ".DAV"
#define DAV_KIV_STATE_FILE_FOR_DIR ".state_for_dir"
#define DAV_KIV_STATE_JOINT "/.DAV/"

// An open DBM file: a property database, or the lock database. Allocated zero-filled from pool
// only when the file was opened; closing releases the DBM handle and the advisory lock, and a
// cleanup on pool releases them if nobody closed it.
struct dav_db {
  apr_pool_t* pool;  // the pool of the open; values, keys and errors built from it live here
  apr_dbm_t* dbm;    // the open DBM handle

  // Property database state (all zero after an open by the DBM layer).
  int minor_version;            // minor version found in the metadata record
  dav_buffer namespace_table;   // the whole metadata value: 4 header bytes, then the URIs
  short namespace_count;        // number of URIs in namespace_table
  int namespace_table_changed;  // a URI was appended during this open
  apr_hash_t* namespace_index;  // URI -> table position + 1
  dav_buffer key_buffer;        // scratch space in which every key is built
  apr_datum_t cursor;           // DBM key of the current position of a property listing

  // The last map handed out by map_namespaces (or the refusal it answered), for the namespaces
  // array it was made for while the table held mapped_table_count URIs: mod_dav asks again for
  // every property of a PROPPATCH.
  const apr_array_header_t* mapped_namespaces;
  int mapped_nelts;
  short mapped_table_count;
  dav_namespace_map* mapped;
  dav_error* mapped_error;

  // Advisory lock on the database, held from open to close: shared for a read-only open,
  // exclusive for a read-write open; -1 when none is held (a read served from an image).
  int lock_fd;

  // Where the database lies and how it was opened.
  const char* path;
  int writable;
  // A writer changes a copy of the file beside it and renames it over the file at close, so that
  // a process that dies while the DBM library writes leaves the file as it was; null until the
  // first write (and for DBM types that keep two files, which are changed in place).
  const char* work_path;
  int in_place;  // a DBM type that keeps two files is written in place
  int changed;  // a store or delete happened: the close counts a change of the file

  // A read image of the file (see dbm_cache.h) served instead of the DBM library while dbm is
  // null; a writable database opens the file at its first write.
  const kiv::DbmSnapshot* image;
  void* image_ref;             // keeps the image alive; released by the cleanup on pool
  apr_size_t image_position;   // the next record of a key listing over the image
};

// The bare file names that the DBM type uses for a database named fname (".state_for_dir" when
// fname is null). *second is null when the type keeps one file. Results from p.
void dav_dbm_get_statefiles(apr_pool_t* p, const char* fname, const char** first,
                            const char** second);

// Tries to create dirpath + "/.DAV"; every outcome is ignored (a failure shows at the next open).
void dav_kiv_make_state_dir(apr_pool_t* p, const char* dirpath);

// Opens the DBM file at path: read-only (ro non-zero) or read-write, creating the file. Takes the
// advisory lock of the directory that holds path first (shared for reading, exclusive for
// writing), waiting a bounded time; a database still busy then is an error (500). A read-only
// open that cannot open the directory or the file is not an error: *pdb stays null and nothing is
// created. A read-write open that fails gives 500, error id 1, "Could not open property
// database." with the failure's errno in aprerr. The record and errors come from p; a cleanup on
// p closes the database and gives up the lock if dav_kiv_dbm_close is not called first.
dav_error* dav_kiv_dbm_open_path(apr_pool_t* p, const char* path, int ro, dav_db** pdb);

// Opens the property database of a resource: <dir>/.DAV/<name>, or <dir>/.DAV/.state_for_dir
// for a collection, with dir and name from dav_kiv_dir_file_name (whose error it returns). A
// writable open first tries to create the state directory. Otherwise as dav_kiv_dbm_open_path.
dav_error* dav_kiv_dbm_open_resource(apr_pool_t* p, const dav_resource* resource, int ro,
                                     dav_db** pdb);

// Closes the DBM handle, then gives up the advisory lock. Harmless on null and when run twice.
void dav_kiv_dbm_close(dav_db* db);

// The DBM operations on an open database. Failures come back as the error of dav_kiv_dbm_error
// (500, the DBM library's own code and text), allocated from db->pool. fetch gives a null
// pointer for a missing key; exists never fails. Values and keys handed out belong to the DBM
// library until dav_kiv_dbm_free_datum; a key from the iteration lasts until the next step.
// A database is used by one thread at a time.
dav_error* dav_kiv_dbm_fetch(dav_db* db, apr_datum_t key, apr_datum_t* pvalue);
dav_error* dav_kiv_dbm_store(dav_db* db, apr_datum_t key, apr_datum_t value);
dav_error* dav_kiv_dbm_delete(dav_db* db, apr_datum_t key);
int dav_kiv_dbm_exists(dav_db* db, apr_datum_t key);
void dav_kiv_dbm_free_datum(dav_db* db, apr_datum_t data);
dav_error* dav_kiv_dbm_first_key(dav_db* db, apr_datum_t* pkey);  // null pointer: no keys
dav_error* dav_kiv_dbm_next_key(dav_db* db, apr_datum_t* pkey);   // null pointer: the end

// Turns a DBM status into an error (null for success), from db->pool, or from p when db is null
// (then the open itself failed: error id 1, "Could not open property database."). aprerr holds
// errno as it was on entry.
dav_error* dav_kiv_dbm_error(dav_db* db, apr_pool_t* p, apr_status_t status);

// The namespace map that map_namespaces hands to store: entry i is the table position of the
// request document's i-th namespace. Allocated from the database's pool. The entries are int
// because that is what the host's XML serialiser indexes.
struct dav_namespace_map {
  int* indexes;
  int count;
};

// What a property was before a change: its key (null when no key could be built) and its stored
// value (null when it did not exist). Copies in the database's pool.
struct dav_deadprop_rollback {
  apr_datum_t key;
  apr_datum_t value;
};

}  // extern "C"

namespace kiv {

// An flock(2) on a directory, held while this object lives. flock locks belong to the open file
// description, so two holders in one process exclude each other just as two processes do.
// To get in, a holder first passes a gate, the flock of the directory above taken the same way
// and let go at once; a writer waiting at the inner lock holds the gate, so readers that come
// after it wait behind it. Not thread-safe itself: one object is used by one thread.
class DirectoryLock {
 public:
  enum class Result {
    kLocked,       // the lock is held
    kNoDirectory,  // the directory could not be opened (error() tells why); nothing was created
    kBusy,         // the wait limit passed while others held the lock
    kFailed,       // flock failed for another reason (error() tells why)
  };

  DirectoryLock() = default;
  ~DirectoryLock() { unlock(); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Opens dir and locks it shared or exclusive, polling without blocking until the process-wide
  // wait limit (see set_dbm_lock_wait) has passed. Any lock held before is released first.
  Result lock(const char* dir, bool exclusive);

  // Gives the still-locked descriptor to the caller, who must close it; -1 when none is held.
  int release();

  // Releases the lock and closes the descriptor; harmless when none is held.
  void unlock();

  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

// Sets how long an open waits for the advisory lock of a database before it fails as busy
// (30 seconds unless changed). Process-wide; meant for tests and tools.
void set_dbm_lock_wait(apr_interval_time_t limit);

// Makes the layer use the named APR-util DBM type instead of the default one, or the default
// again for null. type must outlive its use. Process-wide; only for tests that need a type which
// keeps two files per database, never for serving requests.
void set_dbm_type(const char* type);

}  // namespace kiv

#endif  // KIV_PROPDB_PROPDB_H_
