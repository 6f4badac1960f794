#include "tests/support/module_test.h"

#include <apr_dbm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "provider/resource.h"
#include "repository/repository.h"

namespace kiv_test {

void AprTest::SetUp() {
  static const bool initialised = [] {
    apr_initialize();
    std::atexit(apr_terminate);
    return true;
  }();
  (void)initialised;
  ASSERT_EQ(apr_pool_create(&pool_, nullptr), APR_SUCCESS);
}

void AprTest::TearDown() {
  if (pool_ != nullptr) apr_pool_destroy(pool_);
  pool_ = nullptr;
}

dav_resource* make_resource(apr_pool_t* pool, const std::string& path, bool collection,
                            const char* uri) {
  auto* info = static_cast<dav_resource_private*>(apr_pcalloc(pool, sizeof(dav_resource_private)));
  info->pool = pool;
  info->pathname = apr_pstrdup(pool, path.c_str());
  info->root = "/";
  apr_stat(&info->finfo, info->pathname, APR_FINFO_NORM, pool);
  auto* resource = static_cast<dav_resource*>(apr_pcalloc(pool, sizeof(dav_resource)));
  resource->type = DAV_RESOURCE_TYPE_REGULAR;
  resource->exists = 1;
  resource->collection = collection ? 1 : 0;
  resource->uri = uri != nullptr ? apr_pstrdup(pool, uri) : info->pathname;
  resource->info = info;
  resource->hooks = &dav_kiv_hooks_repository;
  resource->pool = pool;
  return resource;
}

apr_datum_t datum(const std::string& s) {
  return apr_datum_t{const_cast<char*>(s.data()), s.size()};
}

std::map<std::string, std::string> read_dbm(const std::string& path) {
  std::map<std::string, std::string> records;
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_dbm_t* dbm = nullptr;
  if (apr_dbm_open(&dbm, path.c_str(), APR_DBM_READONLY, APR_OS_DEFAULT, pool) == APR_SUCCESS) {
    apr_datum_t key;
    for (apr_dbm_firstkey(dbm, &key); key.dptr != nullptr; apr_dbm_nextkey(dbm, &key)) {
      apr_datum_t value{};
      apr_dbm_fetch(dbm, key, &value);
      records[std::string(key.dptr, key.dsize)] =
          value.dptr != nullptr ? std::string(value.dptr, value.dsize) : std::string();
    }
    apr_dbm_close(dbm);
  }
  apr_pool_destroy(pool);
  return records;
}

void write_dbm(const std::string& path, const std::map<std::string, std::string>& records) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_dbm_t* dbm = nullptr;
  ASSERT_EQ(apr_dbm_open(&dbm, path.c_str(), APR_DBM_RWCREATE, APR_OS_DEFAULT, pool), APR_SUCCESS);
  for (const auto& [key, value] : records) {
    ASSERT_EQ(apr_dbm_store(dbm, datum(key), datum(value)), APR_SUCCESS);
  }
  apr_dbm_close(dbm);
  apr_pool_destroy(pool);
}

apr_xml_doc* parse_xml(apr_pool_t* pool, const std::string& text) {
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  apr_xml_doc* doc = nullptr;
  if (apr_xml_parser_feed(parser, text.data(), text.size()) != APR_SUCCESS) return nullptr;
  if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) return nullptr;
  return doc;
}

std::vector<pid_t> fork_workers(int processes, int threads,
                                const std::function<bool(apr_pool_t*, int, int)>& work) {
  std::vector<pid_t> children;
  for (int p = 0; p < processes; ++p) {
    const pid_t pid = ::fork();
    if (pid < 0) {
      ADD_FAILURE() << "fork failed";
      break;
    }
    if (pid == 0) {
      std::atomic<int> failures{0};
      std::vector<std::thread> workers;
      for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
          apr_pool_t* pool = nullptr;
          apr_pool_create(&pool, nullptr);
          if (!work(pool, p, t)) ++failures;
        });
      }
      for (auto& worker : workers) worker.join();
      ::_exit(failures.load() == 0 ? 0 : 1);
    }
    children.push_back(pid);
  }
  return children;
}

void wait_workers(const std::vector<pid_t>& children) {
  for (pid_t pid : children) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker process failed";
  }
}

}  // namespace kiv_test
