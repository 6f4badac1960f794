#include "service/uri.h"

#include <cstdio>

#include "common/names.h"

namespace kiv::service {

std::string ParsedUri::relative() const {
  std::string out;
  for (const std::string& s : segments) {
    if (!out.empty()) out.push_back('/');
    out.append(s);
  }
  return out;
}

std::string ParsedUri::parent_relative() const {
  std::string out;
  for (std::size_t i = 0; i + 1 < segments.size(); ++i) {
    if (!out.empty()) out.push_back('/');
    out.append(segments[i]);
  }
  return out;
}

bool parse_uri(std::string_view uri, ParsedUri* out, std::string* why) {
  out->normalized.clear();
  out->segments.clear();
  if (uri.size() > kMaxUriLength) {
    *why = "URI too long";
    return false;
  }
  if (uri.empty() || uri[0] != '/') {
    *why = "URI does not start with /";
    return false;
  }
  if (uri.find('\0') != std::string_view::npos) {
    *why = "URI contains a NUL byte";
    return false;
  }
  std::string_view rest = uri.substr(1);
  if (!rest.empty() && rest.back() == '/') {
    rest.remove_suffix(1);
    if (rest.empty()) {  // "//": the root carries no second "/"
      *why = "URI has an empty segment";
      return false;
    }
  }
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    const std::string_view seg = rest.substr(0, slash);
    if (seg.empty()) {
      *why = "URI has an empty segment";
      return false;
    }
    if (seg == "." || seg == "..") {
      *why = "URI has a dot segment";
      return false;
    }
    if (kiv::is_reserved_name(seg)) {
      *why = "URI names a private entry";
      return false;
    }
    out->segments.emplace_back(seg);
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
    if (rest.empty()) {
      *why = "URI has an empty segment";
      return false;
    }
  }
  out->normalized = "/" + out->relative();
  return true;
}

std::string printable(std::string_view uri) {
  std::string out;
  const std::size_t n = uri.size() < 200 ? uri.size() : 200;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(uri[i]);
    if (c < 0x20 || c == 0x7f || c == '\\') {
      char buf[5];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out.append(buf);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (uri.size() > n) out.append("...");
  return out;
}

}  // namespace kiv::service
