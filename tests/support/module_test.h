// What the unit tests of the module's hook code share: APR set up once with a pool per test,
// resources built as the repository builds them, raw access to DBM files, and workers in forked
// processes.
#ifndef KIV_TESTS_SUPPORT_MODULE_TEST_H_
#define KIV_TESTS_SUPPORT_MODULE_TEST_H_

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/host.h"
#include "tests/support/scratch.h"

namespace kiv_test {

// Initialises APR once for the test program and gives every test its own pool, destroyed after
// the test. A fixture that overrides SetUp or TearDown calls these first and last.
class AprTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  apr_pool_t* pool_ = nullptr;
};

// A looked-up resource of this repository at a local path, from pool: its file information read
// when a file is there, existing, its URI the path itself unless given.
dav_resource* make_resource(apr_pool_t* pool, const std::string& path, bool collection = false,
                            const char* uri = nullptr);

// A datum over the bytes of s (s must outlive it).
apr_datum_t datum(const std::string& s);

// Every record of a DBM file, read with the DBM library itself; none when there is no file.
std::map<std::string, std::string> read_dbm(const std::string& path);
// Stores records into a DBM file (made when missing) with the DBM library, bypassing the module.
void write_dbm(const std::string& path, const std::map<std::string, std::string>& records);

// Parses an XML document from pool; null when it is not well-formed.
apr_xml_doc* parse_xml(apr_pool_t* pool, const std::string& text);

// Runs work(pool, p, t) in `threads` threads of each of `processes` forked children, each thread
// with a pool of its own, while the caller goes on; a child exits with 0 when every call
// returned true. The children are for wait_workers.
std::vector<pid_t> fork_workers(int processes, int threads,
                                const std::function<bool(apr_pool_t*, int, int)>& work);
// Waits for the children of fork_workers and reports any that failed.
void wait_workers(const std::vector<pid_t>& children);

}  // namespace kiv_test

#endif  // KIV_TESTS_SUPPORT_MODULE_TEST_H_
