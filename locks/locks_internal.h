// What crosses the files of the lock subsystem: the lock database handle, keys, in-memory lock
// entries, the lock-null list operations, the hook functions that the adapters of lock_hooks.cpp
// call, and the one place where the subsystem's failures become the host's error records.
//
// Everything here runs on the thread of the request that owns the lock database handle; nothing
// is shared between requests except the files on disk. Every allocation comes from the pool that
// each function names (normally the handle's pool, which is the request pool) and lives as long
// as that pool. The functions here may throw std::bad_alloc from C++ containers; the hook
// adapters (extern "C") catch everything.
#ifndef KIV_LOCKS_LOCKS_INTERNAL_H_
#define KIV_LOCKS_LOCKS_INTERNAL_H_

#include <apr_uuid.h>

#include <cstdint>

#include "common/host.h"
#include "dbm/dbm.h"

struct dav_locktoken {
  apr_uuid_t uuid;
};

// The provider's part of a lock database handle; allocated in one zero-filled block with the
// host's dav_lockdb from the request pool by open_lockdb.
struct dav_lockdb_private {
  request_rec* request;     // the request the handle was opened for
  apr_pool_t* pool;         // the request's pool: records, keys, value copies and errors
  const char* lockdb_path;  // the DAVLockDB path of the request's server
  const char* root;         // the request's document root: lock-null lists lie beneath it
  int is_open;              // 1 once the DBM open was done (successfully) for this handle
  kiv::DbmFile* db;         // the open database; null before the open and after a read-only
                            // open that found no database
};

// The provider's part of a lock handed to the host: the key of the record the lock was found in
// or is to be stored under. The key's bytes are shared, not copied.
struct dav_lock_private {
  apr_datum_t key;
};

// A lock taken on the resource itself. scope, type, depth and timeout come first, in the order of
// the fixed block of the stored entry.
struct dav_kiv_direct_entry {
  std::int8_t scope;    // dav_lock_scope
  std::int8_t type;     // dav_lock_type
  apr_int32_t depth;    // 0 or DAV_INFINITY
  apr_int64_t timeout;  // expiry in seconds since the epoch; 0 = never
  const dav_locktoken* locktoken;
  const char* owner;      // null when there is none
  const char* auth_user;  // null when there is none
  dav_kiv_direct_entry* next;
};

// A lock inherited from an ancestor's depth-infinity lock: key names the record that holds the
// lock's direct entry.
struct dav_kiv_indirect_entry {
  const dav_locktoken* locktoken;
  apr_datum_t key;
  dav_kiv_indirect_entry* next;
  apr_int64_t timeout;  // expiry in seconds since the epoch; 0 = never
};

namespace kiv::locks {

// ---- Lock tokens (lock_token.cpp); each fills the hook slot of the same name ----

const char* get_supportedlock();
dav_error* parse_locktoken(apr_pool_t* p, const char* char_token, dav_locktoken** locktoken_p);
const char* format_locktoken(apr_pool_t* p, const dav_locktoken* locktoken);
int compare_locktoken(const dav_locktoken* lt1, const dav_locktoken* lt2);

// ---- The lock database (lockdb.cpp) ----

// Builds a handle for path, as open_lockdb does once it has the path: allocated from r->pool,
// which must outlive it. With force the DBM file is opened at once and its error returned (the
// handle is handed back anyway); otherwise the file is opened by the first operation that needs
// it.
dav_error* dav_kiv_lockdb_make(request_rec* r, const char* lockdb_path, int ro, int force,
                               dav_lockdb** lockdb);

// Opens the handle's DBM file unless that was done already. A read-only open that finds no
// database succeeds with no database; a failed read-write open is retried by the next call.
dav_error* dav_kiv_lockdb_ensure_open(dav_lockdb* lockdb);

// The key of a resource: the identity key of the local file at its path when there is one, else
// the name key of its path. From pool.
apr_datum_t dav_kiv_lock_key(apr_pool_t* pool, const dav_resource* resource);

// The name key of a local path. From pool.
apr_datum_t dav_kiv_lock_name_key(apr_pool_t* pool, const char* path);

// Reads the record under key into two lists (each in the reverse of the stored order), dropping
// expired entries; a read-write handle then rewrites a record that lost entries, and takes an
// expired direct entry under a name key whose path has no local file out of the lock-null list.
// A read-only handle writes nothing: it may be served from a read image without any lock. Lists,
// tokens, strings and keys come from the handle's pool.
dav_error* dav_kiv_lockrec_load(dav_lockdb* lockdb, apr_datum_t key, dav_kiv_direct_entry** direct,
                                dav_kiv_indirect_entry** indirect);

// Writes the two lists (each in list order) as the record under key, or deletes the record when
// both are empty. Fails on a read-only handle.
dav_error* dav_kiv_lockrec_save(dav_lockdb* lockdb, apr_datum_t key,
                                const dav_kiv_direct_entry* direct,
                                const dav_kiv_indirect_entry* indirect);

// 1 when an entry with this timeout has expired now, else 0; a timeout of 0 never expires.
int dav_kiv_lock_expired(apr_int64_t timeout);

// A new direct lock for the record under key, zero apart from rectype, info and locktoken; with no
// token given it gets a fresh one. From the handle's pool; shares key's bytes and token.
dav_lock* dav_kiv_lock_alloc(dav_lockdb* lockdb, apr_datum_t key, const dav_locktoken* token);

// Fill the open_lockdb and close_lockdb slots.
dav_error* open_lockdb(request_rec* r, int ro, int force, dav_lockdb** lockdb);
void close_lockdb(dav_lockdb* lockdb);

// ---- The lock operations (lock_ops.cpp); each fills the hook slot of the same name ----

dav_error* create_lock(dav_lockdb* lockdb, const dav_resource* resource, dav_lock** lock);
dav_error* get_locks(dav_lockdb* lockdb, const dav_resource* resource, int calltype,
                     dav_lock** locks);
dav_error* find_lock(dav_lockdb* lockdb, const dav_resource* resource,
                     const dav_locktoken* locktoken, int partial_ok, dav_lock** lock);
dav_error* has_locks(dav_lockdb* lockdb, const dav_resource* resource, int* locks_present);
dav_error* append_locks(dav_lockdb* lockdb, const dav_resource* resource, int make_indirect,
                        const dav_lock* lock);
dav_error* remove_lock(dav_lockdb* lockdb, const dav_resource* resource,
                       const dav_locktoken* locktoken);
dav_error* remove_locknull_state(dav_lockdb* lockdb, const dav_resource* resource);
dav_error* refresh_locks(dav_lockdb* lockdb, const dav_resource* resource,
                         const dav_locktoken_list* ltl, time_t new_time, dav_lock** locks);

// ---- Locked empty resources (empty_resource.cpp) ----

// True when append_locks is to create the resource it locks: a new direct lock of a LOCK request
// on a URL that mapped to nothing at lookup.
bool creates_document(const dav_lockdb* lockdb, const dav_resource* resource, int make_indirect);

// Does append_locks for such a lock: stores an empty document at the resource's URI (unless the
// repository holds something there by now), moves the records of a lock-null resource of that
// name to it or else lets it inherit its parent's depth-infinity locks, and appends the lock to
// it. Notes on the request that it made a resource (its LOCK answers 201). When the lock cannot
// be stored, the document it made is removed again. Errors from the handle's pool; a store the
// service refuses answers as a PUT's would.
dav_error* lock_new_document(dav_lockdb* lockdb, const dav_resource* resource,
                             const dav_lock* lock);

// ---- Lock-null lists (locknull.cpp) ----

// Reads the lock-null list of a directory into *pbuf (from pool); a list file that cannot be
// opened is an empty list. After a failure the buffer holds no names. Every path lies beneath
// root (common/beneath.h): one that does not, or that passes through a symbolic link, is refused
// with 403 (and its log line), here and in the functions below.
dav_error* dav_kiv_locknull_load(apr_pool_t* pool, const char* root, const char* dirpath,
                                 dav_buffer* pbuf);

// Writes *pbuf as the directory's list (mode 0640), or removes the list file when it holds no
// names. A buffer without storage is left alone.
dav_error* dav_kiv_locknull_save(apr_pool_t* pool, const char* root, const char* dirpath,
                                 dav_buffer* pbuf);

// Adds the name of a resource to the list of the directory that holds it.
dav_error* dav_kiv_locknull_add(apr_pool_t* pool, const dav_resource* resource);

// Removes the first copy of the last segment of path from the list of the directory before it.
// *pbuf is a working buffer whose contents are replaced.
dav_error* dav_kiv_locknull_remove_member(apr_pool_t* pool, const char* root, const char* path,
                                          dav_buffer* pbuf);

// Notes on the request (r may be null) that its LOCK made a lock-null resource (kLockCreatedNote).
void note_lock_created(request_rec* r);

// ---- Failures (lock_errors.cpp) ----

enum class LockError {
  kUnknownTokenScheme,  // a token that does not start with "opaquelocktoken:"
  kBadToken,            // the right scheme, a malformed UUID
  kNoLockDb,            // no DAVLockDB
  kOpenLockDb,          // the DBM open failed (pushed on the DBM layer's error)
  kReadOnlySave,        // a save on a read-only handle
  kSaveLock,            // the DBM store failed (pushed on the DBM layer's error)
  kCorruptRecord,       // a record entry with a bad tag or running past the end (offset, code)
  kMissingDirect,       // an indirect entry whose direct entry is gone
  kGetLocksComplete,    // get_locks asked to fill out indirect locks
  kLockWithoutKey,      // a lock handed in that does not come from this provider
  kLocknullStat,        // (path) the list file's size is unavailable
  kLocknullHuge,        // (path) the list file is 4 GiB or more
  kLocknullRead,        // (path: the directory) reading the list file failed
  kLocknullRemove,      // (path) removing the emptied list file failed
  kLocknullOpenWrite,   // (path) opening the list file for writing failed
  kLocknullWrite,       // (path, number: bytes) writing the list file failed
  kLocknullAddLoad,     // loading the list for an add failed (pushed)
  kLocknullAddSave,     // saving the list for an add failed (pushed)
  kTimeoutPassed,       // a lock or refresh whose timeout ends before it is made
  kOwnerTooLong,        // a lock owner beyond KIVMaxLockOwner
};

// What some messages print.
struct LockErrorDetail {
  const char* path = nullptr;
  unsigned long number = 0;  // an offset or a byte count
  unsigned code = 0;         // a tag byte's code (see corrupt_tag_code)
};

// The host's error record for a failure, from pool; pushed on prev when prev is given. Never
// null.
__attribute__((returns_nonnull)) dav_error* lock_error(apr_pool_t* pool, LockError which,
                                                       dav_error* prev = nullptr,
                                                       const LockErrorDetail& detail = {});

}  // namespace kiv::locks

#endif  // KIV_LOCKS_LOCKS_INTERNAL_H_
