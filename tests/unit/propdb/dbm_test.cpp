// The DBM access layer: where databases lie, how failures are reported, and the advisory lock
// that keeps concurrent writers (threads and processes) from corrupting a file.
#include "dbm/dbm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/beneath.h"
#include "common/directory_lock.h"
#include "common/host.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "dbm/state_dir.h"
#include "tests/support/module_test.h"

namespace {

using kiv::DirectoryLock;
using kiv_test::datum;
using kiv_test::path_exists;

class DbmTest : public kiv_test::AprTest {
 protected:
  void TearDown() override {
    kiv::set_dbm_lock_wait(apr_time_from_sec(30));
    AprTest::TearDown();
  }

  kiv::DbmFile* open_path(const std::string& path, bool ro, apr_pool_t* pool = nullptr) {
    kiv::DbmFile* db = nullptr;
    dav_error* err = dav_kiv_dbm_open_path(pool ? pool : pool_, path.c_str(), ro ? 1 : 0, &db);
    EXPECT_EQ(err, nullptr) << (err ? err->desc : "");
    return db;
  }

  kiv_test::ScratchDir dir_;
};

TEST_F(DbmTest, StateFileNames) {
  const char* first = nullptr;
  const char* second = "unset";
  kiv::dav_dbm_get_statefiles(pool_, nullptr, &first, &second);
  EXPECT_STREQ(first, ".state_for_dir");
  EXPECT_EQ(second, nullptr);  // this DBM type keeps one file
  kiv::dav_dbm_get_statefiles(pool_, "a.xml", &first, &second);
  EXPECT_STREQ(first, "a.xml");
}

TEST_F(DbmTest, ResourcesMapToTheirStateFiles) {
  dav_resource* collection = kiv_test::make_resource(pool_, dir_.path(), true);
  dav_resource* document = kiv_test::make_resource(pool_, dir_ / "a.xml", false);
  dav_resource* namesake = kiv_test::make_resource(pool_, dir_ / ".state_for_dir", false);

  kiv::DbmFile* db = nullptr;
  ASSERT_EQ(kiv::dav_kiv_dbm_open_resource(pool_, document, 0, &db), nullptr);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(path_exists(dir_ / ".DAV"));  // a writable open makes the state directory
  ASSERT_EQ(dav_kiv_dbm_store(db, datum("k"), datum("document")), nullptr);
  dav_kiv_dbm_close(db);
  EXPECT_TRUE(path_exists(dir_ / ".DAV/a.xml"));

  // A document called .state_for_dir shares the file of its collection's own properties.
  ASSERT_EQ(kiv::dav_kiv_dbm_open_resource(pool_, collection, 0, &db), nullptr);
  ASSERT_EQ(dav_kiv_dbm_store(db, datum("k"), datum("collection")), nullptr);
  dav_kiv_dbm_close(db);
  ASSERT_EQ(kiv::dav_kiv_dbm_open_resource(pool_, namesake, 1, &db), nullptr);
  ASSERT_NE(db, nullptr);
  apr_datum_t value{};
  ASSERT_EQ(dav_kiv_dbm_fetch(db, datum("k"), &value), nullptr);
  EXPECT_EQ(std::string(value.dptr, value.dsize), "collection");
  dav_kiv_dbm_free_datum(db, value);
  dav_kiv_dbm_close(db);
}

TEST_F(DbmTest, ReadOnlyOpenOfMissingDatabaseIsNoDatabase) {
  for (const std::string& path : {dir_ / ".DAV/a.xml", dir_ / "nowhere/.DAV/a.xml"}) {
    kiv::DbmFile* db = reinterpret_cast<kiv::DbmFile*>(1);
    EXPECT_EQ(dav_kiv_dbm_open_path(pool_, path.c_str(), 1, &db), nullptr);
    EXPECT_EQ(db, nullptr);
  }
  EXPECT_FALSE(path_exists(dir_ / ".DAV"));
  EXPECT_FALSE(path_exists(dir_ / "nowhere"));
}

TEST_F(DbmTest, WritableOpenWhereNoDirectoryExistsFails) {
  dav_resource* document = kiv_test::make_resource(pool_, dir_ / "nowhere/a.xml", false);
  kiv::DbmFile* db = reinterpret_cast<kiv::DbmFile*>(1);
  dav_error* err = kiv::dav_kiv_dbm_open_resource(pool_, document, 0, &db);
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(db, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_EQ(err->error_id, 1);
  EXPECT_STREQ(err->desc, "Could not open property database.");
  EXPECT_EQ(err->aprerr, ENOENT);  // the errno of the failure
}

TEST_F(DbmTest, NoPathLeadsThroughALinkOrOutOfTheTree) {
  // A link placed in the tree (by a restored backup, or by any account that can write there) led
  // the module's opens, renames and removals to files outside it.
  const std::string root = dir_ / "root";
  for (const char* d : {"root", "root/a", "outside"})
    ASSERT_EQ(::mkdir((dir_ / d).c_str(), 0755), 0);
  kiv_test::write_file(dir_ / "root/a/f", "in");
  kiv_test::write_file(dir_ / "outside/f", "out");
  ASSERT_EQ(::symlink((dir_ / "outside").c_str(), (dir_ / "root/lnk").c_str()), 0);
  ASSERT_EQ(::symlink((dir_ / "outside/f").c_str(), (dir_ / "root/a/flink").c_str()), 0);
  const struct {
    const char* rel;
    int flags;
    int error;  // 0: opens
  } kCases[] = {
      {"a/f", O_RDONLY, 0},
      {"", O_PATH, 0},
      {"a//f", O_RDONLY, 0},
      {"lnk/f", O_RDONLY, ELOOP},
      {"a/flink", O_RDONLY, ELOOP},
      {"a/flink", O_PATH, ELOOP},
      {"lnk", O_PATH, ELOOP},
      {"lnk/new", O_WRONLY | O_CREAT, ELOOP},
      {"../outside/f", O_RDONLY, EXDEV},
      {"a/../../outside/f", O_RDONLY, EXDEV},
      {"a/none", O_RDONLY, ENOENT},
      {"a/f/x", O_RDONLY, ENOTDIR},
  };
  const kiv::UniqueFd root_fd(::open(root.c_str(), O_PATH | O_DIRECTORY));
  for (const kiv::BeneathMode mode : {kiv::BeneathMode::kAuto, kiv::BeneathMode::kWalk}) {
    kiv::set_beneath_mode(mode);
    for (const auto& c : kCases) {
      errno = 0;
      const kiv::UniqueFd fd = kiv::open_beneath(root_fd.get(), c.rel, c.flags, 0600);
      EXPECT_EQ(fd.valid() ? 0 : errno, c.error)
          << c.rel << " walk=" << (mode != kiv::BeneathMode::kAuto);
    }
  }
  kiv::set_beneath_mode(kiv::BeneathMode::kAuto);
  EXPECT_FALSE(path_exists(dir_ / "outside/new"));

  // The DBM layer refuses such paths for reading and writing alike (403), and creates nothing.
  for (const std::string& path :
       {dir_ / "root/lnk/db", dir_ / "root/a/flink", dir_ / "outside/db"}) {
    for (const int ro : {1, 0}) {
      kiv::DbmFile* db = nullptr;
      dav_error* err = kiv::dav_kiv_dbm_open_beneath(pool_, root.c_str(), path.c_str(), ro, &db);
      ASSERT_NE(err, nullptr) << path;
      EXPECT_EQ(err->status, HTTP_FORBIDDEN) << path;
      EXPECT_EQ(db, nullptr);
    }
  }
  EXPECT_EQ(kiv_test::read_file(dir_ / "outside/f"), "out");
  EXPECT_FALSE(path_exists(dir_ / "outside/db"));
}

TEST_F(DbmTest, DbmFailuresCarryTheLibrarysCodeAndText) {
  kiv::DbmFile* db = open_path(dir_ / "db", false);
  ASSERT_NE(db, nullptr);
  dav_error* err = dav_kiv_dbm_delete(db, datum("missing"));
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(err->status, 500);
  EXPECT_NE(err->error_id, 0);
  EXPECT_NE(std::string(err->desc), "");
  EXPECT_EQ(dav_kiv_dbm_error(db, nullptr, APR_SUCCESS), nullptr);
  dav_kiv_dbm_close(db);
}

TEST_F(DbmTest, KeyIterationVisitsEveryKey) {
  kiv::DbmFile* db = open_path(dir_ / "db", false);
  ASSERT_NE(db, nullptr);
  apr_datum_t key{};
  ASSERT_EQ(dav_kiv_dbm_first_key(db, &key), nullptr);
  EXPECT_EQ(key.dptr, nullptr);  // empty database
  for (const char* k : {"a", "b", "c"}) {
    ASSERT_EQ(dav_kiv_dbm_store(db, datum(k), datum("v")), nullptr);
  }
  EXPECT_TRUE(dav_kiv_dbm_exists(db, datum("b")));
  std::vector<std::string> seen;
  for (dav_kiv_dbm_first_key(db, &key); key.dptr != nullptr && seen.size() < 10;
       dav_kiv_dbm_next_key(db, &key)) {
    seen.emplace_back(key.dptr, key.dsize);
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c"}));
  dav_kiv_dbm_close(db);
}

TEST_F(DbmTest, OpenHoldsTheDirectoryLockUntilClose) {
  kiv::set_dbm_lock_wait(0);
  const std::string db_path = dir_ / "db";
  DirectoryLock probe;

  kiv::DbmFile* writer = open_path(db_path, false);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(probe.lock(dir_.path().c_str(), false, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kBusy);
  // The lock is held on a regular file (locks on directories need not exclude across the hosts
  // of a shared file system).
  const kiv::UniqueFd lock_file(::open((dir_ / kiv::kLockFileName).c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(lock_file.valid());
  EXPECT_NE(::flock(lock_file.get(), LOCK_SH | LOCK_NB), 0);
  ASSERT_EQ(dav_kiv_dbm_store(writer, datum("k"), datum("v")), nullptr);
  dav_kiv_dbm_close(writer);
  dav_kiv_dbm_close(writer);  // a second close is harmless
  EXPECT_EQ(probe.lock(dir_.path().c_str(), true, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kLocked);
  probe.unlock();

  // Readers share; a reader keeps writers out.
  kiv::DbmFile* reader = open_path(db_path, true);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(probe.lock(dir_.path().c_str(), false, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kLocked);
  probe.unlock();
  EXPECT_EQ(probe.lock(dir_.path().c_str(), true, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kBusy);
  dav_kiv_dbm_close(reader);

  // A database nobody closed is closed, and its lock given up, with its pool.
  apr_pool_t* request_pool = nullptr;
  apr_pool_create(&request_pool, pool_);
  ASSERT_NE(open_path(db_path, false, request_pool), nullptr);
  EXPECT_EQ(probe.lock(dir_.path().c_str(), false, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kBusy);
  apr_pool_destroy(request_pool);
  EXPECT_EQ(probe.lock(dir_.path().c_str(), true, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kLocked);
}

TEST_F(DbmTest, AWriterKilledBeforeItClosedLeavesTheFileAsItWas) {
  const std::string db_path = dir_ / "db";
  kiv::DbmFile* db = open_path(db_path, false);
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(dav_kiv_dbm_store(db, datum("kept"), datum("before")), nullptr);
  dav_kiv_dbm_close(db);

  const pid_t child = ::fork();
  if (child == 0) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    kiv::DbmFile* w = nullptr;
    if (dav_kiv_dbm_open_path(pool, db_path.c_str(), 0, &w) != nullptr) ::_exit(1);
    // More than the DBM library caches: some pages reach the file before the end.
    for (int i = 0; i < 8000; ++i) {
      const std::string k = "k" + std::to_string(i);
      if (dav_kiv_dbm_store(w, datum(k), datum(std::string(200, 'x'))) != nullptr) ::_exit(1);
    }
    ::raise(SIGKILL);  // dies with the rest of its pages unwritten
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  db = open_path(db_path, true);
  ASSERT_NE(db, nullptr);
  apr_datum_t value{};
  ASSERT_EQ(dav_kiv_dbm_fetch(db, datum("kept"), &value), nullptr);
  EXPECT_EQ(std::string(value.dptr, value.dsize), "before");
  EXPECT_FALSE(dav_kiv_dbm_exists(db, datum("k1")));
  dav_kiv_dbm_close(db);

  // The next writer starts from the file, whatever the dead one left beside it.
  db = open_path(db_path, false);
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(dav_kiv_dbm_store(db, datum("after"), datum("yes")), nullptr);
  dav_kiv_dbm_close(db);
  db = open_path(db_path, true);
  ASSERT_NE(db, nullptr);
  EXPECT_TRUE(dav_kiv_dbm_exists(db, datum("kept")));
  EXPECT_TRUE(dav_kiv_dbm_exists(db, datum("after")));
  dav_kiv_dbm_close(db);
}

TEST_F(DbmTest, AFileCutShortIsRefusedNotOpened) {
  const std::string db_path = dir_ / "db";
  kiv::DbmFile* db = open_path(db_path, false);
  ASSERT_NE(db, nullptr);
  for (int i = 0; i < 300; ++i) {
    const std::string k = "k" + std::to_string(i);
    ASSERT_EQ(dav_kiv_dbm_store(db, datum(k), datum(std::string(100, 'v'))), nullptr);
  }
  dav_kiv_dbm_close(db);
  struct stat st;
  ASSERT_EQ(::stat(db_path.c_str(), &st), 0);
  ASSERT_EQ(::truncate(db_path.c_str(), st.st_size - 4096), 0);
  for (int ro : {1, 0}) {
    kiv::DbmFile* damaged = nullptr;
    dav_error* err = dav_kiv_dbm_open_path(pool_, db_path.c_str(), ro, &damaged);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(damaged, nullptr);
    EXPECT_EQ(err->status, HTTP_INTERNAL_SERVER_ERROR);
    EXPECT_NE(std::string(err->desc).find("damaged"), std::string::npos);
  }
}

TEST_F(DbmTest, WaitingForABusyDatabaseIsBounded) {
  kiv::set_dbm_lock_wait(apr_time_from_msec(200));
  const std::string db_path = dir_ / "db";
  dav_kiv_dbm_close(open_path(db_path, false));

  DirectoryLock holder;
  ASSERT_EQ(holder.lock(dir_.path().c_str(), true, kiv::dbm_lock_wait()),
            DirectoryLock::Result::kLocked);
  const auto start = std::chrono::steady_clock::now();
  for (int ro : {1, 0}) {
    kiv::DbmFile* db = reinterpret_cast<kiv::DbmFile*>(1);
    dav_error* err = dav_kiv_dbm_open_path(pool_, db_path.c_str(), ro, &db);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(db, nullptr);
    EXPECT_EQ(err->status, 500);
    EXPECT_NE(std::string(err->desc).find("busy"), std::string::npos) << err->desc;
  }
  // Each open waited its 200 ms, as the wall clock counts them (allowing for its slewing).
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(380));

  // A holder that lets go within the wait lets the open through. The holder lets go once the open
  // waits, which shows as the gate held: a waiting writer holds the directory's gate file.
  kiv::set_dbm_lock_wait(apr_time_from_sec(10));
  bool seen_waiting = false;
  std::thread release([&] {
    const kiv::UniqueFd gate(::open((dir_ / kiv::kGateFileName).c_str(), O_RDONLY | O_CLOEXEC));
    for (int i = 0; i < 1000 && !seen_waiting; ++i) {
      seen_waiting = ::flock(gate.get(), LOCK_EX | LOCK_NB) != 0;
      if (!seen_waiting) ::flock(gate.get(), LOCK_UN);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    holder.unlock();
  });
  kiv::DbmFile* db = open_path(db_path, false);
  release.join();
  EXPECT_TRUE(seen_waiting);
  ASSERT_NE(db, nullptr);
  dav_kiv_dbm_close(db);
}

std::string key_of(int p, int t, int k) {
  return "p" + std::to_string(p) + "t" + std::to_string(t) + "k" + std::to_string(k);
}

std::string value_of(const std::string& key) {
  return "value of " + key;
}

// Stores key_of(p, t, k) for every k below keys, opening the database read-write for each.
bool write_keys(apr_pool_t* parent, const std::string& db_path, int p, int t, int keys) {
  bool ok = true;
  for (int k = 0; k < keys; ++k) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, parent);
    kiv::DbmFile* db = nullptr;
    const std::string key = key_of(p, t, k);
    const std::string value = value_of(key);
    if (dav_kiv_dbm_open_path(pool, db_path.c_str(), 0, &db) != nullptr ||
        dav_kiv_dbm_store(db, datum(key), datum(value)) != nullptr) {
      ok = false;
    }
    dav_kiv_dbm_close(db);
    apr_pool_destroy(pool);
  }
  return ok;
}

// Reads the database once, checking that every record present is whole (the first ones, to keep
// reads short); the number of failures met. *reads counts a read that found a database.
int read_records(apr_pool_t* pool, const std::string& db_path, std::atomic<int>* reads) {
  int bad_reads = 0;
  kiv::DbmFile* db = nullptr;
  if (dav_kiv_dbm_open_path(pool, db_path.c_str(), 1, &db) != nullptr) ++bad_reads;
  if (db == nullptr) return bad_reads;
  apr_datum_t key{};
  dav_kiv_dbm_first_key(db, &key);
  for (int n = 0; key.dptr != nullptr && n < 200; ++n) {
    apr_datum_t value{};
    const std::string k(key.dptr, key.dsize);
    if (dav_kiv_dbm_fetch(db, key, &value) != nullptr || value.dptr == nullptr ||
        std::string(value.dptr, value.dsize) != value_of(k)) {
      ++bad_reads;
    }
    if (dav_kiv_dbm_next_key(db, &key) != nullptr) ++bad_reads;
  }
  dav_kiv_dbm_close(db);
  ++*reads;
  return bad_reads;
}

// Writers in several processes, each with several threads, open one database read-write for
// every key they store, while readers in this process keep reading it. Without the advisory
// lock keys go missing and the file is corrupted.
TEST_F(DbmTest, ConcurrentWritersAndReadersKeepTheFileWhole) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 4;
  constexpr int kKeys = 150;
  constexpr int kReaders = 2;
  const std::string db_path = dir_ / "db";

  const auto start = std::chrono::steady_clock::now();
  const std::vector<pid_t> children = kiv_test::fork_workers(
      kProcesses, kThreads,
      [&](apr_pool_t* parent, int p, int t) { return write_keys(parent, db_path, p, t, kKeys); });

  std::atomic<bool> writing{true};
  std::atomic<int> reads{0};
  std::atomic<int> bad_reads{0};
  std::vector<apr_pool_t*> reader_pools(kReaders);
  for (auto& pool : reader_pools) apr_pool_create(&pool, pool_);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      while (writing.load()) {
        apr_pool_t* pool = nullptr;
        apr_pool_create(&pool, reader_pools[r]);
        bad_reads += read_records(pool, db_path, &reads);
        apr_pool_destroy(pool);
      }
    });
  }

  kiv_test::wait_workers(children);
  writing = false;
  for (auto& reader : readers) reader.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("[ stress   ] %d writes by %d processes x %d threads and %d full reads in %.2f s\n",
              kProcesses * kThreads * kKeys, kProcesses, kThreads, reads.load(), seconds);

  EXPECT_EQ(bad_reads.load(), 0);
  const auto records = kiv_test::read_dbm(db_path);
  EXPECT_EQ(records.size(), static_cast<std::size_t>(kProcesses * kThreads * kKeys));
  int missing = 0;
  for (int p = 0; p < kProcesses; ++p) {
    for (int t = 0; t < kThreads; ++t) {
      for (int k = 0; k < kKeys; ++k) {
        const std::string key = key_of(p, t, k);
        auto found = records.find(key);
        if (found == records.end() || found->second != value_of(key)) ++missing;
      }
    }
  }
  EXPECT_EQ(missing, 0);
  const std::string verify = kiv_test::run("command -v db5.3_verify >/dev/null && db5.3_verify '" +
                                           db_path + "' 2>&1 && echo verified");
  if (!verify.empty()) {
    EXPECT_NE(verify.find("succeeded.\nverified\n"), std::string::npos) << verify;
  }
}

}  // namespace
