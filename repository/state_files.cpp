// Moving and removing the property state files of a resource. A document's dead properties live
// in its parent directory's ".DAV" directory, in a DBM named after it; when the document is moved
// by a local rename they follow it, and when it is deleted they go with it.
//
// A state file is renamed when it stays on one file system. Otherwise (or when the caller asks
// for a copy) it is copied: into a temporary file beside the destination, flushed to disk, then
// renamed into place; for a move the source is removed only after that succeeded. Either the
// destination gets the properties or the move fails with the source intact: properties are never
// left behind or lost without an error.
#include "common/host.h"
// The host's headers come first: dav_host.h renames a member of mod_dav.h.

#include <apr_file_io.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstring>

#include "propdb/propdb.h"
#include "repository/repository.h"

namespace {

constexpr apr_size_t kCopyBufferSize = apr_size_t{64} * 1024;

dav_error* state_error(apr_pool_t* p, const char* message) {
  return dav_new_error(p, HTTP_INTERNAL_SERVER_ERROR, 0, 0, message);
}

bool stat_found(apr_status_t status) {
  return status == APR_SUCCESS || status == APR_INCOMPLETE;
}

const char* directory_of(apr_pool_t* p, const char* path) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) return ".";
  if (slash == path) return "/";
  return apr_pstrmemdup(p, path, static_cast<apr_size_t>(slash - path));
}

// Copies what is left to read of src into out and flushes out to disk.
apr_status_t copy_contents(apr_pool_t* p, apr_file_t* src, apr_file_t* out) {
  auto* buffer = static_cast<char*>(apr_palloc(p, kCopyBufferSize));
  for (;;) {
    apr_size_t got = kCopyBufferSize;
    const apr_status_t status = apr_file_read(src, buffer, &got);
    if (status == APR_EOF || (status == APR_SUCCESS && got == 0)) break;
    if (status != APR_SUCCESS) return status;
    if (const apr_status_t written = apr_file_write_full(out, buffer, got, nullptr)) {
      return written;
    }
  }
  return apr_file_sync(out);
}

// Copies the state file src to dst through a temporary file in dst's directory, so that dst is
// either absent or complete. For a move, removes src once dst is in place; if src cannot be
// removed, dst is removed again and the move fails. The source's state directory is held shared,
// as a reader holds it, from before the copy until the source is gone: no writer is half-way
// through the database while it is copied, and none writes to it in between.
dav_error* dav_kiv_copy_state_file(int is_move, apr_pool_t* p, const char* src, const char* dst) {
  kiv::DirectoryLock lock;
  if (lock.lock(directory_of(p, src), false) != kiv::DirectoryLock::Result::kLocked) {
    return state_error(p, is_move ? "Could not move state file." : "Could not copy state file.");
  }

  apr_finfo_t info;
  apr_file_t* in = nullptr;
  if (apr_file_open(&in, src, APR_FOPEN_READ | APR_FOPEN_BINARY, APR_OS_DEFAULT, p) !=
          APR_SUCCESS ||
      apr_file_info_get(&info, APR_FINFO_PROT, in) != APR_SUCCESS) {
    if (in != nullptr) apr_file_close(in);
    return state_error(p, is_move ? "Could not move state file." : "Could not copy state file.");
  }

  char* temp_path = apr_pstrcat(p, directory_of(p, dst), "/.copying.XXXXXX", nullptr);
  apr_file_t* out = nullptr;
  apr_status_t status = apr_file_mktemp(
      &out, temp_path, APR_FOPEN_CREATE | APR_FOPEN_WRITE | APR_FOPEN_EXCL | APR_FOPEN_BINARY, p);
  if (status == APR_SUCCESS) {
    status = apr_file_perms_set(temp_path, info.protection);
    if (status == APR_ENOTIMPL) status = APR_SUCCESS;
    if (status == APR_SUCCESS) status = copy_contents(p, in, out);
    const apr_status_t closed = apr_file_close(out);
    if (status == APR_SUCCESS) status = closed;
    if (status == APR_SUCCESS) status = apr_file_rename(temp_path, dst, p);
    if (status != APR_SUCCESS) apr_file_remove(temp_path, p);
  }
  apr_file_close(in);
  if (status != APR_SUCCESS) {
    return state_error(p, is_move ? "Could not move state file." : "Could not copy state file.");
  }

  if (is_move) {
    status = apr_file_remove(src, p);
    if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
      // Two copies would let the properties reappear at the source; undo the copy instead.
      apr_file_remove(dst, p);
      return state_error(p, "Could not move state file.");
    }
  }
  return nullptr;
}

// Carries one state file from src_dir/.DAV/src_name to dst_dir/.DAV/dst_name, creating the
// destination's state directory. A source without the file is nothing to do. Errors from p.
dav_error* dav_kiv_copymove_state(int is_move, apr_pool_t* p, const char* src_dir,
                                  const char* src_name, const char* dst_dir, const char* dst_name) {
  const char* src = apr_pstrcat(p, src_dir, DAV_KIV_STATE_JOINT, src_name, nullptr);
  apr_finfo_t src_info;
  if (!stat_found(apr_stat(&src_info, src, APR_FINFO_NORM, p))) return nullptr;

  const char* dst_state = apr_pstrcat(p, dst_dir, "/" DAV_KIV_STATE_DIR, nullptr);
  const apr_status_t made = apr_dir_make(dst_state, APR_OS_DEFAULT, p);
  if (made != APR_SUCCESS && !APR_STATUS_IS_EEXIST(made)) {
    return state_error(p, "Could not create internal state directory");
  }
  apr_finfo_t dst_info;
  if (!stat_found(apr_stat(&dst_info, dst_state, APR_FINFO_NORM, p))) {
    return state_error(p, "State directory disappeared");
  }
  if (dst_info.filetype != APR_DIR) return state_error(p, "State directory is actually a file");

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

extern "C" {

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

  apr_status_t status =
      apr_file_remove(apr_pstrcat(p, dir, DAV_KIV_STATE_JOINT, first, nullptr), p);
  if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
    return state_error(p, "Could not remove properties.");
  }
  if (second != nullptr) {
    status = apr_file_remove(apr_pstrcat(p, dir, DAV_KIV_STATE_JOINT, second, nullptr), p);
    if (status != APR_SUCCESS && !APR_STATUS_IS_ENOENT(status)) {
      return state_error(p,
                         "Could not completely remove properties. The server is now in an "
                         "inconsistent state.state.");
    }
  }
  return nullptr;
}

}  // extern "C"
