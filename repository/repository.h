// What crosses the files of the repository subsystem, and what it offers the dead-property store
// and the lock code: the provider's private part of a resource, the directory/name split, and the
// moving and removing of a resource's property state files.
#ifndef KIV_REPOSITORY_REPOSITORY_H_
#define KIV_REPOSITORY_REPOSITORY_H_

#include <apr_file_info.h>
#include <apr_pools.h>
#include <httpd.h>
#include "common/host.h"

extern "C" {

// The provider's part of a resource description, allocated zero-filled from the resource's pool.
struct dav_resource_private {
  apr_pool_t* pool;      // pool of the resource and of everything derived from it
  const char* pathname;  // local path name; no trailing "/" unless it is one character
  apr_finfo_t finfo;     // file information of the local path name
};

// Splits the resource's path name into the directory that holds its state and its name there.
// For a collection the directory is the path name itself and *name is null. Results come from the
// resource's pool. name may be null when the caller does not need it.
dav_error* dav_kiv_dir_file_name(const dav_resource* resource, const char** dirpath,
                                 const char** name);

// The resource's local path name. Fills the get_pathname slot of the repository hook table.
const char* dav_kiv_resource_pathname(const dav_resource* resource);

// Moves (is_move) or copies the property state files of src to those of dst. Errors from p.
dav_error* dav_kiv_copymove_state_set(int is_move, apr_pool_t* p, const dav_resource* src,
                                      const dav_resource* dst);

// Removes a document's property state files. Errors from p.
dav_error* dav_kiv_delete_state(apr_pool_t* p, const dav_resource* resource);

// Repository hooks implemented across the files of this subsystem; the table that holds them is
// at the bottom of repos_hooks.cpp.
dav_error* dav_kiv_get_resource(request_rec* r, const char* root_dir, const char* label,
                                int use_checked_in, dav_resource** resource);
dav_error* dav_kiv_get_parent_resource(const dav_resource* resource, dav_resource** parent);
int dav_kiv_is_same_resource(const dav_resource* res1, const dav_resource* res2);
int dav_kiv_is_parent_resource(const dav_resource* res1, const dav_resource* res2);

dav_error* dav_kiv_open_stream(const dav_resource* resource, dav_stream_mode mode,
                               dav_stream** stream);
dav_error* dav_kiv_close_stream(dav_stream* stream, int commit);
dav_error* dav_kiv_write_stream(dav_stream* stream, const void* buf, apr_size_t bufsize);
dav_error* dav_kiv_seek_stream(dav_stream* stream, apr_off_t abs_position);
dav_error* dav_kiv_set_headers(request_rec* r, const dav_resource* resource);
dav_error* dav_kiv_deliver(const dav_resource* resource, ap_filter_t* output);

dav_error* dav_kiv_create_collection(dav_resource* resource);
dav_error* dav_kiv_copy_resource(const dav_resource* src, dav_resource* dst, int depth,
                                 dav_response** response);
dav_error* dav_kiv_move_resource(dav_resource* src, dav_resource* dst, dav_response** response);
dav_error* dav_kiv_remove_resource(dav_resource* resource, dav_response** response);

// Fills the walk slot; runs dav_kiv_walk.
dav_error* dav_kiv_walk_hook(const dav_walk_params* params, int depth, dav_response** response);

const char* dav_kiv_getetag(const dav_resource* resource);

}  // extern "C"

#endif  // KIV_REPOSITORY_REPOSITORY_H_
