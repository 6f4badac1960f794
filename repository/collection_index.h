// The index page of a collection, as text: an HTML page that lists the collection's members, each
// a link with its size and modification time, and a link to the parent collection. The page is
// made in pieces (head, one row per member, tail) so that a listing of any length can be sent as
// it is made. Every name is HTML-escaped where it is shown and percent-encoded where it is a
// link. Pure code: no server, no pools, no I/O; safe to call from any thread.
#ifndef KIV_REPOSITORY_COLLECTION_INDEX_H_
#define KIV_REPOSITORY_COLLECTION_INDEX_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::repository {

// Appends text with &, <, >, " and ' as character references: safe in element content and in a
// quoted attribute value.
void append_html_escaped(std::string* out, std::string_view text);

// Appends a URI path with every byte but the unreserved characters (letters, digits, "-", ".",
// "_", "~") and "/" percent-encoded, so that it names the same path in any link.
void append_path_encoded(std::string* out, std::string_view path);

// Appends the start of the page of the collection whose URI path (unencoded) is collection_uri,
// ending in "/": the title, the table's head and, below the root, a link to the parent.
void append_index_head(std::string* out, std::string_view collection_uri);

// One member of the collection, as a row: its name (the last segment of its URI, unencoded),
// whether it is a collection, its size in bytes (documents; negative when unknown) and its
// modification time as text (empty when unknown).
struct IndexRow {
  std::string_view name;
  bool collection = false;
  std::int64_t size = -1;
  std::string_view modified;
};

// Appends the row of a member of the collection collection_uri (ending in "/").
void append_index_row(std::string* out, std::string_view collection_uri, const IndexRow& row);

// Appends the end of the page.
void append_index_tail(std::string* out);

}  // namespace kiv::repository

#endif  // KIV_REPOSITORY_COLLECTION_INDEX_H_
