// The DBM operations on an open database: served from the read image while the database has one
// and no DBM handle, else handed to the DBM library. Their failures become error records in
// dbm_errors.cpp.
#include <string_view>

#include "dbm/dbm_internal.h"

namespace kiv {

namespace {

apr_datum_t datum_of(std::string_view bytes) {
  apr_datum_t d;
  d.dptr = const_cast<char*>(bytes.data());
  d.dsize = bytes.size();
  return d;
}

// The key of the image's record at the listing position, or a null key past the end.
void image_key(DbmFile* db, apr_datum_t* pkey) {
  if (db->image_position >= db->image->size()) {
    pkey->dptr = nullptr;
    pkey->dsize = 0;
    return;
  }
  *pkey = datum_of(db->image->key(db->image_position));
}

}  // namespace

dav_error* dav_kiv_dbm_fetch(DbmFile* db, apr_datum_t key, apr_datum_t* pvalue) {
  if (db->dbm != nullptr)
    return dav_kiv_dbm_error(db, nullptr, apr_dbm_fetch(db->dbm, key, pvalue));
  const long i = db->image->find(std::string_view(key.dptr, key.dsize));
  if (i < 0) {
    pvalue->dptr = nullptr;
    pvalue->dsize = 0;
  } else {
    *pvalue = datum_of(db->image->value(static_cast<std::size_t>(i)));
  }
  return nullptr;
}

dav_error* dav_kiv_dbm_store(DbmFile* db, apr_datum_t key, apr_datum_t value) {
  if (!room_to_store(db->lock.fd(), key.dsize + value.dsize)) {
    return dbm_error(db->pool, DbmError::kNoSpace);
  }
  if (const apr_status_t status = open_for_write(db)) {
    return dav_kiv_dbm_error(nullptr, db->pool, status);
  }
  db->changed = true;
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_store(db->dbm, key, value));
}

dav_error* dav_kiv_dbm_delete(DbmFile* db, apr_datum_t key) {
  if (const apr_status_t status = open_for_write(db)) {
    return dav_kiv_dbm_error(nullptr, db->pool, status);
  }
  db->changed = true;
  return dav_kiv_dbm_error(db, nullptr, apr_dbm_delete(db->dbm, key));
}

int dav_kiv_dbm_exists(DbmFile* db, apr_datum_t key) {
  if (db->dbm == nullptr) return db->image->find(std::string_view(key.dptr, key.dsize)) >= 0;
  return apr_dbm_exists(db->dbm, key);
}

void dav_kiv_dbm_free_datum(DbmFile* db, apr_datum_t data) {
  // Data handed out from an image belongs to the image.
  if (db->dbm == nullptr || (db->image != nullptr && db->image->owns(data.dptr))) return;
  apr_dbm_freedatum(db->dbm, data);
}

dav_error* dav_kiv_dbm_first_key(DbmFile* db, apr_datum_t* pkey) {
  if (db->dbm != nullptr) return dav_kiv_dbm_error(db, nullptr, apr_dbm_firstkey(db->dbm, pkey));
  db->image_position = 0;
  image_key(db, pkey);
  return nullptr;
}

dav_error* dav_kiv_dbm_next_key(DbmFile* db, apr_datum_t* pkey) {
  if (db->dbm != nullptr) return dav_kiv_dbm_error(db, nullptr, apr_dbm_nextkey(db->dbm, pkey));
  ++db->image_position;
  image_key(db, pkey);
  return nullptr;
}

}  // namespace kiv
