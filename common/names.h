// The names the repository tree reserves, and the key of the repository service client: each
// spelled here once, for the module, the client and the service alike.
//
// A collection's state directory ".DAV" holds the property databases of its documents (one per
// document, named after it), its own properties (".state_for_dir") and its lock-null list
// (".locknull"). The repository service keeps its own files under names that start with
// ".kivd" (the directory ".kivd" at the root, temporary files beside documents being written).
#ifndef KIV_COMMON_NAMES_H_
#define KIV_COMMON_NAMES_H_

#include <string_view>

namespace kiv {

inline constexpr std::string_view kStateDirName = ".DAV";
inline constexpr std::string_view kStateFileForDir = ".state_for_dir";
inline constexpr std::string_view kLocknullFileName = ".locknull";
inline constexpr std::string_view kPrivatePrefix = ".kivd";
// The two files of a directory whose lock guards the files in it (common/directory_lock.h): the
// lock itself and the gate before it. Private names: no document or collection is ever called so.
inline constexpr const char* kLockFileName = ".kivd-lock";
inline constexpr const char* kGateFileName = ".kivd-gate";

// The key under which the client factory hands out the repository service client.
inline constexpr const char* kServiceKey = "a";

// True when name is one of the reserved names: the state directory, the names of the files that
// a state directory holds for its collection (which must never be a document's name, or the
// document would share them), or a name that starts with the service's private prefix.
constexpr bool is_reserved_name(std::string_view name) {
  return name == kStateDirName || name == kStateFileForDir || name == kLocknullFileName ||
         name.substr(0, kPrivatePrefix.size()) == kPrivatePrefix;
}

// True when a segment of path (segments between "/") is a reserved name: nothing at or below such
// a path is a resource of the repository.
constexpr bool has_reserved_segment(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    if (is_reserved_name(path.substr(0, slash))) return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

}  // namespace kiv

#endif  // KIV_COMMON_NAMES_H_
