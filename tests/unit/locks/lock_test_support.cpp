#include "tests/unit/locks/lock_test_support.h"

#include <apr_time.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "locks/lock_record.h"

namespace kiv_test {

std::string hex(const Bytes& bytes) {
  std::string out;
  char two[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(two, sizeof(two), "%02x ", b);
    out += two;
  }
  return out;
}

dav_locktoken token_from(std::uint8_t first) {
  dav_locktoken token;
  for (int i = 0; i < 16; ++i) token.uuid.data[i] = static_cast<unsigned char>(first + i);
  return token;
}

void LockTest::SetUp() {
  AprTest::SetUp();
  ASSERT_FALSE(dir_.path().empty());
  make_dir("root");
  make_dir("db");
  lockdb_path_ = dir_ / "db/locks";

  conf_.lockdb_path = lockdb_path_.c_str();
  module_config_[0] = &conf_;
  server_.module_config = reinterpret_cast<ap_conf_vector_t*>(module_config_);
  request_.pool = pool_;
  request_.request_time = apr_time_now();
  request_.server = &server_;
  request_.notes = apr_table_make(pool_, 4);
}

void LockTest::TearDown() {
  for (dav_lockdb* db : open_dbs_) dav_kiv_hooks_locks.close_lockdb(db);
  open_dbs_.clear();
  AprTest::TearDown();
}

std::string LockTest::path(const std::string& relative) const {
  return dir_ / "root" + (relative.empty() ? "" : "/" + relative);
}

void LockTest::make_dir(const std::string& relative) const {
  std::filesystem::create_directories(dir_ / relative);
}

void LockTest::make_file(const std::string& relative, const std::string& content) const {
  write_file(path(relative), content);
}

dav_resource* LockTest::resource(const std::string& relative, bool exists, bool collection) {
  dav_resource* r = make_resource(pool_, path(relative), collection, ("/" + relative).c_str());
  r->exists = exists ? 1 : 0;
  return r;
}

dav_lockdb* LockTest::open_db(bool ro) {
  dav_lockdb* db = nullptr;
  dav_error* err = dav_kiv_hooks_locks.open_lockdb(&request_, ro ? 1 : 0, 0, &db);
  EXPECT_EQ(err, nullptr);
  if (db != nullptr) open_dbs_.push_back(db);
  return db;
}

void LockTest::close_db(dav_lockdb* db) {
  dav_kiv_hooks_locks.close_lockdb(db);
  const auto it = std::find(open_dbs_.begin(), open_dbs_.end(), db);
  if (it != open_dbs_.end()) open_dbs_.erase(it);
}

std::optional<Bytes> LockTest::raw_fetch(const Bytes& key) {
  const auto records = read_dbm(lockdb_path_);
  const auto found = records.find(std::string(key.begin(), key.end()));
  if (found == records.end()) return std::nullopt;
  return Bytes(found->second.begin(), found->second.end());
}

void LockTest::raw_store(const Bytes& key, const Bytes& value) {
  write_dbm(lockdb_path_,
            {{std::string(key.begin(), key.end()), std::string(value.begin(), value.end())}});
}

Bytes LockTest::identity_key_of(const std::string& absolute) const {
  struct stat st;
  EXPECT_EQ(::stat(absolute.c_str(), &st), 0);
  Bytes key(kiv::locks::kIdentityKeySize);
  kiv::locks::write_identity_key(static_cast<std::uint64_t>(st.st_ino),
                                 static_cast<std::uint64_t>(st.st_dev), key.data());
  return key;
}

Bytes LockTest::name_key_of(const std::string& absolute) {
  Bytes key(absolute.size() + 2, 0);
  key[0] = kiv::locks::kKeyName;
  std::copy(absolute.begin(), absolute.end(), key.begin() + 1);
  return key;
}

Bytes LockTest::key_bytes(apr_datum_t key) {
  return Bytes(reinterpret_cast<const std::uint8_t*>(key.dptr),
               reinterpret_cast<const std::uint8_t*>(key.dptr) + key.dsize);
}

apr_datum_t LockTest::datum(const Bytes& bytes) {
  apr_datum_t d;
  d.dptr = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
  d.dsize = bytes.size();
  return d;
}

dav_kiv_direct_entry* direct_entry(apr_pool_t* pool, const dav_locktoken* token,
                                   apr_int64_t timeout, const char* owner, const char* auth_user,
                                   dav_kiv_direct_entry* next) {
  auto* e = static_cast<dav_kiv_direct_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_direct_entry)));
  e->scope = DAV_LOCKSCOPE_EXCLUSIVE;
  e->type = DAV_LOCKTYPE_WRITE;
  e->depth = 0;
  e->timeout = timeout;
  e->locktoken = static_cast<const dav_locktoken*>(apr_pmemdup(pool, token, sizeof(dav_locktoken)));
  e->owner = owner;
  e->auth_user = auth_user;
  e->next = next;
  return e;
}

dav_kiv_indirect_entry* indirect_entry(apr_pool_t* pool, const dav_locktoken* token,
                                       apr_int64_t timeout, apr_datum_t key,
                                       dav_kiv_indirect_entry* next) {
  auto* e = static_cast<dav_kiv_indirect_entry*>(apr_pcalloc(pool, sizeof(dav_kiv_indirect_entry)));
  e->locktoken = static_cast<const dav_locktoken*>(apr_pmemdup(pool, token, sizeof(dav_locktoken)));
  e->timeout = timeout;
  e->key = key;
  e->next = next;
  return e;
}

std::vector<int> first_bytes(const dav_kiv_direct_entry* list) {
  std::vector<int> out;
  for (; list != nullptr; list = list->next) out.push_back(list->locktoken->uuid.data[0]);
  return out;
}

std::vector<int> first_bytes(const dav_kiv_indirect_entry* list) {
  std::vector<int> out;
  for (; list != nullptr; list = list->next) out.push_back(list->locktoken->uuid.data[0]);
  return out;
}

std::vector<int> first_bytes(const dav_lock* list) {
  std::vector<int> out;
  for (; list != nullptr; list = list->next) out.push_back(list->locktoken->uuid.data[0]);
  return out;
}

apr_int64_t now_sec() {
  return apr_time_sec(apr_time_now());
}

}  // namespace kiv_test
