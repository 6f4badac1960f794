// Plain file I/O on descriptors, shared by the module, the client and the service: whole writes
// and reads that retry what the kernel cuts short, one way to copy a file's bytes, and the
// directory part of a path. Blocking I/O; EINTR is retried. No state; thread-safe.
#ifndef KIV_COMMON_FILE_IO_H_
#define KIV_COMMON_FILE_IO_H_

#include <sys/types.h>

#include <cstddef>
#include <string_view>

namespace kiv {

// Writes all of data to a file at offset. False on failure (errno tells why).
bool pwrite_all(int fd, std::string_view data, off_t offset);

// Writes all of data at the file's current position. False on failure (errno tells why).
bool write_all(int fd, std::string_view data);

// Reads up to n bytes of a file at offset; the count read (short at the end of the file), or -1.
ssize_t pread_full(int fd, char* buf, std::size_t n, off_t offset);

// Copies the bytes of in, from its start to its end, to out at offset 0, with copy_file_range
// where the kernel offers it (a reflink on file systems that have one) and read/write where it
// does not. out is neither truncated nor synced. False on failure (errno tells why).
bool copy_contents(int in, int out);

// Takes a flock of fd (LOCK_SH or LOCK_EX), waiting at most wait_ms for a conflicting one to go.
// False when it could not be had (errno EWOULDBLOCK after the wait, or why flock failed).
bool flock_within(int fd, int operation, int wait_ms);

// The directory part of path: everything before its last "/", "/" for a name right below the
// root, "." for a bare name. Views into path, or a literal.
std::string_view parent_directory(std::string_view path);

// The last segment of path: everything after its last "/", or path itself without one. A view
// into path.
std::string_view base_name(std::string_view path);

}  // namespace kiv

#endif  // KIV_COMMON_FILE_IO_H_
