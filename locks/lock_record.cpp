// Keys and lock records of the lock database, as bytes.
#include "locks/lock_record.h"

#include <cstring>

namespace kiv::locks {

namespace {

void put_u32(std::uint8_t* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void put_u64(std::uint8_t* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t get_u32(const std::uint8_t* in) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

std::uint64_t get_u64(const std::uint8_t* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

// Offsets inside an entry, counted from its tag byte.
constexpr std::size_t kDirectScope = 1;
constexpr std::size_t kDirectType = 2;
constexpr std::size_t kDirectDepth = 5;
constexpr std::size_t kDirectTimeout = 9;
constexpr std::size_t kDirectToken = 17;
constexpr std::size_t kDirectOwner = 33;
constexpr std::size_t kIndirectToken = 1;
constexpr std::size_t kIndirectTimeout = 17;
constexpr std::size_t kIndirectKeySize = 25;
constexpr std::size_t kIndirectKey = 29;

// Reads a NUL-terminated string that starts at *pos and must end before size; advances *pos past
// its NUL.
bool read_cstring(const std::uint8_t* data, std::size_t size, std::size_t* pos,
                  std::string_view* out) {
  if (*pos >= size) return false;
  const void* nul = std::memchr(data + *pos, 0, size - *pos);
  if (nul == nullptr) return false;
  const std::size_t len =
      static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (data + *pos));
  *out = std::string_view(reinterpret_cast<const char*>(data + *pos), len);
  *pos += len + 1;
  return true;
}

}  // namespace

std::uint32_t fold_device(std::uint64_t device) {
  return static_cast<std::uint32_t>(device) ^ static_cast<std::uint32_t>(device >> 32);
}

void write_identity_key(std::uint64_t inode, std::uint64_t device, std::uint8_t* out) {
  out[0] = kKeyIdentity;
  put_u64(out + 1, inode);
  put_u32(out + 9, fold_device(device));
}

std::size_t name_key_size(std::string_view path) {
  const bool trailing_slash = !path.empty() && path.back() == '/';
  return path.size() + (trailing_slash ? 1 : 2);
}

void write_name_key(std::string_view path, std::uint8_t* out) {
  if (!path.empty() && path.back() == '/') path.remove_suffix(1);
  out[0] = kKeyName;
  if (!path.empty()) std::memcpy(out + 1, path.data(), path.size());
  out[1 + path.size()] = 0;
}

bool name_key_path(const std::uint8_t* key, std::size_t size, std::string_view* path) {
  if (size == 0 || key[0] != kKeyName) return false;
  const auto* begin = reinterpret_cast<const char*>(key + 1);
  const void* nul = std::memchr(begin, 0, size - 1);
  const std::size_t len =
      nul == nullptr ? size - 1 : static_cast<std::size_t>(static_cast<const char*>(nul) - begin);
  *path = std::string_view(begin, len);
  return true;
}

std::size_t direct_entry_size(const DirectFields& entry) {
  return kDirectEntryFixedSize + entry.owner.size() + entry.auth_user.size();
}

std::size_t indirect_entry_size(std::size_t key_size) {
  return kIndirectEntryFixedSize + key_size;
}

bool RecordWriter::put_direct(const DirectFields& entry) {
  const std::size_t need = direct_entry_size(entry);
  if (need > capacity_ - size_) return false;
  std::uint8_t* p = out_ + size_;
  std::memset(p, 0, kDirectOwner);
  p[0] = kEntryDirect;
  p[kDirectScope] = static_cast<std::uint8_t>(entry.scope);
  p[kDirectType] = static_cast<std::uint8_t>(entry.type);
  put_u32(p + kDirectDepth, static_cast<std::uint32_t>(entry.depth));
  put_u64(p + kDirectTimeout, static_cast<std::uint64_t>(entry.timeout));
  std::memcpy(p + kDirectToken, entry.token, kTokenSize);
  std::size_t pos = kDirectOwner;
  for (std::string_view text : {entry.owner, entry.auth_user}) {
    if (!text.empty()) std::memcpy(p + pos, text.data(), text.size());
    pos += text.size();
    p[pos++] = 0;
  }
  size_ += need;
  return true;
}

bool RecordWriter::put_indirect(const IndirectFields& entry) {
  if (entry.key_size > UINT32_MAX) return false;
  const std::size_t need = indirect_entry_size(entry.key_size);
  if (need > capacity_ - size_) return false;
  std::uint8_t* p = out_ + size_;
  p[0] = kEntryIndirect;
  std::memcpy(p + kIndirectToken, entry.token, kTokenSize);
  put_u64(p + kIndirectTimeout, static_cast<std::uint64_t>(entry.timeout));
  put_u32(p + kIndirectKeySize, static_cast<std::uint32_t>(entry.key_size));
  if (entry.key_size != 0) std::memcpy(p + kIndirectKey, entry.key, entry.key_size);
  size_ += need;
  return true;
}

ReadResult RecordReader::fail(std::size_t offset) {
  failed_ = true;
  corrupt_.offset = offset;
  corrupt_.tag = data_[offset];
  return ReadResult::kCorrupt;
}

ReadResult RecordReader::next(RecordEntry* entry) {
  if (failed_) return ReadResult::kCorrupt;
  if (offset_ >= size_) return ReadResult::kEnd;
  const std::size_t start = offset_;
  const std::uint8_t* p = data_ + start;
  const std::size_t left = size_ - start;
  *entry = RecordEntry();
  entry->tag = p[0];
  entry->offset = start;
  switch (p[0]) {
    case kEntryDirect: {
      // The fixed part and at least the two NULs must be there before anything is read.
      if (left < kDirectEntryFixedSize) return fail(start);
      DirectFields& d = entry->direct;
      d.scope = static_cast<std::int8_t>(p[kDirectScope]);
      d.type = static_cast<std::int8_t>(p[kDirectType]);
      d.depth = static_cast<std::int32_t>(get_u32(p + kDirectDepth));
      d.timeout = static_cast<std::int64_t>(get_u64(p + kDirectTimeout));
      d.token = p + kDirectToken;
      std::size_t pos = start + kDirectOwner;
      if (!read_cstring(data_, size_, &pos, &d.owner)) return fail(start);
      if (!read_cstring(data_, size_, &pos, &d.auth_user)) return fail(start);
      offset_ = pos;
      return ReadResult::kEntry;
    }
    case kEntryIndirect: {
      if (left < kIndirectEntryFixedSize) return fail(start);
      IndirectFields& i = entry->indirect;
      i.token = p + kIndirectToken;
      i.timeout = static_cast<std::int64_t>(get_u64(p + kIndirectTimeout));
      i.key_size = get_u32(p + kIndirectKeySize);
      if (i.key_size > left - kIndirectEntryFixedSize) return fail(start);
      i.key = p + kIndirectKey;
      offset_ = start + kIndirectEntryFixedSize + i.key_size;
      return ReadResult::kEntry;
    }
    default:
      return fail(start);
  }
}

unsigned corrupt_tag_code(std::uint8_t tag) {
  return static_cast<unsigned>(static_cast<std::int32_t>(static_cast<std::int8_t>(tag)));
}

bool lock_expired_at(std::int64_t timeout, std::int64_t now) {
  return timeout != 0 && now >= timeout;
}

}  // namespace kiv::locks
