// Adding a name to, removing one from and reading the names of a lock-null list held in memory.
#include "provider/locknull_list.h"

#include <cstring>

#include "common/names.h"

namespace kiv {

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

std::vector<std::string_view> locknull_names(std::string_view list) {
  std::vector<std::string_view> names;
  for (std::size_t nul = list.find('\0'); nul != std::string_view::npos; nul = list.find('\0')) {
    names.push_back(list.substr(0, nul));
    list.remove_prefix(nul + 1);
  }
  return names;
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

}  // namespace kiv
