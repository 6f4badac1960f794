// Including this header initialises APR once for the test program, before any test runs.
#ifndef KIV_TESTS_SUPPORT_APR_INIT_H_
#define KIV_TESTS_SUPPORT_APR_INIT_H_

#include <apr_general.h>

#include <cstdlib>

namespace kiv_test {
inline const bool kAprInitialized = [] {
  apr_initialize();
  std::atexit(apr_terminate);
  return true;
}();
}  // namespace kiv_test

#endif  // KIV_TESTS_SUPPORT_APR_INIT_H_
