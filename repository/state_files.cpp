// Moving and removing the property state files of a resource. A document's dead properties live
// in its parent directory's ".DAV" directory, in a DBM named after it; when the document is moved
// by a local rename they follow it, and when it is deleted they go with it.
//
// A state file is renamed when it stays on one file system. Otherwise (or when the caller asks
// for a copy) it is copied: into a temporary file beside the destination, flushed to disk, then
// renamed into place; for a move the source is removed only after that succeeded. Either the
// destination gets the properties or the move fails with the source intact: properties are never
// left behind or lost without an error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/directory_lock.h"
#include "common/file_io.h"
#include "common/host_util.h"
#include "common/unique_fd.h"
#include "dbm/state_dir.h"
#include "provider/resource.h"
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

dav_error* state_error(apr_pool_t* p, const char* message) {
  return error(p, HTTP_INTERNAL_SERVER_ERROR, message);
}

dav_error* transfer_error(apr_pool_t* p, int is_move) {
  return state_error(p, is_move ? "Could not move state file." : "Could not copy state file.");
}

bool stat_found(apr_status_t status) {
  return status == APR_SUCCESS || status == APR_INCOMPLETE;
}

// Copies the file src to dst through a temporary file in dst's directory, with src's permissions,
// flushed to disk before it is renamed into place: dst is either as it was or complete.
bool copy_through_temporary(const char* src, const char* dst) {
  const UniqueFd in(::open(src, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (!in.valid() || ::fstat(in.get(), &st) != 0) return false;
  std::string temp_path(parent_directory(dst));
  temp_path += "/.copying.XXXXXX";
  UniqueFd out(::mkostemp(temp_path.data(), O_CLOEXEC));
  if (!out.valid()) return false;
  const bool copied = ::fchmod(out.get(), st.st_mode & 07777) == 0 &&
                      copy_contents(in.get(), out.get()) && ::fsync(out.get()) == 0;
  const bool closed = out.close();
  if (copied && closed && ::rename(temp_path.c_str(), dst) == 0) return true;
  ::unlink(temp_path.c_str());
  return false;
}

// Copies the state file src to dst (see copy_through_temporary). For a move, removes src once dst
// is in place; if src cannot be removed, dst is removed again and the move fails. The source's
// state directory is held shared, as a reader holds it, from before the copy until the source is
// gone: no writer is half-way through the database while it is copied, and none writes to it in
// between.
dav_error* dav_kiv_copy_state_file(int is_move, apr_pool_t* p, const char* src, const char* dst) {
  DirectoryLock lock;
  const std::string src_dir(parent_directory(src));
  if (lock.lock(src_dir.c_str(), false, dbm_lock_wait()) != DirectoryLock::Result::kLocked) {
    return transfer_error(p, is_move);
  }
  if (!copy_through_temporary(src, dst)) return transfer_error(p, is_move);
  if (is_move) {
    const apr_status_t status = apr_file_remove(src, p);
    if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
      // Two copies would let the properties reappear at the source; undo the copy instead.
      apr_file_remove(dst, p);
      return state_error(p, "Could not move state file.");
    }
  }
  return nullptr;
}

// Makes the state directory of dst_dir when it is missing; *info describes it afterwards.
dav_error* make_destination_state_dir(apr_pool_t* p, const char* dst_state, apr_finfo_t* info) {
  const apr_status_t made = apr_dir_make(dst_state, APR_OS_DEFAULT, p);
  if (made != APR_SUCCESS && !APR_STATUS_IS_EEXIST(made)) {
    return state_error(p, "Could not create internal state directory");
  }
  if (!stat_found(apr_stat(info, dst_state, APR_FINFO_NORM, p))) {
    return state_error(p, "State directory disappeared");
  }
  if (info->filetype != APR_DIR) return state_error(p, "State directory is actually a file");
  return nullptr;
}

// Carries one state file from src_dir/.DAV/src_name to dst_dir/.DAV/dst_name, creating the
// destination's state directory. A source without the file is nothing to do. Errors from p.
dav_error* dav_kiv_copymove_state(int is_move, apr_pool_t* p, const char* src_dir,
                                  const char* src_name, const char* dst_dir, const char* dst_name) {
  const char* src = state_file_path(p, src_dir, src_name);
  apr_finfo_t src_info;
  if (!stat_found(apr_stat(&src_info, src, APR_FINFO_NORM, p))) return nullptr;

  const char* dst_state = state_dir_path(p, dst_dir);
  apr_finfo_t dst_info;
  if (dav_error* err = make_destination_state_dir(p, dst_state, &dst_info)) return err;

  const char* dst = apr_pstrcat(p, dst_state, "/", dst_name, nullptr);
  if (is_move && src_info.device == dst_info.device) {
    const apr_status_t renamed = apr_file_rename(src, dst, p);
    if (renamed == APR_SUCCESS) return nullptr;
    // One device number can still span two mounts (a bind mount); then copy.
    if (renamed != APR_FROM_OS_ERROR(EXDEV)) return state_error(p, "Could not move state file.");
  }
  return dav_kiv_copy_state_file(is_move, p, src, dst);
}

}  // namespace

dav_error* dav_kiv_copymove_state_set(int is_move, apr_pool_t* p, const dav_resource* src,
                                      const dav_resource* dst) {
  const char* src_dir = nullptr;
  const char* src_file = nullptr;
  const char* dst_dir = nullptr;
  const char* dst_file = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(src, &src_dir, &src_file)) return err;
  if (dav_error* err = dav_kiv_dir_file_name(dst, &dst_dir, &dst_file)) return err;

  const char* src_first = nullptr;
  const char* src_second = nullptr;
  const char* dst_first = nullptr;
  const char* dst_second = nullptr;
  dav_dbm_get_statefiles(p, src_file, &src_first, &src_second);
  dav_dbm_get_statefiles(p, dst_file, &dst_first, &dst_second);
  if ((src_second == nullptr) != (dst_second == nullptr)) {
    return state_error(p, "DESIGN ERROR: dav_dbm_get_statefiles() returned inconsistent results.");
  }

  if (dav_error* err = dav_kiv_copymove_state(is_move, p, src_dir, src_first, dst_dir, dst_first)) {
    return err;
  }
  if (src_second != nullptr) {
    if (dav_error* err =
            dav_kiv_copymove_state(is_move, p, src_dir, src_second, dst_dir, dst_second)) {
      err->status = HTTP_INTERNAL_SERVER_ERROR;
      err->desc =
          "Could not completely copy/move the properties. The server is now in an inconsistent "
          "state.state.";
      return err;
    }
  }
  return nullptr;
}

dav_error* dav_kiv_delete_state(apr_pool_t* p, const dav_resource* resource) {
  const char* dir = nullptr;
  const char* file = nullptr;
  if (dav_error* err = dav_kiv_dir_file_name(resource, &dir, &file)) return err;
  const char* first = nullptr;
  const char* second = nullptr;
  dav_dbm_get_statefiles(p, file, &first, &second);

  apr_status_t status = apr_file_remove(state_file_path(p, dir, first), p);
  if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
    return state_error(p, "Could not remove properties.");
  }
  if (second != nullptr) {
    status = apr_file_remove(state_file_path(p, dir, second), p);
    if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
      return state_error(p,
                         "Could not completely remove properties. The server is now in an "
                         "inconsistent state.state.");
    }
  }
  return nullptr;
}

}  // namespace kiv::repository
