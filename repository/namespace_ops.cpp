// Operations on the repository's name space: MKCOL, COPY, MOVE and DELETE.
//
// A MOVE between two local paths on one device is a local rename (the repository tree is the
// server's document root) with the dead-property state files carried along; any other MOVE goes
// through the repository service, and the state files follow it there too. Local files are
// reached beneath the document root without symbolic links, and the state directories a request
// will touch are checked before anything changes. A COPY is one call of
// the service, which copies the bytes file to file without them passing through here; the dead
// properties follow one state file at a time, never a state directory whole (it also holds the
// lock-null list, and locks are never copied).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/beneath.h"
#include "common/file_io.h"
#include "common/guard.h"
#include "common/host_util.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "dbm/state_dir.h"
#include "provider/local_files.h"
#include "provider/repository.h"
#include "provider/resource.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

constexpr const char* kPropertiesNotMoved =
    "The resource was moved, but a failure occurred during the move of its properties. The "
    "server may be in an inconsistent state.";

// After a successful move the destination exists with the source's kind and the source is gone.
void mark_move(dav_resource* src, dav_resource* dst) {
  dst->exists = 1;
  dst->collection = src->collection;
  src->exists = 0;
  src->collection = 0;
}

// True when src can reach dst by a rename of its local path: both lie on one device.
bool local_rename_possible(const dav_resource* src, const dav_resource* dst) {
  const apr_finfo_t& src_info = src->info->finfo;
  const dav_resource_private* dst_info = dst->info;
  if (dst_info->finfo.filetype != APR_NOFILE) return dst_info->finfo.device == src_info.device;
  apr_finfo_t parent;
  const char* parent_path = ap_make_dirstr_parent(dst_info->pool, dst_info->pathname);
  return local_stat(dst_info->pool, tree_root(dst), parent_path, &parent) == LocalFile::kFound &&
         (src_info.valid & APR_FINFO_DEV) != 0 && parent.device == src_info.device;
}

// The local file of from renamed to the path of to: each name in its directory, both directories
// reached beneath their roots without symbolic links, and neither name followed if it is one.
dav_error* rename_local(apr_pool_t* p, const dav_resource* from, const dav_resource* to) {
  const char* from_path = from->info->pathname;
  const char* to_path = to->info->pathname;
  const UniqueFd from_dir =
      open_in_tree(tree_root(from), parent_directory(from_path), O_PATH | O_DIRECTORY);
  if (!from_dir.valid() && path_refused(errno)) return refused_path_error(p, from_path);
  const UniqueFd to_dir =
      open_in_tree(tree_root(to), parent_directory(to_path), O_PATH | O_DIRECTORY);
  if (!to_dir.valid() && path_refused(errno)) return refused_path_error(p, to_path);
  const std::string from_name(base_name(from_path));
  const std::string to_name(base_name(to_path));
  struct stat st;
  if (from_dir.valid() && stat_entry(from_dir.get(), from_name.c_str(), &st) == ELOOP) {
    return refused_path_error(p, from_path);
  }
  if (to_dir.valid() && stat_entry(to_dir.get(), to_name.c_str(), &st) == ELOOP) {
    return refused_path_error(p, to_path);
  }
  if (!from_dir.valid() || !to_dir.valid() ||
      ::renameat(from_dir.get(), from_name.c_str(), to_dir.get(), to_name.c_str()) != 0) {
    return error(p, HTTP_INTERNAL_SERVER_ERROR, "Could not rename resource.");
  }
  return nullptr;
}

// Whether the state directory that holds the resource's properties may be used: a request checks
// before it changes anything, so that a refusal leaves everything as it was.
dav_error* check_state(const dav_resource* resource) {
  const char* dirpath = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(resource, &dirpath, nullptr)) return err;
  return dav_kiv_check_state_dir(resource->pool, tree_root(resource), dirpath);
}

// The repository's copy or move of src to dst: one call of the service. A copy of a collection
// takes its members along unless depth is 0; those it left out come back in *left_out (empty for
// anything else). A call the service refuses is an error, and the resources are not marked.
dav_error* dav_kiv_copymove_resource(int is_move, const dav_resource* src, const dav_resource* dst,
                                     int depth, std::vector<CopyLeftOut>* left_out) {
  left_out->clear();
  Repository& repo = Repository::current();
  Status status;
  if (is_move) {
    status = repo.move(src->uri, dst->uri, src->collection != 0);
  } else if (src->collection) {
    status = repo.copy_collection(src->uri, dst->uri, depth != 0, left_out);
  } else {
    status = repo.copy_document(src->uri, dst->uri);
  }
  if (!status.ok()) {
    return service_error(src->pool, is_move ? ServiceOp::kMove : ServiceOp::kCopy, status);
  }
  return nullptr;
}

// A move through the repository service. A document's state file lives in its parent's state
// directory and is carried over; a collection's own state directory travels with it in the
// repository's tree.
dav_error* move_by_service(dav_resource* src, dav_resource* dst, dav_response** response) {
  *response = nullptr;
  std::vector<CopyLeftOut> left_out;
  if (dav_error* err = dav_kiv_copymove_resource(1, src, dst, DAV_INFINITY, &left_out)) return err;
  const bool document = !src->collection;
  mark_move(src, dst);
  if (!document) return nullptr;
  if (dav_error* err = dav_kiv_copymove_state_set(1, src->pool, src, dst)) {
    return dav_push_error(src->pool, HTTP_INTERNAL_SERVER_ERROR, 0, kPropertiesNotMoved, err);
  }
  return nullptr;
}

// A move by a local rename, with the state files carried along; when they cannot be, the rename
// is undone where it can be.
dav_error* move_locally(dav_resource* src, dav_resource* dst) {
  if (dav_error* err = rename_local(src->pool, src, dst)) return err;
  mark_move(src, dst);
  dav_error* err = dav_kiv_copymove_state_set(1, src->pool, src, dst);
  if (err == nullptr) return nullptr;
  if (rename_local(src->pool, dst, src) == nullptr) {
    mark_move(dst, src);
    return dav_push_error(
        src->pool, HTTP_INTERNAL_SERVER_ERROR, 0,
        "The resource was moved, but a failure occurred during the move of its properties. The "
        "resource was moved back to its original location, but its properties may have been "
        "partially moved. The server may be in an inconsistent state.",
        err);
  }
  return dav_push_error(
      src->pool, HTTP_INTERNAL_SERVER_ERROR, 0,
      "The resource was moved, but a failure occurred during the move of its properties. The "
      "resource could not be restored to its original location. The server is now in an "
      "inconsistent state.",
      err);
}

// After a successful copy the destination exists, of the source's kind, and its file
// information describes the new file.
void mark_copy(const dav_resource* src, dav_resource* dst) {
  dst->exists = 1;
  dst->collection = src->collection;
  dav_resource_private* info = dst->info;
  local_stat(info->pool, tree_root(dst), info->pathname, &info->finfo);
}

// A copy of a document, with its dead properties: the destination's own go first (a document
// replaced in place keeps none of them), then the source's are copied. A copy whose properties
// could not follow is deleted again, so that the request fails as a whole.
dav_error* copy_document(const dav_resource* src, dav_resource* dst) {
  std::vector<CopyLeftOut> left_out;
  if (dav_error* err = dav_kiv_copymove_resource(0, src, dst, 0, &left_out)) return err;
  mark_copy(src, dst);
  dav_error* err = dav_kiv_delete_state(src->pool, dst);
  if (err == nullptr) err = dav_kiv_copymove_state_set(0, src->pool, src, dst);
  if (err == nullptr) return nullptr;
  if (Repository::current().delete_document(dst->uri).ok()) {
    dst->exists = 0;
    dav_kiv_delete_state(src->pool, dst);  // whatever part of the properties arrived
    return dav_push_error(src->pool, HTTP_INTERNAL_SERVER_ERROR, 0,
                          "The document was copied, but its properties could not be copied; "
                          "the copy was removed again.",
                          err);
  }
  return dav_push_error(src->pool, HTTP_INTERNAL_SERVER_ERROR, 0,
                        "The document was copied, but its properties could not be copied, and "
                        "the copy could not be removed. The server may be in an inconsistent "
                        "state.",
                        err);
}

// What the walk over a collection's copy needs: where the source lies, how much of each visited
// path name is the copy's own, and what the service left out.
struct PropertyCopy {
  const dav_resource* src;
  std::size_t dst_path_length;  // without a trailing "/"
  const std::vector<CopyLeftOut>* left_out;
};

// True when the member at rel (relative to the collection copied, no leading "/") is one that
// the service left out, or lies below one.
bool left_out_below(const std::vector<CopyLeftOut>& left_out, std::string_view rel) {
  for (const CopyLeftOut& member : left_out) {
    std::string_view path = member.path;
    if (!path.empty() && path.back() == '/') path.remove_suffix(1);
    if (rel.substr(0, path.size()) == path &&
        (rel.size() == path.size() || rel[path.size()] == '/'))
      return true;
  }
  return false;
}

// The callback of that walk: copies the state files of the source resource that lies where the
// visited one lies in the copy. One that cannot be copied is reported for the visited resource
// with its error's status and text, and the walk goes on.
dav_error* copy_visited_properties(dav_walk_resource* wres) {
  const auto* copy = static_cast<const PropertyCopy*>(wres->walk_ctx);
  const dav_resource* dst = wres->resource;
  const char* rel = dst->info->pathname + copy->dst_path_length;  // "" or "/member/..."
  if (*rel == '/' && left_out_below(*copy->left_out, rel + 1)) return nullptr;

  auto* info =
      static_cast<dav_resource_private*>(apr_palloc(wres->pool, sizeof(dav_resource_private)));
  *info = *copy->src->info;
  info->pathname = apr_pstrcat(wres->pool, copy->src->info->pathname, rel, nullptr);
  dav_resource src = *copy->src;
  src.info = info;
  src.collection = dst->collection;
  if (dav_error* err = dav_kiv_copymove_state_set(0, wres->pool, &src, dst)) {
    dav_add_response(wres, err->status, nullptr);
    wres->response->desc = err->desc;
  }
  return nullptr;
}

// True when a failure of the service concerns it as a whole, not the one resource: the walk
// stops there instead of reporting every resource.
bool service_failed(Status status) {
  return status.reason() == Reason::kUnavailable || status.reason() == Reason::kBusy;
}

// The DELETE walk's callback: deletes each visited resource in the repository. A collection that
// could not be deleted because members remain is not reported itself: the walk visits those
// members next and reports the ones that failed on their own account. A service that cannot be
// reached stops the walk with its error.
dav_error* delete_visited(dav_walk_resource* wres) {
  const dav_resource* resource = wres->resource;
  Repository& repo = Repository::current();
  Status status = repo.delete_any(resource->uri);
  if (status.ok()) return nullptr;
  if (service_failed(status)) return service_error(wres->pool, ServiceOp::kDelete, status);
  if (resource->collection) {
    std::vector<RepositoryEntry> members;
    status = repo.list_members(resource->uri, &members);
    if (service_failed(status)) return service_error(wres->pool, ServiceOp::kList, status);
    if (!members.empty()) return nullptr;
  }
  dav_add_response(wres, HTTP_FORBIDDEN, nullptr);
  return nullptr;
}

}  // namespace

}  // namespace kiv::repository

extern "C" {

namespace {

// The walker callback of a DELETE (see delete_visited).
dav_error* dav_kiv_delete_walker(dav_walk_resource* wres, int /*calltype*/) noexcept {
  return kiv::guarded(wres->pool, [&] { return kiv::repository::delete_visited(wres); });
}

// The walker callback that copies the dead properties of a collection's copy (see
// copy_visited_properties).
dav_error* dav_kiv_copy_properties_walker(dav_walk_resource* wres, int /*calltype*/) noexcept {
  return kiv::guarded(wres->pool, [&] { return kiv::repository::copy_visited_properties(wres); });
}

}  // namespace

}  // extern "C"

namespace kiv::repository {

namespace {

// Deletes a collection by a walk that reports, as a multistatus list, the resources that could
// not be deleted.
dav_error* remove_collection(dav_resource* resource, dav_response** response) {
  dav_walk_params params{};
  params.walk_type = DAV_WALKTYPE_NORMAL;
  params.func = dav_kiv_delete_walker;
  params.pool = resource->pool;
  params.root = resource;
  dav_response* multistatus = nullptr;
  if (dav_error* err = dav_kiv_walk(&params, DAV_INFINITY, &multistatus)) return err;
  if (multistatus != nullptr) {
    *response = multistatus;
    return error(resource->pool, HTTP_MULTI_STATUS,
                 "Error(s) occurred in some resources during the deletion process.");
  }
  resource->exists = 0;
  resource->collection = 0;
  return nullptr;
}

// A copy of a collection, to depth 0 or infinity, then the dead properties of the copy and of
// every member in it, by a walk over the copy as the service lists it: what another request
// added to the source meanwhile is not in the copy and gets nothing. Members that the service
// left out, and members whose properties could not be copied, are answered in a multistatus
// list; the copy keeps whatever did arrive.
dav_error* copy_collection(const dav_resource* src, dav_resource* dst, int depth,
                           dav_response** response) {
  std::vector<CopyLeftOut> left_out;
  if (dav_error* err = dav_kiv_copymove_resource(0, src, dst, depth, &left_out)) return err;
  mark_copy(src, dst);

  PropertyCopy copy{src, std::strlen(dst->info->pathname), &left_out};
  if (copy.dst_path_length > 0 && dst->info->pathname[copy.dst_path_length - 1] == '/') {
    --copy.dst_path_length;
  }
  dav_walk_params params{};
  params.walk_type = DAV_WALKTYPE_NORMAL;
  params.func = dav_kiv_copy_properties_walker;
  params.walk_ctx = &copy;
  params.pool = src->pool;  // the request's: the multistatus list outlives the destination's
  params.root = dst;
  dav_response* multistatus = nullptr;
  if (dav_error* err = dav_kiv_walk(&params, depth == 0 ? 0 : DAV_INFINITY, &multistatus)) {
    return dav_push_error(src->pool, err->status, 0,
                          "The collection was copied, but not every member's properties.", err);
  }
  // The members left out head the list, in the order the service named them.
  for (auto it = left_out.rbegin(); it != left_out.rend(); ++it) {
    const dav_error* why = service_error(src->pool, ServiceOp::kCopy, Status(it->reason));
    auto* entry = static_cast<dav_response*>(apr_pcalloc(src->pool, sizeof(dav_response)));
    entry->href = apr_pstrcat(src->pool, dst->uri, "/", it->path.c_str(), nullptr);
    entry->status = why->status;
    entry->desc = why->desc;
    entry->next = multistatus;
    multistatus = entry;
  }
  if (multistatus == nullptr) return nullptr;
  *response = multistatus;
  return error(src->pool, HTTP_MULTI_STATUS,
               "Error(s) occurred in some resources during the copy process.");
}

}  // namespace

int method_precondition(request_rec* r, const dav_resource* src, const dav_resource* dst,
                        dav_error** err) {
  if (src == nullptr || src->hooks != &dav_kiv_hooks_repository) return DECLINED;
  // Content goes to the repository whole; a range of it would be stored as the whole document.
  if (r->method_number == M_PUT && apr_table_get(r->headers_in, "Content-Range") != nullptr) {
    *err = error(r->pool, HTTP_BAD_REQUEST,
                 "A PUT of a part of a document (Content-Range) is not supported.");
    return OK;
  }
  // With Overwrite, mod_dav deletes an existing destination before it moves or copies onto it:
  // a destination that holds the source would take the source with it.
  if ((r->method_number == M_MOVE || r->method_number == M_COPY) && dst != nullptr &&
      dst->hooks == src->hooks && dst->exists && is_parent_resource(dst, src)) {
    *err = error(r->pool, HTTP_CONFLICT, "The destination collection contains the source.");
    return OK;
  }
  return DECLINED;
}

// One call of the service, whose reason tells why it refused: a name that another request took
// since the lookup is a mapped URL (405, as when it was taken before); a missing parent
// collection conflicts with the name space (409).
dav_error* create_collection(dav_resource* resource) {
  const Status status = Repository::current().make_collection(resource->uri);
  if (!status.ok()) return service_error(resource->pool, ServiceOp::kMakeCollection, status);
  resource->exists = 1;
  resource->collection = 1;
  return nullptr;
}

dav_error* copy_resource(const dav_resource* src, dav_resource* dst, int depth,
                         dav_response** response) {
  *response = nullptr;
  if (src->hooks != dst->hooks) {
    return error(src->pool, HTTP_INTERNAL_SERVER_ERROR,
                 "DESIGN ERROR: a mix of repositories was passed to copy_resource.");
  }
  if (has_reserved_segment(dst->uri)) {
    return error(src->pool, HTTP_FORBIDDEN,
                 "The destination is a name reserved for the repository's own state.");
  }
  if (dav_error* err = check_state(src)) return err;
  if (dav_error* err = check_state(dst)) return err;
  if (src->collection) return copy_collection(src, dst, depth, response);
  return copy_document(src, dst);
}

dav_error* move_resource(dav_resource* src, dav_resource* dst, dav_response** response) {
  if (src->hooks != dst->hooks) {
    return error(src->pool, HTTP_INTERNAL_SERVER_ERROR,
                 "DESIGN ERROR: a mix of repositories was passed to move_resource.");
  }
  if (has_reserved_segment(dst->uri)) {
    return error(src->pool, HTTP_FORBIDDEN,
                 "The destination is a name reserved for the repository's own state.");
  }
  if (dav_error* err = check_state(src)) return err;
  if (dav_error* err = check_state(dst)) return err;
  if (!local_rename_possible(src, dst)) return move_by_service(src, dst, response);
  *response = nullptr;
  return move_locally(src, dst);
}

dav_error* remove_resource(dav_resource* resource, dav_response** response) {
  *response = nullptr;
  if (resource->collection) return remove_collection(resource, response);
  if (dav_error* err = check_state(resource)) return err;
  const Status status = Repository::current().delete_document(resource->uri);
  if (!status.ok()) return service_error(resource->pool, ServiceOp::kDelete, status);
  resource->exists = 0;
  resource->collection = 0;
  return dav_kiv_delete_state(resource->pool, resource);
}

}  // namespace kiv::repository
