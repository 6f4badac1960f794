// The bytes of the lock database: the two kinds of key under which a resource's locks are kept,
// and the lock record stored under a key. Pure code: bytes in, bytes or a status out; no server,
// no pools, no I/O. Safe to call from any thread (no shared state).
//
// Keys
//   identity key: 0x0A, inode (8 bytes LE), device (4 bytes LE, folded, see fold_device)  = 13
//   bytes name key:     0x0B, the local path without one trailing "/", NUL (the NUL is part of the
//   key)
//
// A lock record is a plain concatenation of entries, no header, no count, no terminator. All
// integers are little-endian.
//   direct entry (35 bytes + the two strings):
//     0x01, scope (s8), type (s8), 2 reserved bytes (0), depth (s32), timeout (s64),
//     token (16), owner + NUL, auth_user + NUL
//   indirect entry (29 bytes + the key):
//     0x02, token (16), timeout (s64), key length k (u32), key (k bytes)
// A timeout is the moment of expiry in seconds since the epoch; 0 means never.
#ifndef KIV_LOCKS_LOCK_RECORD_H_
#define KIV_LOCKS_LOCK_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kiv::locks {

inline constexpr std::uint8_t kKeyIdentity = 0x0A;    // DAV_KIV_KEY_IDENTITY
inline constexpr std::uint8_t kKeyName = 0x0B;        // DAV_KIV_KEY_NAME
inline constexpr std::uint8_t kEntryDirect = 0x01;    // DAV_KIV_ENTRY_DIRECT
inline constexpr std::uint8_t kEntryIndirect = 0x02;  // DAV_KIV_ENTRY_INDIRECT

inline constexpr std::size_t kIdentityKeySize = 13;
inline constexpr std::size_t kTokenSize = 16;
// Size of an entry without its variable part: the two strings' bytes (not their NULs) for a
// direct entry, the key for an indirect entry.
inline constexpr std::size_t kDirectEntryFixedSize = 35;
inline constexpr std::size_t kIndirectEntryFixedSize = 29;

// Fits a device number into the 4-byte field of an identity key: the low 32 bits XOR the high
// 32 bits. A number that fits in 32 bits stays as it is; a wider one folds the same way on every
// call, so the key of one file never changes. Two devices can fold to one value only when their
// numbers differ in both halves in exactly compensating bits.
std::uint32_t fold_device(std::uint64_t device);

// Writes the kIdentityKeySize bytes of the identity key of (inode, device) to out.
void write_identity_key(std::uint64_t inode, std::uint64_t device, std::uint8_t* out);

// Size of the name key of path: path + 2, or path + 1 when it ends in "/".
std::size_t name_key_size(std::string_view path);
// Writes the name_key_size(path) bytes of the name key of path to out. path holds no NUL.
void write_name_key(std::string_view path, std::uint8_t* out);

// The path inside a name key: the bytes after the type byte up to the first NUL (or to the end of
// the key when a damaged key has none). False when key is not a name key. The view points into
// key.
bool name_key_path(const std::uint8_t* key, std::size_t size, std::string_view* path);

// One direct entry. For writing, token points at kTokenSize bytes and the strings hold no NUL;
// an empty string is stored as a lone NUL. For reading, every pointer points into the record.
struct DirectFields {
  std::int8_t scope = 0;
  std::int8_t type = 0;
  std::int32_t depth = 0;
  std::int64_t timeout = 0;
  const std::uint8_t* token = nullptr;
  std::string_view owner;
  std::string_view auth_user;
};

// One indirect entry: the token of the lock it inherits and the key of the record that holds the
// lock's direct entry.
struct IndirectFields {
  const std::uint8_t* token = nullptr;
  std::int64_t timeout = 0;
  const std::uint8_t* key = nullptr;
  std::size_t key_size = 0;
};

// Encoded sizes of one entry.
std::size_t direct_entry_size(const DirectFields& entry);
std::size_t indirect_entry_size(std::size_t key_size);

// Writes entries one after another into a caller-owned buffer of a given capacity. A put that
// does not fit writes nothing and answers false.
class RecordWriter {
 public:
  RecordWriter(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

  bool put_direct(const DirectFields& entry);
  bool put_indirect(const IndirectFields& entry);

  // Bytes written so far.
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* out_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

enum class ReadResult { kEntry, kEnd, kCorrupt };

// One decoded entry: tag says which of direct and indirect is filled; offset is that of its tag.
struct RecordEntry {
  std::uint8_t tag = 0;
  std::size_t offset = 0;
  DirectFields direct;
  IndirectFields indirect;
};

// Where a record stopped making sense: the offset of the tag byte of the entry that has an
// unknown tag or does not fit in the record, and that tag byte.
struct CorruptAt {
  std::size_t offset = 0;
  std::uint8_t tag = 0;
};

// Reads the entries of a record in stored order. Never reads outside [data, data + size): an
// entry that runs past the end is reported as corrupt, like an unknown tag. After kCorrupt or
// kEnd every further call answers the same. The record must outlive the reader and the entries.
class RecordReader {
 public:
  RecordReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  ReadResult next(RecordEntry* entry);

  // Valid after next() answered kCorrupt.
  const CorruptAt& corrupt() const { return corrupt_; }

 private:
  ReadResult fail(std::size_t offset);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
  bool failed_ = false;
  CorruptAt corrupt_;
};

// The value printed for a bad tag byte: the byte as a signed 8-bit number widened to 32 bits, so
// that 0x80 to 0xff print as eight hex digits (0x80 gives 0xffffff80).
unsigned corrupt_tag_code(std::uint8_t tag);

// Whether an entry with this timeout has expired at now (both in seconds since the epoch): never
// for a timeout of 0, else once now has reached the timeout.
bool lock_expired_at(std::int64_t timeout, std::int64_t now);

}  // namespace kiv::locks

#endif  // KIV_LOCKS_LOCK_RECORD_H_
