// Content streams and delivery: the body of a PUT goes through the client's upload stream into
// the repository service; a GET fetches the document whole and hands it to the output filters.
#include <string>

#include "client/kiv_client.h"
#include "common/host_util.h"
#include "provider/resource.h"
#include "provider/service.h"
#include "repository/repository_internal.h"

extern "C" {

namespace {

// Owns a fetched document until the request pool goes, so that the output filters can send it
// from where it was fetched, without a copy. A pool cleanup.
apr_status_t delete_document(void* document) {
  delete static_cast<std::string*>(document);
  return APR_SUCCESS;
}

}  // namespace

}  // extern "C"

namespace kiv::repository {

dav_error* open_stream(const dav_resource* resource, dav_stream** stream) {
  auto* ds = static_cast<dav_stream*>(apr_pcalloc(resource->pool, sizeof(dav_stream)));
  ds->pool = resource->pool;
  ds->pathname = resource->info->pathname;
  ds->uri = resource->uri;
  repository_client()->OpenStream();
  *stream = ds;
  return nullptr;
}

dav_error* write_stream(dav_stream* /*stream*/, const void* buf, apr_size_t bufsize) {
  repository_client()->WriteToTempFile(std::string(static_cast<const char*>(buf), bufsize));
  return nullptr;
}

dav_error* close_stream(dav_stream* stream, int commit) {
  WebDavUtil* client = repository_client();
  if (!commit) {
    client->CloseStream();
    return nullptr;
  }
  std::string content;
  client->ReadFromTempFile(content);
  const bool stored = client->AddDoc(stream->uri, content);
  client->CloseStream();
  if (!stored) {
    return error(stream->pool, HTTP_INTERNAL_SERVER_ERROR,
                 "Could not store the document in the repository.");
  }
  return nullptr;
}

dav_error* seek_stream(dav_stream* stream) {
  return error(stream->pool, HTTP_INTERNAL_SERVER_ERROR,
               "Could not seek to specified position in the resource.");
}

dav_error* set_headers(request_rec* r, const dav_resource* resource) {
  if (!resource->exists) return nullptr;
  const apr_finfo_t& finfo = resource->info->finfo;
  ap_update_mtime(r, finfo.mtime);
  ap_set_last_modified(r);
  ap_set_etag(r);
  apr_table_setn(r->headers_out, "Accept-Ranges", "bytes");
  if (finfo.filetype == APR_REG) ap_set_content_length(r, finfo.size);
  return nullptr;
}

dav_error* deliver(const dav_resource* resource, ap_filter_t* output) {
  if (resource->type != DAV_RESOURCE_TYPE_REGULAR && resource->type != DAV_RESOURCE_TYPE_VERSION &&
      resource->type != DAV_RESOURCE_TYPE_WORKING) {
    return error(resource->pool, HTTP_CONFLICT, "Cannot GET this type of resource.");
  }
  if (resource->collection) {
    return error(resource->pool, HTTP_CONFLICT,
                 "There is no default response to GET for a collection.");
  }
  auto* document = new std::string();
  apr_pool_cleanup_register(resource->pool, document, delete_document, apr_pool_cleanup_null);
  if (!repository_client()->GetDocContent(resource->uri, *document)) {
    return error(resource->pool, HTTP_INTERNAL_SERVER_ERROR,
                 "Could not read the document from the repository.");
  }
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
