// Stand-ins for the functions of the server and of mod_dav that the module's hook code calls,
// written from their documented contracts, so that unit tests can call hooks without a server.
// Only what the unit tests reach is here; a test that needs more adds it.
#include <apr_file_info.h>
#include <apr_lib.h>
#include <apr_strings.h>
#include <httpd.h>

#include <cstring>
#include <string>

#include "common/host.h"

extern "C" {

dav_error* dav_new_error(apr_pool_t* p, int status, int error_id, apr_status_t aprerr,
                         const char* desc) {
  auto* err = static_cast<dav_error*>(apr_pcalloc(p, sizeof(dav_error)));
  err->status = status;
  err->error_id = error_id;
  err->desc = desc;
  err->aprerr = aprerr;
  return err;
}

dav_error* dav_new_error_tag(apr_pool_t* p, int status, int error_id, apr_status_t aprerr,
                             const char* desc, const char* ns, const char* tagname) {
  dav_error* err = dav_new_error(p, status, error_id, aprerr, desc);
  err->tagname = tagname;
  err->dav_namespace = ns;
  return err;
}

dav_error* dav_push_error(apr_pool_t* p, int status, int error_id, const char* desc,
                          dav_error* prev) {
  dav_error* err = dav_new_error(p, status, error_id, 0, desc);
  err->prev = prev;
  return err;
}

dav_error* dav_join_error(dav_error* dest, dav_error* src) {
  if (dest == nullptr) return src;
  dav_error* last = dest;
  while (last->prev != nullptr) last = last->prev;
  last->prev = src;
  return dest;
}

namespace {
void grow(apr_pool_t* p, dav_buffer* pbuf, apr_size_t needed) {
  if (pbuf->alloc_len >= needed && pbuf->buf != nullptr) return;
  apr_size_t size = needed + DAV_BUFFER_PAD;
  if (size < DAV_BUFFER_MINSIZE) size = DAV_BUFFER_MINSIZE;
  auto* fresh = static_cast<char*>(apr_palloc(p, size));
  if (pbuf->buf != nullptr && pbuf->cur_len > 0) std::memcpy(fresh, pbuf->buf, pbuf->cur_len);
  pbuf->buf = fresh;
  pbuf->alloc_len = size;
}
}  // namespace

void dav_set_bufsize(apr_pool_t* p, dav_buffer* pbuf, apr_size_t size) {
  grow(p, pbuf, size);
  pbuf->cur_len = size;
}

void dav_buffer_init(apr_pool_t* p, dav_buffer* pbuf, const char* str) {
  const apr_size_t len = std::strlen(str);
  pbuf->cur_len = 0;
  grow(p, pbuf, len + 1);
  std::memcpy(pbuf->buf, str, len + 1);
  pbuf->cur_len = len;
}

void dav_check_bufsize(apr_pool_t* p, dav_buffer* pbuf, apr_size_t extra_needed) {
  grow(p, pbuf, pbuf->cur_len + extra_needed);
}

void dav_buffer_place_mem(apr_pool_t* p, dav_buffer* pbuf, const void* mem, apr_size_t amt,
                          apr_size_t pad) {
  grow(p, pbuf, pbuf->cur_len + amt + pad);
  std::memcpy(pbuf->buf + pbuf->cur_len, mem, amt);
}

void dav_buffer_place(apr_pool_t* p, dav_buffer* pbuf, const char* str) {
  dav_buffer_place_mem(p, pbuf, str, std::strlen(str) + 1, 0);
}

void dav_buffer_append(apr_pool_t* p, dav_buffer* pbuf, const char* str) {
  dav_buffer_place(p, pbuf, str);
  pbuf->cur_len += std::strlen(str);
}

void dav_xmlns_add(dav_xmlns_info* xi, const char* prefix, const char* uri) {
  apr_hash_set(xi->prefix_uri, prefix, APR_HASH_KEY_STRING, uri);
  apr_hash_set(xi->uri_prefix, uri, APR_HASH_KEY_STRING, prefix);
}

dav_xmlns_info* dav_xmlns_create(apr_pool_t* pool) {
  auto* xi = static_cast<dav_xmlns_info*>(apr_pcalloc(pool, sizeof(dav_xmlns_info)));
  xi->pool = pool;
  xi->uri_prefix = apr_hash_make(pool);
  xi->prefix_uri = apr_hash_make(pool);
  return xi;
}

long dav_get_liveprop_info(int propid, const dav_liveprop_group* group,
                           const dav_liveprop_spec** info) {
  for (const dav_liveprop_spec* entry = group->specs; entry->name != nullptr; ++entry) {
    if (entry->propid == propid) {
      *info = entry;
      return entry->ns;  // the test host numbers namespaces by the group's own indexes
    }
  }
  *info = nullptr;
  return 0;
}

char* ap_make_dirstr_parent(apr_pool_t* p, const char* s) {
  const char* last_slash = std::strrchr(s, '/');
  if (last_slash == nullptr) return apr_pstrdup(p, "");
  return apr_pstrmemdup(p, s, static_cast<apr_size_t>(last_slash - s) + 1);
}

// The module record, for tests that link the configuration code (module/config.cpp) without the
// module itself. Its module_index is 0, so such a test keeps its server configuration at index 0
// of a server's module_config vector. Weak: a test that links the real record gets that one.
__attribute__((weak)) module AP_MODULE_DECLARE_DATA dav_kiv_module = {};

// The server's path resolution for configuration files: an absolute name stays as it is; a
// relative one is taken relative to the working directory, which stands in for ServerRoot here.
// Null when the name cannot be resolved.
char* ap_server_root_relative(apr_pool_t* p, const char* fname) {
  char* path = nullptr;
  if (apr_filepath_merge(&path, nullptr, fname, APR_FILEPATH_TRUENAME, p) != APR_SUCCESS) {
    return nullptr;
  }
  return path;
}

// The next word of a configuration line, from p, and *line moved past it and the blanks after it.
// A word in single or double quotes may hold blanks; a backslash before the quote keeps it.
char* ap_getword_conf(apr_pool_t* p, const char** line) {
  const char* s = *line;
  while (*s != '\0' && apr_isspace(*s)) ++s;
  std::string word;
  if (*s == '"' || *s == '\'') {
    const char quote = *s++;
    while (*s != '\0' && *s != quote) {
      if (*s == '\\' && s[1] == quote) ++s;
      word += *s++;
    }
    if (*s == quote) ++s;
  } else {
    while (*s != '\0' && !apr_isspace(*s)) word += *s++;
  }
  while (*s != '\0' && apr_isspace(*s)) ++s;
  *line = s;
  return apr_pstrmemdup(p, word.data(), word.size());
}

// Every request of the unit tests maps into the whole file system.
const char* ap_document_root(request_rec* /*r*/) {
  return "/";
}

// The error log of the unit tests is nowhere (they install no server to log to).
void ap_log_error_(const char* /*file*/, int /*line*/, int /*module_index*/, int /*level*/,
                   apr_status_t /*status*/, const server_rec* /*s*/, const char* /*fmt*/, ...) {}

void ap_update_mtime(request_rec* r, apr_time_t dependency_mtime) {
  if (r->mtime < dependency_mtime) r->mtime = dependency_mtime;
}

void ap_set_last_modified(request_rec* /*r*/) {}

void ap_set_etag(request_rec* /*r*/) {}

void ap_set_content_length(request_rec* r, apr_off_t length) {
  r->clength = length;
}

void ap_set_content_type(request_rec* r, const char* ct) {
  r->content_type = ct;
}

// The response body goes nowhere.
apr_status_t ap_pass_brigade(ap_filter_t* /*next*/, apr_bucket_brigade* /*bb*/) {
  return APR_SUCCESS;
}

void dav_add_response(dav_walk_resource* wres, int status, dav_get_props_result* propstats) {
  auto* resp = static_cast<dav_response*>(apr_pcalloc(wres->pool, sizeof(dav_response)));
  resp->href = apr_pstrdup(wres->pool, wres->resource->uri);
  resp->status = status;
  if (propstats != nullptr) resp->propresult = *propstats;
  resp->next = wres->response;
  wres->response = resp;
}

// Locks that a new resource inherits from its parent are not looked for.
dav_error* dav_notify_created(request_rec* /*r*/, dav_lockdb* /*lockdb*/,
                              const dav_resource* /*resource*/, int /*resource_state*/,
                              int /*depth*/) {
  return nullptr;
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
