// The provider's side of the local tree: every file the module touches for a resource lies
// beneath the document root of the request (the resource's root) and is reached without
// symbolic links (common/beneath.h). This file turns those rules into the host's records: file
// information, and the 403 with its log line for a path that is refused.
#ifndef KIV_PROVIDER_LOCAL_FILES_H_
#define KIV_PROVIDER_LOCAL_FILES_H_

#include <sys/stat.h>

#include "common/host.h"

namespace kiv {

// The root beneath which the resource's local files lie ("/" when none was recorded).
const char* tree_root(const dav_resource* resource);

// What a stat of a local path found.
enum class LocalFile {
  kFound,    // *finfo describes it
  kMissing,  // nothing is there (or it cannot be reached for another reason than a refusal)
  kRefused,  // a symbolic link lies on the way or is the path itself, or it leads out of root
};

// Stats path beneath root (null: trusted, no beneath rule) into *finfo with everything
// apr_stat(APR_FINFO_NORM) gives, from pool. *finfo is zero (APR_NOFILE) unless kFound.
LocalFile local_stat(apr_pool_t* pool, const char* root, const char* path, apr_finfo_t* finfo);

// local_stat for the lookup of a resource: the path is also refused when a state directory it
// would use is a symbolic link, whether the resource turns out to be a document (".DAV" beside
// it) or a collection (".DAV" in it). One resolution of the parent directory serves all three.
LocalFile lookup_stat(apr_pool_t* pool, const char* root, const char* path, apr_finfo_t* finfo);

// local_stat of the entry name of the directory open at dir (never followed).
LocalFile entry_stat(apr_pool_t* pool, int dir, const char* name, apr_finfo_t* finfo);

// Fills *finfo from st as apr_stat does; finfo->pool is pool, the names stay null.
void finfo_from_stat(apr_pool_t* pool, const struct stat& st, apr_finfo_t* finfo);

// The permission bits of a mode for APR permissions, and back.
apr_fileperms_t perms_from_mode(mode_t mode);
mode_t mode_from_perms(apr_fileperms_t perms);

// The error for a path the module refuses to use (see LocalFile::kRefused): 403, from pool. Writes
// one line to the error log (KIV10030) naming the path.
__attribute__((returns_nonnull)) dav_error* refused_path_error(apr_pool_t* pool, const char* path);

}  // namespace kiv

#endif  // KIV_PROVIDER_LOCAL_FILES_H_
