// The provider's lock hook table: one-line adapters that keep exceptions out of the server and
// hand each call to the C++ function that does the work: lock_token.cpp (tokens), lockdb.cpp (the
// database handle), lock_ops.cpp (the lock operations).
#include "common/guard.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"

namespace {

apr_pool_t* pool_of(const dav_lockdb* lockdb) {
  return lockdb->info->pool;
}

}  // namespace

extern "C" {

namespace {

// Fills the get_supportedlock slot. The same static text for every resource.
const char* dav_kiv_get_supportedlock(const dav_resource* /*resource*/) noexcept {
  return kiv::locks::get_supportedlock();
}

// Fills the parse_locktoken slot. The scheme must open the text exactly (case matters); what
// follows is whatever apr_uuid_parse accepts. The token comes from p.
dav_error* dav_kiv_parse_locktoken(apr_pool_t* p, const char* char_token,
                                   dav_locktoken** locktoken_p) noexcept {
  return kiv::guarded(p, [&] { return kiv::locks::parse_locktoken(p, char_token, locktoken_p); });
}

// Fills the format_locktoken slot: "opaquelocktoken:" and the 36-character UUID, from p.
const char* dav_kiv_format_locktoken(apr_pool_t* p, const dav_locktoken* locktoken) noexcept {
  return kiv::locks::format_locktoken(p, locktoken);
}

// Fills the compare_locktoken slot: the 16 UUID bytes in unsigned byte order.
int dav_kiv_compare_locktoken(const dav_locktoken* lt1, const dav_locktoken* lt2) noexcept {
  return kiv::locks::compare_locktoken(lt1, lt2);
}

// Fills the open_lockdb slot. The handle comes from the request pool; without a DAVLockDB path
// reads see no locks and taking one fails. With force the file is opened at once, else by the
// first operation that needs it.
dav_error* dav_kiv_open_lockdb(request_rec* r, int ro, int force, dav_lockdb** lockdb) noexcept {
  return kiv::guarded(r->pool, [&] { return kiv::locks::open_lockdb(r, ro, force, lockdb); });
}

// Fills the close_lockdb slot: closes the DBM file if the handle opened one, which also releases
// the database's advisory lock.
void dav_kiv_close_lockdb(dav_lockdb* lockdb) noexcept {
  kiv::guarded_void([&] { kiv::locks::close_lockdb(lockdb); });
}

// Fills the remove_locknull_state slot: the resource leaves its lock-null list and its record
// moves from the name key of its path to its current key.
dav_error* dav_kiv_remove_locknull_state(dav_lockdb* lockdb,
                                         const dav_resource* resource) noexcept {
  return kiv::guarded(pool_of(lockdb),
                      [&] { return kiv::locks::remove_locknull_state(lockdb, resource); });
}

// Fills the create_lock slot: a new direct lock with a fresh token for the resource's key, not
// stored until append_locks.
dav_error* dav_kiv_create_lock(dav_lockdb* lockdb, const dav_resource* resource,
                               dav_lock** lock) noexcept {
  return kiv::guarded(pool_of(lockdb),
                      [&] { return kiv::locks::create_lock(lockdb, resource, lock); });
}

// Fills the get_locks slot. DAV_GETLOCKS_RESOLVED fills indirect locks from their direct entries
// (rectype stays direct), DAV_GETLOCKS_PARTIAL leaves them partial; DAV_GETLOCKS_COMPLETE is
// refused. *locks is set only on success.
dav_error* dav_kiv_get_locks(dav_lockdb* lockdb, const dav_resource* resource, int calltype,
                             dav_lock** locks) noexcept {
  return kiv::guarded(pool_of(lockdb),
                      [&] { return kiv::locks::get_locks(lockdb, resource, calltype, locks); });
}

// Fills the find_lock slot: the lock with this token, or null. An indirect one is partial when
// partial_ok allows it, else resolved and marked DAV_LOCKREC_INDIRECT.
dav_error* dav_kiv_find_lock(dav_lockdb* lockdb, const dav_resource* resource,
                             const dav_locktoken* locktoken, int partial_ok,
                             dav_lock** lock) noexcept {
  return kiv::guarded(pool_of(lockdb), [&] {
    return kiv::locks::find_lock(lockdb, resource, locktoken, partial_ok, lock);
  });
}

// Fills the has_locks slot: whether a record exists for the resource, without loading it (a
// record of only expired entries still counts).
dav_error* dav_kiv_has_locks(dav_lockdb* lockdb, const dav_resource* resource,
                             int* locks_present) noexcept {
  return kiv::guarded(pool_of(lockdb),
                      [&] { return kiv::locks::has_locks(lockdb, resource, locks_present); });
}

// Fills the append_locks slot: adds the chain's locks to the resource's record as they are or,
// with make_indirect, as indirect entries. A new lock of a LOCK request on a resource that does
// not exist creates an empty document there and locks that; any other lock of a resource that
// does not exist enters its directory's lock-null list. Nothing is compared with what is stored
// already.
dav_error* dav_kiv_append_locks(dav_lockdb* lockdb, const dav_resource* resource, int make_indirect,
                                const dav_lock* lock) noexcept {
  return kiv::guarded(pool_of(lockdb), [&] {
    return kiv::locks::append_locks(lockdb, resource, make_indirect, lock);
  });
}

// Fills the remove_lock slot: removes the entries holding locktoken, or every entry when it is
// null; a resource that does not exist and is left without entries leaves the lock-null list.
dav_error* dav_kiv_remove_lock(dav_lockdb* lockdb, const dav_resource* resource,
                               const dav_locktoken* locktoken) noexcept {
  return kiv::guarded(pool_of(lockdb),
                      [&] { return kiv::locks::remove_lock(lockdb, resource, locktoken); });
}

// Fills the refresh_locks slot: every direct lock reached from the resource whose token is in the
// list gets new_time; the refreshed locks come back resolved.
dav_error* dav_kiv_refresh_locks(dav_lockdb* lockdb, const dav_resource* resource,
                                 const dav_locktoken_list* ltl, time_t new_time,
                                 dav_lock** locks) noexcept {
  return kiv::guarded(pool_of(lockdb), [&] {
    return kiv::locks::refresh_locks(lockdb, resource, ltl, new_time, locks);
  });
}

}  // namespace

const dav_hooks_locks dav_kiv_hooks_locks = {
    dav_kiv_get_supportedlock,
    dav_kiv_parse_locktoken,
    dav_kiv_format_locktoken,
    dav_kiv_compare_locktoken,
    dav_kiv_open_lockdb,
    dav_kiv_close_lockdb,
    dav_kiv_remove_locknull_state,
    dav_kiv_create_lock,
    dav_kiv_get_locks,
    dav_kiv_find_lock,
    dav_kiv_has_locks,
    dav_kiv_append_locks,
    dav_kiv_remove_lock,
    dav_kiv_refresh_locks,
    nullptr,  // lookup_resource: no lookup by token; the host walks up the ancestors instead
    nullptr,  // ctx: the hooks need no context
};

}  // extern "C"
