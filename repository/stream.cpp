// Content streams and delivery: the body of a PUT is gathered in memory and stored whole in the
// repository service when mod_dav commits it; a GET fetches the document whole and hands it to
// the output filters. A GET of a collection answers with an index page of its members
// (index_page.cpp) unless the server's KIVIndexes is Off, and then with 409.
#include <string>

#include "common/host_util.h"
#include "provider/local_files.h"
#include "provider/repository.h"
#include "provider/resource.h"
#include "provider/server_conf.h"
#include "repository/repository_internal.h"

extern "C" {

namespace {

// Owns a string (an upload's body, a fetched document) until its pool goes, so that the output
// filters can send a document from where it was fetched, without a copy. A pool cleanup; cannot
// throw.
apr_status_t delete_string(void* text) noexcept {
  delete static_cast<std::string*>(text);
  return APR_SUCCESS;
}

}  // namespace

}  // extern "C"

namespace kiv::repository {

namespace {

// An empty string owned by pool (see delete_string).
std::string* pool_string(apr_pool_t* pool) {
  auto* text = new std::string();
  apr_pool_cleanup_register(pool, text, delete_string, apr_pool_cleanup_null);
  return text;
}

}  // namespace

dav_error* open_stream(const dav_resource* resource, dav_stream** stream) {
  auto* ds = static_cast<dav_stream*>(apr_pcalloc(resource->pool, sizeof(dav_stream)));
  ds->pool = resource->pool;
  ds->root = tree_root(resource);
  ds->pathname = resource->info->pathname;
  ds->uri = resource->uri;
  ds->body = pool_string(resource->pool);
  ds->request = request_of(resource->pool);
  *stream = ds;
  return nullptr;
}

dav_error* write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize) {
  stream->body->append(static_cast<const char*>(buf), bufsize);
  return nullptr;
}

dav_error* close_stream(dav_stream* stream, int commit) {
  std::string body;
  body.swap(*stream->body);  // the memory goes with this call, not with the request
  if (!commit) return nullptr;
  const Status status = Repository::current().store(stream->uri, body);
  if (!status.ok()) return service_error(stream->pool, ServiceOp::kStore, status);
  // A PUT answers with the validators of what it stored, so that a client need not ask again.
  // Without a local file to describe it there are none to give.
  request_rec* r = stream->request;
  if (r == nullptr || r->method_number != M_PUT) return nullptr;
  apr_finfo_t finfo;
  if (local_stat(stream->pool, stream->root, stream->pathname, &finfo) == LocalFile::kFound &&
      finfo.filetype == APR_REG) {
    set_stored_validators(r, finfo);
  }
  return nullptr;
}

dav_error* seek_stream(dav_stream* stream) {
  return error(stream->pool, HTTP_INTERNAL_SERVER_ERROR,
               "Could not seek to specified position in the resource.");
}

dav_error* set_headers(request_rec* r, const dav_resource* resource) {
  if (!resource->exists) return nullptr;
  // The index page is made anew for every request: no validators, no length, no ranges.
  if (resource->collection && collection_indexes(r)) {
    ap_set_content_type(r, kIndexPageType);
    return nullptr;
  }
  const apr_finfo_t& finfo = resource->info->finfo;
  ap_update_mtime(r, finfo.mtime);
  ap_set_last_modified(r);
  ap_set_etag(r);
  apr_table_setn(r->headers_out, "Accept-Ranges", "bytes");
  if (finfo.filetype == APR_REG) ap_set_content_length(r, finfo.size);
  return nullptr;
}

void set_stored_validators(request_rec* r, const apr_finfo_t& finfo) {
  r->finfo = finfo;
  ap_update_mtime(r, finfo.mtime);
  ap_set_etag(r);
  // Not ap_set_last_modified: it caps the time at the request's start, which a document stored
  // during the request is later than; a HEAD afterwards answers the time itself.
  char* date = static_cast<char*>(apr_palloc(r->pool, APR_RFC822_DATE_LEN));
  apr_rfc822_date(date, finfo.mtime);
  apr_table_setn(r->headers_out, "Last-Modified", date);
}

dav_error* deliver(const dav_resource* resource, ap_filter_t* output) {
  if (resource->type != DAV_RESOURCE_TYPE_REGULAR && resource->type != DAV_RESOURCE_TYPE_VERSION &&
      resource->type != DAV_RESOURCE_TYPE_WORKING) {
    return error(resource->pool, HTTP_CONFLICT, "Cannot GET this type of resource.");
  }
  if (resource->collection) {
    if (collection_indexes(output->r)) return deliver_index(resource, output);
    return error(resource->pool, HTTP_CONFLICT,
                 "There is no default response to GET for a collection.");
  }
  std::string* document = pool_string(resource->pool);
  const Status status = Repository::current().fetch(resource->uri, document);
  if (!status.ok()) return service_error(resource->pool, ServiceOp::kFetch, status);
  ap_set_content_length(output->r, static_cast<apr_off_t>(document->size()));
  apr_bucket_brigade* bb = apr_brigade_create(resource->pool, output->c->bucket_alloc);
  APR_BRIGADE_INSERT_TAIL(
      bb, apr_bucket_immortal_create(document->data(), document->size(), output->c->bucket_alloc));
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(output->c->bucket_alloc));
  if (ap_pass_brigade(output, bb) != APR_SUCCESS) {
    return error(resource->pool, HTTP_FORBIDDEN, "Could not write contents to filter.");
  }
  return nullptr;
}

}  // namespace kiv::repository
