// What a reader of a property or lock database pays: open, fetch of one record and close, through
// the DBM layer (a shared lock on the database's directory, with and without the per-process read
// images) and straight through the DBM library without any lock, by one and by four threads.
#include <apr_dbm.h>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/host.h"
#include "dbm/dbm.h"
#include "dbm/dbm_cache.h"
#include "tests/support/scratch.h"

namespace {

std::string db_path;

apr_datum_t datum(const std::string& s) {
  return apr_datum_t{const_cast<char*>(s.data()), s.size()};
}

// Opens, fetches the thread's own key and closes, each time in a pool of its own.
void read_once(apr_pool_t* pool, bool through_layer, const std::string& key, bool* ok) {
  apr_datum_t value{};
  if (through_layer) {
    kiv::DbmFile* db = nullptr;
    *ok = dav_kiv_dbm_open_path(pool, db_path.c_str(), 1, &db) == nullptr && db != nullptr &&
          dav_kiv_dbm_fetch(db, datum(key), &value) == nullptr && value.dptr != nullptr;
    dav_kiv_dbm_close(db);
    return;
  }
  apr_dbm_t* dbm = nullptr;
  *ok =
      apr_dbm_open(&dbm, db_path.c_str(), APR_DBM_READONLY, APR_OS_DEFAULT, pool) == APR_SUCCESS &&
      apr_dbm_fetch(dbm, datum(key), &value) == APR_SUCCESS && value.dptr != nullptr;
  if (dbm != nullptr) apr_dbm_close(dbm);
}

void read_loop(benchmark::State& state, bool through_layer) {
  apr_pool_t* parent = nullptr;
  apr_pool_create(&parent, nullptr);
  const std::string key = "key" + std::to_string(state.thread_index());
  for (auto _ : state) {
    apr_pool_t* pool = nullptr;
    apr_pool_create(&pool, parent);
    bool ok = false;
    read_once(pool, through_layer, key, &ok);
    apr_pool_destroy(pool);
    if (!ok) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
  apr_pool_destroy(parent);
}

// Turns the read images on or off, before the threads of a run start.
void set_images(const benchmark::State& state) {
  static std::vector<std::uint64_t> counters(8192);
  kiv::dbm_cache_attach(state.range(0) != 0 ? counters.data() : nullptr,
                        counters.size() * sizeof(std::uint64_t));
}

// Argument: whether the read images are on (as in the server, where they always are).
void BM_ReadThroughLayer(benchmark::State& state) {
  read_loop(state, true);
  state.SetLabel(state.range(0) != 0 ? "images" : "no images");
}
BENCHMARK(BM_ReadThroughLayer)
    ->Arg(0)
    ->Arg(1)
    ->Setup(set_images)
    ->Threads(1)
    ->Threads(4)
    ->UseRealTime();

void BM_ReadWithoutLock(benchmark::State& state) {
  read_loop(state, false);
}
BENCHMARK(BM_ReadWithoutLock)->Threads(1)->Threads(4)->UseRealTime();

// A database of 100 small records in a scratch directory.
bool prepare(apr_pool_t* pool, const kiv_test::ScratchDir& dir) {
  db_path = dir / "db";
  kiv::DbmFile* db = nullptr;
  if (dir.path().empty() || dav_kiv_dbm_open_path(pool, db_path.c_str(), 0, &db) != nullptr) {
    return false;
  }
  bool ok = true;
  for (int i = 0; i < 100; ++i) {
    ok = dav_kiv_dbm_store(db, datum("key" + std::to_string(i)), datum("value")) == nullptr && ok;
  }
  dav_kiv_dbm_close(db);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  apr_initialize();
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  int status = 0;
  {
    kiv_test::ScratchDir dir;
    if (prepare(pool, dir)) {
      benchmark::RunSpecifiedBenchmarks();
    } else {
      std::fprintf(stderr, "cannot make the database\n");
      status = 1;
    }
  }
  benchmark::Shutdown();
  apr_pool_destroy(pool);
  apr_terminate();
  return status;
}
