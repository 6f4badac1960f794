// The provider's part of a resource, which every subsystem of the provider reads: the private
// record behind each dav_resource, the split of its local path name into the directory that
// holds its state and its name there, and the path name accessor.
#ifndef KIV_PROVIDER_RESOURCE_H_
#define KIV_PROVIDER_RESOURCE_H_

#include "common/host.h"

// What the repository service told of a document when a request looked it up, and what came
// along for its delivery (repository/).
struct dav_kiv_document;

// The provider's part of a resource description, allocated zero-filled from the resource's pool.
struct dav_resource_private {
  apr_pool_t* pool;      // pool of the resource and of everything derived from it
  const char* pathname;  // local path name; no trailing "/" unless it is one character
  apr_finfo_t finfo;     // file information of the local path name
  // The document root of the request the resource was looked up for: every local file of the
  // resource lies beneath it and is reached without symbolic links (provider/local_files.h).
  // Null counts as "/".
  const char* root;
  // Null unless the request's lookup described a document; then finfo's type, size, times and
  // identity are the service's.
  dav_kiv_document* document;
};

namespace kiv {

// A mode of open_stream that only the provider's own callers pass (mod_dav passes
// DAV_MODE_WRITE_TRUNC or DAV_MODE_WRITE_SEEKABLE): the document is stored only where nothing is
// yet; when something is there by then, close_stream answers 409 and it stays.
inline constexpr int kStreamCreateOnly = 0x6b00;

// Splits path into its file-system root and the rest. True when a root was found and something
// follows it, or APR could only say the path is incomplete; false when there is no parent.
// *status is what APR said.
bool has_parent_below_root(apr_pool_t* pool, const char* path, apr_status_t* status);

// Splits the resource's path name into the directory that holds its state and its name there.
// For a collection the directory is the path name itself and *name is null. Results come from the
// resource's pool. name may be null when the caller does not need it.
dav_error* dav_kiv_dir_file_name(const dav_resource* resource, const char** dirpath,
                                 const char** name);

}  // namespace kiv

extern "C" {

// The resource's local path name. Fills the get_pathname slot of the repository hook table.
const char* dav_kiv_resource_pathname(const dav_resource* resource) noexcept;

}  // extern "C"

#endif  // KIV_PROVIDER_RESOURCE_H_
