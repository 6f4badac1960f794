// The property database byte format, without a database.
#include "propdb/prop_format.h"

#include <string>

#include "tests/support/module_test.h"

namespace {

using kiv::propdb::FormatStatus;
using kiv::propdb::kNoNamespace;
using kiv::propdb::MetadataHeader;
using kiv::propdb::PropertyKey;
using kiv::propdb::PropertyValue;
using namespace std::string_literals;

FormatStatus::Code parse_metadata_code(const std::string& value, MetadataHeader* header) {
  return kiv::propdb::parse_metadata(value.data(), value.size(), header).code();
}

TEST(MetadataFormat, CountIsBigEndianAndTableIsRead) {
  std::string value(4, '\0');
  kiv::propdb::write_metadata_header(7, 300, value.data());
  EXPECT_EQ(value, "\x04\x07\x01\x2C"s);
  for (int i = 0; i < 300; ++i) value += "urn:" + std::to_string(i) + '\0';

  MetadataHeader header;
  ASSERT_EQ(parse_metadata_code(value, &header), FormatStatus::Code::kOk);
  EXPECT_EQ(header.minor, 7u);
  EXPECT_EQ(header.namespace_count, 300);
  EXPECT_STREQ(kiv::propdb::namespace_at(value.data(), value.size(), 0), "urn:0");
  EXPECT_STREQ(kiv::propdb::namespace_at(value.data(), value.size(), 299), "urn:299");
  EXPECT_EQ(kiv::propdb::namespace_at(value.data(), value.size(), 300), nullptr);
}

TEST(MetadataFormat, EmptyUriTakesAPosition) {
  const std::string value = "\x04\x00\x00\x03"s + "DAV:\0\0urn:x\0"s;
  MetadataHeader header;
  ASSERT_EQ(parse_metadata_code(value, &header), FormatStatus::Code::kOk);
  EXPECT_STREQ(kiv::propdb::namespace_at(value.data(), value.size(), 1), "");
  EXPECT_STREQ(kiv::propdb::namespace_at(value.data(), value.size(), 2), "urn:x");
}

TEST(MetadataFormat, OtherMajorVersionsAreRefused) {
  MetadataHeader header;
  EXPECT_EQ(parse_metadata_code("\x03\x00\x00\x00"s, &header), FormatStatus::Code::kWrongVersion);
  EXPECT_EQ(parse_metadata_code("\x05\x00\x00\x00"s, &header), FormatStatus::Code::kWrongVersion);
}

TEST(MetadataFormat, DamagedTablesAreRefused) {
  MetadataHeader header;
  for (const std::string& value : {
           ""s,
           "\x04\x00"s,                          // shorter than the header
           "\x04\x00\x00\x02"s + "DAV:\0"s,      // count larger than the strings present
           "\x04\x00\x00\x01"s + "DAV:"s,        // last string not terminated
           "\x04\x00\x00\x01"s + "DAV:\0junk"s,  // bytes after the last string
           "\x04\x00\x80\x00"s + std::string(0x8000, '\0'),  // count beyond 32767
       }) {
    EXPECT_EQ(parse_metadata_code(value, &header), FormatStatus::Code::kDamaged)
        << "value of " << value.size() << " bytes";
  }
}

TEST(MetadataFormat, NamespaceRoomStopsAt32767) {
  EXPECT_TRUE(kiv::propdb::check_namespace_room(32766, 1).is_ok());
  EXPECT_EQ(kiv::propdb::check_namespace_room(32767, 1).code(),
            FormatStatus::Code::kTooManyNamespaces);
  EXPECT_EQ(kiv::propdb::check_namespace_room(32766, 2).code(),
            FormatStatus::Code::kTooManyNamespaces);
}

std::string make_key(int ns_index, const std::string& name) {
  std::string key(kiv::propdb::key_size(ns_index, name.size()), '?');
  kiv::propdb::write_key(ns_index, name.data(), name.size(), key.data());
  return key;
}

TEST(KeyFormat, KeysCountTheirNul) {
  EXPECT_EQ(make_key(3, "author"), "3:author\0"s);
  EXPECT_EQ(make_key(12, "x"), "12:x\0"s);
  EXPECT_EQ(make_key(kNoNamespace, "color"), ":color\0"s);
}

TEST(KeyFormat, NameStartsAfterTheFirstColon) {
  PropertyKey key;
  const std::string twelve = "12:x\0"s;
  ASSERT_TRUE(kiv::propdb::parse_key(twelve.data(), twelve.size(), 13, &key).is_ok());
  EXPECT_EQ(key.ns_index, 12);
  EXPECT_STREQ(key.name, "x");

  const std::string bare = ":x\0"s;
  ASSERT_TRUE(kiv::propdb::parse_key(bare.data(), bare.size(), 0, &key).is_ok());
  EXPECT_EQ(key.ns_index, kNoNamespace);
  EXPECT_STREQ(key.name, "x");
}

TEST(KeyFormat, DamagedKeysAreRefused) {
  PropertyKey key;
  for (const std::string& text : {"12:x\0"s,  // index not below the count of 12
                                  "12x\0"s,   // no colon after the index
                                  "abc\0"s,   // neither an index nor a colon
                                  "1:abc"s,   // not terminated
                                  "\0"s}) {
    EXPECT_EQ(kiv::propdb::parse_key(text.data(), text.size(), 12, &key).code(),
              FormatStatus::Code::kDamaged)
        << text;
  }
}

TEST(ValueFormat, TwoStringsAndNothingElse) {
  PropertyValue value;
  const std::string good = "en\0a&amp;b\0"s;
  ASSERT_TRUE(kiv::propdb::parse_value(good.data(), good.size(), &value).is_ok());
  EXPECT_STREQ(value.lang, "en");
  EXPECT_STREQ(value.content, "a&amp;b");
  EXPECT_EQ(value.content_length, 7u);

  for (const std::string& bad : {"en"s, "en\0abc"s, "\0a\0b\0"s, "\0"s}) {
    EXPECT_EQ(kiv::propdb::parse_value(bad.data(), bad.size(), &value).code(),
              FormatStatus::Code::kDamaged);
  }
}

class RenderTest : public kiv_test::AprTest {
 protected:
  std::string render(const std::string& key, const std::string& value) {
    const char* line = nullptr;
    const FormatStatus status = kiv::propdb::render_property(pool_, key.data(), key.size(),
                                                             value.data(), value.size(), &line);
    return status.is_ok() ? std::string(line) : "refused";
  }
};

TEST_F(RenderTest, EveryRowOfTheLineTable) {
  EXPECT_EQ(render("1:author\0"s, "\0Jo\0"s), "<ns1:author>Jo</ns1:author>\n");
  EXPECT_EQ(render("1:t\0"s, "en\0a&amp;b\0"s), "<ns1:t xml:lang=\"en\">a&amp;b</ns1:t>\n");
  EXPECT_EQ(render("1:e\0"s, "en\0\0"s), "<ns1:e/>\n");
  EXPECT_EQ(render(":color\0"s, "\0red\0"s), "<color>red</color>\n");
  EXPECT_EQ(render(":color\0"s, "fr\0rouge\0"s), "<color xml:lang=\"fr\">rouge</color>\n");
  EXPECT_EQ(render(":color\0"s, "fr\0\0"s), "<color/>\n");
  EXPECT_EQ(render("3:author\0"s, "\0<ns3:given>Jo</ns3:given><plain/>\0"s),
            "<ns3:author><ns3:given>Jo</ns3:given><plain/></ns3:author>\n");
}

TEST_F(RenderTest, LanguageCannotBreakOutOfItsAttribute) {
  EXPECT_EQ(render("1:t\0"s, "en\"><x\0hi\0"s),
            "<ns1:t xml:lang=\"en&quot;&gt;&lt;x\">hi</ns1:t>\n");
}

TEST_F(RenderTest, DamagedRecordsAreRefused) {
  EXPECT_EQ(render("1:t"s, "\0hi\0"s), "refused");
  EXPECT_EQ(render("1:t\0"s, "\0hi"s), "refused");
}

}  // namespace
