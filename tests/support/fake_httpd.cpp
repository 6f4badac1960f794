// Stand-ins for the server's response and filter functions and mod_dav's response and
// live-property helpers that the repository hooks call. Unit tests that exercise them record
// what was asked for here.
#include "common/host.h"

#include <cstring>

#include "tests/support/fake_httpd.h"

namespace kiv_test {
FakeHttpdRecord fake_httpd;
}  // namespace kiv_test

extern "C" {

void ap_update_mtime(request_rec* r, apr_time_t dependency_mtime) {
  if (r->mtime < dependency_mtime) r->mtime = dependency_mtime;
}

void ap_set_last_modified(request_rec* /*r*/) { ++kiv_test::fake_httpd.last_modified_calls; }

void ap_set_etag(request_rec* /*r*/) { ++kiv_test::fake_httpd.etag_calls; }

void ap_set_content_length(request_rec* r, apr_off_t length) {
  r->clength = length;
  ++kiv_test::fake_httpd.content_length_calls;
}

apr_status_t ap_pass_brigade(ap_filter_t* /*next*/, apr_bucket_brigade* bb) {
  apr_off_t length = 0;
  apr_brigade_length(bb, 1, &length);
  kiv_test::fake_httpd.passed_bytes += length;
  return kiv_test::fake_httpd.pass_brigade_status;
}

void dav_add_response(dav_walk_resource* wres, int status, dav_get_props_result* propstats) {
  auto* resp = static_cast<dav_response*>(apr_pcalloc(wres->pool, sizeof(dav_response)));
  resp->href = apr_pstrdup(wres->pool, wres->resource->uri);
  resp->status = status;
  if (propstats != nullptr) resp->propresult = *propstats;
  resp->next = wres->response;
  wres->response = resp;
}

int dav_do_find_liveprop(const char* ns_uri, const char* name, const dav_liveprop_group* group,
                         const dav_hooks_liveprop** hooks) {
  for (const dav_liveprop_spec* entry = group->specs; entry->name != nullptr; ++entry) {
    if (std::strcmp(group->namespace_uris[entry->ns], ns_uri) == 0 &&
        std::strcmp(entry->name, name) == 0) {
      *hooks = group->hooks;
      return entry->propid;
    }
  }
  return 0;
}

}  // extern "C"
