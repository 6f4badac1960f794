// Content streams and delivery: the body of a PUT goes through the client's upload stream into
// the repository service; a GET fetches the document whole and hands it to the output filters.
#include "common/host.h"

#include <string>

#include "client/kiv_client.h"
#include "common/guard.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

// The provider's stream record, allocated zero-filled from the resource's pool.
struct dav_stream {
  apr_pool_t* pool;      // the resource's pool; errors of the stream come from here
  apr_file_t* file;      // never opened: uploads go to the client's stream, not to a local file
  const char* pathname;  // the resource's local path name
  const char* uri;       // the document is stored under this URI
};

namespace {

// Owns a fetched document until the request pool goes, so that the output filters can send it
// from where it was fetched, without a copy.
apr_status_t delete_document(void* document) {
  delete static_cast<std::string*>(document);
  return APR_SUCCESS;
}

}  // namespace

extern "C" {

// Fills the open_stream slot. Every mode stores the whole uploaded content at close. The stream
// comes from the resource's pool.
dav_error* dav_kiv_open_stream(const dav_resource* resource, dav_stream_mode /*mode*/,
                               dav_stream** stream) {
  return kiv::guarded(resource->pool, [&]() -> dav_error* {
    auto* ds = static_cast<dav_stream*>(apr_pcalloc(resource->pool, sizeof(dav_stream)));
    ds->pool = resource->pool;
    ds->pathname = resource->info->pathname;
    ds->uri = resource->uri;
    kiv::repository_client()->OpenStream();
    *stream = ds;
    return nullptr;
  });
}

// Fills the write_stream slot: one block of the body, appended to the client's upload stream.
dav_error* dav_kiv_write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize) {
  return kiv::guarded(stream->pool, [&]() -> dav_error* {
    kiv::repository_client()->WriteToTempFile(std::string(static_cast<const char*>(buf), bufsize));
    return nullptr;
  });
}

// Fills the close_stream slot. On commit the uploaded content replaces the document; a store the
// service refuses is an error. Without commit (the body was broken off) nothing is stored.
dav_error* dav_kiv_close_stream(dav_stream* stream, int commit) {
  return kiv::guarded(stream->pool, [&]() -> dav_error* {
    WebDavUtil* client = kiv::repository_client();
    if (!commit) {
      client->CloseStream();
      return nullptr;
    }
    std::string content;
    client->ReadFromTempFile(content);
    const bool stored = client->AddDoc(stream->uri, content);
    client->CloseStream();
    if (!stored) {
      return kiv::error(stream->pool, HTTP_INTERNAL_SERVER_ERROR,
                        "Could not store the document in the repository.");
    }
    return nullptr;
  });
}

// Fills the seek_stream slot. Content goes to the client's stream, which cannot seek, so a PUT
// with a content range is refused.
dav_error* dav_kiv_seek_stream(dav_stream* stream, apr_off_t abs_position) {
  if (stream->file != nullptr && apr_file_seek(stream->file, APR_SET, &abs_position) == APR_SUCCESS) {
    return nullptr;
  }
  return kiv::error(stream->pool, HTTP_INTERNAL_SERVER_ERROR,
                    "Could not seek to specified position in the resource.");
}

// Fills the set_headers slot: validators and length from the lookup's file information. The
// length is only set here when that information describes a local regular file; otherwise the
// delivery sets it from the fetched document.
dav_error* dav_kiv_set_headers(request_rec* r, const dav_resource* resource) {
  if (!resource->exists) return nullptr;
  const apr_finfo_t& finfo = resource->info->finfo;
  ap_update_mtime(r, finfo.mtime);
  ap_set_last_modified(r);
  ap_set_etag(r);
  apr_table_setn(r->headers_out, "Accept-Ranges", "bytes");
  if (finfo.filetype == APR_REG) ap_set_content_length(r, finfo.size);
  return nullptr;
}

// Fills the deliver slot: fetches the document whole and passes it down the filters in one
// brigade. A fetch the service cannot answer is an error before anything is sent.
dav_error* dav_kiv_deliver(const dav_resource* resource, ap_filter_t* output) {
  return kiv::guarded(resource->pool, [&]() -> dav_error* {
    if (resource->type != DAV_RESOURCE_TYPE_REGULAR &&
        resource->type != DAV_RESOURCE_TYPE_VERSION &&
        resource->type != DAV_RESOURCE_TYPE_WORKING) {
      return kiv::error(resource->pool, HTTP_CONFLICT, "Cannot GET this type of resource.");
    }
    if (resource->collection) {
      return kiv::error(resource->pool, HTTP_CONFLICT,
                        "There is no default response to GET for a collection.");
    }
    auto* document = new std::string();
    apr_pool_cleanup_register(resource->pool, document, delete_document,
                              apr_pool_cleanup_null);
    if (!kiv::repository_client()->GetDocContent(resource->uri, *document)) {
      return kiv::error(resource->pool, HTTP_INTERNAL_SERVER_ERROR,
                        "Could not read the document from the repository.");
    }
    ap_set_content_length(output->r, static_cast<apr_off_t>(document->size()));
    apr_bucket_brigade* bb = apr_brigade_create(resource->pool, output->c->bucket_alloc);
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_immortal_create(document->data(), document->size(),
                                                           output->c->bucket_alloc));
    APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(output->c->bucket_alloc));
    if (ap_pass_brigade(output, bb) != APR_SUCCESS) {
      return kiv::error(resource->pool, HTTP_FORBIDDEN, "Could not write contents to filter.");
    }
    return nullptr;
  });
}

}  // extern "C"
