// What crosses the files of the repository: the hook functions that the adapters of
// repos_hooks.cpp call, the walker, the property state files, and small helpers.
//
// Every function runs on the thread of the request that owns the resources it is given. Results
// and errors come from the pool each function names (normally the resource's, the request pool).
// The functions may throw std::bad_alloc; the adapters (extern "C") catch everything.
#ifndef KIV_REPOSITORY_REPOSITORY_INTERNAL_H_
#define KIV_REPOSITORY_REPOSITORY_INTERNAL_H_

#include <string>

#include "client/status.h"
#include "common/host.h"
#include "provider/repository.h"

// A document as its lookup found it (resource.cpp), from the request pool: one version of it,
// which the response's validators, length and body all describe.
struct dav_kiv_document {
  kiv::DocumentAttributes attributes;
  // The document open read-only, closed by a cleanup of the pool, under a shared flock that
  // keeps a rewrite in place from mixing versions while it is sent; or null.
  apr_file_t* file;
  // Or the whole document, when it came along with the lookup.
  const char* content;
  bool has_content;
};

// The provider's stream record, allocated zero-filled from the resource's pool (stream.cpp).
// The body of an upload goes to the repository as it comes and is stored when the stream is
// committed.
struct dav_stream {
  apr_pool_t* pool;         // the resource's pool; errors of the stream come from here
  const char* uri;          // the document is stored under this URI
  kiv::DocumentSink* sink;  // the upload; deleted (and so aborted) by a cleanup on pool
  request_rec* request;     // the request the resource was looked up for; null when unknown
};

namespace kiv::repository {

// ---- Failures of the repository service (repository_errors.cpp) ----

// The operations of the service that a failure comes from.
enum class ServiceOp { kLookup, kList, kStore, kFetch, kMakeCollection, kMove, kDelete, kCopy };

// The error record for a call of the service that failed with status (not ok), from pool: 503
// for a service that cannot be reached or is busy, 507 when it has no space, 409 for a missing
// parent collection, and so on (see the table there). Never null.
__attribute__((returns_nonnull)) dav_error* service_error(apr_pool_t* pool, ServiceOp op,
                                                          Status status);

// ---- Lookup (resource.cpp) ----

dav_error* get_resource(request_rec* r, dav_resource** resource);
dav_error* get_parent_resource(const dav_resource* resource, dav_resource** parent);
int is_same_resource(const dav_resource* res1, const dav_resource* res2);
int is_parent_resource(const dav_resource* res1, const dav_resource* res2);

// Takes a stored document's attributes, as the service describes them, into finfo: type, size,
// times and identity (finfo's other fields stay).
void take_attributes(const DocumentAttributes& a, apr_finfo_t* finfo);

// A copy of path in pool without one trailing "/", unless path is a single character.
char* strip_one_trailing_slash(apr_pool_t* pool, const char* path);

// The request whose lookup made resources from pool (its request pool), or null: the hooks that
// get no request record (the stream hooks) find it here. Set by get_resource.
request_rec* request_of(apr_pool_t* pool);

// ---- Content (stream.cpp) ----

dav_error* open_stream(const dav_resource* resource, bool create_only, dav_stream** stream);
dav_error* write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize);
dav_error* close_stream(dav_stream* stream, int commit);
dav_error* seek_stream(dav_stream* stream);
dav_error* set_headers(request_rec* r, const dav_resource* resource);

// Sets the validators of a response to a request that stored a document, from the file
// information of the stored document: the entity tag that a GET of it answers (the server's own,
// by its FileETag rules) and its modification time as Last-Modified. Both equal those of a HEAD
// that follows while the document is unchanged; within the second after the change, the tag is a
// weak one, as it is for the GET.
void set_stored_validators(request_rec* r, const apr_finfo_t& finfo);
dav_error* deliver(const dav_resource* resource, ap_filter_t* output);

// ---- Documents read through the service (remote_bucket.cpp) ----

// A bucket for the whole document uri, of the version attributes describe, from list: it reads
// its bytes a chunk at a time when it is read, and splits and copies without reading. Failures
// of the service are logged for r's server and end the response early.
apr_bucket* remote_bucket_create(const char* uri, const DocumentAttributes& attributes,
                                 request_rec* r, apr_bucket_alloc_t* list);

// ---- The index page of a collection (index_page.cpp) ----

// The media type of the index page.
inline constexpr char kIndexPageType[] = "text/html; charset=utf-8";

// Lists the members of the collection resource and sends the index page of them down output, in
// pieces as it is made, with the end of the response after it. A service that cannot list is an
// error before anything is sent; a client that went away ends the page early with an error.
// Errors from the resource's pool.
dav_error* deliver_index(const dav_resource* resource, ap_filter_t* output);

// ---- The name space (namespace_ops.cpp) ----

dav_error* create_collection(dav_resource* resource);
dav_error* copy_resource(const dav_resource* src, dav_resource* dst, int depth,
                         dav_response** response);
dav_error* move_resource(dav_resource* src, dav_resource* dst, dav_response** response);
dav_error* remove_resource(dav_resource* resource, dav_response** response);
int method_precondition(request_rec* r, const dav_resource* src, const dav_resource* dst,
                        dav_error** err);

// ---- The walker (walker.cpp) ----

// Visits params->root and, as depth and its kind call for, the members the repository service
// lists, calling params->func for each. Responses gathered by the callback come back through
// *response, also when the walk stops on an error.
dav_error* dav_kiv_walk(const dav_walk_params* params, int depth, dav_response** response);

// ---- Live properties (liveprops.cpp) ----

// The entity tag: "inode-size-mtime" in hexadecimal for a resource with a local file, the
// modification time alone otherwise, "" for none. From the resource's pool.
const char* getetag(const dav_resource* resource);

// Formats t into buf (at least 30 bytes): style 1 (DAV_STYLE_ISO8601) "1970-01-01T00:00:00Z",
// style 2 (DAV_STYLE_RFC822) "Thu, 01 Jan 1970 00:00:00 GMT". Returns the characters written.
int dav_kiv_format_time(int style, apr_time_t t, char* buf);

// ---- Property state files (state_files.cpp) ----

// Moves (is_move) or copies the property state files of src to those of dst. Errors from p.
dav_error* dav_kiv_copymove_state_set(int is_move, apr_pool_t* p, const dav_resource* src,
                                      const dav_resource* dst);

// Removes a document's property state files. Errors from p.
dav_error* dav_kiv_delete_state(apr_pool_t* p, const dav_resource* resource);

}  // namespace kiv::repository

#endif  // KIV_REPOSITORY_REPOSITORY_INTERNAL_H_
