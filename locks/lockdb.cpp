// The lock database: the handle with its deferred open, the keys of resources, and the loading
// and saving of lock records with the pruning of expired entries.
#include <apr_time.h>
#include <apr_uuid.h>

#include <cstring>
#include <string_view>

#include "common/tree_id.h"
#include "locks/lock_record.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "provider/local_files.h"
#include "provider/resource.h"
#include "provider/server_conf.h"

namespace kiv::locks {

namespace {

// The handle and the provider's part of it, allocated as one block.
struct LockDbBlock {
  dav_lockdb pub;
  dav_lockdb_private priv;
};

// A lock handed to the host with the provider's part and room for a fresh token.
struct LockBlock {
  dav_lock pub;
  dav_lock_private priv;
  dav_locktoken token;
};

// Hands a value fetched from the DBM layer back to it on every path out of the loader.
class FetchedValue {
 public:
  FetchedValue(DbmFile* db, apr_datum_t value) : db_(db), value_(value) {}
  ~FetchedValue() {
    if (value_.dptr != nullptr) dav_kiv_dbm_free_datum(db_, value_);
  }
  FetchedValue(const FetchedValue&) = delete;
  FetchedValue& operator=(const FetchedValue&) = delete;

  const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(value_.dptr); }
  std::size_t size() const { return value_.dsize; }

 private:
  DbmFile* db_;
  apr_datum_t value_;
};

const dav_locktoken* copy_token(apr_pool_t* pool, const std::uint8_t* bytes) {
  auto* token = static_cast<dav_locktoken*>(apr_palloc(pool, sizeof(dav_locktoken)));
  std::memcpy(token->uuid.data, bytes, sizeof(token->uuid.data));
  return token;
}

// A stored string as the in-memory entry holds it: an empty one is none.
const char* copy_text(apr_pool_t* pool, std::string_view text) {
  if (text.empty()) return nullptr;
  return apr_pstrmemdup(pool, text.data(), text.size());
}

std::string_view view_of(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

// An expired direct entry under a name key: when no local file exists at the key's path, the
// resource was a lock-null resource and its name leaves the lock-null list. A path that does not
// lie beneath root (another host's tree, whose own requests prune it) or passes through a
// symbolic link is left alone.
dav_error* drop_expired_locknull(apr_pool_t* pool, const char* root, apr_datum_t key,
                                 dav_buffer* work) {
  std::string_view path;
  if (root == nullptr ||
      !name_key_path(reinterpret_cast<const std::uint8_t*>(key.dptr), key.dsize, &path)) {
    return nullptr;
  }
  const char* local = apr_pstrmemdup(pool, path.data(), path.size());
  apr_finfo_t finfo;
  if (local_stat(pool, root, local, &finfo) != LocalFile::kMissing) return nullptr;
  return dav_kiv_locknull_remove_member(pool, root, local, work);
}

// Turns a fetched record into the two in-memory lists (head insertion, so each list holds its
// entries in the reverse of the stored order), leaving out expired entries and setting *pruned
// when there were any. With writable (a read-write handle, which holds the database's exclusive
// lock) an expired lock-null entry also leaves its directory's list; a read-only handle may hold
// no lock at all (a read image) and leaves the list to the next writer. Everything is copied into
// pool; the value may go once this returns.
dav_error* decode_record(apr_pool_t* pool, const char* root, apr_datum_t key,
                         const FetchedValue& value, bool writable, dav_kiv_direct_entry** direct,
                         dav_kiv_indirect_entry** indirect, bool* pruned) {
  const bool prune_list =
      writable && key.dsize > 0 && static_cast<std::uint8_t>(key.dptr[0]) == kKeyName;
  dav_buffer work = {0, 0, nullptr};
  RecordReader reader(value.data(), value.size());
  RecordEntry entry;
  for (;;) {
    const ReadResult result = reader.next(&entry);
    if (result == ReadResult::kEnd) return nullptr;
    if (result == ReadResult::kCorrupt) {
      LockErrorDetail detail;
      detail.number = reader.corrupt().offset;
      detail.code = corrupt_tag_code(reader.corrupt().tag);
      return lock_error(pool, LockError::kCorruptRecord, nullptr, detail);
    }
    if (entry.tag == kEntryDirect) {
      const DirectFields& d = entry.direct;
      if (dav_kiv_lock_expired(d.timeout)) {
        *pruned = true;
        if (prune_list) {
          if (dav_error* err = drop_expired_locknull(pool, root, key, &work)) return err;
        }
        continue;
      }
      auto* e = static_cast<dav_kiv_direct_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_direct_entry)));
      e->scope = d.scope;
      e->type = d.type;
      e->depth = d.depth;
      e->timeout = d.timeout;
      e->locktoken = copy_token(pool, d.token);
      e->owner = copy_text(pool, d.owner);
      e->auth_user = copy_text(pool, d.auth_user);
      e->next = *direct;
      *direct = e;
    } else {
      const IndirectFields& i = entry.indirect;
      if (dav_kiv_lock_expired(i.timeout)) {
        *pruned = true;
        continue;
      }
      auto* e =
          static_cast<dav_kiv_indirect_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_indirect_entry)));
      e->locktoken = copy_token(pool, i.token);
      e->timeout = i.timeout;
      e->key.dsize = i.key_size;
      e->key.dptr = static_cast<char*>(apr_pmemdup(pool, i.key, i.key_size));
      e->next = *indirect;
      *indirect = e;
    }
  }
}

DirectFields fields_of(const dav_kiv_direct_entry* e) {
  DirectFields d;
  d.scope = e->scope;
  d.type = e->type;
  d.depth = e->depth;
  d.timeout = e->timeout;
  d.token = e->locktoken->uuid.data;
  d.owner = view_of(e->owner);
  d.auth_user = view_of(e->auth_user);
  return d;
}

IndirectFields fields_of(const dav_kiv_indirect_entry* e) {
  IndirectFields i;
  i.token = e->locktoken->uuid.data;
  i.timeout = e->timeout;
  i.key = reinterpret_cast<const std::uint8_t*>(e->key.dptr);
  i.key_size = e->key.dsize;
  return i;
}

// The record of the two lists (each in list order), from pool.
apr_datum_t encode_record(apr_pool_t* pool, const dav_kiv_direct_entry* direct,
                          const dav_kiv_indirect_entry* indirect) {
  std::size_t size = 0;
  for (const dav_kiv_direct_entry* e = direct; e != nullptr; e = e->next) {
    size += direct_entry_size(fields_of(e));
  }
  for (const dav_kiv_indirect_entry* e = indirect; e != nullptr; e = e->next) {
    size += indirect_entry_size(e->key.dsize);
  }
  auto* bytes = static_cast<std::uint8_t*>(apr_pcalloc(pool, size));
  RecordWriter writer(bytes, size);
  for (const dav_kiv_direct_entry* e = direct; e != nullptr; e = e->next) {
    writer.put_direct(fields_of(e));
  }
  for (const dav_kiv_indirect_entry* e = indirect; e != nullptr; e = e->next) {
    writer.put_indirect(fields_of(e));
  }
  apr_datum_t value;
  value.dptr = reinterpret_cast<char*>(bytes);
  value.dsize = writer.size();
  return value;
}

}  // namespace

dav_error* dav_kiv_lockdb_make(request_rec* r, const char* lockdb_path, int ro, int force,
                               dav_lockdb** lockdb) {
  auto* block = static_cast<LockDbBlock*>(apr_pcalloc(r->pool, sizeof(LockDbBlock)));
  block->pub.hooks = &dav_kiv_hooks_locks;
  block->pub.ro = ro;
  block->pub.info = &block->priv;
  block->priv.request = r;
  block->priv.pool = r->pool;
  block->priv.lockdb_path = lockdb_path;
  block->priv.root = ap_document_root(r);
  *lockdb = &block->pub;
  if (lockdb_path == nullptr) {
    // Without a lock database nothing is locked: every read sees no locks, so the server keeps
    // serving; taking or saving a lock fails with the missing-directive error.
    block->priv.is_open = 1;
    return nullptr;
  }
  if (force) return dav_kiv_lockdb_ensure_open(&block->pub);
  return nullptr;
}

dav_error* dav_kiv_lockdb_ensure_open(dav_lockdb* lockdb) {
  dav_lockdb_private* info = lockdb->info;
  if (info->is_open) return nullptr;
  dav_error* err = dav_kiv_dbm_open_path(info->pool, info->lockdb_path, lockdb->ro, &info->db);
  if (err != nullptr) return lock_error(info->pool, LockError::kOpenLockDb, err);
  info->is_open = 1;
  return nullptr;
}

apr_datum_t dav_kiv_lock_name_key(apr_pool_t* pool, const char* path) {
  const std::string_view text(path);
  apr_datum_t key;
  key.dsize = name_key_size(text);
  key.dptr = static_cast<char*>(apr_palloc(pool, key.dsize));
  write_name_key(text, reinterpret_cast<std::uint8_t*>(key.dptr));
  return key;
}

apr_datum_t dav_kiv_lock_key(apr_pool_t* pool, const dav_resource* resource) {
  const char* path = dav_kiv_resource_pathname(resource);
  apr_finfo_t finfo;
  if (local_stat(pool, tree_root(resource), path, &finfo) == LocalFile::kFound) {
    apr_datum_t key;
    key.dsize = kIdentityKeySize;
    key.dptr = static_cast<char*>(apr_palloc(pool, key.dsize));
    // On a tree shared by several hosts, the tree id stands for the device number, which each
    // host numbers as it likes; the inode number is the same on every host.
    write_identity_key(static_cast<std::uint64_t>(finfo.inode),
                       identity_device(static_cast<std::uint64_t>(finfo.device)),
                       reinterpret_cast<std::uint8_t*>(key.dptr));
    return key;
  }
  return dav_kiv_lock_name_key(pool, path);
}

int dav_kiv_lock_expired(apr_int64_t timeout) {
  return lock_expired_at(timeout, apr_time_sec(apr_time_now())) ? 1 : 0;
}

dav_lock* dav_kiv_lock_alloc(dav_lockdb* lockdb, apr_datum_t key, const dav_locktoken* token) {
  auto* block = static_cast<LockBlock*>(apr_pcalloc(lockdb->info->pool, sizeof(LockBlock)));
  block->pub.rectype = DAV_LOCKREC_DIRECT;
  block->pub.info = &block->priv;
  block->priv.key = key;
  if (token == nullptr) {
    apr_uuid_get(&block->token.uuid);
    token = &block->token;
  }
  block->pub.locktoken = token;
  return &block->pub;
}

dav_error* dav_kiv_lockrec_load(dav_lockdb* lockdb, apr_datum_t key, dav_kiv_direct_entry** direct,
                                dav_kiv_indirect_entry** indirect) {
  *direct = nullptr;
  *indirect = nullptr;
  if (dav_error* err = dav_kiv_lockdb_ensure_open(lockdb)) return err;
  dav_lockdb_private* info = lockdb->info;
  if (info->db == nullptr) return nullptr;

  apr_datum_t fetched = {nullptr, 0};
  if (dav_error* err = dav_kiv_dbm_fetch(info->db, key, &fetched)) return err;
  bool pruned = false;
  {
    const FetchedValue value(info->db, fetched);
    if (value.size() == 0) return nullptr;
    if (dav_error* err = decode_record(info->pool, info->root, key, value, !lockdb->ro, direct,
                                       indirect, &pruned)) {
      return err;
    }
  }
  if (pruned && !lockdb->ro) return dav_kiv_lockrec_save(lockdb, key, *direct, *indirect);
  return nullptr;
}

dav_error* dav_kiv_lockrec_save(dav_lockdb* lockdb, apr_datum_t key,
                                const dav_kiv_direct_entry* direct,
                                const dav_kiv_indirect_entry* indirect) {
  dav_lockdb_private* info = lockdb->info;
  if (info->lockdb_path == nullptr) return lock_error(info->pool, LockError::kNoLockDb);
  if (lockdb->ro) return lock_error(info->pool, LockError::kReadOnlySave);
  if (dav_error* err = dav_kiv_lockdb_ensure_open(lockdb)) return err;
  if (info->db == nullptr) return lock_error(info->pool, LockError::kOpenLockDb);

  if (direct == nullptr && indirect == nullptr) {
    // A missing key is no failure: the record is gone either way. One that is not there is not
    // deleted, so that a request that removes no lock (a MOVE that fails) writes nothing.
    if (dav_kiv_dbm_exists(info->db, key)) (void)dav_kiv_dbm_delete(info->db, key);
    return nullptr;
  }
  if (dav_error* err =
          dav_kiv_dbm_store(info->db, key, encode_record(info->pool, direct, indirect))) {
    return lock_error(info->pool, LockError::kSaveLock, err);
  }
  return nullptr;
}

dav_error* open_lockdb(request_rec* r, int ro, int force, dav_lockdb** lockdb) {
  return dav_kiv_lockdb_make(r, dav_kiv_lockdb_path(r), ro, force, lockdb);
}

void close_lockdb(dav_lockdb* lockdb) {
  // Forgetting the closed database keeps a second close (or a late use, which reopens the file)
  // from touching a released DBM handle.
  dav_lockdb_private* info = lockdb->info;
  if (info->db != nullptr) dav_kiv_dbm_close(info->db);
  info->db = nullptr;
  info->is_open = 0;
}

}  // namespace kiv::locks
