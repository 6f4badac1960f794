// The error records of the DBM layer, for the property and the lock databases alike: every
// status, error id and message it reports, in one place.
#include <cerrno>
#include <cstring>
#include <iterator>

#include "dbm/dbm_internal.h"
#include "provider/local_files.h"

namespace kiv {

namespace {

constexpr apr_size_t kErrorTextSize = 200;

struct ErrorEntry {
  DbmError which;
  int status;
  const char* text;  // followed by the detail, when there is one
};

// In the order of DbmError.
constexpr ErrorEntry kErrors[] = {
    {DbmError::kBusy, HTTP_INTERNAL_SERVER_ERROR,
     "The database is busy: timed out waiting for other requests to finish with it."},
    {DbmError::kLockFailed, HTTP_INTERNAL_SERVER_ERROR, "Could not lock the database: "},
    {DbmError::kDamaged, HTTP_INTERNAL_SERVER_ERROR, "The database file is damaged: "},
    {DbmError::kNoSpace, HTTP_INSUFFICIENT_STORAGE,
     "There is not enough free space to store the database record."},
    {DbmError::kRefused, HTTP_FORBIDDEN, nullptr},  // the provider's refusal, with its log line
};

constexpr bool table_in_order() {
  for (std::size_t i = 0; i < std::size(kErrors); ++i) {
    if (static_cast<std::size_t>(kErrors[i].which) != i) return false;
  }
  return std::size(kErrors) == static_cast<std::size_t>(DbmError::kRefused) + 1;
}
static_assert(table_in_order(), "kErrors lists every DbmError in order");

}  // namespace

dav_error* dbm_error(apr_pool_t* pool, DbmError which, const char* detail) {
  if (which == DbmError::kRefused) return refused_path_error(pool, detail);
  const ErrorEntry& entry = kErrors[static_cast<std::size_t>(which)];
  const char* text =
      detail != nullptr ? apr_pstrcat(pool, entry.text, detail, nullptr) : entry.text;
  const int aprerr = which == DbmError::kNoSpace ? ENOSPC : 0;
  return dav_new_error(pool, entry.status, 0, aprerr, text);
}

dav_error* dav_kiv_dbm_error(DbmFile* db, apr_pool_t* p, apr_status_t status) {
  // Taken first: building the error may change errno.
  const int saved_errno = errno;
  if (status == APR_SUCCESS) return nullptr;
  if (db == nullptr) {
    return dav_new_error(p, HTTP_INTERNAL_SERVER_ERROR, 1, saved_errno,
                         "Could not open property database.");
  }
  int error_code = 0;
  char text[kErrorTextSize] = {};
  if (db->dbm != nullptr) apr_dbm_geterror(db->dbm, &error_code, text, sizeof(text));
  return dav_new_error(db->pool, HTTP_INTERNAL_SERVER_ERROR, error_code, saved_errno,
                       apr_pstrdup(db->pool, text));
}

}  // namespace kiv
