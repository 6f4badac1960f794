// The records of a property database as the module reads them back from a DBM file that may be
// damaged: the metadata value with its namespace table, a property key and a property value, and
// the XML line a key and a value render to. The decoders must never leave their input, must
// describe accepted input exactly (the table holds exactly the announced URIs; a canonical key is
// the key its fields write), and must accept a key and a value for rendering exactly when they
// accept them one by one.
//
// Input: three parts (see fuzz_support.h): the metadata value, a key, a value.
#include <apr_general.h>
#include <apr_pools.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "propdb/prop_format.h"

namespace {

namespace format = kiv::propdb;

apr_pool_t* pool = nullptr;

// An allocation of exactly the part's size: a read past its end is one that ASan sees.
std::vector<char> copy_of(std::string_view part) {
  return std::vector<char>(part.begin(), part.end());
}

void check_metadata(const std::vector<char>& value, int* namespace_count) {
  *namespace_count = 0;
  format::MetadataHeader header;
  const format::FormatStatus status = format::parse_metadata(value.data(), value.size(), &header);
  if (!status.is_ok()) {
    KIV_FUZZ_CHECK(status.code() == format::FormatStatus::Code::kWrongVersion ||
                   status.code() == format::FormatStatus::Code::kDamaged);
    KIV_FUZZ_CHECK(status.code() != format::FormatStatus::Code::kDamaged ||
                   std::strlen(status.what()) > 0);
    return;
  }
  KIV_FUZZ_CHECK(header.major == format::kMajorVersion);
  KIV_FUZZ_CHECK(header.namespace_count >= 0 && header.namespace_count <= format::kMaxNamespaces);
  *namespace_count = header.namespace_count;

  // The header writes back as it was read.
  char head[format::kHeaderSize];
  format::write_metadata_header(header.minor, header.namespace_count, head);
  KIV_FUZZ_CHECK(std::memcmp(head, value.data(), format::kHeaderSize) == 0);

  // Exactly count URIs, each found at its position, and nothing after the last.
  int visited = 0;
  std::size_t end = format::kHeaderSize;
  format::for_each_namespace(
      value.data(), value.size(), header.namespace_count,
      [&](int position, const char* uri, std::size_t length) {
        KIV_FUZZ_CHECK(position == visited);
        KIV_FUZZ_CHECK(uri == value.data() + end && end + length < value.size());
        KIV_FUZZ_CHECK(uri[length] == '\0' && std::memchr(uri, '\0', length) == nullptr);
        KIV_FUZZ_CHECK(format::namespace_at(value.data(), value.size(), position) == uri);
        end += length + 1;
        ++visited;
      });
  KIV_FUZZ_CHECK(visited == header.namespace_count && end == value.size());
  KIV_FUZZ_CHECK(format::namespace_at(value.data(), value.size(), visited) == nullptr);
  KIV_FUZZ_CHECK(format::namespace_at(value.data(), value.size(), -1) == nullptr);

  // One more URI fits until the table is full.
  KIV_FUZZ_CHECK(format::check_namespace_room(visited, 1).is_ok() ==
                 (visited < format::kMaxNamespaces));
}

// Whether the key text is the one the module writes: no sign, no leading zero, no inner NUL.
bool is_canonical_key(const std::vector<char>& key) {
  if (std::memchr(key.data(), '\0', key.size() - 1) != nullptr) return false;
  return key[0] == ':' || key[0] != '0' || key[1] == ':';
}

void check_key(const std::vector<char>& key, int namespace_count, bool* shape_ok) {
  // Against the table that was read, and against a table that holds every index: the latter
  // tells whether the key itself has the right shape.
  format::PropertyKey parsed;
  const format::FormatStatus status =
      format::parse_key(key.data(), key.size(), namespace_count, &parsed);
  format::PropertyKey any;
  *shape_ok = format::parse_key(key.data(), key.size(), INT_MAX, &any).is_ok();
  KIV_FUZZ_CHECK(!status.is_ok() || *shape_ok);
  if (!status.is_ok()) {
    KIV_FUZZ_CHECK(status.code() == format::FormatStatus::Code::kDamaged);
    return;
  }
  KIV_FUZZ_CHECK(parsed.ns_index == format::kNoNamespace ||
                 (parsed.ns_index >= 0 && parsed.ns_index < namespace_count));
  KIV_FUZZ_CHECK(parsed.name > key.data() && parsed.name < key.data() + key.size());
  KIV_FUZZ_CHECK(parsed.name[-1] == ':');
  const std::size_t name_length = std::strlen(parsed.name);
  KIV_FUZZ_CHECK(parsed.name + name_length < key.data() + key.size());
  if (!is_canonical_key(key)) return;
  KIV_FUZZ_CHECK(format::key_size(parsed.ns_index, name_length) == key.size());
  std::vector<char> written(key.size());
  format::write_key(parsed.ns_index, parsed.name, name_length, written.data());
  KIV_FUZZ_CHECK(written == key);
}

void check_value(const std::vector<char>& value, bool* value_ok) {
  format::PropertyValue parsed;
  const format::FormatStatus status = format::parse_value(value.data(), value.size(), &parsed);
  *value_ok = status.is_ok();
  if (!status.is_ok()) return;
  const std::size_t lang_length = std::strlen(parsed.lang);
  KIV_FUZZ_CHECK(parsed.lang == value.data());
  KIV_FUZZ_CHECK(parsed.content == value.data() + lang_length + 1);
  KIV_FUZZ_CHECK(lang_length + 1 + parsed.content_length + 1 == value.size());
  KIV_FUZZ_CHECK(std::strlen(parsed.content) == parsed.content_length);
}

void check_render(const std::vector<char>& key, const std::vector<char>& value, bool key_ok,
                  bool value_ok) {
  const char* line = nullptr;
  const format::FormatStatus status =
      format::render_property(pool, key.data(), key.size(), value.data(), value.size(), &line);
  KIV_FUZZ_CHECK(status.is_ok() == (key_ok && value_ok));
  if (!status.is_ok()) return;
  const std::size_t length = std::strlen(line);
  KIV_FUZZ_CHECK(length >= 4 && line[0] == '<' && line[length - 1] == '\n');
  format::PropertyValue parsed;
  KIV_FUZZ_CHECK(format::parse_value(value.data(), value.size(), &parsed).is_ok());
  KIV_FUZZ_CHECK(std::strstr(line, parsed.content) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  apr_initialize();
  std::atexit(apr_terminate);
  apr_pool_create(&pool, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = kiv::fuzz::split_parts(data, size, 3);
  const std::vector<char> metadata = copy_of(parts[0]);
  const std::vector<char> key = copy_of(parts[1]);
  const std::vector<char> value = copy_of(parts[2]);

  int namespace_count = 0;
  check_metadata(metadata, &namespace_count);
  bool key_ok = false;
  check_key(key, namespace_count, &key_ok);
  bool value_ok = false;
  check_value(value, &value_ok);
  check_render(key, value, key_ok, value_ok);
  apr_pool_clear(pool);
  return 0;
}
