// Keeps C++ exceptions out of the server: every entry point that the host calls runs its body
// through one of these guards, which turn an exception into the answer the host understands.
#ifndef KIV_COMMON_GUARD_H_
#define KIV_COMMON_GUARD_H_

#include <exception>
#include <new>

#include "common/host.h"

namespace kiv {

// Runs body (returning dav_error*) and converts any exception into a 500 error allocated from
// pool. The result lives as long as pool.
template <typename Body>
dav_error* guarded(apr_pool_t* pool, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0, "Out of memory.");
  } catch (const std::exception& e) {
    return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                         apr_pstrcat(pool, "Internal error: ", e.what(), nullptr));
  } catch (...) {
    return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0, "Internal error.");
  }
}

// Runs body (returning a value) and answers fallback when it throws; for entry points whose
// signature has no room for an error.
template <typename Result, typename Body>
Result guarded_value(Result fallback, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

// Runs body (returning nothing) and swallows what it throws.
template <typename Body>
void guarded_void(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace kiv

#endif  // KIV_COMMON_GUARD_H_
