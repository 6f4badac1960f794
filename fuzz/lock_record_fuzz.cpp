// A lock record and a key as they come out of the lock database, which anything with write
// access to the file may have changed. The reader must never leave the record, must stop at the
// first entry that does not fit, and must give back fields that the writer turns into the very
// bytes they came from (apart from the two reserved bytes, which the writer zeroes).
//
// Input: two parts (see fuzz_support.h): the record, then a key.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "locks/lock_record.h"

namespace {

using kiv::locks::DirectFields;
using kiv::locks::IndirectFields;
using kiv::locks::ReadResult;
using kiv::locks::RecordEntry;
using kiv::locks::RecordReader;
using kiv::locks::RecordWriter;

// Offsets of the reserved bytes of a direct entry, from its tag.
constexpr std::size_t kReservedBegin = 3;
constexpr std::size_t kReservedEnd = 5;

bool same_direct(const DirectFields& a, const DirectFields& b) {
  return a.scope == b.scope && a.type == b.type && a.depth == b.depth && a.timeout == b.timeout &&
         std::memcmp(a.token, b.token, kiv::locks::kTokenSize) == 0 && a.owner == b.owner &&
         a.auth_user == b.auth_user;
}

bool same_indirect(const IndirectFields& a, const IndirectFields& b) {
  return std::memcmp(a.token, b.token, kiv::locks::kTokenSize) == 0 && a.timeout == b.timeout &&
         a.key_size == b.key_size && std::memcmp(a.key, b.key, a.key_size) == 0;
}

// Reads a whole record; *consumed is where the last good entry ended.
ReadResult read_all(const std::uint8_t* data, std::size_t size, std::vector<RecordEntry>* entries,
                    std::size_t* consumed, RecordReader* reader) {
  *consumed = 0;
  for (;;) {
    RecordEntry entry;
    const ReadResult r = reader->next(&entry);
    if (r != ReadResult::kEntry) return r;
    KIV_FUZZ_CHECK(entry.offset == *consumed);
    KIV_FUZZ_CHECK(entry.tag == data[entry.offset]);
    std::size_t end = 0;
    if (entry.tag == kiv::locks::kEntryDirect) {
      end = entry.offset + kiv::locks::direct_entry_size(entry.direct);
      const auto* owner = reinterpret_cast<const std::uint8_t*>(entry.direct.owner.data());
      const auto* user = reinterpret_cast<const std::uint8_t*>(entry.direct.auth_user.data());
      KIV_FUZZ_CHECK(owner >= data && owner + entry.direct.owner.size() < data + size);
      KIV_FUZZ_CHECK(user >= data && user + entry.direct.auth_user.size() < data + size);
      KIV_FUZZ_CHECK(entry.direct.token + kiv::locks::kTokenSize <= data + size);
    } else {
      KIV_FUZZ_CHECK(entry.tag == kiv::locks::kEntryIndirect);
      end = entry.offset + kiv::locks::indirect_entry_size(entry.indirect.key_size);
      KIV_FUZZ_CHECK(entry.indirect.key + entry.indirect.key_size <= data + size);
    }
    KIV_FUZZ_CHECK(end > *consumed && end <= size);
    *consumed = end;
    entries->push_back(entry);
    KIV_FUZZ_CHECK(entries->size() <= size / kiv::locks::kIndirectEntryFixedSize);
  }
}

void check_record(const std::uint8_t* data, std::size_t size) {
  RecordReader reader(data, size);
  std::vector<RecordEntry> entries;
  std::size_t consumed = 0;
  const ReadResult r = read_all(data, size, &entries, &consumed, &reader);
  RecordEntry after;
  if (r == ReadResult::kEnd) {
    KIV_FUZZ_CHECK(consumed == size);
    KIV_FUZZ_CHECK(reader.next(&after) == ReadResult::kEnd);
  } else {
    KIV_FUZZ_CHECK(r == ReadResult::kCorrupt);
    KIV_FUZZ_CHECK(reader.corrupt().offset == consumed && consumed < size);
    KIV_FUZZ_CHECK(reader.corrupt().tag == data[consumed]);
    KIV_FUZZ_CHECK(reader.next(&after) == ReadResult::kCorrupt);
    (void)kiv::locks::corrupt_tag_code(reader.corrupt().tag);
  }

  // The good entries, written again, are the bytes they were read from.
  std::vector<std::uint8_t> again(consumed + 1);
  RecordWriter writer(again.data(), consumed);
  for (const RecordEntry& e : entries) {
    const bool put = e.tag == kiv::locks::kEntryDirect ? writer.put_direct(e.direct)
                                                       : writer.put_indirect(e.indirect);
    KIV_FUZZ_CHECK(put);
  }
  KIV_FUZZ_CHECK(writer.size() == consumed);
  // Nothing fits in a full buffer.
  KIV_FUZZ_CHECK(entries.empty() || (entries.front().tag == kiv::locks::kEntryDirect
                                         ? !writer.put_direct(entries.front().direct)
                                         : !writer.put_indirect(entries.front().indirect)));
  std::vector<std::uint8_t> expected(data, data + consumed);
  for (const RecordEntry& e : entries) {
    if (e.tag != kiv::locks::kEntryDirect) continue;
    for (std::size_t i = kReservedBegin; i < kReservedEnd; ++i) expected[e.offset + i] = 0;
  }
  KIV_FUZZ_CHECK(consumed == 0 || std::memcmp(again.data(), expected.data(), consumed) == 0);

  // And read back as the same fields.
  RecordReader reread(again.data(), consumed);
  for (const RecordEntry& e : entries) {
    RecordEntry got;
    KIV_FUZZ_CHECK(reread.next(&got) == ReadResult::kEntry);
    KIV_FUZZ_CHECK(got.tag == e.tag && got.offset == e.offset);
    KIV_FUZZ_CHECK(e.tag == kiv::locks::kEntryDirect ? same_direct(got.direct, e.direct)
                                                     : same_indirect(got.indirect, e.indirect));
  }
  KIV_FUZZ_CHECK(reread.next(&after) == ReadResult::kEnd);

  // The keys inside indirect entries are what the loader reads a path back out of.
  for (const RecordEntry& e : entries) {
    if (e.tag != kiv::locks::kEntryIndirect) continue;
    std::string_view path;
    if (kiv::locks::name_key_path(e.indirect.key, e.indirect.key_size, &path)) {
      KIV_FUZZ_CHECK(path.size() < e.indirect.key_size);
    }
  }
}

void check_key(const std::vector<std::uint8_t>& key) {
  const std::uint8_t* bytes = key.data();
  std::string_view path;
  const bool is_name = kiv::locks::name_key_path(bytes, key.size(), &path);
  KIV_FUZZ_CHECK(is_name == (!key.empty() && bytes[0] == kiv::locks::kKeyName));
  if (!is_name) return;
  KIV_FUZZ_CHECK(reinterpret_cast<const std::uint8_t*>(path.data()) == bytes + 1);
  KIV_FUZZ_CHECK(path.size() <= key.size() - 1);
  KIV_FUZZ_CHECK(path.find('\0') == std::string_view::npos);

  // The key of that path gives the path back; a trailing "/" is not part of a name key.
  std::vector<std::uint8_t> written(kiv::locks::name_key_size(path));
  kiv::locks::write_name_key(path, written.data());
  std::string_view back;
  KIV_FUZZ_CHECK(kiv::locks::name_key_path(written.data(), written.size(), &back));
  std::string_view stripped = path;
  if (!stripped.empty() && stripped.back() == '/') stripped.remove_suffix(1);
  KIV_FUZZ_CHECK(back == stripped);
  KIV_FUZZ_CHECK(written.back() == 0 && written.size() == stripped.size() + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> parts = kiv::fuzz::split_parts(data, size, 2);
  // Each part is copied into an allocation of its own size, so that a read past its end is one
  // that AddressSanitizer sees.
  const std::vector<std::uint8_t> record(parts[0].begin(), parts[0].end());
  check_record(record.data(), record.size());
  check_key(std::vector<std::uint8_t>(parts[1].begin(), parts[1].end()));
  return 0;
}
