// A byte stream of protocol frames, as either side of the repository service protocol reads it
// from its peer: the service reads requests this way, the client responses. Each frame is decoded
// the two ways the code does it (the length prefix first and then the payload, as a socket
// reader does; and the whole frame at once) and both must agree. A frame that decodes is
// canonical: the builder lays its code and fields out as the very bytes they came from.
//
// Input: the stream.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "wire/protocol.h"

namespace {

using kiv::proto::Decode;
using kiv::proto::Message;

// A cap small enough that mutated lengths run into it, besides the protocol's own.
constexpr std::uint32_t kSmallCap = 1024;

void check_stream(std::string_view stream, std::uint32_t cap) {
  while (!stream.empty()) {
    Message whole;
    std::size_t consumed = 0;
    const Decode d = kiv::proto::decode_frame(stream, cap, &whole, &consumed);
    KIV_FUZZ_CHECK(std::strcmp(kiv::proto::decode_name(d), "unknown") != 0);

    // As a socket reader: the prefix, then exactly the payload it announces.
    std::uint32_t len = 0;
    const Decode head = kiv::proto::decode_frame_length(stream, cap, &len);
    Decode piecewise = head;
    Message parts;
    if (head == Decode::kOk) {
      KIV_FUZZ_CHECK(len >= kiv::proto::kPayloadHeaderSize && len <= cap);
      piecewise = len > stream.size() - kiv::proto::kFrameHeaderSize
                      ? Decode::kTruncated
                      : kiv::proto::decode_payload(stream.substr(kiv::proto::kFrameHeaderSize, len),
                                                   &parts);
    }
    KIV_FUZZ_CHECK(piecewise == d);
    if (d != Decode::kOk) {
      KIV_FUZZ_CHECK(consumed == 0);
      return;
    }
    KIV_FUZZ_CHECK(consumed == kiv::proto::kFrameHeaderSize + len && consumed <= stream.size());
    KIV_FUZZ_CHECK(parts.code == whole.code && parts.fields == whole.fields);

    // Every field lies inside the frame.
    for (std::string_view f : whole.fields) {
      KIV_FUZZ_CHECK(f.data() >=
                     stream.data() + kiv::proto::kFrameHeaderSize + kiv::proto::kPayloadHeaderSize);
      KIV_FUZZ_CHECK(f.data() + f.size() <= stream.data() + consumed);
    }

    const kiv::proto::FrameBuilder rebuilt(whole.code, whole.fields);
    KIV_FUZZ_CHECK(rebuilt.ok() && rebuilt.size() == consumed);
    KIV_FUZZ_CHECK(rebuilt.flatten() == stream.substr(0, consumed));
    stream.remove_prefix(consumed);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  check_stream(stream, kiv::proto::kDefaultMaxPayload);
  check_stream(stream, kSmallCap);
  return 0;
}
