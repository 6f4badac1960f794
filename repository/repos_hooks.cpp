// The provider's repository hook table: one-line adapters that keep exceptions out of the server
// and hand each call to the C++ function that does the work, in the file of its concern:
// resource.cpp (lookup), stream.cpp (GET and PUT), namespace_ops.cpp (MKCOL, COPY, MOVE,
// DELETE), walker.cpp, liveprops.cpp (entity tags).
#include "common/guard.h"
#include "provider/resource.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

namespace repository = kiv::repository;

extern "C" {

// mod_dav's method-precondition hook: refuses a PUT with Content-Range (400) before its body is
// read, and a MOVE or COPY onto a collection that holds the source (409): with Overwrite, mod_dav
// would delete that destination, and the source with it, before the request could fail.
int dav_kiv_method_precondition(request_rec* r, dav_resource* src, const dav_resource* dst,
                                const apr_xml_doc* /*doc*/, dav_error** err) noexcept {
  return kiv::guarded_value(DECLINED,
                            [&] { return repository::method_precondition(r, src, dst, err); });
}

namespace {

// Fills the get_resource slot. The resource, its private record and its strings come from the
// request pool. The repository service decides existence and collection-ness; a service that
// cannot answer is an error (503 when it cannot be reached), except for OPTIONS, which then
// describes the resource from its local file. A URI with a reserved name in it, and a local path
// that leaves the document root or passes through a symbolic link, are refused (403).
dav_error* dav_kiv_get_resource(request_rec* r, const char* /*root_dir*/, const char* /*label*/,
                                int /*use_checked_in*/, dav_resource** resource) noexcept {
  return kiv::guarded(r->pool, [&] { return repository::get_resource(r, resource); });
}

// Fills the get_parent_resource slot. The parent comes from the child's pool; its existence comes
// from the local file system. The root has no parent (*parent null). The only error is the 403 of
// a local path that passes through a symbolic link.
dav_error* dav_kiv_get_parent_resource(const dav_resource* resource,
                                       dav_resource** parent) noexcept {
  *parent = nullptr;
  return kiv::guarded(resource->pool,
                      [&] { return repository::get_parent_resource(resource, parent); });
}

// Fills the is_same_resource slot: same inode when both sides have a local file, else the same
// path name.
int dav_kiv_is_same_resource(const dav_resource* res1, const dav_resource* res2) noexcept {
  return repository::is_same_resource(res1, res2);
}

// Fills the is_parent_resource slot: res1 is an ancestor of res2 by path name, at a "/" boundary.
int dav_kiv_is_parent_resource(const dav_resource* res1, const dav_resource* res2) noexcept {
  return repository::is_parent_resource(res1, res2);
}

// Fills the open_stream slot. Every mode of mod_dav's stores the whole uploaded content at close;
// kStreamCreateOnly stores it only where nothing is. The stream belongs to the resource's pool.
dav_error* dav_kiv_open_stream(const dav_resource* resource, dav_stream_mode mode,
                               dav_stream** stream) noexcept {
  return kiv::guarded(resource->pool, [&] {
    return repository::open_stream(resource, static_cast<int>(mode) == kiv::kStreamCreateOnly,
                                   stream);
  });
}

// Fills the close_stream slot. On commit the uploaded content replaces the document; a store the
// service refuses is an error with the status its reason calls for (409 for a missing parent
// collection, 503, 507, ...). Without commit (the body was broken off) nothing is stored.
dav_error* dav_kiv_close_stream(dav_stream* stream, int commit) noexcept {
  return kiv::guarded(stream->pool, [&] { return repository::close_stream(stream, commit); });
}

// Fills the write_stream slot: one block of the body, appended to what the stream gathered.
dav_error* dav_kiv_write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize) noexcept {
  return kiv::guarded(stream->pool, [&] { return repository::write_stream(stream, buf, bufsize); });
}

// Fills the seek_stream slot. Content is stored whole, so a stream cannot seek; the method
// precondition refuses a PUT with a content range before it gets here.
dav_error* dav_kiv_seek_stream(dav_stream* stream, apr_off_t /*abs_position*/) noexcept {
  return kiv::guarded(stream->pool, [&] { return repository::seek_stream(stream); });
}

// Fills the set_headers slot: validators and length from the lookup's file information. The
// length is only set here when that information describes a local regular file; otherwise the
// delivery sets it from the fetched document. A collection's index page has only its media type.
dav_error* dav_kiv_set_headers(request_rec* r, const dav_resource* resource) noexcept {
  return kiv::guarded(r->pool, [&] { return repository::set_headers(r, resource); });
}

// Fills the deliver slot: fetches the document whole and passes it down the filters in one
// brigade, or sends a collection's index page in pieces. A fetch or listing the service cannot
// answer is an error before anything is sent.
dav_error* dav_kiv_deliver(const dav_resource* resource, ap_filter_t* output) noexcept {
  return kiv::guarded(resource->pool, [&] { return repository::deliver(resource, output); });
}

// Fills the create_collection slot (MKCOL).
dav_error* dav_kiv_create_collection(dav_resource* resource) noexcept {
  return kiv::guarded(resource->pool, [&] { return repository::create_collection(resource); });
}

// Fills the copy_resource slot (COPY). The service copies the bytes; the dead properties follow
// here, locks never do. mod_dav has deleted an existing destination before; depth is 0 or
// infinity for a collection and plays no part for a document. Members of a collection that could
// not be copied are answered in a multistatus list (*response, from the request pool).
dav_error* dav_kiv_copy_resource(const dav_resource* src, dav_resource* dst, int depth,
                                 dav_response** response) noexcept {
  *response = nullptr;
  return kiv::guarded(src->pool,
                      [&] { return repository::copy_resource(src, dst, depth, response); });
}

// Fills the move_resource slot.
dav_error* dav_kiv_move_resource(dav_resource* src, dav_resource* dst,
                                 dav_response** response) noexcept {
  return kiv::guarded(src->pool, [&] { return repository::move_resource(src, dst, response); });
}

// Fills the remove_resource slot (DELETE). A collection is deleted by a walk that reports, as a
// multistatus list, the resources that could not be deleted.
dav_error* dav_kiv_remove_resource(dav_resource* resource, dav_response** response) noexcept {
  *response = nullptr;
  return kiv::guarded(resource->pool,
                      [&] { return repository::remove_resource(resource, response); });
}

// Fills the walk slot. Responses gathered by the callback come back through *response, also when
// the walk stops on an error.
dav_error* dav_kiv_walk_hook(const dav_walk_params* params, int depth,
                             dav_response** response) noexcept {
  return kiv::guarded(params->pool,
                      [&] { return repository::dav_kiv_walk(params, depth, response); });
}

// Fills the getetag slot (see repository::getetag).
const char* dav_kiv_getetag(const dav_resource* resource) noexcept {
  return kiv::guarded_value("", [&] { return repository::getetag(resource); });
}

}  // namespace

const dav_hooks_repository dav_kiv_hooks_repository = {
    1,  // handle_get: the provider answers GET itself, mod_dav calls set_headers and deliver
    dav_kiv_get_resource,
    dav_kiv_get_parent_resource,
    dav_kiv_is_same_resource,
    dav_kiv_is_parent_resource,
    dav_kiv_open_stream,
    dav_kiv_close_stream,
    dav_kiv_write_stream,
    dav_kiv_seek_stream,
    dav_kiv_set_headers,
    dav_kiv_deliver,
    dav_kiv_create_collection,
    dav_kiv_copy_resource,
    dav_kiv_move_resource,
    dav_kiv_remove_resource,
    dav_kiv_walk_hook,
    dav_kiv_getetag,
    nullptr,                    // ctx: the hooks need no context of their own
    nullptr,                    // get_request_rec: the private record holds no request
    dav_kiv_resource_pathname,  // get_pathname (provider/resource.cpp)
};

}  // extern "C"
