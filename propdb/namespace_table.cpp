// The namespace table of a property database: the metadata record that numbers every namespace
// URI a stored property uses, the keys built from those numbers, and the mapping of a request
// document's namespaces onto the table.
#include <cstdint>
#include <cstring>

#include "propdb/propdb_internal.h"

namespace kiv::propdb {

namespace {

apr_datum_t metadata_key() {
  return datum(kMetadataKey, kMetadataKeySize);
}

void* position_value(int position) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(position) + 1);
}

// The table position of uri, or -1 when the table does not hold it.
int lookup_namespace(const dav_db* db, const char* uri, apr_ssize_t length) {
  const void* found = apr_hash_get(db->namespace_index, uri, length);
  return found == nullptr ? -1 : static_cast<int>(reinterpret_cast<std::intptr_t>(found) - 1);
}

// Indexes every URI of the table that load_metadata read. A URI that occurs twice keeps its
// last position.
void index_namespaces(dav_db* db) {
  for_each_namespace(db->namespace_table.buf, db->namespace_table.cur_len, db->namespace_count,
                     [db](int position, const char* uri, std::size_t length) {
                       apr_hash_set(db->namespace_index, apr_pstrmemdup(db->pool, uri, length),
                                    static_cast<apr_ssize_t>(length), position_value(position));
                     });
}

// Keeps the answer map_namespaces gave for namespaces, as long as the table stays as it is now.
void remember_map(dav_db* db, const apr_array_header_t* namespaces, int count,
                  dav_namespace_map* map, dav_error* error) {
  db->mapped_namespaces = namespaces;
  db->mapped_nelts = count;
  db->mapped_table_count = db->namespace_count;
  db->mapped = map;
  db->mapped_error = error;
}

// True when the last answer was given for this same array while the table was as it is now.
bool remembered(const dav_db* db, const apr_array_header_t* namespaces, int count) {
  return (db->mapped != nullptr || db->mapped_error != nullptr) &&
         db->mapped_namespaces == namespaces && db->mapped_nelts == count &&
         db->mapped_table_count == db->namespace_count;
}

// How many different URIs of the request the table does not hold yet.
std::size_t count_new_uris(dav_db* db, const char* const* uris, int count) {
  apr_hash_t* fresh = apr_hash_make(db->pool);
  for (int i = 0; i < count; ++i) {
    if (lookup_namespace(db, uris[i], APR_HASH_KEY_STRING) < 0) {
      apr_hash_set(fresh, uris[i], APR_HASH_KEY_STRING, uris[i]);
    }
  }
  return apr_hash_count(fresh);
}

// The position of uri in the table, appending it (in memory) when the table lacks it.
int position_of(dav_db* db, const char* uri) {
  const int found = lookup_namespace(db, uri, APR_HASH_KEY_STRING);
  if (found >= 0) return found;
  const std::size_t length = std::strlen(uri);
  dav_check_bufsize(db->pool, &db->namespace_table, length + 1);
  std::memcpy(db->namespace_table.buf + db->namespace_table.cur_len, uri, length + 1);
  db->namespace_table.cur_len += length + 1;
  apr_hash_set(db->namespace_index, apr_pstrmemdup(db->pool, uri, length),
               static_cast<apr_ssize_t>(length), position_value(db->namespace_count));
  db->namespace_table_changed = 1;
  return db->namespace_count++;
}

// Takes the URIs appended since the table held old_count URIs in old_length bytes out again:
// the file does not hold them.
void forget_appended(dav_db* db, const char* const* uris, int count, apr_size_t old_length,
                     short old_count) {
  for (int i = 0; i < count; ++i) {
    if (lookup_namespace(db, uris[i], APR_HASH_KEY_STRING) >= old_count) {
      apr_hash_set(db->namespace_index, uris[i], APR_HASH_KEY_STRING, nullptr);
    }
  }
  db->namespace_table.cur_len = old_length;
  db->namespace_count = old_count;
  db->namespace_table_changed = 0;
  write_metadata_header(static_cast<unsigned>(db->minor_version), old_count,
                        db->namespace_table.buf);
}

}  // namespace

dav_error* write_metadata(dav_db* db) {
  write_metadata_header(static_cast<unsigned>(db->minor_version), db->namespace_count,
                        db->namespace_table.buf);
  return dav_kiv_dbm_store(db->file, metadata_key(),
                           datum(db->namespace_table.buf, db->namespace_table.cur_len));
}

dav_error* load_metadata(dav_db* db) {
  db->namespace_index = apr_hash_make(db->pool);
  apr_datum_t value = datum(nullptr, 0);
  if (dav_error* err = dav_kiv_dbm_fetch(db->file, metadata_key(), &value)) return err;

  if (value.dptr == nullptr) {
    if (dav_kiv_dbm_exists(db->file, datum(kOldLayoutKey, kOldLayoutKeySize))) {
      return format_error(db->pool, FormatStatus::wrong_version());
    }
    dav_set_bufsize(db->pool, &db->namespace_table, kHeaderSize);
    write_metadata_header(0, 0, db->namespace_table.buf);
    return nullptr;
  }

  MetadataHeader header;
  const FormatStatus status = parse_metadata(value.dptr, value.dsize, &header);
  if (!status.is_ok()) {
    dav_kiv_dbm_free_datum(db->file, value);
    return format_error(db->pool, status);
  }
  dav_set_bufsize(db->pool, &db->namespace_table, value.dsize);
  std::memcpy(db->namespace_table.buf, value.dptr, value.dsize);
  dav_kiv_dbm_free_datum(db->file, value);
  db->minor_version = static_cast<int>(header.minor);
  db->namespace_count = static_cast<short>(header.namespace_count);
  index_namespaces(db);
  return nullptr;
}

apr_datum_t build_key(dav_db* db, const dav_prop_name* name) {
  int ns_index = kNoNamespace;
  if (name->ns != nullptr && *name->ns != '\0') {
    ns_index = lookup_namespace(db, name->ns, APR_HASH_KEY_STRING);
    if (ns_index < 0) return datum(nullptr, 0);
  }
  const std::size_t name_length = std::strlen(name->name);
  const std::size_t size = key_size(ns_index, name_length);
  dav_set_bufsize(db->pool, &db->key_buffer, size);
  write_key(ns_index, name->name, name_length, db->key_buffer.buf);
  return datum(db->key_buffer.buf, size);
}

dav_error* map_namespaces(dav_db* db, const apr_array_header_t* namespaces,
                          dav_namespace_map** mapping) {
  const int count = namespaces != nullptr ? namespaces->nelts : 0;
  const auto* uris = count > 0 ? reinterpret_cast<const char* const*>(namespaces->elts) : nullptr;
  // The same request document maps the same way while the table is unchanged; mapping it anew
  // for each of its properties would cost time and memory that grow with the square of its
  // namespaces.
  if (remembered(db, namespaces, count)) {
    *mapping = db->mapped;
    return db->mapped_error;
  }
  db->mapped = nullptr;
  db->mapped_error = nullptr;
  // Count the URIs to append first, so that a table that would overflow stays as it is.
  const FormatStatus room =
      check_namespace_room(db->namespace_count, count_new_uris(db, uris, count));
  if (!room.is_ok()) {
    remember_map(db, namespaces, count, nullptr, format_error(db->pool, room));
    return db->mapped_error;
  }

  auto* map = static_cast<dav_namespace_map*>(apr_pcalloc(db->pool, sizeof(dav_namespace_map)));
  map->count = count;
  map->indexes =
      static_cast<int*>(apr_pcalloc(db->pool, sizeof(int) * static_cast<std::size_t>(count)));
  const apr_size_t old_length = db->namespace_table.cur_len;
  const short old_count = db->namespace_count;
  for (int i = 0; i < count; ++i) map->indexes[i] = position_of(db, uris[i]);
  // The new table is written at once, so that no property is ever stored under a position the
  // file does not record.
  if (db->namespace_count != old_count) {
    if (dav_error* err = write_metadata(db)) {
      forget_appended(db, uris, count, old_length, old_count);
      return err;
    }
    db->namespace_table_changed = 0;
  }
  remember_map(db, namespaces, count, map, nullptr);
  *mapping = map;
  return nullptr;
}

}  // namespace kiv::propdb
