// Operations on the repository's name space: MKCOL, MOVE, DELETE, and COPY, which is refused.
//
// A MOVE between two local paths on one device is a local rename (the repository tree is the
// server's document root) with the dead-property state files carried along; any other MOVE goes
// through the repository service, and the state files follow it there too.
#include "common/host.h"

#include <cstring>
#include <string_view>

#include "client/kiv_client.h"
#include "common/guard.h"
#include "module/kiv_module.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

namespace {

constexpr const char* kCopyRefused = "Copy not support!";
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

// True when a segment of uri is a name the repository tree reserves: the state directories
// (".DAV") and the service's private names (".kivd..."). The service refuses such URIs; a local
// rename must not create them either.
bool names_reserved(const char* uri) {
  for (const char* seg = uri; seg != nullptr && *seg != '\0';) {
    while (*seg == '/') ++seg;
    const char* end = std::strchr(seg, '/');
    const std::string_view name(
        seg, end != nullptr ? static_cast<std::size_t>(end - seg) : std::strlen(seg));
    if (name == ".DAV" || name.substr(0, 5) == ".kivd") return true;
    seg = end;
  }
  return false;
}

// True when src can reach dst by a rename of its local path: both lie on one device.
bool local_rename_possible(const dav_resource* src, const dav_resource* dst) {
  const apr_finfo_t& src_info = src->info->finfo;
  const dav_resource_private* dst_info = dst->info;
  if (dst_info->finfo.filetype != APR_NOFILE) return dst_info->finfo.device == src_info.device;
  apr_finfo_t parent;
  const char* parent_path = ap_make_dirstr_parent(dst_info->pool, dst_info->pathname);
  const apr_status_t status = apr_stat(&parent, parent_path, APR_FINFO_DEV, dst_info->pool);
  return (status == APR_SUCCESS || status == APR_INCOMPLETE) &&
         (parent.valid & APR_FINFO_DEV) != 0 && (src_info.valid & APR_FINFO_DEV) != 0 &&
         parent.device == src_info.device;
}

}  // namespace

extern "C" {

namespace {

// The repository's copy or move. A copy is refused; a move the service refuses is an error, and
// the resources are not marked.
dav_error* dav_kiv_copymove_resource(int is_move, const dav_resource* src, dav_resource* dst,
                                     int /*depth*/, dav_response** response) {
  *response = nullptr;
  if (!is_move) return kiv::error(src->pool, HTTP_NOT_IMPLEMENTED, kCopyRefused);
  WebDavUtil* client = kiv::repository_client();
  const bool moved = src->collection ? client->MoveCollection(src->uri, dst->uri)
                                     : client->MoveDoc(src->uri, dst->uri);
  if (!moved) {
    return kiv::error(src->pool, HTTP_INTERNAL_SERVER_ERROR,
                      "Could not move the resource in the repository.");
  }
  return nullptr;
}

// The DELETE walk's callback: deletes each visited resource in the repository. A collection that
// could not be deleted because members remain is not reported itself: the walk visits those
// members next and reports the ones that failed on their own account.
dav_error* dav_kiv_delete_walker(dav_walk_resource* wres, int /*calltype*/) {
  return kiv::guarded(wres->pool, [&]() -> dav_error* {
    const dav_resource* resource = wres->resource;
    WebDavUtil* client = kiv::repository_client();
    if (client->DelCollection(resource->uri)) return nullptr;
    if (resource->collection) {
      const char* listing = resource->uri;
      const std::size_t len = std::strlen(listing);
      if (len == 0 || listing[len - 1] != '/') listing = apr_pstrcat(wres->pool, listing, "/", nullptr);
      if (!client->GetSubDirectory(listing).empty()) return nullptr;
    }
    dav_add_response(wres, HTTP_FORBIDDEN, nullptr);
    return nullptr;
  });
}

}  // namespace

// mod_dav's method-precondition hook: refuses COPY of this provider's resources before mod_dav
// acts on the request at all, so that a COPY with Overwrite never removes its destination first.
//
// It also refuses a MOVE onto a collection that holds the source: with Overwrite, mod_dav would
// delete that destination, and the source with it, before the move could fail.
int dav_kiv_method_precondition(request_rec* r, dav_resource* src, const dav_resource* dst,
                                const apr_xml_doc* /*doc*/, dav_error** err) {
  if (src == nullptr || src->hooks != &dav_kiv_hooks_repository) return DECLINED;
  if (r->method_number == M_COPY) {
    *err = kiv::error(r->pool, HTTP_NOT_IMPLEMENTED, kCopyRefused);
    return OK;
  }
  if (r->method_number == M_MOVE && dst != nullptr && dst->hooks == src->hooks && dst->exists &&
      dav_kiv_is_parent_resource(dst, src)) {
    *err = kiv::error(r->pool, HTTP_CONFLICT, "The destination collection contains the source.");
    return OK;
  }
  return DECLINED;
}

// Fills the create_collection slot (MKCOL). The repository's refusal carries no cause, so the
// state of the name and of its parent afterwards tells it: a name that another request took since
// the lookup is a mapped URL (405, as when it was taken before); a missing parent collection
// conflicts with the name space (409). A parent that exists now may have been created by a request
// that ran meanwhile, so one more attempt tells that race from a refusal that lasts (403).
dav_error* dav_kiv_create_collection(dav_resource* resource) {
  return kiv::guarded(resource->pool, [&]() -> dav_error* {
    WebDavUtil* client = kiv::repository_client();
    const auto taken = [&] {
      Directory* existing = nullptr;
      return client->GetDirectory(resource->uri, &existing) && existing != nullptr;
    };
    const auto name_taken = [&] {
      return kiv::error(resource->pool, HTTP_METHOD_NOT_ALLOWED,
                        "Unable to create collection: the name was taken meanwhile.");
    };
    if (!client->AddCollection(resource->uri)) {
      if (taken()) return name_taken();
      Directory* parent = nullptr;
      const char* parent_uri = kiv::strip_one_trailing_slash(
          resource->pool, ap_make_dirstr_parent(resource->pool, resource->uri));
      if (!client->GetDirectory(parent_uri, &parent) || parent == nullptr ||
          parent->type != kCollectionItem) {
        return kiv::error(resource->pool, HTTP_CONFLICT,
                          "Unable to create collection: the parent collection does not exist.");
      }
      if (!client->AddCollection(resource->uri)) {
        if (taken()) return name_taken();
        return kiv::error(resource->pool, HTTP_FORBIDDEN, "Unable to create collection.");
      }
    }
    resource->exists = 1;
    resource->collection = 1;
    return nullptr;
  });
}

// Fills the copy_resource slot: COPY is not implemented; nothing is called or changed.
dav_error* dav_kiv_copy_resource(const dav_resource* src, dav_resource* dst, int depth,
                                 dav_response** response) {
  if (src->hooks != dst->hooks) {
    return kiv::error(src->pool, HTTP_INTERNAL_SERVER_ERROR,
                      "DESIGN ERROR: a mix of repositories was passed to copy_resource.");
  }
  return dav_kiv_copymove_resource(0, src, dst, depth, response);
}

// Fills the move_resource slot.
dav_error* dav_kiv_move_resource(dav_resource* src, dav_resource* dst, dav_response** response) {
  return kiv::guarded(src->pool, [&]() -> dav_error* {
    if (src->hooks != dst->hooks) {
      return kiv::error(src->pool, HTTP_INTERNAL_SERVER_ERROR,
                        "DESIGN ERROR: a mix of repositories was passed to move_resource.");
    }
    if (names_reserved(dst->uri)) {
      return kiv::error(src->pool, HTTP_FORBIDDEN,
                        "The destination is a name reserved for the repository's own state.");
    }
    if (!local_rename_possible(src, dst)) {
      if (dav_error* err = dav_kiv_copymove_resource(1, src, dst, DAV_INFINITY, response)) {
        return err;
      }
      const bool document = !src->collection;
      mark_move(src, dst);
      // A collection's own state directory travels with it in the repository's tree; a
      // document's state file lives in its parent's and must be carried over.
      if (document) {
        if (dav_error* err = dav_kiv_copymove_state_set(1, src->pool, src, dst)) {
          return dav_push_error(src->pool, HTTP_INTERNAL_SERVER_ERROR, 0, kPropertiesNotMoved, err);
        }
      }
      return nullptr;
    }

    *response = nullptr;
    const char* from = src->info->pathname;
    const char* to = dst->info->pathname;
    if (apr_file_rename(from, to, src->pool) != APR_SUCCESS) {
      return kiv::error(src->pool, HTTP_INTERNAL_SERVER_ERROR, "Could not rename resource.");
    }
    mark_move(src, dst);
    dav_error* err = dav_kiv_copymove_state_set(1, src->pool, src, dst);
    if (err == nullptr) return nullptr;
    if (apr_file_rename(to, from, src->pool) == APR_SUCCESS) {
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
  });
}

// Fills the remove_resource slot (DELETE). A collection is deleted by a walk that reports, as a
// multistatus list, the resources that could not be deleted.
dav_error* dav_kiv_remove_resource(dav_resource* resource, dav_response** response) {
  *response = nullptr;
  return kiv::guarded(resource->pool, [&]() -> dav_error* {
    if (resource->collection) {
      dav_walk_params params{};
      params.walk_type = DAV_WALKTYPE_NORMAL;
      params.func = dav_kiv_delete_walker;
      params.pool = resource->pool;
      params.root = resource;
      dav_response* multistatus = nullptr;
      if (dav_error* err = dav_kiv_walk_hook(&params, DAV_INFINITY, &multistatus)) return err;
      if (multistatus != nullptr) {
        *response = multistatus;
        return kiv::error(resource->pool, HTTP_MULTI_STATUS,
                          "Error(s) occurred in some resources during the deletion process.");
      }
      resource->exists = 0;
      resource->collection = 0;
      return nullptr;
    }
    if (!kiv::repository_client()->DelDoc(resource->uri)) {
      return kiv::error(resource->pool, HTTP_FORBIDDEN, nullptr);
    }
    resource->exists = 0;
    resource->collection = 0;
    return dav_kiv_delete_state(resource->pool, resource);
  });
}

}  // extern "C"
