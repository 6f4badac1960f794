// What the lock tests share: a scratch directory tree, resources and a request built by hand, and
// raw access to the lock database file.
#ifndef KIV_TESTS_UNIT_LOCKS_LOCK_TEST_SUPPORT_H_
#define KIV_TESTS_UNIT_LOCKS_LOCK_TEST_SUPPORT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/host.h"
#include "locks/locks.h"
#include "locks/locks_internal.h"
#include "provider/server_conf.h"
#include "tests/support/module_test.h"

namespace kiv_test {

using Bytes = std::vector<std::uint8_t>;

// Printable form for assertion messages.
std::string hex(const Bytes& bytes);

// A lock token whose 16 bytes are first, first + 1, ..., first + 15.
dav_locktoken token_from(std::uint8_t first);

// A test with its own pool, a scratch tree (root/ for resources, db/ for the lock database) and
// a request whose server is configured with that lock database.
class LockTest : public AprTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Absolute path of a name below the scratch root.
  std::string path(const std::string& relative) const;
  // A directory below the scratch directory (not its root/), parents included.
  void make_dir(const std::string& relative) const;
  void make_file(const std::string& relative, const std::string& content = "x") const;

  // A looked-up resource at a path below the scratch root.
  dav_resource* resource(const std::string& relative, bool exists, bool collection = false);

  // A handle opened through the open_lockdb hook (lazily, without force).
  dav_lockdb* open_db(bool ro);
  // Handles that this test opened are closed in TearDown; close early to read the file raw.
  void close_db(dav_lockdb* db);

  // The raw record under key in the lock database file; nullopt when there is none.
  std::optional<Bytes> raw_fetch(const Bytes& key);
  void raw_store(const Bytes& key, const Bytes& value);

  // The identity key the test computes for an existing local path.
  Bytes identity_key_of(const std::string& absolute) const;
  static Bytes name_key_of(const std::string& absolute);
  static Bytes key_bytes(apr_datum_t key);
  static apr_datum_t datum(const Bytes& bytes);

  ScratchDir dir_;
  std::string lockdb_path_;
  server_rec server_{};
  request_rec request_{};
  dav_kiv_server_conf conf_{};
  void* module_config_[1] = {nullptr};
  std::vector<dav_lockdb*> open_dbs_;
};

// A direct entry made in pool.
dav_kiv_direct_entry* direct_entry(apr_pool_t* pool, const dav_locktoken* token,
                                   apr_int64_t timeout, const char* owner = nullptr,
                                   const char* auth_user = nullptr,
                                   dav_kiv_direct_entry* next = nullptr);
dav_kiv_indirect_entry* indirect_entry(apr_pool_t* pool, const dav_locktoken* token,
                                       apr_int64_t timeout, apr_datum_t key,
                                       dav_kiv_indirect_entry* next = nullptr);

// The first token byte of every entry of a list, in list order.
std::vector<int> first_bytes(const dav_kiv_direct_entry* list);
std::vector<int> first_bytes(const dav_kiv_indirect_entry* list);
std::vector<int> first_bytes(const dav_lock* list);

// Seconds since the epoch.
apr_int64_t now_sec();

}  // namespace kiv_test

#endif  // KIV_TESTS_UNIT_LOCKS_LOCK_TEST_SUPPORT_H_
