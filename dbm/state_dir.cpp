// The state directory of a local directory and the files the DBM type keeps in it.
#include "dbm/state_dir.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

#include "common/beneath.h"
#include "common/host_util.h"
#include "common/names.h"
#include "dbm/dbm_internal.h"
#include "provider/local_files.h"
#include "provider/resource.h"

namespace kiv {

void dbm_used_names(apr_pool_t* p, const char* path, const char** first, const char** second) {
  const char* type = dbm_type();
  if (type == nullptr || apr_dbm_get_usednames_ex(p, type, path, first, second) != APR_SUCCESS) {
    apr_dbm_get_usednames(p, path, first, second);
  }
}

void dav_dbm_get_statefiles(apr_pool_t* p, const char* fname, const char** first,
                            const char** second) {
  dbm_used_names(p, fname != nullptr ? fname : pool_copy(p, kStateFileForDir), first, second);
}

void dav_kiv_make_state_dir(apr_pool_t* /*p*/, const char* root, const char* dirpath) {
  // A directory that exists already is the usual case; a real failure shows at the next open.
  const UniqueFd dir = open_in_tree(root, dirpath, O_PATH | O_DIRECTORY);
  if (dir.valid()) {
    (void)::mkdirat(dir.get(), std::string(kStateDirName).c_str(), kStateDirMode);
  }
}

dav_error* dav_kiv_check_state_dir(apr_pool_t* p, const char* root, const char* dirpath) {
  const char* state = state_dir_path(p, dirpath);
  const UniqueFd dir = open_in_tree(root, state, O_PATH | O_DIRECTORY);
  if (!dir.valid() && path_refused(errno)) return refused_path_error(p, state);
  return nullptr;
}

const char* state_dir_path(apr_pool_t* p, const char* dirpath) {
  return apr_pstrcat(p, dirpath, "/", pool_copy(p, kStateDirName), nullptr);
}

const char* state_file_path(apr_pool_t* p, const char* dirpath, const char* name) {
  return apr_pstrcat(p, state_dir_path(p, dirpath), "/", name, nullptr);
}

dav_error* dav_kiv_dbm_open_resource(apr_pool_t* p, const dav_resource* resource, int ro,
                                     DbmFile** pdb) {
  *pdb = nullptr;
  const char* dirpath = nullptr;
  const char* fname = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(resource, &dirpath, &fname)) return err;
  const char* root = tree_root(resource);
  if (!ro) dav_kiv_make_state_dir(p, root, dirpath);
  const char* name = fname != nullptr ? fname : pool_copy(p, kStateFileForDir);
  return dav_kiv_dbm_open_beneath(p, root, state_file_path(p, dirpath, name), ro, pdb);
}

}  // namespace kiv
