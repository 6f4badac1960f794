// The lock operations that mod_dav asks of the provider, one resource at a time, on top of the
// lock records. Each fills the hook slot of the same name; the adapters and the table are in
// lock_hooks.cpp.
//
// A lock taken on a resource is a direct entry in that resource's record. A resource reached by
// an ancestor's depth-infinity lock holds an indirect entry pointing at the record with the direct
// entry; resolving it loads that record and finds the direct entry with the same token.
//
// Lists are built by head insertion throughout: the loader reverses the stored order, and the
// operations that hand out lists reverse again, so get_locks answers with the locks of the
// indirect entries first, then those of the direct entries, each group in stored order.
#include <cstring>

#include "dbm/state_dir.h"
#include "locks/locks_internal.h"
#include "provider/local_files.h"
#include "provider/resource.h"
#include "provider/server_conf.h"

namespace kiv::locks {

namespace {

apr_pool_t* pool_of(const dav_lockdb* lockdb) {
  return lockdb->info->pool;
}

bool same_token(const dav_locktoken* a, const dav_locktoken* b) {
  return compare_locktoken(a, b) == 0;
}

// Stored scope and type bytes as the host's enumerations; values the host does not define (a
// damaged record) become its "unknown" value instead of an out-of-range enumerator.
dav_lock_scope scope_of(std::int8_t value) {
  switch (value) {
    case DAV_LOCKSCOPE_EXCLUSIVE:
      return DAV_LOCKSCOPE_EXCLUSIVE;
    case DAV_LOCKSCOPE_SHARED:
      return DAV_LOCKSCOPE_SHARED;
    default:
      return DAV_LOCKSCOPE_UNKNOWN;
  }
}

dav_lock_type type_of(std::int8_t value) {
  return value == DAV_LOCKTYPE_WRITE ? DAV_LOCKTYPE_WRITE : DAV_LOCKTYPE_UNKNOWN;
}

// Fills the user fields of lock from a direct entry; the strings are shared with the entry.
void copy_direct(dav_lock* lock, const dav_kiv_direct_entry* entry) {
  lock->scope = scope_of(entry->scope);
  lock->type = type_of(entry->type);
  lock->depth = entry->depth;
  lock->timeout = static_cast<time_t>(entry->timeout);
  lock->owner = entry->owner;
  lock->auth_user = entry->auth_user;
}

dav_lock* new_lock(dav_lockdb* lockdb, const dav_resource* resource, apr_datum_t key,
                   const dav_locktoken* token) {
  dav_lock* lock = dav_kiv_lock_alloc(lockdb, key, token);
  lock->is_locknull = !resource->exists;
  return lock;
}

// Sets the timeout of entry to new_time for every token of the list equal to its own; 1 when one
// matched. Only memory changes; the caller saves.
int dav_kiv_lock_refresh_entry(dav_kiv_direct_entry* entry, const dav_locktoken_list* ltl,
                               time_t new_time) {
  int matched = 0;
  for (; ltl != nullptr; ltl = ltl->next) {
    if (same_token(entry->locktoken, ltl->locktoken)) {
      entry->timeout = new_time;
      matched = 1;
    }
  }
  return matched;
}

// Finds the direct entry that an indirect entry inherits from, loading (and, on a read-write
// handle, pruning) the record it points to; that record's lists are handed back when asked for.
// Null with *err set when the record cannot be loaded or holds no such entry.
dav_kiv_direct_entry* dav_kiv_lock_resolve(dav_lockdb* lockdb,
                                           const dav_kiv_indirect_entry* indirect, dav_error** err,
                                           dav_kiv_direct_entry** ref_direct = nullptr,
                                           dav_kiv_indirect_entry** ref_indirect = nullptr) {
  dav_kiv_direct_entry* dl = nullptr;
  dav_kiv_indirect_entry* il = nullptr;
  *err = dav_kiv_lockrec_load(lockdb, indirect->key, &dl, &il);
  if (*err != nullptr) return nullptr;
  if (ref_direct != nullptr) *ref_direct = dl;
  if (ref_indirect != nullptr) *ref_indirect = il;
  for (; dl != nullptr; dl = dl->next) {
    if (same_token(indirect->locktoken, dl->locktoken)) return dl;
  }
  *err = lock_error(pool_of(lockdb), LockError::kMissingDirect);
  return nullptr;
}

// A direct entry for a lock handed in by the host, put before next; shares the lock's strings and
// token.
dav_kiv_direct_entry* direct_entry_of(apr_pool_t* pool, const dav_lock* lock,
                                      dav_kiv_direct_entry* next) {
  auto* e = static_cast<dav_kiv_direct_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_direct_entry)));
  e->scope = static_cast<std::int8_t>(lock->scope);
  e->type = static_cast<std::int8_t>(lock->type);
  e->depth = lock->depth;
  e->timeout = lock->timeout;
  e->locktoken = lock->locktoken;
  e->owner = lock->owner;
  e->auth_user = lock->auth_user;
  e->next = next;
  return e;
}

// An indirect entry for a lock of this provider, put before next. One appended as such
// (make_indirect) never expires by itself: it goes with its direct entry's removal. One made from
// a direct lock expires with it.
dav_kiv_indirect_entry* indirect_entry_of(apr_pool_t* pool, const dav_lock* lock,
                                          bool make_indirect, dav_kiv_indirect_entry* next) {
  auto* e = static_cast<dav_kiv_indirect_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_indirect_entry)));
  e->locktoken = lock->locktoken;
  e->key = lock->info->key;
  if (make_indirect) e->timeout = lock->timeout;
  e->next = next;
  return e;
}

// Unlinks every entry of the list that holds token.
template <typename Entry>
void drop_token(Entry** list, const dav_locktoken* token) {
  for (Entry** link = list; *link != nullptr;) {
    if (same_token((*link)->locktoken, token)) {
      *link = (*link)->next;
    } else {
      link = &(*link)->next;
    }
  }
}

// The second the lock's request began.
time_t request_second(const dav_lockdb* lockdb) {
  const request_rec* r = lockdb->info->request;
  return static_cast<time_t>(apr_time_sec(r != nullptr ? r->request_time : apr_time_now()));
}

// True when a lock timeout ends no later than the second its request began: the client asked
// for zero seconds or less, or for something that is no number. Such a lock would be answered as
// granted and protect nothing, so it is refused. A timeout of a second or more is never refused,
// however long the request took.
bool timeout_already_passed(const dav_lockdb* lockdb, time_t timeout) {
  if (timeout == DAV_TIMEOUT_INFINITE) return false;
  return timeout <= request_second(lockdb);
}

// What the request's server grants (KIVMaxLockOwner, KIVMaxLockTimeout).
LockLimits limits_of(const dav_lockdb* lockdb) {
  const request_rec* r = lockdb->info->request;
  return r != nullptr ? lock_limits(r->server) : LockLimits{};
}

// A lock's timeout as granted: at most the longest timeout from now; Infinite is that longest.
time_t capped_timeout(const dav_lockdb* lockdb, const LockLimits& limits, time_t timeout) {
  const time_t longest = request_second(lockdb) + static_cast<time_t>(limits.max_timeout);
  return timeout == DAV_TIMEOUT_INFINITE || timeout > longest ? longest : timeout;
}

}  // namespace

dav_error* create_lock(dav_lockdb* lockdb, const dav_resource* resource, dav_lock** lock) {
  if (lockdb->info->lockdb_path == nullptr)
    return lock_error(pool_of(lockdb), LockError::kNoLockDb);
  *lock = new_lock(lockdb, resource, dav_kiv_lock_key(pool_of(lockdb), resource), nullptr);
  return nullptr;
}

dav_error* get_locks(dav_lockdb* lockdb, const dav_resource* resource, int calltype,
                     dav_lock** locks) {
  apr_pool_t* pool = pool_of(lockdb);
  if (calltype == DAV_GETLOCKS_COMPLETE) return lock_error(pool, LockError::kGetLocksComplete);
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  if (dav_error* err = dav_kiv_lockrec_load(lockdb, key, &direct, &indirect)) return err;

  dav_lock* result = nullptr;
  for (; direct != nullptr; direct = direct->next) {
    dav_lock* lock = new_lock(lockdb, resource, key, direct->locktoken);
    copy_direct(lock, direct);
    lock->next = result;
    result = lock;
  }
  for (; indirect != nullptr; indirect = indirect->next) {
    dav_lock* lock = new_lock(lockdb, resource, indirect->key, indirect->locktoken);
    if (calltype == DAV_GETLOCKS_RESOLVED) {
      dav_error* err = nullptr;
      const dav_kiv_direct_entry* found = dav_kiv_lock_resolve(lockdb, indirect, &err);
      if (found == nullptr) return err;
      copy_direct(lock, found);
    } else {
      lock->rectype = DAV_LOCKREC_INDIRECT_PARTIAL;
    }
    lock->next = result;
    result = lock;
  }
  *locks = result;
  return nullptr;
}

dav_error* find_lock(dav_lockdb* lockdb, const dav_resource* resource,
                     const dav_locktoken* locktoken, int partial_ok, dav_lock** lock) {
  *lock = nullptr;
  apr_pool_t* pool = pool_of(lockdb);
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  if (dav_error* err = dav_kiv_lockrec_load(lockdb, key, &direct, &indirect)) return err;

  for (; direct != nullptr; direct = direct->next) {
    if (same_token(direct->locktoken, locktoken)) {
      *lock = new_lock(lockdb, resource, key, locktoken);
      copy_direct(*lock, direct);
      return nullptr;
    }
  }
  for (; indirect != nullptr; indirect = indirect->next) {
    if (!same_token(indirect->locktoken, locktoken)) continue;
    *lock = new_lock(lockdb, resource, indirect->key, locktoken);
    if (partial_ok) {
      (*lock)->rectype = DAV_LOCKREC_INDIRECT_PARTIAL;
      return nullptr;
    }
    (*lock)->rectype = DAV_LOCKREC_INDIRECT;
    dav_error* err = nullptr;
    const dav_kiv_direct_entry* found = dav_kiv_lock_resolve(lockdb, indirect, &err);
    if (found == nullptr) return err;
    copy_direct(*lock, found);
    return nullptr;
  }
  return nullptr;
}

dav_error* has_locks(dav_lockdb* lockdb, const dav_resource* resource, int* locks_present) {
  *locks_present = 0;
  if (dav_error* err = dav_kiv_lockdb_ensure_open(lockdb)) return err;
  dav_lockdb_private* info = lockdb->info;
  if (info->db == nullptr) return nullptr;
  *locks_present = dav_kiv_dbm_exists(info->db, dav_kiv_lock_key(info->pool, resource));
  return nullptr;
}

dav_error* append_locks(dav_lockdb* lockdb, const dav_resource* resource, int make_indirect,
                        const dav_lock* lock) {
  apr_pool_t* pool = pool_of(lockdb);
  const LockLimits limits = limits_of(lockdb);
  for (const dav_lock* l = lock; l != nullptr && !make_indirect; l = l->next) {
    if (l->rectype != DAV_LOCKREC_DIRECT) continue;
    if (timeout_already_passed(lockdb, l->timeout)) {
      return lock_error(pool, LockError::kTimeoutPassed);
    }
    if (l->owner != nullptr && std::strlen(l->owner) > limits.max_owner) {
      return lock_error(pool, LockError::kOwnerTooLong);
    }
    // The lock is the host's record of the lock it grants, made by create_lock: the granted
    // timeout is what its answer shows.
    const_cast<dav_lock*>(l)->timeout = capped_timeout(lockdb, limits, l->timeout);
  }
  // Checked before a LOCK of a new name creates its document, so that a refused lock makes none.
  if (creates_document(lockdb, resource, make_indirect)) {
    return lock_new_document(lockdb, resource, lock);
  }
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  // A lock-null resource gets its name into the list of its directory: that directory's state
  // must be usable before anything is written.
  if (!resource->exists && !make_indirect) {
    const char* dirpath = nullptr;
    if (dav_error* err = dav_kiv_dir_file_name(resource, &dirpath, nullptr)) return err;
    if (dav_error* err = dav_kiv_check_state_dir(pool, tree_root(resource), dirpath)) return err;
  }
  if (dav_error* err = dav_kiv_lockrec_load(lockdb, key, &direct, &indirect)) return err;
  // A new lock on a URL that maps to nothing and held no lock makes a lock-null resource (a LOCK
  // request creates a document instead, above).
  const bool creates_locknull =
      !resource->exists && !make_indirect && direct == nullptr && indirect == nullptr;

  for (; lock != nullptr; lock = lock->next) {
    if (make_indirect || lock->rectype != DAV_LOCKREC_DIRECT) {
      // An indirect entry points at the record of the lock's direct entry, which only a lock
      // made by this provider knows.
      if (lock->info == nullptr) return lock_error(pool, LockError::kLockWithoutKey);
      indirect = indirect_entry_of(pool, lock, make_indirect != 0, indirect);
    } else {
      direct = direct_entry_of(pool, lock, direct);
    }
  }
  if (dav_error* err = dav_kiv_lockrec_save(lockdb, key, direct, indirect)) return err;
  if (!resource->exists) {
    if (dav_error* err = dav_kiv_locknull_add(pool, resource)) return err;
    if (creates_locknull) note_lock_created(lockdb->info->request);
  }
  return nullptr;
}

dav_error* remove_lock(dav_lockdb* lockdb, const dav_resource* resource,
                       const dav_locktoken* locktoken) {
  apr_pool_t* pool = pool_of(lockdb);
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  if (locktoken != nullptr) {
    if (dav_error* err = dav_kiv_lockrec_load(lockdb, key, &direct, &indirect)) return err;
    drop_token(&direct, locktoken);
    drop_token(&indirect, locktoken);
  }
  if (dav_error* err = dav_kiv_lockrec_save(lockdb, key, direct, indirect)) return err;
  if (!resource->exists && direct == nullptr && indirect == nullptr) {
    dav_buffer work = {0, 0, nullptr};
    return dav_kiv_locknull_remove_member(pool, tree_root(resource),
                                          dav_kiv_resource_pathname(resource), &work);
  }
  return nullptr;
}

dav_error* remove_locknull_state(dav_lockdb* lockdb, const dav_resource* resource) {
  apr_pool_t* pool = pool_of(lockdb);
  const char* path = dav_kiv_resource_pathname(resource);
  dav_buffer work = {0, 0, nullptr};
  if (dav_error* err = dav_kiv_locknull_remove_member(pool, tree_root(resource), path, &work)) {
    return err;
  }

  const apr_datum_t name_key = dav_kiv_lock_name_key(pool, path);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  if (dav_error* err = dav_kiv_lockrec_load(lockdb, name_key, &direct, &indirect)) return err;
  if (dav_error* err = dav_kiv_lockrec_save(lockdb, name_key, nullptr, nullptr)) return err;
  // Once a file exists at the path its key is the identity key; the record moves there, replacing
  // whatever was stored under it.
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  return dav_kiv_lockrec_save(lockdb, key, direct, indirect);
}

dav_error* refresh_locks(dav_lockdb* lockdb, const dav_resource* resource,
                         const dav_locktoken_list* ltl, time_t new_time, dav_lock** locks) {
  *locks = nullptr;
  apr_pool_t* pool = pool_of(lockdb);
  // A refresh that would end the lock at once is refused, as a new lock would be; one beyond the
  // longest timeout granted gets that.
  if (timeout_already_passed(lockdb, new_time)) return lock_error(pool, LockError::kTimeoutPassed);
  new_time = capped_timeout(lockdb, limits_of(lockdb), new_time);
  const apr_datum_t key = dav_kiv_lock_key(pool, resource);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  if (dav_error* err = dav_kiv_lockrec_load(lockdb, key, &direct, &indirect)) return err;

  bool changed = false;
  for (dav_kiv_direct_entry* e = direct; e != nullptr; e = e->next) {
    if (!dav_kiv_lock_refresh_entry(e, ltl, new_time)) continue;
    dav_lock* lock = new_lock(lockdb, resource, key, e->locktoken);
    copy_direct(lock, e);
    lock->next = *locks;
    *locks = lock;
    changed = true;
  }
  if (changed) {
    if (dav_error* err = dav_kiv_lockrec_save(lockdb, key, direct, indirect)) return err;
  }

  for (const dav_kiv_indirect_entry* e = indirect; e != nullptr; e = e->next) {
    dav_error* err = nullptr;
    dav_kiv_direct_entry* ref_direct = nullptr;
    dav_kiv_indirect_entry* ref_indirect = nullptr;
    dav_kiv_direct_entry* found = dav_kiv_lock_resolve(lockdb, e, &err, &ref_direct, &ref_indirect);
    if (found == nullptr) return err;
    if (!dav_kiv_lock_refresh_entry(found, ltl, new_time)) continue;
    dav_lock* lock = new_lock(lockdb, resource, e->key, found->locktoken);
    copy_direct(lock, found);
    lock->next = *locks;
    *locks = lock;
    err = dav_kiv_lockrec_save(lockdb, e->key, ref_direct, ref_indirect);
    if (err != nullptr) return err;
  }
  return nullptr;
}

}  // namespace kiv::locks
