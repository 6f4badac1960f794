// Content streams and delivery. The body of a PUT goes to the repository service as it arrives,
// and is stored when mod_dav commits it; nothing is stored when it does not. A GET sends the
// version of the document that its lookup described: from the open document the service handed
// over (a file bucket, which the core sends with sendfile and the byte-range filter seeks in),
// from the content that came along with a small document, or else from buckets that read their
// range through the service a chunk at a time when they are read (remote_bucket.cpp). A GET of a
// collection answers with an index page of its members (index_page.cpp) unless the server's
// KIVIndexes is Off, and then with 409.
#include <memory>
#include <string>

#include "common/host_util.h"
#include "provider/repository.h"
#include "provider/resource.h"
#include "provider/server_conf.h"
#include "repository/repository_internal.h"

extern "C" {

namespace {

// Owns a string (a fetched document) until its pool goes, so that the output filters can send a
// document from where it was fetched, without a copy. A pool cleanup; cannot throw.
apr_status_t delete_string(void* text) noexcept {
  delete static_cast<std::string*>(text);
  return APR_SUCCESS;
}

// Ends an upload that was not committed: nothing of it is stored. A pool cleanup; cannot throw
// (the client's abort does not).
apr_status_t delete_sink(void* sink) noexcept {
  delete static_cast<kiv::DocumentSink*>(sink);
  return APR_SUCCESS;
}

}  // namespace

}  // extern "C"

namespace kiv::repository {

namespace {

// What a document sent from its descriptor is read in, where the core does not use sendfile.
constexpr apr_size_t kFileReadBuffer = 128 * 1024;

// An empty string owned by pool (see delete_string).
std::string* pool_string(apr_pool_t* pool) {
  auto* text = new std::string();
  apr_pool_cleanup_register(pool, text, delete_string, apr_pool_cleanup_null);
  return text;
}

// The declared length of the request body, or -1 when it is not known ahead (chunked).
std::int64_t declared_length(request_rec* r) {
  if (r == nullptr || apr_table_get(r->headers_in, "Transfer-Encoding") != nullptr) return -1;
  const char* text = apr_table_get(r->headers_in, "Content-Length");
  if (text == nullptr) return -1;
  apr_off_t length = 0;
  char* end = nullptr;
  if (apr_strtoff(&length, text, &end, 10) != APR_SUCCESS || end == text || *end != '\0' ||
      length < 0) {
    return -1;
  }
  return static_cast<std::int64_t>(length);
}

// What passing the body down the output filters answered: nothing to add when a filter answered
// the request itself (the byte-range filter's 416 for a range beyond the end) or the client went
// away; an error otherwise.
dav_error* passed(const dav_resource* resource, ap_filter_t* output, apr_status_t status) {
  if (status == APR_SUCCESS || status == AP_FILTER_ERROR || output->c->aborted) return nullptr;
  return error(resource->pool, HTTP_FORBIDDEN, "Could not write contents to filter.");
}

// Sends the document whole, fetched in one piece: for a repository that describes no versions.
dav_error* deliver_fetched(const dav_resource* resource, ap_filter_t* output) {
  std::string* document = pool_string(resource->pool);
  const Status status = Repository::current().fetch(resource->uri, document);
  if (!status.ok()) return service_error(resource->pool, ServiceOp::kFetch, status);
  ap_set_content_length(output->r, static_cast<apr_off_t>(document->size()));
  apr_bucket_brigade* bb = apr_brigade_create(resource->pool, output->c->bucket_alloc);
  APR_BRIGADE_INSERT_TAIL(
      bb, apr_bucket_immortal_create(document->data(), document->size(), output->c->bucket_alloc));
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(output->c->bucket_alloc));
  return passed(resource, output, ap_pass_brigade(output, bb));
}

}  // namespace

dav_error* open_stream(const dav_resource* resource, bool create_only, dav_stream** stream) {
  auto* ds = static_cast<dav_stream*>(apr_pcalloc(resource->pool, sizeof(dav_stream)));
  ds->pool = resource->pool;
  ds->uri = resource->uri;
  ds->request = request_of(resource->pool);
  // Whether the document can be stored is known before a byte of the body is read: a refusal
  // answers at once, and a client that waits for 100-continue sends nothing.
  std::unique_ptr<DocumentSink> sink;
  const Status status = Repository::current().begin_upload(
      ds->uri, create_only ? 0 : declared_length(ds->request), create_only, &sink);
  if (!status.ok()) return service_error(ds->pool, ServiceOp::kStore, status);
  ds->sink = sink.release();
  apr_pool_cleanup_register(ds->pool, ds->sink, delete_sink, apr_pool_cleanup_null);
  *stream = ds;
  return nullptr;
}

dav_error* write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize) {
  if (stream->sink == nullptr) {
    return error(stream->pool, HTTP_INTERNAL_SERVER_ERROR, "The upload is over.");
  }
  const Status status = stream->sink->write(static_cast<const char*>(buf), bufsize);
  if (!status.ok()) return service_error(stream->pool, ServiceOp::kStore, status);
  return nullptr;
}

dav_error* close_stream(dav_stream* stream, int commit) {
  // The upload ends with this call, not with the request: an uncommitted one stores nothing.
  DocumentSink* sink = stream->sink;
  stream->sink = nullptr;
  if (sink == nullptr) return nullptr;
  apr_pool_cleanup_kill(stream->pool, sink, delete_sink);
  std::unique_ptr<DocumentSink> owned(sink);
  if (!commit) return nullptr;
  DocumentAttributes stored;
  bool has_attributes = false;
  const Status status = owned->commit(&stored, &has_attributes);
  if (status.reason() == Reason::kExists) {
    return error(stream->pool, HTTP_CONFLICT, "Something was stored under the name meanwhile.");
  }
  if (!status.ok()) return service_error(stream->pool, ServiceOp::kStore, status);
  // A PUT answers with the validators of what it stored, so that a client need not ask again.
  request_rec* r = stream->request;
  if (r != nullptr && r->method_number == M_PUT && has_attributes) {
    apr_finfo_t finfo{};
    finfo.pool = stream->pool;
    take_attributes(stored, &finfo);
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
  // The validators and the length describe the version that the body will be: the one the
  // lookup found.
  if (resource->info->document != nullptr) r->finfo = finfo;
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
  const dav_kiv_document* document = resource->info->document;
  if (document == nullptr) return deliver_fetched(resource, output);
  // Every piece of the body is a bucket of known length that costs nothing until it is read,
  // so that the byte-range filter, which partitions and copies buckets, has only the ranges
  // asked for read: nothing at all for the last byte of a large document but that byte.
  apr_bucket_alloc_t* list = output->c->bucket_alloc;
  apr_bucket_brigade* bb = apr_brigade_create(resource->pool, list);
  const apr_off_t size = static_cast<apr_off_t>(document->attributes.size);
  if (document->file != nullptr) {
    apr_bucket* first = apr_brigade_insert_file(bb, document->file, 0, size, resource->pool);
    // Read, a file bucket would map the file; a file that shrank under the map would fault.
    // Without sendfile it is read a large buffer at a time.
    for (apr_bucket* b = first; b != APR_BRIGADE_SENTINEL(bb); b = APR_BUCKET_NEXT(b)) {
      apr_bucket_file_enable_mmap(b, 0);
      apr_bucket_file_set_buf_size(b, kFileReadBuffer);
    }
  } else if (document->has_content) {
    APR_BRIGADE_INSERT_TAIL(
        bb, apr_bucket_immortal_create(document->content, static_cast<apr_size_t>(size), list));
    // Out at once, as a file is: a body this small would otherwise wait in the core's buffer for
    // the end of the request, after the server has looked for the client's next request, which
    // the client cannot send before it has this answer; the connection would then go back to
    // waiting for one instead of being served on.
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_flush_create(list));
  } else if (size > 0) {
    APR_BRIGADE_INSERT_TAIL(
        bb, remote_bucket_create(resource->uri, document->attributes, output->r, list));
  }
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(list));
  // A failure of the service after the headers went out can only end the response early; the
  // bucket logged why.
  return passed(resource, output, ap_pass_brigade(output, bb));
}

}  // namespace kiv::repository
