// The bytes of lock records and keys: what is written, what is read back, and what is refused.
#include "locks/lock_record.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kiv::locks {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes token_bytes(std::uint8_t first) {
  Bytes t(16);
  for (int i = 0; i < 16; ++i) t[i] = static_cast<std::uint8_t>(first + i);
  return t;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// An exclusive write lock of infinite depth with owner and user, as the database stores it.
const Bytes kDirectToken = token_bytes(0x10);
const Bytes kDirectBytes = cat({
    {0x01},                                            // tag
    {0x01, 0x01},                                      // scope exclusive, type write
    {0x00, 0x00},                                      // reserved
    {0xff, 0xff, 0xff, 0x7f},                          // depth DAV_INFINITY
    {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},  // timeout 0x0102030405060708
    kDirectToken,                                      // token
    text("<o/>"),
    {0x00},  // owner
    text("bob"),
    {0x00},  // auth_user
});

// An indirect entry that never expires, pointing at the name key of "/d".
const Bytes kIndirectToken = token_bytes(0x20);
const Bytes kKeyOfD = {0x0b, '/', 'd', 0x00};
const Bytes kIndirectBytes = cat({
    {0x02},                    // tag
    kIndirectToken,            // token
    Bytes(8, 0x00),            // timeout 0
    {0x04, 0x00, 0x00, 0x00},  // key length
    kKeyOfD,                   // key
});

DirectFields direct_fields() {
  DirectFields d;
  d.scope = 1;
  d.type = 1;
  d.depth = 0x7fffffff;
  d.timeout = 0x0102030405060708;
  d.token = kDirectToken.data();
  d.owner = "<o/>";
  d.auth_user = "bob";
  return d;
}

IndirectFields indirect_fields() {
  IndirectFields i;
  i.token = kIndirectToken.data();
  i.timeout = 0;
  i.key = kKeyOfD.data();
  i.key_size = kKeyOfD.size();
  return i;
}

// Reads a record held in a buffer of exactly its size, so that a sanitizer sees any over-read.
struct Decoded {
  std::vector<RecordEntry> entries;
  bool corrupt = false;
  CorruptAt at;
};

Decoded decode(const Bytes& record) {
  Decoded out;
  RecordReader reader(record.data(), record.size());
  RecordEntry entry;
  for (;;) {
    const ReadResult r = reader.next(&entry);
    if (r == ReadResult::kEnd) return out;
    if (r == ReadResult::kCorrupt) {
      out.corrupt = true;
      out.at = reader.corrupt();
      // The reader stays stopped.
      EXPECT_EQ(reader.next(&entry), ReadResult::kCorrupt);
      return out;
    }
    out.entries.push_back(entry);
  }
}

TEST(LockRecord, DirectEntryIsWrittenByteForByteAndReadBack) {
  Bytes out(kDirectBytes.size());
  RecordWriter writer(out.data(), out.size());
  ASSERT_TRUE(writer.put_direct(direct_fields()));
  EXPECT_EQ(writer.size(), kDirectBytes.size());
  EXPECT_EQ(out, kDirectBytes);

  const Decoded d = decode(kDirectBytes);
  ASSERT_FALSE(d.corrupt);
  ASSERT_EQ(d.entries.size(), 1u);
  const DirectFields& e = d.entries[0].direct;
  EXPECT_EQ(d.entries[0].tag, kEntryDirect);
  EXPECT_EQ(e.scope, 1);
  EXPECT_EQ(e.type, 1);
  EXPECT_EQ(e.depth, 0x7fffffff);
  EXPECT_EQ(e.timeout, 0x0102030405060708);
  EXPECT_EQ(Bytes(e.token, e.token + 16), kDirectToken);
  EXPECT_EQ(e.owner, "<o/>");
  EXPECT_EQ(e.auth_user, "bob");
}

TEST(LockRecord, IndirectEntryIsWrittenByteForByteAndReadBack) {
  Bytes out(kIndirectBytes.size());
  RecordWriter writer(out.data(), out.size());
  ASSERT_TRUE(writer.put_indirect(indirect_fields()));
  EXPECT_EQ(out, kIndirectBytes);

  const Decoded d = decode(kIndirectBytes);
  ASSERT_FALSE(d.corrupt);
  ASSERT_EQ(d.entries.size(), 1u);
  const IndirectFields& e = d.entries[0].indirect;
  EXPECT_EQ(d.entries[0].tag, kEntryIndirect);
  EXPECT_EQ(Bytes(e.token, e.token + 16), kIndirectToken);
  EXPECT_EQ(e.timeout, 0);
  EXPECT_EQ(Bytes(e.key, e.key + e.key_size), kKeyOfD);
}

TEST(LockRecord, EmptyStringsAreLoneNulsAndNegativeValuesKeepTheirSign) {
  DirectFields d = direct_fields();
  d.owner = "";
  d.auth_user = "";
  d.scope = -2;
  d.depth = -1;
  d.timeout = -5;
  Bytes out(kDirectEntryFixedSize);
  RecordWriter writer(out.data(), out.size());
  ASSERT_TRUE(writer.put_direct(d));
  EXPECT_EQ(out[33], 0x00);
  EXPECT_EQ(out[34], 0x00);
  const Decoded back = decode(out);
  ASSERT_EQ(back.entries.size(), 1u);
  EXPECT_TRUE(back.entries[0].direct.owner.empty());
  EXPECT_TRUE(back.entries[0].direct.auth_user.empty());
  EXPECT_EQ(back.entries[0].direct.scope, -2);
  EXPECT_EQ(back.entries[0].direct.depth, -1);
  EXPECT_EQ(back.entries[0].direct.timeout, -5);
}

TEST(LockRecord, EntriesComeBackInStoredOrderWithTheirOffsets) {
  const Bytes record = cat({kDirectBytes, kIndirectBytes, kDirectBytes});
  const Decoded d = decode(record);
  ASSERT_FALSE(d.corrupt);
  ASSERT_EQ(d.entries.size(), 3u);
  EXPECT_EQ(d.entries[0].tag, kEntryDirect);
  EXPECT_EQ(d.entries[1].tag, kEntryIndirect);
  EXPECT_EQ(d.entries[2].tag, kEntryDirect);
  EXPECT_EQ(d.entries[1].offset, kDirectBytes.size());
  EXPECT_EQ(d.entries[2].offset, kDirectBytes.size() + kIndirectBytes.size());
}

TEST(LockRecord, WriterRefusesAnEntryThatDoesNotFit) {
  Bytes out(kDirectBytes.size() - 1, 0xee);
  RecordWriter writer(out.data(), out.size());
  EXPECT_FALSE(writer.put_direct(direct_fields()));
  EXPECT_EQ(writer.size(), 0u);
  EXPECT_EQ(out, Bytes(out.size(), 0xee));
}

TEST(LockRecordCorrupt, ZeroFirstByteIsAtOffsetZero) {
  const Decoded d = decode(cat({{0x00}, kDirectBytes}));
  ASSERT_TRUE(d.corrupt);
  EXPECT_EQ(d.at.offset, 0u);
  EXPECT_EQ(d.at.tag, 0x00);
}

TEST(LockRecordCorrupt, UnknownTagAfterTwoGoodEntriesReportsItsOffset) {
  const Decoded d = decode(cat({kDirectBytes, kIndirectBytes, {0x07, 0x00, 0x00}}));
  ASSERT_TRUE(d.corrupt);
  EXPECT_EQ(d.entries.size(), 2u);
  EXPECT_EQ(d.at.offset, kDirectBytes.size() + kIndirectBytes.size());
  EXPECT_EQ(d.at.tag, 0x07);
}

TEST(LockRecordCorrupt, HighTagBytesPrintSignExtended) {
  const Decoded d = decode({0x80});
  ASSERT_TRUE(d.corrupt);
  EXPECT_EQ(corrupt_tag_code(d.at.tag), 0xffffff80u);
  EXPECT_EQ(corrupt_tag_code(0xff), 0xffffffffu);
  EXPECT_EQ(corrupt_tag_code(0x7f), 0x7fu);
  EXPECT_EQ(corrupt_tag_code(0x00), 0x00u);
}

// Every cut through a direct entry: inside the fixed block, inside the owner (an owner without
// its NUL), and inside the auth_user.
TEST(LockRecordCorrupt, EveryTruncationOfADirectEntryIsRefusedAtItsTag) {
  for (std::size_t n = 1; n < kDirectBytes.size(); ++n) {
    const Bytes cut(kDirectBytes.begin(), kDirectBytes.begin() + static_cast<long>(n));
    const Decoded d = decode(cut);
    ASSERT_TRUE(d.corrupt) << "length " << n;
    EXPECT_EQ(d.at.offset, 0u) << "length " << n;
    EXPECT_EQ(d.at.tag, kEntryDirect) << "length " << n;
  }
}

TEST(LockRecordCorrupt, TruncatedIndirectEntryAfterAGoodOneReportsItsOffset) {
  for (std::size_t n = 1; n < kIndirectBytes.size(); ++n) {
    const Bytes record = cat({kDirectBytes, Bytes(kIndirectBytes.begin(),
                                                  kIndirectBytes.begin() + static_cast<long>(n))});
    const Decoded d = decode(record);
    ASSERT_TRUE(d.corrupt) << "length " << n;
    EXPECT_EQ(d.entries.size(), 1u);
    EXPECT_EQ(d.at.offset, kDirectBytes.size()) << "length " << n;
    EXPECT_EQ(d.at.tag, kEntryIndirect);
  }
}

TEST(LockRecordCorrupt, KeyLengthBeyondTheRecordIsRefused) {
  Bytes one_more = kIndirectBytes;
  one_more[25] = 0x05;  // five key bytes claimed, four present
  EXPECT_TRUE(decode(one_more).corrupt);

  Bytes huge = kIndirectBytes;
  huge[25] = huge[26] = huge[27] = huge[28] = 0xff;
  const Decoded d = decode(huge);
  ASSERT_TRUE(d.corrupt);
  EXPECT_EQ(d.at.offset, 0u);
  EXPECT_EQ(d.at.tag, kEntryIndirect);
}

TEST(LockKeys, NameKeyDropsOneTrailingSlash) {
  const Bytes expected = {0x0b, '/', 'd', 'i', 'r', 0x00};
  for (const char* path : {"/dir", "/dir/"}) {
    ASSERT_EQ(name_key_size(path), 6u) << path;
    Bytes key(name_key_size(path));
    write_name_key(path, key.data());
    EXPECT_EQ(key, expected) << path;
  }
  Bytes root(name_key_size("/"));
  write_name_key("/", root.data());
  EXPECT_EQ(root, (Bytes{0x0b, 0x00}));
  Bytes twice(name_key_size("/a//"));
  write_name_key("/a//", twice.data());
  EXPECT_EQ(twice, (Bytes{0x0b, '/', 'a', '/', 0x00}));
}

TEST(LockKeys, NameKeyPathStaysInsideTheKey) {
  std::string_view path;
  const Bytes key = {0x0b, '/', 'x', 0x00};
  ASSERT_TRUE(name_key_path(key.data(), key.size(), &path));
  EXPECT_EQ(path, "/x");
  const Bytes unterminated = {0x0b, '/', 'y'};
  ASSERT_TRUE(name_key_path(unterminated.data(), unterminated.size(), &path));
  EXPECT_EQ(path, "/y");
  const Bytes identity(kIdentityKeySize, 0x0a);
  EXPECT_FALSE(name_key_path(identity.data(), identity.size(), &path));
  EXPECT_FALSE(name_key_path(nullptr, 0, &path));
}

TEST(LockKeys, IdentityKeyHoldsLittleEndianInodeAndFoldedDevice) {
  Bytes key(kIdentityKeySize);
  write_identity_key(0x0102030405060708, 0x00000001000000b0, key.data());
  EXPECT_EQ(key, (Bytes{0x0a, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // inode
                        0xb1, 0x00, 0x00, 0x00}));                             // device
  EXPECT_EQ(fold_device(0x803), 0x803u);
  EXPECT_EQ(fold_device(0xffffffff00000000), 0xffffffffu);
}

TEST(LockExpiry, ZeroNeverExpiresAndOthersExpireAtTheirMoment) {
  EXPECT_FALSE(lock_expired_at(0, 0x7fffffffffffffff));
  EXPECT_FALSE(lock_expired_at(100, 99));
  EXPECT_TRUE(lock_expired_at(100, 100));
  EXPECT_TRUE(lock_expired_at(100, 101));
}

}  // namespace
}  // namespace kiv::locks
