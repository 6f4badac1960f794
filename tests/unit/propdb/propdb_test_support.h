// Shared by the tests of the dead-property store: a scratch directory, APR set-up, resources
// built by hand the way the repository builds them, and a raw view of DBM files.
#ifndef KIV_TESTS_UNIT_PROPDB_PROPDB_TEST_SUPPORT_H_
#define KIV_TESTS_UNIT_PROPDB_PROPDB_TEST_SUPPORT_H_

#include <apr_dbm.h>
#include <apr_general.h>
#include <apr_xml.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/host.h"
#include "provider/resource.h"

namespace kiv_test {

// A fresh directory under /tmp, removed with everything in it when the object dies.
// A private directory for one test. Its path is one level below a directory of its own: a
// database's lock gate is the directory above the one it lies in, and /tmp, shared with every
// other test running at the same time, must not be that gate.
class ScratchDir {
 public:
  ScratchDir() {
    char name[] = "/tmp/kiv-propdb-XXXXXX";
    const char* made = ::mkdtemp(name);
    if (made != nullptr) {
      root_ = made;
      path_ = root_ + "/d";
      if (::mkdir(path_.c_str(), 0700) != 0) path_.clear();
    }
  }
  ~ScratchDir() {
    if (!root_.empty()) {
      ::nftw(
          root_.c_str(),
          [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
          FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rest) const { return path_ + "/" + rest; }

 private:
  std::string root_;
  std::string path_;
};

// Initialises APR once for the test program and gives every test its own pool.
class AprTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const bool initialised = [] {
      apr_initialize();
      return true;
    }();
    (void)initialised;
  }
  void SetUp() override { apr_pool_create(&pool_, nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }

  apr_pool_t* pool_ = nullptr;
};

// A looked-up resource at a local path, as the repository makes one.
inline dav_resource* make_resource(apr_pool_t* pool, const std::string& path, bool collection) {
  auto* info = static_cast<dav_resource_private*>(apr_pcalloc(pool, sizeof(dav_resource_private)));
  info->pool = pool;
  info->pathname = apr_pstrdup(pool, path.c_str());
  apr_stat(&info->finfo, info->pathname, APR_FINFO_NORM, pool);
  auto* resource = static_cast<dav_resource*>(apr_pcalloc(pool, sizeof(dav_resource)));
  resource->type = DAV_RESOURCE_TYPE_REGULAR;
  resource->exists = 1;
  resource->collection = collection ? 1 : 0;
  resource->info = info;
  resource->pool = pool;
  return resource;
}

// Parses an XML document; null when it is not well-formed.
inline apr_xml_doc* parse_xml(apr_pool_t* pool, const std::string& text) {
  apr_xml_parser* parser = apr_xml_parser_create(pool);
  apr_xml_doc* doc = nullptr;
  if (apr_xml_parser_feed(parser, text.data(), text.size()) != APR_SUCCESS) return nullptr;
  if (apr_xml_parser_done(parser, &doc) != APR_SUCCESS) return nullptr;
  return doc;
}

// Every record of a DBM file, read with the DBM library itself.
inline std::map<std::string, std::string> read_dbm(const std::string& path) {
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

// Writes records into a new DBM file with the DBM library, bypassing the module.
inline void write_dbm(const std::string& path, const std::map<std::string, std::string>& records) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  apr_dbm_t* dbm = nullptr;
  ASSERT_EQ(apr_dbm_open(&dbm, path.c_str(), APR_DBM_RWCREATE, APR_OS_DEFAULT, pool), APR_SUCCESS);
  for (const auto& [key, value] : records) {
    apr_datum_t k{const_cast<char*>(key.data()), key.size()};
    apr_datum_t v{const_cast<char*>(value.data()), value.size()};
    ASSERT_EQ(apr_dbm_store(dbm, k, v), APR_SUCCESS);
  }
  apr_dbm_close(dbm);
  apr_pool_destroy(pool);
}

inline std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool path_exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Runs a shell command and gives its standard output.
inline std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, got);
    ::pclose(pipe);
  }
  return out;
}

// Runs work(pool, p, t) in `threads` threads of each of `processes` forked children, each thread
// with a pool of its own, while the caller goes on; a child exits with 0 when every call
// returned true. The children are for wait_workers.
inline std::vector<pid_t> fork_workers(int processes, int threads,
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

// Waits for the children of fork_workers and reports any that failed.
inline void wait_workers(const std::vector<pid_t>& children) {
  for (pid_t pid : children) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker process failed";
  }
}

}  // namespace kiv_test

#endif  // KIV_TESTS_UNIT_PROPDB_PROPDB_TEST_SUPPORT_H_
