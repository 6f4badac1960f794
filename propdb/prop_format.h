// The byte format of a property database: the metadata record (version header and namespace
// table), the property keys, the property values and the XML line each stored property renders
// to. Pure functions over bytes: no DBM, no server. Every decoder is given the size of its input
// and refuses what does not fit; nothing here reads past the end of what it is given.
//
// Record layout:
//   "METADATA" (8 bytes, no NUL) -> major (1 byte, 4), minor (1 byte), namespace count (2 bytes,
//       big-endian, 0..32767), then exactly count NUL-terminated URIs, nothing after the last.
//   "<index>:<name>\0" or ":<name>\0" -> "<xml:lang>\0<escaped inner XML>\0"
// A database that holds "NS_TABLE" but no "METADATA" is of an older layout and is refused.
//
// Thread-safety: all functions are reentrant; they touch only what they are given.
#ifndef KIV_PROPDB_PROP_FORMAT_H_
#define KIV_PROPDB_PROP_FORMAT_H_

#include <apr_pools.h>

#include <cstddef>

namespace kiv {
namespace propdb {

inline constexpr char kMetadataKey[] = "METADATA";
inline constexpr std::size_t kMetadataKeySize = 8;  // no NUL
inline constexpr char kOldLayoutKey[] = "NS_TABLE";
inline constexpr std::size_t kOldLayoutKeySize = 8;  // no NUL
inline constexpr unsigned kMajorVersion = 4;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr int kMaxNamespaces = 32767;
inline constexpr int kNoNamespace = -1;  // the namespace index of a property in no namespace

// What went wrong with stored bytes, or that nothing did. `what` is a static string naming the
// damage, for the error message; it is empty unless the code is kDamaged.
class FormatStatus {
 public:
  enum class Code { kOk, kWrongVersion, kDamaged, kTooManyNamespaces };

  static FormatStatus ok() { return FormatStatus(Code::kOk, ""); }
  static FormatStatus wrong_version() { return FormatStatus(Code::kWrongVersion, ""); }
  static FormatStatus damaged(const char* what) { return FormatStatus(Code::kDamaged, what); }
  static FormatStatus too_many_namespaces() { return FormatStatus(Code::kTooManyNamespaces, ""); }

  bool is_ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  const char* what() const { return what_; }

 private:
  FormatStatus(Code code, const char* what) : code_(code), what_(what) {}
  Code code_;
  const char* what_;
};

// The 4-byte header of the metadata value.
struct MetadataHeader {
  unsigned major = kMajorVersion;
  unsigned minor = 0;
  int namespace_count = 0;
};

// Checks a whole metadata value: at least the header, major version 4 (else kWrongVersion), a
// count of at most kMaxNamespaces, exactly that many NUL-terminated URIs and nothing after them
// (else kDamaged). Fills *header on success.
FormatStatus parse_metadata(const char* value, std::size_t size, MetadataHeader* header);

// Writes the 4 header bytes (major 4, minor, count big-endian) to dest.
void write_metadata_header(unsigned minor, int namespace_count, char* dest);

// The URI at position index of a metadata value that parse_metadata accepted, or null when the
// table has no such position. Points into value.
const char* namespace_at(const char* value, std::size_t size, int index);

// Calls visit(position, uri, uri_length) for every URI of a metadata value that parse_metadata
// accepted, in table order. uri points into value and is NUL-terminated.
template <typename Visit>
void for_each_namespace(const char* value, std::size_t size, int namespace_count, Visit&& visit) {
  std::size_t offset = kHeaderSize;
  for (int position = 0; position < namespace_count && offset < size; ++position) {
    const char* uri = value + offset;
    std::size_t length = 0;
    while (offset + length < size && uri[length] != '\0') ++length;
    visit(position, uri, length);
    offset += length + 1;
  }
}

// Whether adding `added` URIs to a table of `count` keeps it within kMaxNamespaces.
FormatStatus check_namespace_room(int count, std::size_t added);

// The size of the key of a property (NUL included): ns_index is the table position of its
// namespace, or kNoNamespace.
std::size_t key_size(int ns_index, std::size_t name_length);

// Writes the key of a property to dest, which has room for key_size(ns_index, name_length) bytes.
void write_key(int ns_index, const char* name, std::size_t name_length, char* dest);

// A property key taken apart. name points into the key and is NUL-terminated.
struct PropertyKey {
  int ns_index = kNoNamespace;
  const char* name = nullptr;
};

// Takes a property key apart: ":" name NUL, or decimal index ":" name NUL. Refuses (kDamaged) a
// key of another shape and one whose index is not below namespace_count.
FormatStatus parse_key(const char* key, std::size_t size, int namespace_count, PropertyKey* out);

// A property value taken apart; both strings point into the value and are NUL-terminated.
struct PropertyValue {
  const char* lang = nullptr;
  const char* content = nullptr;
  std::size_t content_length = 0;
};

// Takes a stored value apart: language NUL content NUL, with nothing after the second NUL.
FormatStatus parse_value(const char* value, std::size_t size, PropertyValue* out);

// Renders a stored property (its key and value) as the one XML line that a property listing
// shows: an element named after the key (ns<index>:<name>, or the bare name in no namespace)
// around the stored content, with xml:lang when there is content and a language, ending in a line
// feed. The language is attribute-escaped on the way out; the content is stored escaped already.
// *line is allocated from pool. Refuses keys and values of the wrong shape.
FormatStatus render_property(apr_pool_t* pool, const char* key, std::size_t key_size,
                             const char* value, std::size_t value_size, const char** line);

}  // namespace propdb
}  // namespace kiv

#endif  // KIV_PROPDB_PROP_FORMAT_H_
