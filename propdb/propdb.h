// What the dead-property store offers the rest of the module: the state directory layout, the DBM
// access layer that every DBM file of the module goes through (property databases and the lock
// database), and the property database record.
#ifndef KIV_PROPDB_PROPDB_H_
#define KIV_PROPDB_PROPDB_H_

#include <apr_dbm.h>
#include <apr_hash.h>
#include <apr_pools.h>
#include "module/dav_host.h"

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

  // Advisory lock on the database, held from open to close: shared for a read-only open,
  // exclusive for a read-write open; -1 when none is held.
  int lock_fd;
};

// The bare file names that the DBM type uses for a database named fname (".state_for_dir" when
// fname is null). *second is null when the type keeps one file. Results from p.
void dav_dbm_get_statefiles(apr_pool_t* p, const char* fname, const char** first,
                            const char** second);

// Tries to create dirpath + "/.DAV"; every outcome is ignored.
void dav_kiv_make_state_dir(apr_pool_t* p, const char* dirpath);

// Opens the DBM file at path. A read-only open that fails is not an error: *pdb stays null.
dav_error* dav_kiv_dbm_open_path(apr_pool_t* p, const char* path, int ro, dav_db** pdb);

// Opens the property database of a resource (creating its state directory for a writable open).
dav_error* dav_kiv_dbm_open_resource(apr_pool_t* p, const dav_resource* resource, int ro,
                                     dav_db** pdb);

void dav_kiv_dbm_close(dav_db* db);
dav_error* dav_kiv_dbm_fetch(dav_db* db, apr_datum_t key, apr_datum_t* pvalue);
dav_error* dav_kiv_dbm_store(dav_db* db, apr_datum_t key, apr_datum_t value);
dav_error* dav_kiv_dbm_delete(dav_db* db, apr_datum_t key);
int dav_kiv_dbm_exists(dav_db* db, apr_datum_t key);
void dav_kiv_dbm_free_datum(dav_db* db, apr_datum_t data);
dav_error* dav_kiv_dbm_first_key(dav_db* db, apr_datum_t* pkey);
dav_error* dav_kiv_dbm_next_key(dav_db* db, apr_datum_t* pkey);

// Turns a DBM status into an error (null for success). Without db the open itself failed.
dav_error* dav_kiv_dbm_error(dav_db* db, apr_pool_t* p, apr_status_t status);

}  // extern "C"

#endif  // KIV_PROPDB_PROPDB_H_
