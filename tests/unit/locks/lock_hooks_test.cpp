// The lock hooks as mod_dav calls them, against a real lock database and real lock-null lists.
#include <string>

#include "locks/lock_record.h"
#include "tests/unit/locks/lock_test_support.h"

namespace kiv_test {
namespace {

class LockHooksTest : public LockTest {
 protected:
  void SetUp() override {
    LockTest::SetUp();
    make_dir("root/coll/sub");
    make_file("coll/sub/doc.xml");
    make_file("doc.xml");
    coll_ = resource("coll", true, true);
    doc_ = resource("coll/sub/doc.xml", true);
    db_ = open_db(false);
  }

  // A lock as mod_dav hands it to append_locks: made by create_lock, then filled in.
  dav_lock* new_lock(const dav_resource* on, int depth, apr_int64_t timeout,
                     const char* owner = nullptr) {
    dav_lock* lock = nullptr;
    EXPECT_EQ(dav_kiv_hooks_locks.create_lock(db_, on, &lock), nullptr);
    lock->scope = DAV_LOCKSCOPE_EXCLUSIVE;
    lock->type = DAV_LOCKTYPE_WRITE;
    lock->depth = depth;
    lock->timeout = static_cast<time_t>(timeout);
    lock->owner = owner;
    lock->auth_user = "bob";
    return lock;
  }

  // A collection lock of infinite depth that reaches doc_ through an indirect entry.
  dav_lock* lock_collection_and_doc(const char* owner = "<coll/>") {
    dav_lock* lock = new_lock(coll_, DAV_INFINITY, now_sec() + 3600, owner);
    EXPECT_EQ(dav_kiv_hooks_locks.append_locks(db_, coll_, 0, lock), nullptr);
    EXPECT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 1, lock), nullptr);
    return lock;
  }

  std::vector<int> locks_of(const dav_resource* r, int calltype) {
    dav_lock* locks = nullptr;
    EXPECT_EQ(dav_kiv_hooks_locks.get_locks(db_, r, calltype, &locks), nullptr);
    return first_bytes(locks);
  }

  dav_resource* coll_ = nullptr;
  dav_resource* doc_ = nullptr;
  dav_lockdb* db_ = nullptr;
};

TEST_F(LockHooksTest, CreatedLockIsStoredByAppendAndFoundWithAllItsFields) {
  dav_lock* lock = new_lock(doc_, 0, now_sec() + 600, "<D:href>me</D:href>");
  EXPECT_EQ(lock->is_locknull, 0);
  EXPECT_EQ(lock->rectype, DAV_LOCKREC_DIRECT);
  int present = -1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 0);

  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 0, lock), nullptr);
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 1);
  dav_lock* found = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_RESOLVED, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->next, nullptr);
  EXPECT_EQ(found->rectype, DAV_LOCKREC_DIRECT);
  EXPECT_EQ(found->is_locknull, 0);
  EXPECT_EQ(found->scope, DAV_LOCKSCOPE_EXCLUSIVE);
  EXPECT_EQ(found->type, DAV_LOCKTYPE_WRITE);
  EXPECT_EQ(found->depth, 0);
  EXPECT_EQ(found->timeout, lock->timeout);
  EXPECT_STREQ(found->owner, "<D:href>me</D:href>");
  EXPECT_STREQ(found->auth_user, "bob");
  EXPECT_EQ(dav_kiv_hooks_locks.compare_locktoken(found->locktoken, lock->locktoken), 0);
  EXPECT_EQ(key_bytes(found->info->key), identity_key_of(path("coll/sub/doc.xml")));
  // An existing resource has no lock-null list.
  EXPECT_FALSE(path_exists(path("coll/sub/.DAV")));
}

TEST_F(LockHooksTest, StoredRecordsMatchTheDirectAndIndirectEntryLayouts) {
  conf_.max_lock_timeout = apr_int64_t{1} << 40;  // the timeout below lies beyond the default cap
  dav_lock* lock = new_lock(coll_, DAV_INFINITY, 0x0000000102030405, "<o/>");
  const dav_locktoken token = token_from(0x10);
  lock->locktoken = &token;
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, coll_, 0, lock), nullptr);
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 1, lock), nullptr);
  close_db(db_);

  Bytes direct = {0x01, 0x01, 0x01, 0x00, 0x00, 0xff, 0xff, 0xff, 0x7f,
                  0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00};
  for (int i = 0; i < 16; ++i) direct.push_back(static_cast<std::uint8_t>(0x10 + i));
  for (char c : std::string("<o/>")) direct.push_back(static_cast<std::uint8_t>(c));
  direct.push_back(0x00);
  for (char c : std::string("bob")) direct.push_back(static_cast<std::uint8_t>(c));
  direct.push_back(0x00);
  const Bytes coll_key = identity_key_of(path("coll"));
  EXPECT_EQ(raw_fetch(coll_key), direct) << hex(*raw_fetch(coll_key));

  Bytes indirect = {0x02};
  for (int i = 0; i < 16; ++i) indirect.push_back(static_cast<std::uint8_t>(0x10 + i));
  for (std::uint8_t b : {0x05, 0x04, 0x03, 0x02, 0x01, 0x00, 0x00, 0x00}) indirect.push_back(b);
  for (std::uint8_t b : {0x0d, 0x00, 0x00, 0x00}) indirect.push_back(b);
  indirect.insert(indirect.end(), coll_key.begin(), coll_key.end());
  EXPECT_EQ(raw_fetch(identity_key_of(path("coll/sub/doc.xml"))), indirect);
}

TEST_F(LockHooksTest, LocksAreGrantedWithinTheServersLimits) {
  // A 900 KB owner and Timeout: Infinite were granted as asked, and every later LOCK copied them.
  const apr_int64_t began = apr_time_sec(request_.request_time);
  for (const apr_int64_t asked : {apr_int64_t{0}, began + (apr_int64_t{1} << 40), began + 60}) {
    dav_lock* lock = new_lock(doc_, 0, asked, "<o/>");
    ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 0, lock), nullptr);
    EXPECT_EQ(lock->timeout, asked == began + 60 ? asked : began + 7 * 24 * 3600) << asked;
    ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, doc_, lock->locktoken), nullptr);
  }
  conf_.max_lock_owner = 100;
  const std::string owner(101, 'o');
  dav_error* err =
      dav_kiv_hooks_locks.append_locks(db_, doc_, 0, new_lock(doc_, 0, 0, owner.c_str()));
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_BAD_REQUEST);
  int present = -1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 0);
}

TEST_F(LockHooksTest, GetLocksListsIndirectLocksFirstEachGroupInStoredOrder) {
  const dav_locktoken t1 = token_from(1), t2 = token_from(2), t3 = token_from(3),
                      t4 = token_from(4);
  const apr_datum_t coll_key = kiv::locks::dav_kiv_lock_key(pool_, coll_);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_save(
                db_, coll_key,
                direct_entry(pool_, &t3, 0, "<o3/>", nullptr, direct_entry(pool_, &t4, 0, "<o4/>")),
                nullptr),
            nullptr);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_save(
                db_, kiv::locks::dav_kiv_lock_key(pool_, doc_),
                direct_entry(pool_, &t1, 0, nullptr, nullptr, direct_entry(pool_, &t2, 0)),
                indirect_entry(pool_, &t3, 0, coll_key, indirect_entry(pool_, &t4, 0, coll_key))),
            nullptr);

  EXPECT_EQ(locks_of(doc_, DAV_GETLOCKS_PARTIAL), (std::vector<int>{3, 4, 1, 2}));
  dav_lock* locks = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_RESOLVED, &locks), nullptr);
  EXPECT_EQ(first_bytes(locks), (std::vector<int>{3, 4, 1, 2}));
  EXPECT_EQ(locks->rectype, DAV_LOCKREC_DIRECT);
  EXPECT_STREQ(locks->owner, "<o3/>");
  EXPECT_STREQ(locks->next->owner, "<o4/>");
  EXPECT_EQ(key_bytes(locks->info->key), key_bytes(coll_key));
}

TEST_F(LockHooksTest, IndirectLocksArePartialOrResolvedAsAsked) {
  dav_lock* lock = lock_collection_and_doc();
  const Bytes coll_key = identity_key_of(path("coll"));

  dav_lock* partial = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_PARTIAL, &partial), nullptr);
  ASSERT_NE(partial, nullptr);
  EXPECT_EQ(partial->rectype, DAV_LOCKREC_INDIRECT_PARTIAL);
  EXPECT_EQ(partial->scope, DAV_LOCKSCOPE_UNKNOWN);
  EXPECT_EQ(partial->depth, 0);
  EXPECT_EQ(partial->timeout, 0);
  EXPECT_EQ(partial->owner, nullptr);
  EXPECT_EQ(key_bytes(partial->info->key), coll_key);

  dav_lock* found = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, doc_, lock->locktoken, 1, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->rectype, DAV_LOCKREC_INDIRECT_PARTIAL);
  EXPECT_EQ(found->owner, nullptr);
  EXPECT_EQ(found->locktoken, lock->locktoken);

  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, doc_, lock->locktoken, 0, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->rectype, DAV_LOCKREC_INDIRECT);
  EXPECT_EQ(found->scope, DAV_LOCKSCOPE_EXCLUSIVE);
  EXPECT_EQ(found->depth, DAV_INFINITY);
  EXPECT_STREQ(found->owner, "<coll/>");
  EXPECT_EQ(key_bytes(found->info->key), coll_key);

  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, coll_, lock->locktoken, 0, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->rectype, DAV_LOCKREC_DIRECT);

  const dav_locktoken stranger = token_from(0x77);
  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, doc_, &stranger, 0, &found), nullptr);
  EXPECT_EQ(found, nullptr);
  ASSERT_EQ(
      dav_kiv_hooks_locks.find_lock(db_, resource("doc.xml", true), lock->locktoken, 0, &found),
      nullptr);
  EXPECT_EQ(found, nullptr);
}

TEST_F(LockHooksTest, IndirectEntryWhoseDirectEntryIsGoneIsACorruptDatabase) {
  dav_lock* lock = lock_collection_and_doc();
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, coll_, lock->locktoken), nullptr);

  const char* message =
      "The lock database was found to be corrupt. An indirect lock's direct lock could not be "
      "found.";
  dav_lock* locks = nullptr;
  dav_error* err = dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_RESOLVED, &locks);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, DAV_ERR_LOCK_CORRUPT_DB);
  EXPECT_STREQ(err->desc, message);
  EXPECT_EQ(locks, nullptr);

  EXPECT_EQ(locks_of(doc_, DAV_GETLOCKS_PARTIAL).size(), 1u);
  dav_lock* found = nullptr;
  err = dav_kiv_hooks_locks.find_lock(db_, doc_, lock->locktoken, 0, &found);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc, message);
  dav_locktoken_list list = {const_cast<dav_locktoken*>(lock->locktoken), nullptr};
  err = dav_kiv_hooks_locks.refresh_locks(db_, doc_, &list, now_sec() + 60, &locks);
  ASSERT_NE(err, nullptr);
  EXPECT_STREQ(err->desc, message);

  // Removing it by token ends the failures.
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, doc_, lock->locktoken), nullptr);
  EXPECT_TRUE(locks_of(doc_, DAV_GETLOCKS_RESOLVED).empty());
}

TEST_F(LockHooksTest, CompleteLocksAreNotOffered) {
  dav_lock* untouched = reinterpret_cast<dav_lock*>(0x1);
  dav_lock* locks = untouched;
  dav_error* err = dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_COMPLETE, &locks);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
  EXPECT_EQ(err->error_id, 0);
  EXPECT_STREQ(err->desc, "INTERNAL DESIGN ERROR: DAV_GETLOCKS_COMPLETE is not yet supported");
  EXPECT_EQ(locks, untouched);
}

TEST_F(LockHooksTest, RecordOfOnlyExpiredEntriesStillCountsAsLocked) {
  const dav_locktoken t = token_from(1);
  const apr_datum_t key = kiv::locks::dav_kiv_lock_key(pool_, doc_);
  ASSERT_EQ(
      kiv::locks::dav_kiv_lockrec_save(db_, key, direct_entry(pool_, &t, now_sec() - 5), nullptr),
      nullptr);
  int present = 0;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 1);
  EXPECT_TRUE(locks_of(doc_, DAV_GETLOCKS_RESOLVED).empty());  // this load prunes the record
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 0);
}

TEST_F(LockHooksTest, RemoveLockByTokenKeepsTheOthersAndWithoutTokenRemovesAll) {
  dav_lock* first = new_lock(doc_, 0, 0);
  dav_lock* second = new_lock(doc_, 0, 0);
  dav_lock* third = new_lock(doc_, 0, 0);
  first->next = second;
  second->next = third;
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 0, first), nullptr);
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, doc_, second->locktoken), nullptr);
  dav_lock* locks = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.get_locks(db_, doc_, DAV_GETLOCKS_RESOLVED, &locks), nullptr);
  ASSERT_NE(locks, nullptr);
  ASSERT_NE(locks->next, nullptr);
  EXPECT_EQ(locks->next->next, nullptr);
  for (dav_lock* l = locks; l != nullptr; l = l->next) {
    EXPECT_NE(dav_kiv_hooks_locks.compare_locktoken(l->locktoken, second->locktoken), 0);
  }

  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, doc_, nullptr), nullptr);
  int present = 1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, doc_, &present), nullptr);
  EXPECT_EQ(present, 0);
}

TEST_F(LockHooksTest, LockNullResourceIsListedUntilItsFileExists) {
  dav_resource* ghost = resource("coll/ghost.xml", false);
  dav_lock* lock = new_lock(ghost, 0, now_sec() + 600);
  EXPECT_EQ(lock->is_locknull, 1);
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, ghost, 0, lock), nullptr);
  const std::string list_file = path("coll/.DAV/.locknull");
  EXPECT_EQ(read_file(list_file), std::string("ghost.xml\0", 10));
  // The request is told it made something (its LOCK answers 201).
  EXPECT_NE(apr_table_get(request_.notes, kiv::kLockCreatedNote), nullptr);
  dav_lock* found = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, ghost, lock->locktoken, 0, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->is_locknull, 1);

  // PUT creates the document; the host then ends the lock-null state.
  make_file("coll/ghost.xml");
  dav_resource* created = resource("coll/ghost.xml", true);
  ASSERT_EQ(dav_kiv_hooks_locks.remove_locknull_state(db_, created), nullptr);
  EXPECT_FALSE(path_exists(list_file));
  close_db(db_);
  EXPECT_FALSE(raw_fetch(name_key_of(path("coll/ghost.xml"))).has_value());
  EXPECT_TRUE(raw_fetch(identity_key_of(path("coll/ghost.xml"))).has_value());

  db_ = open_db(false);
  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, created, lock->locktoken, 0, &found), nullptr);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->is_locknull, 0);
}

TEST_F(LockHooksTest, RemovingTheLastLockOfALockNullResourceTakesItsName) {
  dav_resource* ghost = resource("coll/ghost.xml", false);
  dav_lock* a = new_lock(ghost, 0, 0);
  dav_lock* b = new_lock(ghost, 0, 0);
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, ghost, 0, a), nullptr);
  write_file(path("coll/.DAV/.locknull"), std::string("ghost.xml\0other\0", 16));
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, ghost, 0, b), nullptr);
  const std::string list_file = path("coll/.DAV/.locknull");

  // One lock left: the name stays (the list has it once per append).
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, ghost, a->locktoken), nullptr);
  EXPECT_EQ(read_file(list_file), std::string("ghost.xml\0other\0ghost.xml\0", 26));
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, ghost, b->locktoken), nullptr);
  EXPECT_EQ(read_file(list_file), std::string("other\0ghost.xml\0", 16));
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, ghost, 0, a), nullptr);
  ASSERT_EQ(dav_kiv_hooks_locks.remove_lock(db_, ghost, nullptr), nullptr);
  EXPECT_EQ(read_file(list_file), std::string("other\0ghost.xml\0", 16));
  int present = 1;
  ASSERT_EQ(dav_kiv_hooks_locks.has_locks(db_, ghost, &present), nullptr);
  EXPECT_EQ(present, 0);
}

TEST_F(LockHooksTest, RefreshMovesOnlyDirectEntriesAndSavesTheRecordThatHoldsThem) {
  dav_lock* coll_lock = lock_collection_and_doc();
  dav_lock* own = new_lock(doc_, 0, now_sec() + 60);
  ASSERT_EQ(dav_kiv_hooks_locks.append_locks(db_, doc_, 0, own), nullptr);
  close_db(db_);
  const Bytes doc_key = identity_key_of(path("coll/sub/doc.xml"));
  const Bytes doc_record = *raw_fetch(doc_key);
  db_ = open_db(false);

  // Tokens that match nothing: no locks, nothing saved.
  const dav_locktoken stranger = token_from(0x55);
  dav_locktoken_list none = {const_cast<dav_locktoken*>(&stranger), nullptr};
  dav_lock* locks = reinterpret_cast<dav_lock*>(0x1);
  ASSERT_EQ(dav_kiv_hooks_locks.refresh_locks(db_, doc_, &none, now_sec() + 999, &locks), nullptr);
  EXPECT_EQ(locks, nullptr);

  const time_t later = static_cast<time_t>(now_sec() + 7200);
  dav_locktoken_list both = {const_cast<dav_locktoken*>(own->locktoken), nullptr};
  dav_locktoken_list list = {const_cast<dav_locktoken*>(coll_lock->locktoken), &both};
  ASSERT_EQ(dav_kiv_hooks_locks.refresh_locks(db_, doc_, &list, later, &locks), nullptr);
  ASSERT_NE(locks, nullptr);
  ASSERT_NE(locks->next, nullptr);
  EXPECT_EQ(locks->next->next, nullptr);
  for (dav_lock* l = locks; l != nullptr; l = l->next) {
    EXPECT_EQ(l->rectype, DAV_LOCKREC_DIRECT);
    EXPECT_EQ(l->timeout, later);
  }
  EXPECT_EQ(dav_kiv_hooks_locks.compare_locktoken(locks->locktoken, coll_lock->locktoken), 0);
  EXPECT_EQ(key_bytes(locks->info->key), identity_key_of(path("coll")));

  dav_lock* found = nullptr;
  ASSERT_EQ(dav_kiv_hooks_locks.find_lock(db_, coll_, coll_lock->locktoken, 0, &found), nullptr);
  EXPECT_EQ(found->timeout, later);
  close_db(db_);
  // The doc's indirect entry keeps its own timeout; only its direct entry changed.
  dav_kiv_direct_entry* direct = nullptr;
  dav_kiv_indirect_entry* indirect = nullptr;
  db_ = open_db(true);
  ASSERT_EQ(kiv::locks::dav_kiv_lockrec_load(db_, datum(doc_key), &direct, &indirect), nullptr);
  ASSERT_NE(indirect, nullptr);
  EXPECT_EQ(indirect->timeout, coll_lock->timeout);
  ASSERT_NE(direct, nullptr);
  EXPECT_EQ(direct->timeout, later);
  EXPECT_NE(*raw_fetch(doc_key), doc_record);
}

}  // namespace
}  // namespace kiv_test
