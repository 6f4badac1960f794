// Small helpers over the host's records for the layers that run inside the server: error records
// and copies of text in pools.
#ifndef KIV_COMMON_HOST_UTIL_H_
#define KIV_COMMON_HOST_UTIL_H_

#include <string_view>

#include "common/host.h"

namespace kiv {

// An error record with error id 0 and no saved errno, from pool; it lives as long as pool.
inline dav_error* error(apr_pool_t* pool, int status, const char* message) {
  return dav_new_error(pool, status, 0, 0, message);
}

// A NUL-terminated copy of text in pool; it lives as long as pool.
inline const char* pool_copy(apr_pool_t* pool, std::string_view text) {
  return apr_pstrmemdup(pool, text.data(), text.size());
}

}  // namespace kiv

#endif  // KIV_COMMON_HOST_UTIL_H_
