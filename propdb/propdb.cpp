// The property operations of the property database: a resource's dead properties in its DBM file,
// read for PROPFIND and written for PROPPATCH, with rollback records so that mod_dav can undo a
// PROPPATCH that fails halfway. The byte format is prop_format's; the namespace table is
// namespace_table.cpp's; the file and its locking are the DBM layer's.
#include <cstring>

#include "dbm/state_dir.h"
#include "propdb/propdb_internal.h"

namespace kiv::propdb {

namespace {

// Turns the listing cursor into a property name, or the null name at the end of the listing.
// The name points into the cursor key and the table; it lasts until the next listing step.
dav_error* cursor_to_name(dav_db* db, dav_prop_name* pname) {
  if (db->cursor.dptr == nullptr) {
    pname->ns = nullptr;
    pname->name = nullptr;
    return nullptr;
  }
  PropertyKey key;
  const FormatStatus status =
      parse_key(db->cursor.dptr, db->cursor.dsize, db->namespace_count, &key);
  if (!status.is_ok()) return format_error(db->pool, status);
  if (key.ns_index == kNoNamespace) {
    pname->ns = "";
  } else {
    pname->ns = namespace_at(db->namespace_table.buf, db->namespace_table.cur_len, key.ns_index);
  }
  pname->name = key.name;
  return nullptr;
}

bool is_metadata_key(const apr_datum_t& key) {
  return key.dptr != nullptr && key.dsize > 0 && key.dptr[0] == 'M';
}

// Steps the cursor to the next key that is not metadata and names it.
dav_error* advance(dav_db* db, dav_prop_name* pname) {
  do {
    if (db->cursor.dptr != nullptr) dav_kiv_dbm_free_datum(db->file, db->cursor);
    if (dav_error* err = dav_kiv_dbm_next_key(db->file, &db->cursor)) return err;
  } while (is_metadata_key(db->cursor));
  return cursor_to_name(db, pname);
}

// A copy of bytes in pool.
apr_datum_t copy_datum(apr_pool_t* pool, apr_datum_t bytes) {
  return datum(static_cast<char*>(apr_pmemdup(pool, bytes.dptr, bytes.dsize)), bytes.dsize);
}

}  // namespace

dav_error* open_propdb(apr_pool_t* pool, const dav_resource* resource, int ro, dav_db** pdb) {
  DbmFile* file = nullptr;
  if (dav_error* err = dav_kiv_dbm_open_resource(pool, resource, ro, &file)) return err;
  if (file == nullptr) return nullptr;
  auto* db = static_cast<dav_db*>(apr_pcalloc(pool, sizeof(dav_db)));
  db->pool = pool;
  db->file = file;
  if (dav_error* err = load_metadata(db)) {
    dav_kiv_dbm_close(file);
    return err;
  }
  *pdb = db;
  return nullptr;
}

void close_propdb(dav_db* db) {
  // An error here cannot be reported: the close slot has no room for one.
  if (db->namespace_table_changed) (void)write_metadata(db);
}

dav_error* define_namespaces(dav_db* db, dav_xmlns_info* xi) {
  // The empty namespace takes a position but gets no prefix.
  auto declare = [xi](int position, const char* uri, std::size_t length) {
    if (length == 0) return;
    dav_xmlns_add(xi, apr_psprintf(xi->pool, "ns%d", position),
                  apr_pstrmemdup(xi->pool, uri, length));
  };
  for_each_namespace(db->namespace_table.buf, db->namespace_table.cur_len, db->namespace_count,
                     declare);
  return nullptr;
}

dav_error* output_value(dav_db* db, const dav_prop_name* name, apr_text_header* phdr, int* found) {
  const apr_datum_t key = build_key(db, name);
  if (key.dptr == nullptr) return nullptr;
  apr_datum_t value = datum(nullptr, 0);
  if (dav_error* err = dav_kiv_dbm_fetch(db->file, key, &value)) return err;
  if (value.dptr == nullptr) return nullptr;
  const char* line = nullptr;
  const FormatStatus status =
      render_property(db->pool, key.dptr, key.dsize, value.dptr, value.dsize, &line);
  dav_kiv_dbm_free_datum(db->file, value);
  if (!status.is_ok()) return format_error(db->pool, status);
  apr_text_append(db->pool, phdr, line);
  *found = 1;
  return nullptr;
}

dav_error* store_property(dav_db* db, const dav_prop_name* name, const apr_xml_elem* elem,
                          dav_namespace_map* mapping) {
  const apr_datum_t key = build_key(db, name);
  if (mapping == nullptr || key.dptr == nullptr) {
    return unmapped_namespace_error(db->pool);
  }
  // The host hands the element as const but expects the provider to escape it in place.
  auto* element = const_cast<apr_xml_elem*>(elem);
  apr_xml_quote_elem(db->pool, element);
  const char* text = nullptr;
  apr_size_t size = 0;
  apr_xml_to_text(db->pool, element, APR_XML_X2T_LANG_INNER, nullptr, mapping->indexes, &text,
                  &size);
  return dav_kiv_dbm_store(db->file, key, datum(text, size));
}

dav_error* remove_property(dav_db* db, const dav_prop_name* name) {
  const apr_datum_t key = build_key(db, name);
  if (key.dptr == nullptr) return nullptr;
  return dav_kiv_dbm_delete(db->file, key);
}

int property_exists(dav_db* db, const dav_prop_name* name) {
  const apr_datum_t key = build_key(db, name);
  if (key.dptr == nullptr) return 0;
  return dav_kiv_dbm_exists(db->file, key);
}

dav_error* first_name(dav_db* db, dav_prop_name* pname) {
  if (db->cursor.dptr != nullptr) dav_kiv_dbm_free_datum(db->file, db->cursor);
  db->cursor = datum(nullptr, 0);
  if (dav_error* err = dav_kiv_dbm_first_key(db->file, &db->cursor)) return err;
  if (is_metadata_key(db->cursor)) return advance(db, pname);
  return cursor_to_name(db, pname);
}

dav_error* next_name(dav_db* db, dav_prop_name* pname) {
  return advance(db, pname);
}

dav_error* get_rollback(dav_db* db, const dav_prop_name* name, dav_deadprop_rollback** prollback) {
  auto* rollback =
      static_cast<dav_deadprop_rollback*>(apr_pcalloc(db->pool, sizeof(dav_deadprop_rollback)));
  const apr_datum_t key = build_key(db, name);
  if (key.dptr != nullptr) {
    rollback->key = copy_datum(db->pool, key);
    apr_datum_t value = datum(nullptr, 0);
    if (dav_error* err = dav_kiv_dbm_fetch(db->file, rollback->key, &value)) return err;
    if (value.dptr != nullptr) {
      rollback->value = copy_datum(db->pool, value);
      dav_kiv_dbm_free_datum(db->file, value);
    }
  }
  *prollback = rollback;
  return nullptr;
}

dav_error* apply_rollback(dav_db* db, dav_deadprop_rollback* rollback) {
  if (rollback == nullptr || rollback->key.dptr == nullptr) return nullptr;
  if (rollback->value.dptr == nullptr) {
    // Gone either way: a property that did not exist before may or may not exist now.
    (void)dav_kiv_dbm_delete(db->file, rollback->key);
    return nullptr;
  }
  return dav_kiv_dbm_store(db->file, rollback->key, rollback->value);
}

}  // namespace kiv::propdb
