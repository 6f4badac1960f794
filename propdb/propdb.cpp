// The property database hooks: a resource's dead properties in its DBM file, read for PROPFIND
// and written for PROPPATCH, with rollback records so that mod_dav can undo a PROPPATCH that fails
// halfway. The byte format is prop_format's; the file and its locking are the DBM layer's.
//
// A dav_db belongs to one request and is used by one thread at a time.
#include "common/host.h"
// The host's headers come first: dav_host.h renames a member of mod_dav.h.

#include <apr_hash.h>
#include <apr_strings.h>
#include <apr_xml.h>

#include <cstdint>
#include <cstring>

#include "common/guard.h"
#include "module/kiv_module.h"
#include "propdb/prop_format.h"
#include "propdb/propdb.h"

namespace {

namespace format = kiv::propdb;

// The one place where a format failure becomes the error the client sees.
dav_error* format_error(apr_pool_t* pool, const format::FormatStatus& status) {
  switch (status.code()) {
    case format::FormatStatus::Code::kOk:
      return nullptr;
    case format::FormatStatus::Code::kWrongVersion:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, DAV_ERR_PROP_BAD_MAJOR, 0,
                           "Prop database has the wrong major version number and cannot be "
                           "used.");
    case format::FormatStatus::Code::kDamaged:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, DAV_ERR_PROP_BAD_MAJOR, 0,
                           apr_pstrcat(pool, "Prop database is damaged and cannot be used: ",
                                       status.what(), ".", nullptr));
    case format::FormatStatus::Code::kTooManyNamespaces:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                           "Prop database cannot hold more namespaces: its table is limited to "
                           "32767 namespace URIs.");
  }
  return nullptr;
}

apr_datum_t datum(const char* bytes, apr_size_t size) {
  apr_datum_t d;
  d.dptr = const_cast<char*>(bytes);
  d.dsize = size;
  return d;
}

apr_datum_t metadata_key() {
  return datum(format::kMetadataKey, format::kMetadataKeySize);
}

void* position_value(int position) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(position) + 1);
}

// The table position of uri, or -1 when the table does not hold it.
int lookup_namespace(const dav_db* db, const char* uri, apr_ssize_t length) {
  const void* found = apr_hash_get(db->namespace_index, uri, length);
  return found == nullptr ? -1 : static_cast<int>(reinterpret_cast<std::intptr_t>(found) - 1);
}

// Builds the key of a property in db->key_buffer. The key stays valid until the next build on
// the same database. A property whose namespace the table does not hold has no key (null
// pointer, size 0): it cannot be stored here.
apr_datum_t build_key(dav_db* db, const dav_prop_name* name) {
  int ns_index = format::kNoNamespace;
  if (name->ns != nullptr && *name->ns != '\0') {
    ns_index = lookup_namespace(db, name->ns, APR_HASH_KEY_STRING);
    if (ns_index < 0) return datum(nullptr, 0);
  }
  const std::size_t name_length = std::strlen(name->name);
  const std::size_t size = format::key_size(ns_index, name_length);
  dav_set_bufsize(db->pool, &db->key_buffer, size);
  format::write_key(ns_index, name->name, name_length, db->key_buffer.buf);
  return datum(db->key_buffer.buf, size);
}

// Writes the metadata record from the in-memory table.
dav_error* write_metadata(dav_db* db) {
  format::write_metadata_header(static_cast<unsigned>(db->minor_version), db->namespace_count,
                                db->namespace_table.buf);
  return dav_kiv_dbm_store(db, metadata_key(),
                           datum(db->namespace_table.buf, db->namespace_table.cur_len));
}

// Loads the metadata record into db, or starts a new table when there is none. On failure the
// caller closes the database.
dav_error* load_metadata(dav_db* db) {
  db->namespace_index = apr_hash_make(db->pool);
  apr_datum_t value = datum(nullptr, 0);
  if (dav_error* err = dav_kiv_dbm_fetch(db, metadata_key(), &value)) return err;

  if (value.dptr == nullptr) {
    if (dav_kiv_dbm_exists(db, datum(format::kOldLayoutKey, format::kOldLayoutKeySize))) {
      return format_error(db->pool, format::FormatStatus::wrong_version());
    }
    dav_set_bufsize(db->pool, &db->namespace_table, format::kHeaderSize);
    format::write_metadata_header(0, 0, db->namespace_table.buf);
    return nullptr;
  }

  format::MetadataHeader header;
  const format::FormatStatus status = format::parse_metadata(value.dptr, value.dsize, &header);
  if (!status.is_ok()) {
    dav_kiv_dbm_free_datum(db, value);
    return format_error(db->pool, status);
  }
  dav_set_bufsize(db->pool, &db->namespace_table, value.dsize);
  std::memcpy(db->namespace_table.buf, value.dptr, value.dsize);
  dav_kiv_dbm_free_datum(db, value);
  db->minor_version = static_cast<int>(header.minor);
  db->namespace_count = static_cast<short>(header.namespace_count);

  // A URI that occurs twice keeps its last position.
  format::for_each_namespace(
      db->namespace_table.buf, db->namespace_table.cur_len, db->namespace_count,
      [db](int position, const char* uri, std::size_t length) {
        apr_hash_set(db->namespace_index, apr_pstrmemdup(db->pool, uri, length),
                     static_cast<apr_ssize_t>(length), position_value(position));
      });
  return nullptr;
}

// Turns the listing cursor into a property name, or the null name at the end of the listing.
// The name points into the cursor key and the table; it lasts until the next listing step.
dav_error* cursor_to_name(dav_db* db, dav_prop_name* pname) {
  if (db->cursor.dptr == nullptr) {
    pname->ns = nullptr;
    pname->name = nullptr;
    return nullptr;
  }
  format::PropertyKey key;
  const format::FormatStatus status =
      format::parse_key(db->cursor.dptr, db->cursor.dsize, db->namespace_count, &key);
  if (!status.is_ok()) return format_error(db->pool, status);
  if (key.ns_index == format::kNoNamespace) {
    pname->ns = "";
  } else {
    pname->ns =
        format::namespace_at(db->namespace_table.buf, db->namespace_table.cur_len, key.ns_index);
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
    if (db->cursor.dptr != nullptr) dav_kiv_dbm_free_datum(db, db->cursor);
    if (dav_error* err = dav_kiv_dbm_next_key(db, &db->cursor)) return err;
  } while (is_metadata_key(db->cursor));
  return cursor_to_name(db, pname);
}

}  // namespace

extern "C" {

// Fills the open slot. Opens the resource's property database (read-only or writable as asked)
// and loads its namespace table. *pdb is null when there is no database to read. The record,
// and every error, come from pool. A database of another version or layout, or a damaged one, is
// closed untouched and refused.
static dav_error* dav_kiv_propdb_open(apr_pool_t* pool, const dav_resource* resource, int ro,
                                      dav_db** pdb) {
  *pdb = nullptr;
  return kiv::guarded(pool, [&]() -> dav_error* {
    dav_db* db = nullptr;
    if (dav_error* err = dav_kiv_dbm_open_resource(pool, resource, ro, &db)) return err;
    if (db == nullptr) return nullptr;
    if (dav_error* err = load_metadata(db)) {
      dav_kiv_dbm_close(db);
      return err;
    }
    *pdb = db;
    return nullptr;
  });
}

// Fills the close slot. Writes the namespace table if it still has unwritten changes (an error
// there cannot be reported), then closes the database and gives up its lock.
static void dav_kiv_propdb_close(dav_db* db) {
  if (db == nullptr) return;
  kiv::guarded_void([&] {
    if (db->namespace_table_changed) (void)write_metadata(db);
  });
  dav_kiv_dbm_close(db);
}

// Fills the define_namespaces slot: declares the prefix ns<position> for every non-empty URI of
// the table. Prefixes and URIs are copied into the collector's pool.
static dav_error* dav_kiv_propdb_define_namespaces(dav_db* db, dav_xmlns_info* xi) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    // The empty namespace takes a position but gets no prefix.
    auto declare = [xi](int position, const char* uri, std::size_t length) {
      if (length == 0) return;
      dav_xmlns_add(xi, apr_psprintf(xi->pool, "ns%d", position),
                    apr_pstrmemdup(xi->pool, uri, length));
    };
    format::for_each_namespace(db->namespace_table.buf, db->namespace_table.cur_len,
                               db->namespace_count, declare);
    return nullptr;
  });
}

// Fills the output_value slot: appends the property's XML line (allocated from the database's
// pool) to phdr and sets *found, or sets *found to 0 when the property is not stored.
static dav_error* dav_kiv_propdb_output_value(dav_db* db, const dav_prop_name* name,
                                              dav_xmlns_info* /*xi*/, apr_text_header* phdr,
                                              int* found) {
  *found = 0;
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    const apr_datum_t key = build_key(db, name);
    if (key.dptr == nullptr) return nullptr;
    apr_datum_t value = datum(nullptr, 0);
    if (dav_error* err = dav_kiv_dbm_fetch(db, key, &value)) return err;
    if (value.dptr == nullptr) return nullptr;
    const char* line = nullptr;
    const format::FormatStatus status =
        format::render_property(db->pool, key.dptr, key.dsize, value.dptr, value.dsize, &line);
    dav_kiv_dbm_free_datum(db, value);
    if (!status.is_ok()) return format_error(db->pool, status);
    apr_text_append(db->pool, phdr, line);
    *found = 1;
    return nullptr;
  });
}

// Fills the map_namespaces slot: gives every namespace of the request document its table
// position, appending the URIs the table does not hold yet. The new table is written at once, so
// that no property is ever stored under a position the file does not record. When the table
// would outgrow its 16-bit count, or cannot be written, nothing changes and *mapping stays null.
// The map comes from the database's pool.
static dav_error* dav_kiv_propdb_map_namespaces(dav_db* db, const apr_array_header_t* namespaces,
                                                dav_namespace_map** mapping) {
  *mapping = nullptr;
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    const int count = namespaces != nullptr ? namespaces->nelts : 0;
    const auto* uris = count > 0 ? reinterpret_cast<const char* const*>(namespaces->elts) : nullptr;
    // The same request document maps the same way while the table is unchanged; mapping it anew
    // for each of its properties would cost time and memory that grow with the square of its
    // namespaces.
    if ((db->mapped != nullptr || db->mapped_error != nullptr) &&
        db->mapped_namespaces == namespaces && db->mapped_nelts == count &&
        db->mapped_table_count == db->namespace_count) {
      *mapping = db->mapped;
      return db->mapped_error;
    }
    db->mapped = nullptr;
    db->mapped_error = nullptr;

    // Count the URIs to append first, so that a table that would overflow stays as it is.
    apr_hash_t* fresh = apr_hash_make(db->pool);
    for (int i = 0; i < count; ++i) {
      if (lookup_namespace(db, uris[i], APR_HASH_KEY_STRING) < 0) {
        apr_hash_set(fresh, uris[i], APR_HASH_KEY_STRING, uris[i]);
      }
    }
    const format::FormatStatus room =
        format::check_namespace_room(db->namespace_count, apr_hash_count(fresh));
    if (!room.is_ok()) {
      db->mapped_namespaces = namespaces;
      db->mapped_nelts = count;
      db->mapped_table_count = db->namespace_count;
      db->mapped_error = format_error(db->pool, room);
      return db->mapped_error;
    }

    auto* map = static_cast<dav_namespace_map*>(apr_pcalloc(db->pool, sizeof(dav_namespace_map)));
    map->count = count;
    map->indexes =
        static_cast<int*>(apr_pcalloc(db->pool, sizeof(int) * static_cast<std::size_t>(count)));
    const apr_size_t old_length = db->namespace_table.cur_len;
    const short old_count = db->namespace_count;
    for (int i = 0; i < count; ++i) {
      const int found = lookup_namespace(db, uris[i], APR_HASH_KEY_STRING);
      if (found >= 0) {
        map->indexes[i] = found;
        continue;
      }
      const std::size_t length = std::strlen(uris[i]);
      dav_check_bufsize(db->pool, &db->namespace_table, length + 1);
      std::memcpy(db->namespace_table.buf + db->namespace_table.cur_len, uris[i], length + 1);
      db->namespace_table.cur_len += length + 1;
      apr_hash_set(db->namespace_index, apr_pstrmemdup(db->pool, uris[i], length),
                   static_cast<apr_ssize_t>(length), position_value(db->namespace_count));
      map->indexes[i] = db->namespace_count;
      ++db->namespace_count;
      db->namespace_table_changed = 1;
    }

    if (db->namespace_count != old_count) {
      if (dav_error* err = write_metadata(db)) {
        // Forget the appended URIs: the file does not hold them.
        for (int i = 0; i < count; ++i) {
          const int position = lookup_namespace(db, uris[i], APR_HASH_KEY_STRING);
          if (position >= old_count) {
            apr_hash_set(db->namespace_index, uris[i], APR_HASH_KEY_STRING, nullptr);
          }
        }
        db->namespace_table.cur_len = old_length;
        db->namespace_count = old_count;
        db->namespace_table_changed = 0;
        format::write_metadata_header(static_cast<unsigned>(db->minor_version), old_count,
                                      db->namespace_table.buf);
        return err;
      }
      db->namespace_table_changed = 0;
    }
    db->mapped_namespaces = namespaces;
    db->mapped_nelts = count;
    db->mapped_table_count = db->namespace_count;
    db->mapped = map;
    *mapping = map;
    return nullptr;
  });
}

// Fills the store slot: XML-escapes the element in place (its text stays escaped for the rest of
// the request) and stores its language and inner XML under the property's key, with child
// element prefixes taken from the map.
static dav_error* dav_kiv_propdb_store(dav_db* db, const dav_prop_name* name,
                                       const apr_xml_elem* elem, dav_namespace_map* mapping) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    const apr_datum_t key = build_key(db, name);
    if (mapping == nullptr || key.dptr == nullptr) {
      return dav_new_error(db->pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                           "The property's namespace was not mapped; it cannot be stored.");
    }
    // The host hands the element as const but expects the provider to escape it in place.
    auto* element = const_cast<apr_xml_elem*>(elem);
    apr_xml_quote_elem(db->pool, element);
    const char* text = nullptr;
    apr_size_t size = 0;
    apr_xml_to_text(db->pool, element, APR_XML_X2T_LANG_INNER, nullptr, mapping->indexes, &text,
                    &size);
    return dav_kiv_dbm_store(db, key, datum(text, size));
  });
}

// Fills the remove slot: deletes the property's record. Deleting a property that is not stored
// is what the DBM library says it is; one whose namespace the table lacks is not stored.
static dav_error* dav_kiv_propdb_remove(dav_db* db, const dav_prop_name* name) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    const apr_datum_t key = build_key(db, name);
    if (key.dptr == nullptr) return nullptr;
    return dav_kiv_dbm_delete(db, key);
  });
}

// Fills the exists slot.
static int dav_kiv_propdb_exists(dav_db* db, const dav_prop_name* name) {
  return kiv::guarded_value(0, [&]() -> int {
    const apr_datum_t key = build_key(db, name);
    if (key.dptr == nullptr) return 0;
    return dav_kiv_dbm_exists(db, key);
  });
}

// Fills the first_name slot: starts a listing of the stored properties (the metadata record is
// not one). *pname points into the database's buffers until the next listing step.
static dav_error* dav_kiv_propdb_first_name(dav_db* db, dav_prop_name* pname) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    if (db->cursor.dptr != nullptr) dav_kiv_dbm_free_datum(db, db->cursor);
    db->cursor = datum(nullptr, 0);
    if (dav_error* err = dav_kiv_dbm_first_key(db, &db->cursor)) return err;
    if (is_metadata_key(db->cursor)) return advance(db, pname);
    return cursor_to_name(db, pname);
  });
}

// Fills the next_name slot; a null name ends the listing.
static dav_error* dav_kiv_propdb_next_name(dav_db* db, dav_prop_name* pname) {
  return kiv::guarded(db->pool, [&]() -> dav_error* { return advance(db, pname); });
}

// Fills the get_rollback slot: records the property's key and current value (none when it is
// not stored), copied into the database's pool.
static dav_error* dav_kiv_propdb_get_rollback(dav_db* db, const dav_prop_name* name,
                                              dav_deadprop_rollback** prollback) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    auto* rollback =
        static_cast<dav_deadprop_rollback*>(apr_pcalloc(db->pool, sizeof(dav_deadprop_rollback)));
    const apr_datum_t key = build_key(db, name);
    if (key.dptr != nullptr) {
      rollback->key =
          datum(static_cast<char*>(apr_pmemdup(db->pool, key.dptr, key.dsize)), key.dsize);
      apr_datum_t value = datum(nullptr, 0);
      if (dav_error* err = dav_kiv_dbm_fetch(db, rollback->key, &value)) return err;
      if (value.dptr != nullptr) {
        rollback->value =
            datum(static_cast<char*>(apr_pmemdup(db->pool, value.dptr, value.dsize)), value.dsize);
        dav_kiv_dbm_free_datum(db, value);
      }
    }
    *prollback = rollback;
    return nullptr;
  });
}

// Fills the apply_rollback slot: puts back the recorded value, or deletes a property that did
// not exist before (succeeding whether or not it is there now).
static dav_error* dav_kiv_propdb_apply_rollback(dav_db* db, dav_deadprop_rollback* rollback) {
  return kiv::guarded(db->pool, [&]() -> dav_error* {
    if (rollback == nullptr || rollback->key.dptr == nullptr) return nullptr;
    if (rollback->value.dptr == nullptr) {
      (void)dav_kiv_dbm_delete(db, rollback->key);
      return nullptr;
    }
    return dav_kiv_dbm_store(db, rollback->key, rollback->value);
  });
}

const dav_hooks_propdb dav_kiv_hooks_propdb = {
    dav_kiv_propdb_open,
    dav_kiv_propdb_close,
    dav_kiv_propdb_define_namespaces,
    dav_kiv_propdb_output_value,
    dav_kiv_propdb_map_namespaces,
    dav_kiv_propdb_store,
    dav_kiv_propdb_remove,
    dav_kiv_propdb_exists,
    dav_kiv_propdb_first_name,
    dav_kiv_propdb_next_name,
    dav_kiv_propdb_get_rollback,
    dav_kiv_propdb_apply_rollback,
    nullptr, /* ctx: the hooks need no context of their own */
};

}  // extern "C"
