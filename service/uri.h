// The URIs that the service accepts, and the names it keeps to itself.
//
// A URI is a decoded path as the web server has it: it starts with "/", may end with one "/"
// (ignored), and its segments are separated by single "/". Refused: no leading "/", a NUL byte,
// an empty segment inside ("//"), a "." or ".." segment, a reserved name (kiv::is_reserved_name:
// the module's state directories and the service's private files), and anything longer than
// kMaxUriLength bytes. Pure functions; thread-safe.
#ifndef KIV_SERVICE_URI_H_
#define KIV_SERVICE_URI_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::service {

inline constexpr std::size_t kMaxUriLength = 4096;

struct ParsedUri {
  std::string normalized;             // "/a/b"; the root is "/"
  std::vector<std::string> segments;  // {"a", "b"}; empty for the root
  bool is_root() const { return segments.empty(); }
  // The segments joined by "/" without a leading one: the path relative to the root.
  std::string relative() const;
  // The relative path of the parent collection ("" for a member of the root).
  std::string parent_relative() const;
  const std::string& name() const { return segments.back(); }
};

// True when uri is acceptable; *out then holds its normalized form. Otherwise *why says why.
bool parse_uri(std::string_view uri, ParsedUri* out, std::string* why);

// The URI for log lines: control bytes and NUL shown as "\xNN", cut after 200 bytes.
std::string printable(std::string_view uri);

}  // namespace kiv::service

#endif  // KIV_SERVICE_URI_H_
