// Helpers shared by the files of the repository subsystem only.
#ifndef KIV_REPOSITORY_REPOSITORY_INTERNAL_H_
#define KIV_REPOSITORY_REPOSITORY_INTERNAL_H_

#include <apr_pools.h>
#include <apr_time.h>

class WebDavUtil;

namespace kiv {

// The process-wide repository service client; fetched afresh by every operation.
WebDavUtil* repository_client();

// A copy of path in pool without one trailing "/", unless path is a single character.
char* strip_one_trailing_slash(apr_pool_t* pool, const char* path);

// Formats t into buf (at least 30 bytes): style 1 (DAV_STYLE_ISO8601) "1970-01-01T00:00:00Z",
// style 2 (DAV_STYLE_RFC822) "Thu, 01 Jan 1970 00:00:00 GMT". Returns the characters written.
int dav_kiv_format_time(int style, apr_time_t t, char* buf);

// Makes an error with error id 0 from pool.
inline dav_error* error(apr_pool_t* pool, int status, const char* message) {
  return dav_new_error(pool, status, 0, 0, message);
}

}  // namespace kiv

#endif  // KIV_REPOSITORY_REPOSITORY_INTERNAL_H_
