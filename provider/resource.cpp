// The directory/name split of a resource's local path name.
#include "provider/resource.h"

#include <cstring>

namespace kiv {

bool has_parent_below_root(apr_pool_t* pool, const char* path, apr_status_t* status) {
  const char* root = nullptr;
  const char* rest = path;
  *status = apr_filepath_root(&root, &rest, 0, pool);
  if (*status != APR_SUCCESS && *status != APR_EINCOMPLETE) return false;
  return *status == APR_EINCOMPLETE || *rest != '\0';
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

}  // namespace kiv

extern "C" {

const char* dav_kiv_resource_pathname(const dav_resource* resource) noexcept {
  return resource->info->pathname;
}

}  // extern "C"
