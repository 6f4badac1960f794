// Moving and removing the property state files of a resource. A document's dead properties live
// in its parent directory's ".DAV" directory, in a DBM named after it; when the document is moved
// by a local rename they follow it, and when it is deleted they go with it.
//
// A state file is renamed when it stays on one file system. Otherwise (or when the caller asks
// for a copy) it is copied: into a temporary file beside the destination, flushed to disk, then
// renamed into place; for a move the source is removed only after that succeeded. Either the
// destination gets the properties or the move fails with the source intact: properties are never
// left behind or lost without an error. Every state directory is reached beneath the resource's
// root without symbolic links, and every file is handled relative to it (common/beneath.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "common/beneath.h"
#include "common/directory_lock.h"
#include "common/file_io.h"
#include "common/host_util.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "dbm/state_dir.h"
#include "provider/local_files.h"
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

// A name for a temporary file that no other request of any process picks at the same time.
std::string temporary_name() {
  static std::atomic<unsigned> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  char name[64];
  std::snprintf(name, sizeof name, ".copying.%ld.%u.%llx", static_cast<long>(::getpid()),
                counter.fetch_add(1, std::memory_order_relaxed),
                static_cast<unsigned long long>(now));
  return name;
}

// Copies the file src_name of the directory open at src_dir to dst_name of the one open at
// dst_dir, through a temporary file beside the destination, with the source's permissions less
// any for others, flushed to disk before it is renamed into place: the destination is either as
// it was or complete. Neither name is followed if it is a symbolic link.
bool copy_through_temporary(int src_dir, const char* src_name, int dst_dir, const char* dst_name) {
  const UniqueFd in(::openat(src_dir, src_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!in.valid() || ::fstat(in.get(), &st) != 0) return false;
  std::string temp;
  UniqueFd out;
  for (int tries = 0; tries < 8 && !out.valid(); ++tries) {
    temp = temporary_name();
    out.reset(::openat(dst_dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (!out.valid() && errno != EEXIST) return false;
  }
  if (!out.valid()) return false;
  const bool copied = ::fchmod(out.get(), st.st_mode & kStateFileMode) == 0 &&
                      copy_contents(in.get(), out.get()) && ::fsync(out.get()) == 0;
  const bool closed = out.close();
  if (copied && closed && ::renameat(dst_dir, temp.c_str(), dst_dir, dst_name) == 0) return true;
  ::unlinkat(dst_dir, temp.c_str(), 0);
  return false;
}

// Copies the state file src_name of the state directory open at src_dir (which this takes over)
// to dst_name of the one open at dst_dir (see copy_through_temporary). For a move, removes the
// source once the destination is in place; if it cannot be removed, the destination is removed
// again and the move fails. The source's state directory is held shared, as a reader holds it,
// from before the copy until the source is gone: no writer is half-way through the database while
// it is copied, and none writes to it in between.
dav_error* dav_kiv_copy_state_file(int is_move, apr_pool_t* p, UniqueFd src_dir,
                                   const char* src_name, int dst_dir, const char* dst_name) {
  DirectoryLock lock;
  if (lock.lock(std::move(src_dir), false, dbm_lock_wait()) != DirectoryLock::Result::kLocked) {
    return transfer_error(p, is_move);
  }
  if (!copy_through_temporary(lock.fd(), src_name, dst_dir, dst_name)) {
    return transfer_error(p, is_move);
  }
  if (is_move && ::unlinkat(lock.fd(), src_name, 0) != 0 && errno != ENOENT) {
    // Two copies would let the properties reappear at the source; undo the copy instead.
    ::unlinkat(dst_dir, dst_name, 0);
    return state_error(p, "Could not move state file.");
  }
  return nullptr;
}

// Makes the state directory of dst_dir (beneath root) when it is missing and opens it into *out.
dav_error* make_destination_state_dir(apr_pool_t* p, const char* root, const char* dst_dir,
                                      UniqueFd* out) {
  const UniqueFd parent = open_in_tree(root, dst_dir, O_PATH | O_DIRECTORY);
  if (!parent.valid()) {
    if (path_refused(errno)) return refused_path_error(p, dst_dir);
    return state_error(p, "Could not create internal state directory");
  }
  const std::string name(kStateDirName);
  if (::mkdirat(parent.get(), name.c_str(), kStateDirMode) != 0 && errno != EEXIST) {
    return state_error(p, "Could not create internal state directory");
  }
  out->reset(::openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (out->valid()) return nullptr;
  switch (errno) {
    case ELOOP:
      return refused_path_error(p, state_dir_path(p, dst_dir));
    case ENOTDIR:
      return state_error(p, "State directory is actually a file");
    default:
      return state_error(p, "State directory disappeared");
  }
}

// Carries one state file from src_dir/.DAV/src_name to dst_dir/.DAV/dst_name, creating the
// destination's state directory; each directory lies beneath its root and is reached without
// symbolic links. A source without the file is nothing to do. Errors from p.
dav_error* dav_kiv_copymove_state(int is_move, apr_pool_t* p, const char* src_root,
                                  const char* src_dir, const char* src_name, const char* dst_root,
                                  const char* dst_dir, const char* dst_name) {
  const char* src_state = state_dir_path(p, src_dir);
  UniqueFd src_fd = open_in_tree(src_root, src_state, O_RDONLY | O_DIRECTORY);
  if (!src_fd.valid()) {
    if (path_refused(errno)) return refused_path_error(p, src_state);
    return nullptr;  // no state directory, no state file
  }
  struct stat src_info;
  const int found = stat_entry(src_fd.get(), src_name, &src_info);
  if (found == ELOOP) return refused_path_error(p, state_file_path(p, src_dir, src_name));
  if (found != 0) return nullptr;

  UniqueFd dst_fd;
  if (dav_error* err = make_destination_state_dir(p, dst_root, dst_dir, &dst_fd)) return err;
  struct stat dst_info;
  if (::fstat(dst_fd.get(), &dst_info) != 0) return state_error(p, "State directory disappeared");

  if (is_move && src_info.st_dev == dst_info.st_dev) {
    if (::renameat(src_fd.get(), src_name, dst_fd.get(), dst_name) == 0) return nullptr;
    // One device number can still span two mounts (a bind mount); then copy.
    if (errno != EXDEV) return state_error(p, "Could not move state file.");
  }
  return dav_kiv_copy_state_file(is_move, p, std::move(src_fd), src_name, dst_fd.get(), dst_name);
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

  const char* src_root = tree_root(src);
  const char* dst_root = tree_root(dst);
  if (dav_error* err = dav_kiv_copymove_state(is_move, p, src_root, src_dir, src_first, dst_root,
                                              dst_dir, dst_first)) {
    return err;
  }
  if (src_second != nullptr) {
    if (dav_error* err = dav_kiv_copymove_state(is_move, p, src_root, src_dir, src_second, dst_root,
                                                dst_dir, dst_second)) {
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

  const char* state = state_dir_path(p, dir);
  const UniqueFd state_dir = open_in_tree(tree_root(resource), state, O_PATH | O_DIRECTORY);
  if (!state_dir.valid()) {
    if (path_refused(errno)) return refused_path_error(p, state);
    if (errno == ENOENT) return nullptr;  // no state directory, no properties
    return state_error(p, "Could not remove properties.");
  }
  // unlinkat never follows the name: a link there goes, not what it points to.
  if (::unlinkat(state_dir.get(), first, 0) != 0 && errno != ENOENT) {
    return state_error(p, "Could not remove properties.");
  }
  if (second != nullptr && ::unlinkat(state_dir.get(), second, 0) != 0 && errno != ENOENT) {
    return state_error(p,
                       "Could not completely remove properties. The server is now in an "
                       "inconsistent state.state.");
  }
  return nullptr;
}

}  // namespace kiv::repository
