// Locked empty resources: a LOCK of a URL that maps to nothing creates an empty document there and
// locks that. The document is a resource like any other from then on: listed, fetched (empty),
// moved, deleted and replaced as the lock allows, and still there after its lock ends.
//
// The name is not kept as a lock-null resource (a lock without a document), as the lock
// subsystem once did: clients that lock a new name and upload its content later (davfs2, the
// Windows redirector, Office) rename or list such a name before the upload, and a resource that
// does not exist can be neither moved nor fetched. Lock-null records and lists written before stay
// valid: they are read, pruned and honoured as ever, and a lock taken on such a name now creates
// its document and carries the earlier locks over to it.
#include "locks/locks_internal.h"
#include "provider/local_files.h"
#include "provider/repository.h"
#include "provider/resource.h"

namespace kiv::locks {

namespace {

// The description of the document now at resource's URI, from pool: resource as looked up, but
// existing, with the file information of its local file (none when it has none).
dav_resource* describe_created(apr_pool_t* pool, const dav_resource* resource, bool collection) {
  auto* info = static_cast<dav_resource_private*>(apr_palloc(pool, sizeof(dav_resource_private)));
  *info = *resource->info;
  // Beneath the document root without symbolic links, as at lookup; a file that cannot be reached
  // so is described as none.
  if (local_stat(pool, tree_root(resource), info->pathname, &info->finfo) != LocalFile::kFound) {
    info->finfo.mtime = apr_time_now();
  }
  auto* created = static_cast<dav_resource*>(apr_palloc(pool, sizeof(dav_resource)));
  *created = *resource;
  created->info = info;
  created->exists = 1;
  created->collection = collection ? 1 : 0;
  return created;
}

// Stores an empty document at resource's URI through the repository hooks, so that a failure
// answers as that of a PUT would (409 without a parent collection, 403 for a refused name, 503,
// 507, ...). The store is create-only: when the service has something at the URI by then (a PUT
// that came first, *made false), that is kept and locked, never replaced by the empty document.
dav_error* make_document(const dav_resource* resource, bool* made, bool* collection) {
  *made = false;
  *collection = false;
  dav_stream* stream = nullptr;
  dav_error* err = resource->hooks->open_stream(
      resource, static_cast<dav_stream_mode>(kStreamCreateOnly), &stream);
  if (err == nullptr) err = resource->hooks->close_stream(stream, 1);
  if (err == nullptr) {
    *made = true;
    return nullptr;
  }
  // Refused because something is there by now (a document, or a collection the upload could
  // not begin over): that is what gets locked.
  RepositoryEntry entry;
  if (!Repository::current().lookup(resource->uri, &entry).ok()) return err;
  *collection = entry.collection;
  return nullptr;
}

// Takes the created resource under the locks it gets at birth: those of a lock-null resource of
// the same name, which move over to it, or else (when this request made it) those that its
// parent's depth-infinity locks pass on to a new member.
dav_error* adopt_locks(dav_lockdb* lockdb, const dav_resource* created, bool made) {
  dav_lockdb_private* info = lockdb->info;
  if (dav_error* err = dav_kiv_lockdb_ensure_open(lockdb)) return err;
  const apr_datum_t name_key = dav_kiv_lock_name_key(info->pool, created->info->pathname);
  if (info->db != nullptr && dav_kiv_dbm_exists(info->db, name_key)) {
    return remove_locknull_state(lockdb, created);
  }
  if (!made) return nullptr;
  return dav_notify_created(info->request, lockdb, created, DAV_RESOURCE_NULL, 0);
}

// Takes back a document this request made when its lock could not be stored: its lock record
// first (a record under the identity of a removed file would pass to the next file that reuses
// the inode), then the document. Best effort: the error that led here is what the client hears.
void unmake_document(dav_lockdb* lockdb, const dav_resource* created) {
  dav_kiv_lockrec_save(lockdb, dav_kiv_lock_key(lockdb->info->pool, created), nullptr, nullptr);
  Repository::current().delete_document(created->uri);
}

}  // namespace

bool creates_document(const dav_lockdb* lockdb, const dav_resource* resource, int make_indirect) {
  const request_rec* r = lockdb->info->request;
  return !resource->exists && !make_indirect && r != nullptr && r->method_number == M_LOCK;
}

dav_error* lock_new_document(dav_lockdb* lockdb, const dav_resource* resource,
                             const dav_lock* lock) {
  bool made = false;
  bool collection = false;
  if (dav_error* err = make_document(resource, &made, &collection)) return err;
  const dav_resource* created = describe_created(lockdb->info->pool, resource, collection);
  dav_error* err = adopt_locks(lockdb, created, made);
  if (err == nullptr) err = append_locks(lockdb, created, 0, lock);
  if (err != nullptr) {
    if (made) unmake_document(lockdb, created);
    return err;
  }
  if (made) note_lock_created(lockdb->info->request);
  return nullptr;
}

}  // namespace kiv::locks
