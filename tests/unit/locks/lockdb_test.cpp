// The lock database handle, keys, and the loading and saving of records against a real DBM file.
#include <chrono>
#include <filesystem>
#include <string>

#include "common/directory_lock.h"
#include "common/names.h"
#include "common/tree_id.h"
#include "dbm/dbm_cache.h"
#include "locks/lock_record.h"
#include "tests/unit/locks/lock_test_support.h"

namespace kiv_test {
namespace {

class LockDbTest : public LockTest {
 protected:
  // The first token byte of every entry of a raw record, in stored order.
  static std::vector<int> stored_order(const Bytes& record) {
    std::vector<int> out;
    kiv::locks::RecordReader reader(record.data(), record.size());
    kiv::locks::RecordEntry e;
    while (reader.next(&e) == kiv::locks::ReadResult::kEntry) {
      out.push_back(e.tag == kiv::locks::kEntryDirect ? e.direct.token[0] : e.indirect.token[0]);
    }
    return out;
  }

  // A raw direct entry with the given token and timeout and no owner or user.
  static Bytes raw_direct(std::uint8_t token_first, apr_int64_t timeout) {
    const dav_locktoken t = token_from(token_first);
    kiv::locks::DirectFields d;
    d.scope = DAV_LOCKSCOPE_SHARED;
    d.type = DAV_LOCKTYPE_WRITE;
    d.timeout = timeout;
    d.token = t.uuid.data;
    Bytes out(kiv::locks::direct_entry_size(d));
    kiv::locks::RecordWriter(out.data(), out.size()).put_direct(d);
    return out;
  }

  static Bytes raw_indirect(std::uint8_t token_first, apr_int64_t timeout, const Bytes& key) {
    const dav_locktoken t = token_from(token_first);
    kiv::locks::IndirectFields i;
    i.token = t.uuid.data;
    i.timeout = timeout;
    i.key = key.data();
    i.key_size = key.size();
    Bytes out(kiv::locks::indirect_entry_size(key.size()));
    kiv::locks::RecordWriter(out.data(), out.size()).put_indirect(i);
    return out;
  }

  static Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  }

  dav_error* load(dav_lockdb* db, const Bytes& key, dav_kiv_direct_entry** direct,
                  dav_kiv_indirect_entry** indirect) {
    return kiv::locks::dav_kiv_lockrec_load(db, datum(key), direct, indirect);
  }
};

TEST_F(LockDbTest, WithoutLockDatabasePathNothingIsLockedAndLockingFails) {
  conf_.lockdb_path = nullptr;
  dav_lockdb* db = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.open_lockdb(&request_, 0, 1, &db), nullptr);
  ASSERT_NE(db, nullptr);
  dav_resource* doc = resource("doc.txt", true);
  int present = 1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db, doc, &present), nullptr);
  EXPECT_EQ(present, 0);
  dav_lock* locks = reinterpret_cast<dav_lock*>(0x1);
  ASSERT_EQ(dav_kiv_hooks_locks.get_locks(db, doc, DAV_GETLOCKS_RESOLVED, &locks), nullptr);
  EXPECT_EQ(locks, nullptr);

  dav_lock* lock = nullptr;
  dav_error* err = dav_kiv_hooks_locks.create_lock(db, doc, &lock);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, DAV_ERR_LOCK_NO_DB);
  EXPECT_STREQ(err->desc,
               "A lock database was not specified with the DAVLockDB directive. One must be "
               "specified to use the locking functionality.");
  dav_kiv_direct_entry entry{};
  const dav_locktoken token = token_from(1);
  entry.locktoken = &token;
  err = kiv::locks::dav_kiv_lockrec_save(db, kiv::locks::dav_kiv_lock_key(pool_, doc), &entry,
                                         nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->error_id, DAV_ERR_LOCK_NO_DB);
  dav_kiv_hooks_locks.close_lockdb(db);
}

TEST_F(LockDbTest, ForcedOpenThatFailsHandsBackTheHandleAndALaterUseRetries) {
  const std::string missing_dir = dir_ / "later";
  const std::string db_path = missing_dir + "/locks";
  conf_.lockdb_path = db_path.c_str();
  dav_lockdb* db = nullptr;
  dav_error* err = dav_kiv_hooks_locks.open_lockdb(&request_, 0, 1, &db);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, DAV_ERR_LOCK_OPENDB);
  EXPECT_STREQ(err->desc, "Could not open the lock database.");
  EXPECT_NE(err->prev, nullptr);  // the DBM layer's own error below it
  ASSERT_NE(db, nullptr);
  open_dbs_.push_back(db);
  EXPECT_EQ(db->info->is_open, 0);

  make_dir("later");
  EXPECT_EQ(kiv::locks::dav_kiv_lockdb_ensure_open(db), nullptr);
  EXPECT_EQ(db->info->is_open, 1);
  EXPECT_NE(db->info->db, nullptr);
}

TEST_F(LockDbTest, OpenIsDeferredUntilFirstUseAndAClosedHandleReopens) {
  dav_lockdb* db = open_db(false);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->hooks, &dav_kiv_hooks_locks);
  EXPECT_EQ(db->info->request, &request_);
  EXPECT_EQ(db->info->is_open, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir_ / "db"));

  int present = -1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db, resource("doc", true), &present), nullptr);
  EXPECT_EQ(present, 0);
  EXPECT_EQ(db->info->is_open, 1);
  // Reading makes no database, only the lock files of its directory; the first saved lock does.
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "db")) {
    EXPECT_TRUE(kiv::is_reserved_name(entry.path().filename().string())) << entry.path();
  }

  dav_kiv_hooks_locks.close_lockdb(db);
  dav_kiv_hooks_locks.close_lockdb(db);  // a second close must not touch the released database
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db, resource("doc", true), &present), nullptr);
  EXPECT_EQ(present, 0);
}

TEST_F(LockDbTest, ReadOnlyHandleWithoutDatabaseSeesNoLocksAndCannotSave) {
  dav_lockdb* db = open_db(true);
  const Bytes key = name_key_of(path("doc"));
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  EXPECT_EQ(direct, nullptr);
  EXPECT_EQ(indirect, nullptr);
  EXPECT_EQ(db->info->db, nullptr);

  int present = -1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db, resource("doc", false), &present), nullptr);
  EXPECT_EQ(present, 0);

  const dav_locktoken t = token_from(1);
  dav_error* err =
      kiv::locks::dav_kiv_lockrec_save(db, datum(key), direct_entry(pool_, &t, 0), nullptr);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, 0);
  EXPECT_STREQ(err->desc,
               "INTERNAL DESIGN ERROR: the lockdb was opened readonly, but an attempt to save "
               "locks was performed.");
  EXPECT_FALSE(path_exists(lockdb_path_));
}

TEST_F(LockDbTest, SaveWritesListOrderAndLoadReversesEachKind) {
  const Bytes key = name_key_of(path("doc"));
  const dav_locktoken t1 = token_from(1), t2 = token_from(2), t3 = token_from(3),
                      t4 = token_from(4);
  const Bytes other = name_key_of(path("other"));
  dav_kiv_direct_entry* direct =
      direct_entry(pool_, &t1, 0, "<o1/>", "u1", direct_entry(pool_, &t2, 0, "<o2/>"));
  dav_kiv_indirect_entry* indirect =
      indirect_entry(pool_, &t3, 0, datum(other), indirect_entry(pool_, &t4, 0, datum(other)));
  dav_lockdb* db = open_db(false);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_save(db, datum(key), direct, indirect), nullptr);
  close_db(db);
  ASSERT_EQ(stored_order(*raw_fetch(key)), (std::vector<int>{1, 2, 3, 4}));

  db = open_db(false);
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  EXPECT_EQ(first_bytes(direct), (std::vector<int>{2, 1}));
  EXPECT_EQ(first_bytes(indirect), (std::vector<int>{4, 3}));
  EXPECT_STREQ(direct->owner, "<o2/>");
  EXPECT_EQ(direct->auth_user, nullptr);
  EXPECT_STREQ(direct->next->auth_user, "u1");
  EXPECT_EQ(key_bytes(indirect->key), other);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_save(db, datum(key), direct, indirect), nullptr);
  close_db(db);
  EXPECT_EQ(stored_order(*raw_fetch(key)), (std::vector<int>{2, 1, 4, 3}));
}

TEST_F(LockDbTest, EmptyOwnerIsSavedAsALoneNulAndLoadsAsNone) {
  const Bytes key = name_key_of(path("doc"));
  const dav_locktoken t = token_from(1);
  dav_lockdb* db = open_db(false);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_save(db, datum(key), direct_entry(pool_, &t, 0, "", "u"),
                                             nullptr),
            nullptr);
  close_db(db);
  const Bytes raw = *raw_fetch(key);
  ASSERT_EQ(raw.size(), 36u);  // 35 + the one byte of "u"
  EXPECT_EQ(raw[33], 0x00);
  EXPECT_EQ(Bytes(raw.begin() + 34, raw.end()), (Bytes{'u', 0x00}));

  db = open_db(true);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->owner, nullptr);
  EXPECT_STREQ(direct->auth_user, "u");
}

TEST_F(LockDbTest, ExpiredEntriesArePrunedAndOnlyAReadWriteLoadRewritesTheRecord) {
  make_file("doc");
  const Bytes key = identity_key_of(path("doc"));
  const apr_int64_t now = now_sec();
  const Bytes stored = cat({raw_direct(1, now - 10), raw_direct(2, 0), raw_direct(3, now + 3600),
                            raw_indirect(4, now - 1, name_key_of(path("p"))),
                            raw_indirect(5, 0, name_key_of(path("p")))});
  raw_store(key, stored);

  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  dav_lockdb* ro = open_db(true);
  ASSERT_EQ(load(ro, key, &direct, &indirect), nullptr);
  EXPECT_EQ(first_bytes(direct), (std::vector<int>{3, 2}));  // timeout 0 never expires
  EXPECT_EQ(first_bytes(indirect), (std::vector<int>{5}));
  close_db(ro);
  EXPECT_EQ(*raw_fetch(key), stored);

  dav_lockdb* rw = open_db(false);
  ASSERT_EQ(load(rw, key, &direct, &indirect), nullptr);
  EXPECT_EQ(first_bytes(direct), (std::vector<int>{3, 2}));
  close_db(rw);
  EXPECT_EQ(stored_order(*raw_fetch(key)), (std::vector<int>{3, 2, 5}));
}

TEST_F(LockDbTest, RecordOfOnlyExpiredEntriesIsDeletedByAReadWriteLoad) {
  make_file("doc");
  const Bytes key = identity_key_of(path("doc"));
  raw_store(key, cat({raw_direct(1, 1), raw_indirect(2, 1, name_key_of(path("p")))}));
  dav_lockdb* db = open_db(false);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  EXPECT_EQ(direct, nullptr);
  EXPECT_EQ(indirect, nullptr);
  close_db(db);
  EXPECT_FALSE(raw_fetch(key).has_value());
}

TEST_F(LockDbTest, CorruptRecordsAreRefusedWithTheOffsetAndTagOfTheBadEntry) {
  const Bytes good_direct = raw_direct(1, 0);
  const Bytes good_indirect = raw_indirect(2, 0, name_key_of(path("p")));
  const std::string after_two = std::to_string(good_direct.size() + good_indirect.size());
  const struct {
    Bytes record;
    std::string where;
  } cases[] = {
      {cat({{0x00}, good_direct}), "offset 0, c=00"},
      {cat({good_direct, good_indirect, {0x07}}), "offset " + after_two + ", c=07"},
      {{0x80, 0x01}, "offset 0, c=ffffff80"},
      {Bytes(good_indirect.begin(), good_indirect.end() - 1), "offset 0, c=02"},  // cut short
  };
  dav_lockdb* db = open_db(true);
  for (const auto& c : cases) {
    const Bytes key = name_key_of(path("corrupt" + c.where));
    close_db(db);
    raw_store(key, c.record);
    db = open_db(true);
    dav_kiv_direct_entry* direct = nullptr;
    dav_kiv_indirect_entry* indirect = nullptr;
    dav_error* err = load(db, key, &direct, &indirect);
    ASSERT_NE(err, nullptr) << c.where;
    EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
    EXPECT_EQ(err->error_id, DAV_ERR_LOCK_CORRUPT_DB);
    EXPECT_EQ(std::string(err->desc), "The lock database was found to be corrupt. " + c.where);
  }
}

// A read-only load served from a read image holds no lock at all. Were it to rewrite the list,
// it could do so while a LOCK that holds the database's exclusive lock adds a name to the same
// list, and one of the two changes would be lost. Only a read-write load prunes the list.
TEST_F(LockDbTest, ReadOnlyLoadFromAnImageLeavesTheLockNullListToTheWriter) {
  std::uint64_t counters[64] = {};
  kiv::dbm_cache_attach(counters, sizeof(counters));
  make_dir("root/.DAV");
  const std::string list_file = path(".DAV/.locknull");
  write_file(list_file, std::string("ghost\0other\0", 12));
  const Bytes key = name_key_of(path("ghost"));
  const Bytes stored = cat({raw_direct(1, 1), raw_direct(2, now_sec() + 3600)});
  raw_store(key, stored);
  dav_lockdb* db = open_db(true);
  ASSERT_EQ(kiv::locks::dav_kiv_lockdb_ensure_open(db), nullptr);  // reads the image
  close_db(db);

  kiv::DirectoryLock writer;  // a LOCK request in the middle of its work
  ASSERT_EQ(writer.lock((dir_ / "db").c_str(), true, std::chrono::seconds(0)),
            kiv::DirectoryLock::Result::kLocked);
  db = open_db(true);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  EXPECT_EQ(first_bytes(direct), (std::vector<int>{2}));
  EXPECT_EQ(read_file(list_file), std::string("ghost\0other\0", 12));
  close_db(db);
  writer.unlock();
  kiv::dbm_cache_attach(nullptr, 0);

  db = open_db(false);
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  close_db(db);
  EXPECT_EQ(stored_order(*raw_fetch(key)), (std::vector<int>{2}));
  EXPECT_EQ(read_file(list_file), std::string("other\0", 6));
}

TEST_F(LockDbTest, ExpiredEntryUnderANameKeyWithALocalFileKeepsTheList) {
  make_dir("root/.DAV");
  make_file("present");
  const std::string list_file = path(".DAV/.locknull");
  write_file(list_file, std::string("present\0", 8));
  const Bytes key = name_key_of(path("present"));
  raw_store(key, raw_direct(1, 1));
  dav_lockdb* db = open_db(false);
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  ASSERT_EQ(load(db, key, &direct, &indirect), nullptr);
  EXPECT_EQ(read_file(list_file), std::string("present\0", 8));
}

TEST_F(LockDbTest, KeyIsTheLocalFilesIdentityElseThePathName) {
  make_file("doc");
  make_dir("root/coll");
  EXPECT_EQ(key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("doc", true))),
            identity_key_of(path("doc")));
  EXPECT_EQ(key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("coll", true, true))),
            identity_key_of(path("coll")));
  EXPECT_EQ(key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("none", false))),
            name_key_of(path("none")));
  // The same file gives the same key every time.
  EXPECT_EQ(key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("doc", true))),
            key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("doc", true))));
  EXPECT_EQ(key_bytes(kiv::locks::dav_kiv_lock_name_key(pool_, (path("coll") + "/").c_str())),
            name_key_of(path("coll")));

  // On a shared tree the tree id stands for the device number, which differs on every host.
  struct stat st;
  ASSERT_EQ(::stat(path("doc").c_str(), &st), 0);
  Bytes shared(kiv::locks::kIdentityKeySize);
  kiv::locks::write_identity_key(static_cast<std::uint64_t>(st.st_ino), 42, shared.data());
  kiv::set_tree_id(42);
  const Bytes with_tree_id = key_bytes(kiv::locks::dav_kiv_lock_key(pool_, resource("doc", true)));
  kiv::clear_tree_id();
  EXPECT_EQ(with_tree_id, shared);
}

}  // namespace
}  // namespace kiv_test
