// Files of the module's tree, opened so that no path ever leads out of it: every component from
// the tree's root down is resolved by the kernel beneath the root, and a symbolic link anywhere
// on the way, the last component included, is refused instead of followed. What the module then
// does to a file (create, rename, remove, change) it does relative to descriptors opened this
// way, never by a path that a symbolic link placed in the tree meanwhile could redirect.
//
// openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) resolves where the kernel has it (Linux 5.6);
// elsewhere a walk opens one component at a time with O_NOFOLLOW and refuses "..". No state but
// which of the two is in use; thread-safe.
#ifndef KIV_COMMON_BENEATH_H_
#define KIV_COMMON_BENEATH_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <string_view>

#include "common/unique_fd.h"

namespace kiv {

// True when open_beneath (or what is built on it) refused a path: a symbolic link lies on the way
// or is the last component (ELOOP), or the path leads out of the root (EXDEV). Any other errno
// says the file is not there or could not be opened.
constexpr bool path_refused(int error) {
  return error == ELOOP || error == EXDEV;
}

// Opens rel beneath the directory open at root_fd. rel is relative ("a/b"; "" or "." is the root
// itself; empty segments are skipped). flags and mode are open(2)'s, for the last component; an
// intermediate component must be a directory. Returns the new descriptor, or an invalid one with
// errno set (see path_refused; ENOENT, ENOTDIR, EACCES, ... as open(2) gives them).
UniqueFd open_beneath(int root_fd, std::string_view rel, int flags, mode_t mode = 0);

// The part of path below root: "" for root itself, "a/b" for root + "/a/b". False when path
// does not lie at or below root (both absolute; a trailing "/" of root does not count).
bool path_below(std::string_view root, std::string_view path, std::string_view* rel);

// A descriptor of the directory root (absolute), opened as the path says (the root itself may be
// reached through links: the administrator chose it), owned here: each thread keeps the root it
// used last open, so a root replaced by another directory is seen after a restart (as the
// service, which holds its root open, sees it). -1 with errno when it cannot be opened.
int root_descriptor(const char* root);

// Opens the absolute path with flags and mode. With a root (absolute), path must lie at or below
// it and is resolved beneath it (open_beneath; EXDEV when it lies elsewhere). Without one (null)
// the path is trusted, opened as open(2) would, symbolic links and all: for files that an
// administrator names, such as the lock database.
UniqueFd open_in_tree(const char* root, std::string_view path, int flags, mode_t mode = 0);

// stat of the absolute path beneath root (as open_in_tree resolves it; with no root, lstat).
// 0, or the errno that open_in_tree or fstat gave.
int stat_in_tree(const char* root, std::string_view path, struct stat* st);

// fstatat(dir_fd, name) without following a last symbolic link: 0, ELOOP when name is a symbolic
// link, else stat's errno (ENOENT, ...).
int stat_entry(int dir_fd, const char* name, struct stat* st);

// How open_beneath resolves: kAuto uses openat2 when the kernel has it and falls back to the
// walk; kWalk always walks (for tests of the fallback). Process-wide.
enum class BeneathMode { kAuto, kWalk };
void set_beneath_mode(BeneathMode mode);

}  // namespace kiv

#endif  // KIV_COMMON_BENEATH_H_
