// The error records of the dead-property store: every status, error id and message it reports of
// its own, for stored bytes and for properties it cannot store. The failures of the DBM files
// beneath it are the DBM layer's (dbm/dbm_errors.cpp).
#include "propdb/propdb_internal.h"

namespace kiv::propdb {

dav_error* format_error(apr_pool_t* pool, const FormatStatus& status) {
  switch (status.code()) {
    case FormatStatus::Code::kOk:
      return nullptr;
    case FormatStatus::Code::kWrongVersion:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, DAV_ERR_PROP_BAD_MAJOR, 0,
                           "Prop database has the wrong major version number and cannot be "
                           "used.");
    case FormatStatus::Code::kDamaged:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, DAV_ERR_PROP_BAD_MAJOR, 0,
                           apr_pstrcat(pool, "Prop database is damaged and cannot be used: ",
                                       status.what(), ".", nullptr));
    case FormatStatus::Code::kTooManyNamespaces:
      return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                           "Prop database cannot hold more namespaces: its table is limited to "
                           "32767 namespace URIs.");
  }
  return nullptr;
}

dav_error* unmapped_namespace_error(apr_pool_t* pool) {
  return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                       "The property's namespace was not mapped; it cannot be stored.");
}

}  // namespace kiv::propdb
