// Where the state of a resource lies on disk: the state directory ".DAV" beside it, which holds
// the property databases of the documents of a directory (one named after each), the
// directory's own properties (".state_for_dir") and its lock-null list.
#ifndef KIV_DBM_STATE_DIR_H_
#define KIV_DBM_STATE_DIR_H_

#include <sys/types.h>

#include "common/host.h"
#include "dbm/dbm.h"

namespace kiv {

// Modes of what the module creates in the tree: state directories, and the files in them (property
// databases, lock-null lists). The account of Apache's workers and its group may read them;
// nobody else.
inline constexpr mode_t kStateDirMode = 0750;
inline constexpr mode_t kStateFileMode = 0640;

// The bare file names that the DBM type uses for a database named fname (".state_for_dir" when
// fname is null). *second is null when the type keeps one file. Results from p.
void dav_dbm_get_statefiles(apr_pool_t* p, const char* fname, const char** first,
                            const char** second);

// The names of the files that the DBM type keeps for a database at path. Results from p.
void dbm_used_names(apr_pool_t* p, const char* path, const char** first, const char** second);

// Tries to create dirpath + "/.DAV" (mode 0750), dirpath reached beneath root as
// common/beneath.h says; every outcome is ignored (a failure shows at the next open).
void dav_kiv_make_state_dir(apr_pool_t* p, const char* root, const char* dirpath);

// Whether the state directory of dirpath may be used: null, or the 403 of a path refused (see
// common/beneath.h: a symbolic link on its way, or outside root) with its log line. A state
// directory that does not exist may be used. For requests that check before they change
// anything.
dav_error* dav_kiv_check_state_dir(apr_pool_t* p, const char* root, const char* dirpath);

// The state directory of dirpath: dirpath + "/.DAV", from p.
const char* state_dir_path(apr_pool_t* p, const char* dirpath);

// The path of a file in the state directory of dirpath: dirpath + "/.DAV/" + name, from p.
const char* state_file_path(apr_pool_t* p, const char* dirpath, const char* name);

// Opens the property database of a resource: <dir>/.DAV/<name>, or <dir>/.DAV/.state_for_dir
// for a collection, with dir and name from dav_kiv_dir_file_name (whose error it returns). A
// writable open first tries to create the state directory. Otherwise as dav_kiv_dbm_open_beneath
// below the resource's root.
dav_error* dav_kiv_dbm_open_resource(apr_pool_t* p, const dav_resource* resource, int ro,
                                     DbmFile** pdb);

}  // namespace kiv

#endif  // KIV_DBM_STATE_DIR_H_
