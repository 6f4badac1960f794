// Read images of DBM files: a whole database read once under its lock, then served to the readers
// that come after while it stays current (see dbm_cache.h).
#include <sys/stat.h>

#include <string_view>

#include "common/beneath.h"
#include "dbm/dbm_internal.h"

namespace kiv {

namespace {

// Reads every record of an open DBM into an image; null when it holds more than an image may
// (the caller then keeps using the file).
std::shared_ptr<DbmSnapshot> read_image(apr_dbm_t* dbm) {
  auto image = std::make_shared<DbmSnapshot>();
  apr_datum_t key{};
  if (apr_dbm_firstkey(dbm, &key) != APR_SUCCESS) return nullptr;
  while (key.dptr != nullptr) {
    apr_datum_t value{};
    if (apr_dbm_fetch(dbm, key, &value) != APR_SUCCESS) return nullptr;
    image->add(std::string_view(key.dptr, key.dsize),
               std::string_view(value.dptr != nullptr ? value.dptr : "", value.dsize));
    apr_dbm_freedatum(dbm, value);
    if (image->size() > kMaxImageRecords || image->bytes() > kMaxImageBytes) return nullptr;
    if (apr_dbm_nextkey(dbm, &key) != APR_SUCCESS) return nullptr;
  }
  image->seal();
  return image;
}

}  // namespace

std::shared_ptr<const DbmSnapshot> remember_image(const DbmFile& db, apr_dbm_t* dbm) noexcept {
  try {
    struct stat st;
    if (stat_entry(db.lock.fd(), db.name, &st) != 0) return nullptr;
    const std::uint64_t generation = dbm_generation(db.path);
    std::shared_ptr<const DbmSnapshot> image = read_image(dbm);
    if (image != nullptr) dbm_cache_store(db.path, generation, st, image);
    return image;
  } catch (...) {  // out of memory: the file serves without an image
    return nullptr;
  }
}

std::shared_ptr<const DbmSnapshot> empty_image() {
  static const std::shared_ptr<const DbmSnapshot> empty = [] {
    auto image = std::make_shared<DbmSnapshot>();
    image->seal();
    return image;
  }();
  return empty;
}

std::shared_ptr<const DbmSnapshot> current_image(const char* path, int dir, const char* name) {
  struct stat st;
  if (stat_entry(dir, name, &st) != 0) return nullptr;
  return dbm_cache_find(path, dbm_generation(path), st);
}

}  // namespace kiv
