// What the stand-in server functions of fake_httpd.cpp were asked to do.
#ifndef KIV_TESTS_SUPPORT_FAKE_HTTPD_H_
#define KIV_TESTS_SUPPORT_FAKE_HTTPD_H_

#include <apr.h>
#include <apr_errno.h>

namespace kiv_test {

struct FakeHttpdRecord {
  int last_modified_calls = 0;
  int etag_calls = 0;
  int content_length_calls = 0;
  apr_off_t passed_bytes = 0;
  apr_status_t pass_brigade_status = APR_SUCCESS;
};

extern FakeHttpdRecord fake_httpd;

}  // namespace kiv_test

#endif  // KIV_TESTS_SUPPORT_FAKE_HTTPD_H_
