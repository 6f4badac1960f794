// Adding a name to and removing one from a lock-null list held in memory.
#include "locks/locknull_list.h"

#include <cstring>

#include "common/names.h"

namespace kiv::locks {

std::size_t locknull_append(char* data, std::size_t size, std::string_view name) {
  if (!name.empty()) std::memcpy(data + size, name.data(), name.size());
  data[size + name.size()] = '\0';
  return size + locknull_entry_size(name);
}

bool locknull_remove_first(char* data, std::size_t* size, std::string_view name) {
  std::size_t pos = 0;
  while (pos < *size) {
    const void* nul = std::memchr(data + pos, '\0', *size - pos);
    if (nul == nullptr) return false;  // an unterminated tail is no name
    const std::size_t len = static_cast<std::size_t>(static_cast<const char*>(nul) - (data + pos));
    if (len == name.size() && (len == 0 || std::memcmp(data + pos, name.data(), len) == 0)) {
      const std::size_t gone = len + 1;
      std::memmove(data + pos, data + pos + gone, *size - pos - gone);
      *size -= gone;
      return true;
    }
    pos += len + 1;
  }
  return false;
}

namespace {

// Appends the list file's path below a directory: its state directory, then the list's name.
void append_list_file(std::string* path) {
  *path += kStateDirName;
  *path += '/';
  *path += kLocknullFileName;
}

}  // namespace

std::string locknull_read_path(std::string_view dirpath) {
  if (!dirpath.empty() && dirpath.back() == '/') dirpath.remove_suffix(1);
  std::string path(dirpath);
  path += '/';
  append_list_file(&path);
  return path;
}

std::string locknull_write_path(std::string_view uploads_path, std::string_view dirpath) {
  std::string path(uploads_path.empty() ? dirpath : uploads_path);
  if (path.empty() || path.back() != '/') path += '/';
  append_list_file(&path);
  return path;
}

}  // namespace kiv::locks
