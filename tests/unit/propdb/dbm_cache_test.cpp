// Read images of DBM files: a reader uses an image only while no write happened since, in this
// process or in another; a writer reads from an image and opens the file at its first write.
#include "dbm/dbm_cache.h"

#include <sys/mman.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/tree_id.h"
#include "dbm/dbm.h"
#include "dbm/dbm_internal.h"
#include "dbm/state_dir.h"
#include "tests/support/module_test.h"

// Every allocation through operator new fails while this is set, as when memory runs out. The
// replacements pair malloc with free, as the library's own do.
std::atomic<bool> allocations_fail{false};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (allocations_fail.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#pragma GCC diagnostic pop

namespace kiv_test {
namespace {

class DbmCacheTest : public AprTest {
 protected:
  void SetUp() override {
    AprTest::SetUp();
    // Counters in shared memory, as the server has them, so that forked writers count too.
    counters_ =
        ::mmap(nullptr, kCounterBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(counters_, MAP_FAILED);
    kiv::dbm_cache_attach(counters_, kCounterBytes);
    path_ = dir_ / "db";
  }
  void TearDown() override {
    kiv::dbm_cache_attach(nullptr, 0);
    ::munmap(counters_, kCounterBytes);
    AprTest::TearDown();
  }

  void put(const std::string& key, const std::string& value) {
    kiv::DbmFile* db = nullptr;
    ASSERT_EQ(dav_kiv_dbm_open_path(pool_, path_.c_str(), 0, &db), nullptr);
    ASSERT_EQ(dav_kiv_dbm_store(db, datum(key), datum(value)), nullptr);
    dav_kiv_dbm_close(db);
  }

  // The value of key through a read-only open; "(none)" when missing; also says whether the read
  // came from an image.
  std::string get(const std::string& key, bool* from_image = nullptr) {
    kiv::DbmFile* db = nullptr;
    EXPECT_EQ(dav_kiv_dbm_open_path(pool_, path_.c_str(), 1, &db), nullptr);
    if (db == nullptr) return "(no database)";
    if (from_image != nullptr) *from_image = db->dbm == nullptr;
    apr_datum_t value{};
    EXPECT_EQ(dav_kiv_dbm_fetch(db, datum(key), &value), nullptr);
    std::string out = value.dptr == nullptr ? "(none)" : std::string(value.dptr, value.dsize);
    dav_kiv_dbm_free_datum(db, value);
    dav_kiv_dbm_close(db);
    return out;
  }

  static constexpr std::size_t kCounterBytes = 64 * 1024;
  void* counters_ = nullptr;
  ScratchDir dir_;
  std::string path_;
};

TEST_F(DbmCacheTest, ReaderUsesTheImageUntilAWriteInThisProcess) {
  put("a", "1");
  bool from_image = true;
  EXPECT_EQ(get("a", &from_image), "1");
  EXPECT_TRUE(from_image);  // a miss reads the file whole and serves the read from the image
  EXPECT_EQ(get("a", &from_image), "1");
  EXPECT_TRUE(from_image);
  put("a", "2");
  EXPECT_EQ(get("a"), "2");
  EXPECT_EQ(get("missing"), "(none)");

  // A tree that other hosts change too is read from its file every time.
  kiv::set_tree_id(7);
  EXPECT_EQ(get("a", &from_image), "2");
  kiv::clear_tree_id();
  EXPECT_FALSE(from_image);
}

TEST_F(DbmCacheTest, AWriteInAnotherProcessMakesTheImageStale) {
  put("k", "before");
  EXPECT_EQ(get("k"), "before");
  const pid_t child = ::fork();
  if (child == 0) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, nullptr);
    kiv::DbmFile* db = nullptr;
    int ok = dav_kiv_dbm_open_path(pool, path_.c_str(), 0, &db) == nullptr &&
             dav_kiv_dbm_store(db, datum("k"), datum("after")) == nullptr;
    dav_kiv_dbm_close(db);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(get("k"), "after");
}

TEST_F(DbmCacheTest, AFileReplacedBehindTheLayerIsNotTakenForItsImage) {
  put("k", "old");
  EXPECT_EQ(get("k"), "old");
  // Another file moved into place (as a MOVE of state files does) has another identity.
  const std::string other = dir_ / "other";
  kiv::DbmFile* db = nullptr;
  ASSERT_EQ(dav_kiv_dbm_open_path(pool_, other.c_str(), 0, &db), nullptr);
  ASSERT_EQ(dav_kiv_dbm_store(db, datum("k"), datum("moved in")), nullptr);
  dav_kiv_dbm_close(db);
  ASSERT_EQ(::rename(other.c_str(), path_.c_str()), 0);
  EXPECT_EQ(get("k"), "moved in");
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  EXPECT_EQ(get("k"), "(no database)");
}

TEST_F(DbmCacheTest, WriterReadsTheImageAndOpensTheFileAtItsFirstWrite) {
  put("x", "1");
  put("y", "2");
  EXPECT_EQ(get("x"), "1");  // makes the image

  kiv::DbmFile* db = nullptr;
  ASSERT_EQ(dav_kiv_dbm_open_path(pool_, path_.c_str(), 0, &db), nullptr);
  EXPECT_EQ(db->dbm, nullptr);
  EXPECT_TRUE(db->lock.held());  // the exclusive lock is held all the same
  EXPECT_TRUE(dav_kiv_dbm_exists(db, datum("y")));
  apr_datum_t key{};
  ASSERT_EQ(dav_kiv_dbm_first_key(db, &key), nullptr);
  int listed = 0;
  while (key.dptr != nullptr) {
    ++listed;
    ASSERT_EQ(dav_kiv_dbm_next_key(db, &key), nullptr);
  }
  EXPECT_EQ(listed, 2);
  ASSERT_EQ(dav_kiv_dbm_delete(db, datum("x")), nullptr);
  EXPECT_NE(db->dbm, nullptr);
  EXPECT_FALSE(dav_kiv_dbm_exists(db, datum("x")));
  dav_kiv_dbm_close(db);
  EXPECT_EQ(get("x"), "(none)");
  EXPECT_EQ(get("y"), "2");
}

TEST_F(DbmCacheTest, TooBigADatabaseIsReadFromItsFile) {
  const std::string big(kiv::kMaxImageBytes / 2 + 1, 'v');
  put("a", big);
  put("b", big);
  bool from_image = true;
  EXPECT_EQ(get("a", &from_image), big);
  EXPECT_FALSE(from_image);
}

TEST(DbmSnapshotTest, KeepsOrderAndFindsKeys) {
  kiv::DbmSnapshot image;
  image.add("second", "2");
  image.add("first", "");
  image.seal();
  ASSERT_EQ(image.size(), 2u);
  EXPECT_EQ(image.key(0), "second");
  EXPECT_EQ(image.find("first"), 1);
  EXPECT_EQ(image.value(1), "");
  EXPECT_EQ(image.find("third"), -1);
  EXPECT_TRUE(image.owns(image.value(0).data()));
  const char elsewhere = 'x';
  EXPECT_FALSE(image.owns(&elsewhere));
}

// A writer that changed nothing reads the file into an image as its pool cleanup closes it; that
// allocates, and memory may run out there. The server calls the cleanup: nothing may escape it,
// and the database's lock must go all the same.
TEST_F(DbmCacheTest, OutOfMemoryInTheCloseCleanupEscapesNothingAndReleasesTheLock) {
  put("k", "v");
  apr_pool_t* request = nullptr;
  apr_pool_create(&request, pool_);
  kiv::DbmFile* db = nullptr;
  ASSERT_EQ(dav_kiv_dbm_open_path(request, path_.c_str(), 0, &db), nullptr);
  ASSERT_NE(db->dbm, nullptr);  // read from the file: the close will make an image
  allocations_fail = true;
  apr_pool_destroy(request);  // runs the cleanup
  allocations_fail = false;
  kiv::set_dbm_lock_wait(0);
  ASSERT_EQ(dav_kiv_dbm_open_path(pool_, path_.c_str(), 0, &db), nullptr);
  kiv::set_dbm_lock_wait(apr_time_from_sec(30));
  dav_kiv_dbm_close(db);
  EXPECT_EQ(get("k"), "v");
}

}  // namespace
}  // namespace kiv_test
