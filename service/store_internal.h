// What the files of the Store share beyond its class: reading a directory, the reasons that
// errno values stand for, and the rename that never replaces. No state; thread-safe.
#ifndef KIV_SERVICE_STORE_INTERNAL_H_
#define KIV_SERVICE_STORE_INTERNAL_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/uri.h"
#include "wire/reason.h"

namespace kiv::service {

// Deeper trees are neither copied nor deleted; a URI cannot name anything that deep anyway.
inline constexpr int kMaxDepth = 4096;

// The name, and the d_type, of each entry of a directory.
using DirNames = std::vector<std::pair<std::string, unsigned char>>;

// The entries of an open directory, "." and ".." left out. False when it cannot be read.
bool read_names(int dir_fd, DirNames* out);

// The reason a failed system call stands for: kNoSpace for ENOSPC and EDQUOT, kIo otherwise.
Reason failure_reason(int error);

// The reason a failure to open a parent collection stands for: kParentMissing when it is not
// there (ENOENT, or ELOOP: a symbolic link on the way counts as nothing), kNotCollection when a
// segment is a document (ENOTDIR), failure_reason() otherwise.
Reason parent_reason(int error);

// What parent_reason() means to a lookup or a read: no parent collection is nothing at the URI.
Reason lookup_reason(Reason parent);

// The operation name of a move in log lines.
const char* move_name(bool collection);

// True when to is from or lies inside it: a move or copy there would never end.
inline bool inside_or_same(const ParsedUri& from, const ParsedUri& to) {
  return to.segments.size() >= from.segments.size() &&
         std::equal(from.segments.begin(), from.segments.end(), to.segments.begin());
}

// Copies length bytes of the file in, from offset in_off, to the file out at offset out_off:
// copy_file_range where the kernel offers it between the two files, read and write in bounded
// chunks where it does not. Neither file's size is changed beyond what is written. False on
// failure (errno tells why), or with errno EIO when in ends early.
bool copy_range(int in, off_t in_off, std::uint64_t length, int out, off_t out_off);

// Takes flock(2) operation (LOCK_SH to read, LOCK_EX to rewrite) on the open document fd, waiting
// at most wait_ms (kDocumentLockWaitSeconds by default): a rewrite in place through another host of
// a shared tree holds it. kNone; kBusy when the wait passed; kIo (errno set) when flock failed
// otherwise. Released when the descriptor closes.
Reason lock_document(int fd, int operation, int wait_ms = kDocumentLockWaitSeconds * 1000);

// lock_document(fd, LOCK_SH) for a read of the document fd, and *st the version it holds then (a
// rewrite through another host may have ended meanwhile).
Reason lock_to_read(int fd, struct stat* st, int wait_ms = kDocumentLockWaitSeconds * 1000);

// Renames from_dir/from to to_dir/to unless something is there. Where the file system lacks
// RENAME_NOREPLACE, a file is linked and its old name removed, and a directory renamed plainly:
// the caller saw the destination missing and holds the tree lock. 0, or -1 with errno set.
int rename_no_replace(int from_dir, const std::string& from, int to_dir, const std::string& to);

}  // namespace kiv::service

#endif  // KIV_SERVICE_STORE_INTERNAL_H_
