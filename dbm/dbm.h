// The DBM access layer: the one way every DBM file of the module (property databases, the lock
// database) is opened, read, written and closed.
//
// Every open holds an advisory lock on the directory that holds the database, shared for reading
// and exclusive for writing, from before the DBM is opened until after it is closed: the DBM
// library does nothing against concurrent writers, and two writers on one file corrupt it. A
// writer changes a copy of the file and renames it into place at close, so that a process that
// dies while the DBM library writes leaves the file as it was. A reader of a database that has
// not changed is served from a read image (dbm_cache.h) without opening the file.
//
// A DbmFile belongs to the pool it was opened with and is used by one thread at a time.
#ifndef KIV_DBM_DBM_H_
#define KIV_DBM_DBM_H_

#include <chrono>

#include "common/host.h"

namespace kiv {

// An open DBM file. Made from the pool of the open, only when there is a database to use;
// closing releases the DBM handle and the directory lock, and a cleanup on the pool releases them
// if nobody closed it.
struct DbmFile;

// Opens the DBM file at path: read-only (ro non-zero) or read-write, creating the file. Takes the
// advisory lock of the directory that holds path first (shared for reading, exclusive for
// writing), waiting at most dbm_lock_wait(); a database still busy then is an error (500). A
// read-only open that cannot open the directory or the file is not an error: *pdb stays null and
// nothing is created. A read-write open that fails gives 500, error id 1, "Could not open property
// database." with the failure's errno in aprerr. A file cut short is refused (500). New files get
// mode 0640. The handle and errors come from p.
dav_error* dav_kiv_dbm_open_path(apr_pool_t* p, const char* path, int ro, DbmFile** pdb);

// As dav_kiv_dbm_open_path for a database of the tree below root (absolute): its directory is
// reached beneath root without symbolic links and the file itself must not be one
// (common/beneath.h); a path that breaks that rule is refused with 403 (and a line in the error
// log), whether for reading or writing. dav_kiv_dbm_open_path trusts its path as it is (the lock
// database, which the administrator names), apart from the file itself, which is never followed
// either.
dav_error* dav_kiv_dbm_open_beneath(apr_pool_t* p, const char* root, const char* path, int ro,
                                    DbmFile** pdb);

// Closes the DBM handle, then gives up the advisory lock. Harmless on null and when run twice.
void dav_kiv_dbm_close(DbmFile* db);

// The DBM operations on an open database. Failures come back as the error of dav_kiv_dbm_error
// (500, the DBM library's own code and text), allocated from the pool of the open. fetch gives a
// null pointer for a missing key; exists never fails. Values and keys handed out belong to the
// layer until dav_kiv_dbm_free_datum; a key from the iteration lasts until the next step. A store
// is refused with 507 when the file system has no room for it.
dav_error* dav_kiv_dbm_fetch(DbmFile* db, apr_datum_t key, apr_datum_t* pvalue);
dav_error* dav_kiv_dbm_store(DbmFile* db, apr_datum_t key, apr_datum_t value);
dav_error* dav_kiv_dbm_delete(DbmFile* db, apr_datum_t key);
int dav_kiv_dbm_exists(DbmFile* db, apr_datum_t key);
void dav_kiv_dbm_free_datum(DbmFile* db, apr_datum_t data);
dav_error* dav_kiv_dbm_first_key(DbmFile* db, apr_datum_t* pkey);  // null pointer: no keys
dav_error* dav_kiv_dbm_next_key(DbmFile* db, apr_datum_t* pkey);   // null pointer: the end

// Turns a DBM status into an error (null for success), from the pool of db's open, or from p when
// db is null (then the open itself failed: error id 1, "Could not open property database.").
// aprerr holds errno as it was on entry.
dav_error* dav_kiv_dbm_error(DbmFile* db, apr_pool_t* p, apr_status_t status);

// Sets how long an open waits for the advisory lock of a database before it fails as busy
// (30 seconds unless changed). Process-wide; meant for tests and tools.
void set_dbm_lock_wait(apr_interval_time_t limit);

// How long an open waits for the lock of a database; also for others who take that lock.
std::chrono::microseconds dbm_lock_wait();

// Makes the layer use the named APR-util DBM type instead of the default one, or the default
// again for null. type must outlive its use. Process-wide; only for tests that need a type which
// keeps two files per database, never for serving requests.
void set_dbm_type(const char* type);

}  // namespace kiv

#endif  // KIV_DBM_DBM_H_
