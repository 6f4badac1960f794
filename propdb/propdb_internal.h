// What crosses the files of the dead-property store: the property database record, the namespace
// table kept in it, and the hook functions that the hook table's adapters call.
//
// A dav_db belongs to one request and is used by one thread at a time. Every allocation comes
// from the database's pool (the pool of its open) unless a function names another. The functions
// may throw std::bad_alloc; the adapters of propdb_hooks.cpp catch everything.
#ifndef KIV_PROPDB_PROPDB_INTERNAL_H_
#define KIV_PROPDB_PROPDB_INTERNAL_H_

#include <cstddef>

#include "common/host.h"
#include "dbm/dbm.h"
#include "propdb/prop_format.h"

// An open property database, allocated zero-filled from the pool of its open.
struct dav_db {
  apr_pool_t* pool;    // the pool of the open; values, keys and errors built from it live here
  kiv::DbmFile* file;  // the open DBM file

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
};

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

namespace kiv::propdb {

inline apr_datum_t datum(const char* bytes, apr_size_t size) {
  apr_datum_t d;
  d.dptr = const_cast<char*>(bytes);
  d.dsize = size;
  return d;
}

// ---- Failures (propdb_errors.cpp) ----

// The error record the client sees for a format failure (null for kOk), from pool.
dav_error* format_error(apr_pool_t* pool, const FormatStatus& status);

// The error record of a store whose namespace the request's map does not hold, from pool.
dav_error* unmapped_namespace_error(apr_pool_t* pool);

// ---- The namespace table (namespace_table.cpp) ----

// Loads the metadata record into db, or starts a new table when there is none. On failure the
// caller closes the database.
dav_error* load_metadata(dav_db* db);

// Writes the metadata record from the in-memory table.
dav_error* write_metadata(dav_db* db);

// Builds the key of a property in db->key_buffer. The key stays valid until the next build on
// the same database. A property whose namespace the table does not hold has no key (null
// pointer, size 0): it cannot be stored here.
apr_datum_t build_key(dav_db* db, const dav_prop_name* name);

// Fills the map_namespaces slot; see propdb_hooks.cpp.
dav_error* map_namespaces(dav_db* db, const apr_array_header_t* namespaces,
                          dav_namespace_map** mapping);

// ---- The property hooks (propdb.cpp); each fills the slot its adapter names ----

dav_error* open_propdb(apr_pool_t* pool, const dav_resource* resource, int ro, dav_db** pdb);
void close_propdb(dav_db* db);
dav_error* define_namespaces(dav_db* db, dav_xmlns_info* xi);
dav_error* output_value(dav_db* db, const dav_prop_name* name, apr_text_header* phdr, int* found);
dav_error* store_property(dav_db* db, const dav_prop_name* name, const apr_xml_elem* elem,
                          dav_namespace_map* mapping);
dav_error* remove_property(dav_db* db, const dav_prop_name* name);
int property_exists(dav_db* db, const dav_prop_name* name);
dav_error* first_name(dav_db* db, dav_prop_name* pname);
dav_error* next_name(dav_db* db, dav_prop_name* pname);
dav_error* get_rollback(dav_db* db, const dav_prop_name* name, dav_deadprop_rollback** prollback);
dav_error* apply_rollback(dav_db* db, dav_deadprop_rollback* rollback);

}  // namespace kiv::propdb

#endif  // KIV_PROPDB_PROPDB_INTERNAL_H_
