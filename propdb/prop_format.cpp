// The byte format of a property database; see prop_format.h.
#include "propdb/prop_format.h"

#include <apr_strings.h>
#include <apr_xml.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace kiv {
namespace propdb {

namespace {

// Reads the shape of a key without checking its index against a table.
FormatStatus parse_key_shape(const char* key, std::size_t size, PropertyKey* out) {
  if (key == nullptr || size < 2) return FormatStatus::damaged("a property key is too short");
  if (key[size - 1] != '\0') return FormatStatus::damaged("a property key is not terminated");
  if (key[0] == ':') {
    out->ns_index = kNoNamespace;
    out->name = key + 1;
    return FormatStatus::ok();
  }
  // A decimal index, then ":". The bound keeps the number from overflowing; any index beyond
  // kMaxNamespaces is refused by the caller anyway.
  long index = 0;
  std::size_t pos = 0;
  while (pos < size && key[pos] >= '0' && key[pos] <= '9') {
    if (index <= kMaxNamespaces) index = index * 10 + (key[pos] - '0');
    ++pos;
  }
  if (pos == 0 || pos >= size || key[pos] != ':') {
    return FormatStatus::damaged("a property key has no namespace index");
  }
  out->ns_index = index > INT_MAX ? INT_MAX : static_cast<int>(index);
  out->name = key + pos + 1;
  return FormatStatus::ok();
}

}  // namespace

FormatStatus parse_metadata(const char* value, std::size_t size, MetadataHeader* header) {
  if (value == nullptr || size < kHeaderSize) {
    return FormatStatus::damaged("the metadata record is shorter than its header");
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(value);
  if (bytes[0] != kMajorVersion) return FormatStatus::wrong_version();
  const int count = (bytes[2] << 8) | bytes[3];
  if (count > kMaxNamespaces) {
    return FormatStatus::damaged("the namespace count is out of range");
  }
  std::size_t offset = kHeaderSize;
  for (int position = 0; position < count; ++position) {
    if (offset >= size) {
      return FormatStatus::damaged("the namespace count is larger than the namespace table");
    }
    const void* nul = std::memchr(value + offset, '\0', size - offset);
    if (nul == nullptr) {
      return FormatStatus::damaged("the namespace count is larger than the namespace table");
    }
    offset = static_cast<std::size_t>(static_cast<const char*>(nul) - value) + 1;
  }
  // An append would land after stray bytes and take an index that a later read gives to them.
  if (offset != size) return FormatStatus::damaged("the namespace table has trailing bytes");
  header->major = bytes[0];
  header->minor = bytes[1];
  header->namespace_count = count;
  return FormatStatus::ok();
}

void write_metadata_header(unsigned minor, int namespace_count, char* dest) {
  dest[0] = static_cast<char>(kMajorVersion);
  dest[1] = static_cast<char>(minor & 0xFF);
  dest[2] = static_cast<char>((namespace_count >> 8) & 0xFF);
  dest[3] = static_cast<char>(namespace_count & 0xFF);
}

const char* namespace_at(const char* value, std::size_t size, int index) {
  if (index < 0) return nullptr;
  std::size_t offset = kHeaderSize;
  for (int position = 0; offset < size; ++position) {
    const void* nul = std::memchr(value + offset, '\0', size - offset);
    if (nul == nullptr) return nullptr;
    if (position == index) return value + offset;
    offset = static_cast<std::size_t>(static_cast<const char*>(nul) - value) + 1;
  }
  return nullptr;
}

FormatStatus check_namespace_room(int count, std::size_t added) {
  if (count < 0 || added > static_cast<std::size_t>(kMaxNamespaces) ||
      static_cast<std::size_t>(count) + added > static_cast<std::size_t>(kMaxNamespaces)) {
    return FormatStatus::too_many_namespaces();
  }
  return FormatStatus::ok();
}

std::size_t key_size(int ns_index, std::size_t name_length) {
  char prefix[16];
  const int prefix_length =
      ns_index == kNoNamespace ? 0 : std::snprintf(prefix, sizeof(prefix), "%d", ns_index);
  return static_cast<std::size_t>(prefix_length) + 1 + name_length + 1;
}

void write_key(int ns_index, const char* name, std::size_t name_length, char* dest) {
  std::size_t pos = 0;
  if (ns_index != kNoNamespace) {
    char prefix[16];
    const int prefix_length = std::snprintf(prefix, sizeof(prefix), "%d", ns_index);
    std::memcpy(dest, prefix, static_cast<std::size_t>(prefix_length));
    pos = static_cast<std::size_t>(prefix_length);
  }
  dest[pos++] = ':';
  std::memcpy(dest + pos, name, name_length);
  dest[pos + name_length] = '\0';
}

FormatStatus parse_key(const char* key, std::size_t size, int namespace_count, PropertyKey* out) {
  PropertyKey parsed;
  FormatStatus status = parse_key_shape(key, size, &parsed);
  if (!status.is_ok()) return status;
  if (parsed.ns_index != kNoNamespace && parsed.ns_index >= namespace_count) {
    return FormatStatus::damaged("a property key names a namespace that the table does not hold");
  }
  *out = parsed;
  return FormatStatus::ok();
}

FormatStatus parse_value(const char* value, std::size_t size, PropertyValue* out) {
  if (value == nullptr || size < 2) return FormatStatus::damaged("a property value is too short");
  const void* first_nul = std::memchr(value, '\0', size);
  if (first_nul == nullptr) {
    return FormatStatus::damaged("a property value has no language string");
  }
  const char* content = static_cast<const char*>(first_nul) + 1;
  const std::size_t rest = size - static_cast<std::size_t>(content - value);
  // The content must end exactly at the last byte: an inner NUL would cut it short on output.
  if (rest == 0 || std::memchr(content, '\0', rest) != value + size - 1) {
    return FormatStatus::damaged("a property value is not two strings");
  }
  out->lang = value;
  out->content = content;
  out->content_length = rest - 1;
  return FormatStatus::ok();
}

FormatStatus render_property(apr_pool_t* pool, const char* key, std::size_t key_size,
                             const char* value, std::size_t value_size, const char** line) {
  PropertyKey parsed_key;
  FormatStatus status = parse_key_shape(key, key_size, &parsed_key);
  if (!status.is_ok()) return status;
  PropertyValue parsed_value;
  status = parse_value(value, value_size, &parsed_value);
  if (!status.is_ok()) return status;

  const char* content = parsed_value.content;
  const char* lang = parsed_value.lang;
  // A namespaced element is named "ns" + the whole key text ("ns3:author"); one in no namespace
  // takes the name after the colon.
  if (parsed_key.ns_index == kNoNamespace) {
    const char* name = parsed_key.name;
    if (*content == '\0') {
      *line = apr_psprintf(pool, "<%s/>\n", name);
    } else if (*lang != '\0') {
      *line = apr_psprintf(pool, "<%s xml:lang=\"%s\">%s</%s>\n", name,
                           apr_xml_quote_string(pool, lang, 1), content, name);
    } else {
      *line = apr_psprintf(pool, "<%s>%s</%s>\n", name, content, name);
    }
  } else {
    if (*content == '\0') {
      *line = apr_psprintf(pool, "<ns%s/>\n", key);
    } else if (*lang != '\0') {
      *line = apr_psprintf(pool, "<ns%s xml:lang=\"%s\">%s</ns%s>\n", key,
                           apr_xml_quote_string(pool, lang, 1), content, key);
    } else {
      *line = apr_psprintf(pool, "<ns%s>%s</ns%s>\n", key, content, key);
    }
  }
  return FormatStatus::ok();
}

}  // namespace propdb
}  // namespace kiv
