// Resource lookup: the description mod_dav gets for every resource a request touches.
//
// A resource has two identities. Its URI names it in the repository service, which alone decides
// whether it exists and whether it is a collection. Its local path name comes from the server's
// own URI-to-file mapping; dead properties, lock keys and lock-null lists hang off that path and
// its file information.
#include "common/host.h"

#include <cstring>
#include <string>

#include <apr_file_info.h>
#include <apr_time.h>

#include "client/kiv_client.h"
#include "common/guard.h"
#include "module/kiv_module.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

namespace kiv {

WebDavUtil* repository_client() { return getServiceFactoryInstance().GetService("a"); }

char* strip_one_trailing_slash(apr_pool_t* pool, const char* path) {
  char* copy = apr_pstrdup(pool, path);
  const std::size_t len = std::strlen(copy);
  if (len > 1 && copy[len - 1] == '/') copy[len - 1] = '\0';
  return copy;
}

}  // namespace kiv

namespace {

// Splits path into its file-system root and the rest. True when a root was found and something
// follows it, or APR could only say the path is incomplete; false when there is no parent.
bool has_parent_below_root(apr_pool_t* pool, const char* path, apr_status_t* status) {
  const char* root = nullptr;
  const char* rest = path;
  *status = apr_filepath_root(&root, &rest, 0, pool);
  if (*status != APR_SUCCESS && *status != APR_EINCOMPLETE) return false;
  return *status == APR_EINCOMPLETE || *rest != '\0';
}

}  // namespace

extern "C" {

// Fills the get_resource slot. The resource, its private record and its strings come from the
// request pool. The repository service decides existence and collection-ness; a service that
// cannot answer makes the resource not exist. Never returns an error.
dav_error* dav_kiv_get_resource(request_rec* r, const char* /*root_dir*/, const char* /*label*/,
                                int /*use_checked_in*/, dav_resource** result) {
  return kiv::guarded(r->pool, [&]() -> dav_error* {
    auto* info =
        static_cast<dav_resource_private*>(apr_pcalloc(r->pool, sizeof(dav_resource_private)));
    info->finfo = r->finfo;
    // Where a local file exists its own time is the resource's modification time, so validators
    // change exactly when the file does; only a resource without a local file carries the time of
    // its lookup.
    if (info->finfo.filetype == APR_NOFILE) info->finfo.mtime = apr_time_now();
    info->pool = r->pool;
    info->pathname = kiv::strip_one_trailing_slash(
        r->pool, apr_pstrcat(r->pool, r->filename, r->path_info ? r->path_info : "", nullptr));

    auto* resource = static_cast<dav_resource*>(apr_pcalloc(r->pool, sizeof(dav_resource)));
    resource->type = DAV_RESOURCE_TYPE_REGULAR;
    resource->info = info;
    resource->hooks = &dav_kiv_hooks_repository;
    resource->pool = r->pool;
    resource->uri = kiv::strip_one_trailing_slash(r->pool, r->uri);
    resource->exists = 1;

    Directory* entry = nullptr;
    if (!kiv::repository_client()->GetDirectory(resource->uri, &entry) || entry == nullptr) {
      resource->exists = 0;
    } else {
      resource->collection = entry->type == kCollectionItem ? 1 : 0;
    }
    *result = resource;
    return nullptr;
  });
}

// Fills the get_parent_resource slot. The parent comes from the child's pool; its existence comes
// from the local file system. The root has no parent (*parent null). Never returns an error.
dav_error* dav_kiv_get_parent_resource(const dav_resource* resource, dav_resource** parent) {
  *parent = nullptr;
  return kiv::guarded(resource->pool, [&]() -> dav_error* {
    const dav_resource_private* child = resource->info;
    if (resource->uri != nullptr && std::strcmp(resource->uri, "/") == 0) return nullptr;
    apr_status_t status;
    if (!has_parent_below_root(child->pool, child->pathname, &status)) return nullptr;

    auto* info =
        static_cast<dav_resource_private*>(apr_pcalloc(child->pool, sizeof(dav_resource_private)));
    info->pool = child->pool;
    info->pathname = kiv::strip_one_trailing_slash(
        child->pool, ap_make_dirstr_parent(child->pool, child->pathname));

    auto* result = static_cast<dav_resource*>(apr_pcalloc(child->pool, sizeof(dav_resource)));
    result->info = info;
    result->collection = 1;
    result->hooks = &dav_kiv_hooks_repository;
    result->pool = resource->pool;
    if (resource->uri != nullptr) {
      result->uri = kiv::strip_one_trailing_slash(child->pool,
                                                  ap_make_dirstr_parent(child->pool, resource->uri));
    }
    status = apr_stat(&info->finfo, info->pathname, APR_FINFO_NORM, child->pool);
    if (status == APR_SUCCESS || status == APR_INCOMPLETE) result->exists = 1;
    *parent = result;
    return nullptr;
  });
}

// Fills the is_same_resource slot: same inode when both sides have a local file, else the same
// path name.
int dav_kiv_is_same_resource(const dav_resource* res1, const dav_resource* res2) {
  if (res1->hooks != res2->hooks) return 0;
  const dav_resource_private* a = res1->info;
  const dav_resource_private* b = res2->info;
  if (a->finfo.filetype != APR_NOFILE && b->finfo.filetype != APR_NOFILE &&
      (a->finfo.valid & b->finfo.valid & APR_FINFO_INODE) != 0) {
    return a->finfo.inode == b->finfo.inode ? 1 : 0;
  }
  return std::strcmp(a->pathname, b->pathname) == 0 ? 1 : 0;
}

// Fills the is_parent_resource slot: res1 is an ancestor of res2 by path name, at a "/" boundary.
int dav_kiv_is_parent_resource(const dav_resource* res1, const dav_resource* res2) {
  if (res1->hooks != res2->hooks) return 0;
  const char* ancestor = res1->info->pathname;
  const char* descendant = res2->info->pathname;
  const std::size_t len = std::strlen(ancestor);
  return std::strlen(descendant) > len && std::strncmp(ancestor, descendant, len) == 0 &&
                 descendant[len] == '/'
             ? 1
             : 0;
}

dav_error* dav_kiv_dir_file_name(const dav_resource* resource, const char** dirpath,
                                 const char** name) {
  const dav_resource_private* info = resource->info;
  if (resource->collection) {
    *dirpath = info->pathname;
    if (name != nullptr) *name = nullptr;
    return nullptr;
  }
  char* dir = ap_make_dirstr_parent(info->pool, info->pathname);
  const std::size_t len = std::strlen(dir);
  apr_status_t status = APR_SUCCESS;
  bool below_root = false;
  if (len != 0) below_root = has_parent_below_root(info->pool, dir, &status);
  if (status != APR_SUCCESS && status != APR_EINCOMPLETE) {
    return dav_new_error(info->pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0,
                         "An incompleted/bad path was founddav_kiv_dir_file_name.");
  }
  // A bare file-system root keeps its "/".
  if (below_root && len > 0 && dir[len - 1] == '/') dir[len - 1] = '\0';
  *dirpath = dir;
  if (name != nullptr) *name = info->pathname + len;
  return nullptr;
}

const char* dav_kiv_resource_pathname(const dav_resource* resource) {
  return resource->info->pathname;
}

}  // extern "C"
