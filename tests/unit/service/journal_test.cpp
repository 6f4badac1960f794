#include "service/journal.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv::service {
namespace {

JournalHeader header(std::string path, std::uint64_t length) {
  JournalHeader h;
  h.device = 0x0102030405060708ull;
  h.inode = 42;
  h.path = std::move(path);
  h.content_length = length;
  return h;
}

TEST(JournalTest, RecordLayoutIsBigEndianWithTrailingChecksum) {
  const std::string rec = encode_journal_record(header("a/b", 2), std::string("\0z", 2));
  ASSERT_EQ(rec.size(), kJournalFixedSize + 3 + 2 + kJournalChecksumSize);
  EXPECT_EQ(rec.substr(0, 8), "KIVJRNL1");
  EXPECT_EQ(rec.substr(8, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  EXPECT_EQ(rec.substr(16, 8), std::string("\0\0\0\0\0\0\0\x2a", 8));
  EXPECT_EQ(rec.substr(24, 4), std::string("\0\0\0\x03", 4));
  EXPECT_EQ(rec.substr(28, 8), std::string("\0\0\0\0\0\0\0\x02", 8));
  EXPECT_EQ(rec.substr(36, 5), std::string("a/b\0z", 5));
  Checksum sum;
  sum.update(std::string_view(rec).substr(0, rec.size() - 8));
  EXPECT_EQ(get_u64(rec.data() + rec.size() - 8), sum.value());
}

TEST(JournalTest, HeaderRoundTrips) {
  const std::string rec = encode_journal_record(header("dir/doc", 5), "hello");
  JournalHeader h;
  std::size_t size = 0;
  ASSERT_EQ(parse_journal_header(rec, &h, &size), JournalParse::kOk);
  EXPECT_EQ(h.path, "dir/doc");
  EXPECT_EQ(h.inode, 42u);
  EXPECT_EQ(h.content_length, 5u);
  EXPECT_EQ(size, kJournalFixedSize + 7);
  EXPECT_EQ(journal_record_size(h), rec.size());
}

TEST(JournalTest, StagedRecordNamesItsContentInsteadOfHoldingIt) {
  JournalHeader staged = header("dir/doc", 1ull << 33);
  staged.source = ".kivd-tmp-1-2";
  staged.source_device = 7;
  staged.source_inode = 9;
  const std::string rec = encode_journal_record(staged, "");
  EXPECT_EQ(rec.substr(0, 8), "KIVJRNL2");
  EXPECT_EQ(rec.size(), journal_record_size(staged));
  JournalHeader h;
  std::size_t size = 0;
  ASSERT_EQ(parse_journal_header(rec, &h, &size), JournalParse::kOk);
  EXPECT_EQ(h.path + " " + h.source, "dir/doc .kivd-tmp-1-2");
  EXPECT_EQ(h.content_length, 1ull << 33);
  EXPECT_EQ(h.source_inode, 9u);
  EXPECT_EQ(size, kJournalStagedFixedSize + 7 + 13);
  EXPECT_EQ(parse_journal_header(rec.substr(0, size - 1), &h, &size), JournalParse::kTruncated);
  // Only a private name beside the document can be staged content.
  for (const char* source : {"doc", "../.kivd-x", ".kivd/../../x"}) {
    staged.source = source;
    EXPECT_EQ(parse_journal_header(encode_journal_record(staged, ""), &h, &size),
              JournalParse::kMalformed)
        << source;
  }
}

TEST(JournalTest, RefusesTruncatedAndMalformedHeaders) {
  const std::string rec = encode_journal_record(header("dir/doc", 5), "hello");
  JournalHeader h;
  std::size_t size = 0;
  for (std::size_t n = 0; n < kJournalFixedSize + 7; ++n) {
    EXPECT_EQ(parse_journal_header(rec.substr(0, n), &h, &size), JournalParse::kTruncated) << n;
  }
  std::string bad_magic = rec;
  bad_magic[0] = 'X';
  EXPECT_EQ(parse_journal_header(bad_magic, &h, &size), JournalParse::kMalformed);
  std::string no_path = encode_journal_record(header("", 0), "");
  EXPECT_EQ(parse_journal_header(no_path, &h, &size), JournalParse::kMalformed);
  std::string huge_path = rec;
  huge_path[24] = '\x7f';
  EXPECT_EQ(parse_journal_header(huge_path, &h, &size), JournalParse::kMalformed);
}

}  // namespace
}  // namespace kiv::service
