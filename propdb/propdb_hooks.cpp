// The provider's property database hook table: one-line adapters that keep exceptions out of the
// server and hand each call to the C++ function that does the work (propdb.cpp,
// namespace_table.cpp).
#include "common/guard.h"
#include "propdb/propdb.h"
#include "propdb/propdb_internal.h"

namespace propdb = kiv::propdb;

extern "C" {

namespace {

// Fills the open slot. Opens the resource's property database (read-only or writable as asked)
// and loads its namespace table. *pdb is null when there is no database to read. The record,
// and every error, come from pool. A database of another version or layout, or a damaged one, is
// closed untouched and refused.
dav_error* dav_kiv_propdb_open(apr_pool_t* pool, const dav_resource* resource, int ro,
                               dav_db** pdb) noexcept {
  *pdb = nullptr;
  return kiv::guarded(pool, [&] { return propdb::open_propdb(pool, resource, ro, pdb); });
}

// Fills the close slot. Writes the namespace table if it still has unwritten changes (an error
// there cannot be reported), then closes the database and gives up its lock.
void dav_kiv_propdb_close(dav_db* db) noexcept {
  if (db == nullptr) return;
  kiv::guarded_void([&] { propdb::close_propdb(db); });
  kiv::dav_kiv_dbm_close(db->file);
}

// Fills the define_namespaces slot: declares the prefix ns<position> for every non-empty URI of
// the table. Prefixes and URIs are copied into the collector's pool.
dav_error* dav_kiv_propdb_define_namespaces(dav_db* db, dav_xmlns_info* xi) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::define_namespaces(db, xi); });
}

// Fills the output_value slot: appends the property's XML line (allocated from the database's
// pool) to phdr and sets *found, or sets *found to 0 when the property is not stored.
dav_error* dav_kiv_propdb_output_value(dav_db* db, const dav_prop_name* name,
                                       dav_xmlns_info* /*xi*/, apr_text_header* phdr,
                                       int* found) noexcept {
  *found = 0;
  return kiv::guarded(db->pool, [&] { return propdb::output_value(db, name, phdr, found); });
}

// Fills the map_namespaces slot: gives every namespace of the request document its table
// position, appending the URIs the table does not hold yet. The new table is written at once.
// When the table would outgrow its 16-bit count, or cannot be written, nothing changes and
// *mapping stays null. The map comes from the database's pool.
dav_error* dav_kiv_propdb_map_namespaces(dav_db* db, const apr_array_header_t* namespaces,
                                         dav_namespace_map** mapping) noexcept {
  *mapping = nullptr;
  return kiv::guarded(db->pool, [&] { return propdb::map_namespaces(db, namespaces, mapping); });
}

// Fills the store slot: XML-escapes the element in place (its text stays escaped for the rest of
// the request) and stores its language and inner XML under the property's key, with child
// element prefixes taken from the map.
dav_error* dav_kiv_propdb_store(dav_db* db, const dav_prop_name* name, const apr_xml_elem* elem,
                                dav_namespace_map* mapping) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::store_property(db, name, elem, mapping); });
}

// Fills the remove slot: deletes the property's record. Deleting a property that is not stored
// is what the DBM library says it is; one whose namespace the table lacks is not stored.
dav_error* dav_kiv_propdb_remove(dav_db* db, const dav_prop_name* name) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::remove_property(db, name); });
}

// Fills the exists slot.
int dav_kiv_propdb_exists(dav_db* db, const dav_prop_name* name) noexcept {
  return kiv::guarded_value(0, [&] { return propdb::property_exists(db, name); });
}

// Fills the first_name slot: starts a listing of the stored properties (the metadata record is
// not one). *pname points into the database's buffers until the next listing step.
dav_error* dav_kiv_propdb_first_name(dav_db* db, dav_prop_name* pname) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::first_name(db, pname); });
}

// Fills the next_name slot; a null name ends the listing.
dav_error* dav_kiv_propdb_next_name(dav_db* db, dav_prop_name* pname) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::next_name(db, pname); });
}

// Fills the get_rollback slot: records the property's key and current value (none when it is
// not stored), copied into the database's pool.
dav_error* dav_kiv_propdb_get_rollback(dav_db* db, const dav_prop_name* name,
                                       dav_deadprop_rollback** prollback) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::get_rollback(db, name, prollback); });
}

// Fills the apply_rollback slot: puts back the recorded value, or deletes a property that did
// not exist before (succeeding whether or not it is there now).
dav_error* dav_kiv_propdb_apply_rollback(dav_db* db, dav_deadprop_rollback* rollback) noexcept {
  return kiv::guarded(db->pool, [&] { return propdb::apply_rollback(db, rollback); });
}

}  // namespace

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
    nullptr,  // ctx: the hooks need no context of their own
};

}  // extern "C"
