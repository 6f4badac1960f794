// The lock-null list of a directory, as bytes: the names of the directory's lock-null resources
// back to back, each followed by one NUL byte; no header, no count. The same name may occur more
// than once; names compare byte for byte. The lock subsystem writes the lists; the walker reads
// them to list lock-null resources among a collection's members. Pure code: no server, no pools,
// no I/O; safe to call from any thread on buffers the caller owns.
#ifndef KIV_PROVIDER_LOCKNULL_LIST_H_
#define KIV_PROVIDER_LOCKNULL_LIST_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

// Bytes that appending name adds to a list: the name and its NUL.
inline std::size_t locknull_entry_size(std::string_view name) {
  return name.size() + 1;
}

// Writes name and its NUL at data + size, without looking for an existing copy, and returns the
// new size. The caller provides room for locknull_entry_size(name) more bytes; name holds no NUL.
std::size_t locknull_append(char* data, std::size_t size, std::string_view name);

// Takes the first name equal to name out of the list of *size bytes at data: the rest moves down
// over it and *size shrinks by the name and its NUL. False (nothing changed) when no name is
// equal. Bytes after the last NUL (a damaged list) are kept and never match.
bool locknull_remove_first(char* data, std::size_t* size, std::string_view name);

// The names of a list, in list order, each as often as it occurs; views into list. Bytes after
// the last NUL (a damaged list) are no name.
std::vector<std::string_view> locknull_names(std::string_view list);

// Where the list of a directory is read: the directory path without one trailing "/", then
// "/.DAV/.locknull".
std::string locknull_read_path(std::string_view dirpath);

// Where it is written and removed: uploads_path (the repository service's name for the directory
// path) and ".DAV/.locknull", with a "/" between unless uploads_path ends in one. An empty
// uploads_path stands for dirpath itself, so that the file written is always the one read.
std::string locknull_write_path(std::string_view uploads_path, std::string_view dirpath);

}  // namespace kiv

#endif  // KIV_PROVIDER_LOCKNULL_LIST_H_
