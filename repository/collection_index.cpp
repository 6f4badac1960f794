// The index page of a collection, as text.
#include "repository/collection_index.h"

namespace kiv::repository {

namespace {

bool unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// The URI path of the parent of collection_uri (which ends in "/"), ending in "/".
std::string_view parent_of(std::string_view collection_uri) {
  std::string_view path = collection_uri.substr(0, collection_uri.size() - 1);
  return path.substr(0, path.rfind('/') + 1);
}

// Appends a cell with a link to the URI path target, shown as text.
void append_link_cell(std::string* out, std::string_view target, std::string_view text) {
  *out += "<td><a href=\"";
  append_path_encoded(out, target);
  *out += "\">";
  append_html_escaped(out, text);
  *out += "</a></td>";
}

}  // namespace

void append_html_escaped(std::string* out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        *out += "&amp;";
        break;
      case '<':
        *out += "&lt;";
        break;
      case '>':
        *out += "&gt;";
        break;
      case '"':
        *out += "&quot;";
        break;
      case '\'':
        *out += "&#39;";
        break;
      default:
        *out += c;
    }
  }
}

void append_path_encoded(std::string* out, std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (unreserved(byte) || c == '/') {
      *out += c;
    } else {
      *out += '%';
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0x0f];
    }
  }
}

void append_index_head(std::string* out, std::string_view collection_uri) {
  *out += "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Index of ";
  append_html_escaped(out, collection_uri);
  *out += "</title>\n</head>\n<body>\n<h1>Index of ";
  append_html_escaped(out, collection_uri);
  *out += "</h1>\n<table>\n<tr><th>Name</th><th>Size</th><th>Last modified</th></tr>\n";
  if (collection_uri.size() > 1) {
    *out += "<tr>";
    append_link_cell(out, parent_of(collection_uri), "../");
    *out += "<td></td><td></td></tr>\n";
  }
}

void append_index_row(std::string* out, std::string_view collection_uri, const IndexRow& row) {
  std::string target(collection_uri);
  target += row.name;
  std::string shown(row.name);
  if (row.collection) {
    target += '/';
    shown += '/';
  }
  *out += "<tr>";
  append_link_cell(out, target, shown);
  *out += "<td>";
  if (!row.collection && row.size >= 0) *out += std::to_string(row.size);
  *out += "</td><td>";
  append_html_escaped(out, row.modified);
  *out += "</td></tr>\n";
}

void append_index_tail(std::string* out) {
  *out += "</table>\n</body>\n</html>\n";
}

}  // namespace kiv::repository
