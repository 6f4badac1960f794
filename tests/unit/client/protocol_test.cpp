// Frames of the service protocol, byte for byte, and the refusal of what does not fit.
#include "wire/protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv::proto {
namespace {

TEST(ProtocolTest, EncodesTheDocumentedBytes) {
  const std::string content("\0z", 2);  // fields are viewed, not copied: it must outlive f
  const FrameBuilder f(static_cast<std::uint8_t>(Op::kAddDoc), {"/a", content});
  ASSERT_TRUE(f.ok());
  const std::string expected(
      "\x00\x00\x00\x11"  // payload length 17
      "\x04"              // AddDoc
      "\x00\x00\x00\x02"  // two fields
      "\x00\x00\x00\x02/a"
      "\x00\x00\x00\x02\x00z",
      21);
  EXPECT_EQ(f.flatten(), expected);
  EXPECT_EQ(f.size(), expected.size());
  const FrameBuilder empty(static_cast<std::uint8_t>(Status::kOk), {});
  EXPECT_EQ(empty.flatten(), std::string("\0\0\0\x05\0\0\0\0\0", 9));
  const Reason parent_missing = Reason::kParentMissing;
  const FrameBuilder failed(static_cast<std::uint8_t>(Status::kFalse),
                            {reason_field(parent_missing)});
  EXPECT_EQ(failed.flatten(), std::string("\0\0\0\x0a\x01\0\0\0\x01\0\0\0\x01\x03", 14));
}

TEST(ProtocolTest, DecodesWhatItEncodesIncludingEmptyFieldsAndZeroBytes) {
  const std::string big(100000, '\0');
  const FrameBuilder f(9, {"", big, "x"});
  const std::string bytes = f.flatten() + "trailing frame";
  Message m;
  std::size_t used = 0;
  ASSERT_EQ(decode_frame(bytes, kDefaultMaxPayload, &m, &used), Decode::kOk);
  EXPECT_EQ(used, f.size());
  EXPECT_EQ(m.code, 9);
  ASSERT_EQ(m.fields.size(), 3u);
  EXPECT_EQ(m.fields[0], "");
  EXPECT_EQ(m.fields[1], big);
  EXPECT_EQ(m.fields[2], "x");
}

TEST(ProtocolTest, EveryTruncationIsRefused) {
  const std::string bytes = FrameBuilder(3, {"/abc", "de"}).flatten();
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    Message m;
    std::size_t used = 0;
    EXPECT_EQ(decode_frame(bytes.substr(0, n), kDefaultMaxPayload, &m, &used), Decode::kTruncated)
        << "prefix of " << n << " bytes";
    EXPECT_EQ(used, 0u);
  }
}

TEST(ProtocolTest, OversizedLengthIsRefusedFromTheHeaderAlone) {
  std::uint32_t len = 0;
  EXPECT_EQ(decode_frame_length(std::string("\xff\xff\xff\xff", 4), kDefaultMaxPayload, &len),
            Decode::kOversized);
  EXPECT_EQ(len, 0xffffffffu);
  EXPECT_EQ(decode_frame_length(std::string("\0\0\x04\x01", 4), 1024, &len), Decode::kOversized);
  EXPECT_EQ(decode_frame_length(std::string("\0\0\x04\0", 4), 1024, &len), Decode::kOk);
  EXPECT_EQ(decode_frame_length(std::string("\0\0\0\x04", 4), 1024, &len), Decode::kMalformed);
}

TEST(ProtocolTest, GarbageIsRefused) {
  Message m;
  // A field count that the payload cannot hold is refused before anything is reserved for it.
  EXPECT_EQ(decode_payload(std::string("\x01\xff\xff\xff\xff", 5), &m), Decode::kMalformed);
  EXPECT_EQ(decode_payload(std::string("\x01\0\0\0\x02\0\0\0\0", 9), &m), Decode::kMalformed);
  // A field longer than what follows.
  EXPECT_EQ(decode_payload(std::string("\x01\0\0\0\x01\xff\xff\xff\xfex", 10), &m),
            Decode::kTruncated);
  // Bytes left over after the last field.
  EXPECT_EQ(decode_payload(std::string("\x01\0\0\0\x01\0\0\0\x01xy", 11), &m), Decode::kMalformed);
  EXPECT_EQ(decode_payload(std::string("\x01\0\0", 3), &m), Decode::kTruncated);
  EXPECT_TRUE(m.fields.empty());
}

}  // namespace
}  // namespace kiv::proto
