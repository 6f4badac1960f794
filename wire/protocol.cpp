#include "wire/protocol.h"

#include <limits>

namespace kiv::proto {

const char* decode_name(Decode d) {
  switch (d) {
    case Decode::kOk:
      return "ok";
    case Decode::kTruncated:
      return "truncated";
    case Decode::kOversized:
      return "oversized";
    case Decode::kMalformed:
      return "malformed";
  }
  return "unknown";
}

bool request_fits(const Message& request) {
  const Op op = static_cast<Op>(request.code);
  const int want = arity(op);
  if (want < 0 || request.fields.size() != static_cast<std::size_t>(want)) return false;
  const auto& f = request.fields;
  switch (op) {
    case Op::kCopyCollection:
      return f[2] == kDepthZero || f[2] == kDepthInfinity;
    case Op::kStat:
      return f[1].size() == kWantSize;
    case Op::kRead:
      return f[1].size() == kAttributesSize && f[2].size() == kOffsetSize &&
             f[3].size() == kLengthSize;
    case Op::kUploadBegin:
      return f[1].empty() || f[1].size() == kTotalSize;
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
      return f[0].size() == kTotalSize;
    default:
      return true;
  }
}

void put_u32(char* out, std::uint32_t v) {
  out[0] = static_cast<char>(v >> 24);
  out[1] = static_cast<char>(v >> 16);
  out[2] = static_cast<char>(v >> 8);
  out[3] = static_cast<char>(v);
}

std::uint32_t get_u32(const char* in) {
  const auto* p = reinterpret_cast<const unsigned char*>(in);
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

Decode decode_frame_length(std::string_view header, std::uint32_t max_payload,
                           std::uint32_t* payload_len) {
  *payload_len = 0;
  if (header.size() < kFrameHeaderSize) return Decode::kTruncated;
  *payload_len = get_u32(header.data());
  if (*payload_len > max_payload) return Decode::kOversized;
  if (*payload_len < kPayloadHeaderSize) return Decode::kMalformed;
  return Decode::kOk;
}

Decode decode_payload(std::string_view payload, Message* out) {
  out->code = 0;
  out->fields.clear();
  if (payload.size() < kPayloadHeaderSize) return Decode::kTruncated;
  const std::uint8_t code = static_cast<std::uint8_t>(payload[0]);
  const std::uint32_t count = get_u32(payload.data() + 1);
  std::size_t pos = kPayloadHeaderSize;
  // Each field takes at least its length header, so a count beyond that cannot be honest; this
  // also bounds the vector before it is reserved.
  if (count > (payload.size() - pos) / kFieldHeaderSize) return Decode::kMalformed;
  out->fields.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (payload.size() - pos < kFieldHeaderSize) return Decode::kTruncated;
    const std::uint32_t len = get_u32(payload.data() + pos);
    pos += kFieldHeaderSize;
    if (len > payload.size() - pos) return Decode::kTruncated;
    out->fields.push_back(payload.substr(pos, len));
    pos += len;
  }
  if (pos != payload.size()) return Decode::kMalformed;
  out->code = code;
  return Decode::kOk;
}

Decode decode_frame(std::string_view bytes, std::uint32_t max_payload, Message* out,
                    std::size_t* consumed) {
  *consumed = 0;
  std::uint32_t len = 0;
  const Decode d = decode_frame_length(bytes, max_payload, &len);
  if (d != Decode::kOk) return d;
  if (len > bytes.size() - kFrameHeaderSize) return Decode::kTruncated;
  const Decode p = decode_payload(bytes.substr(kFrameHeaderSize, len), out);
  if (p == Decode::kOk) *consumed = kFrameHeaderSize + len;
  return p;
}

Decode decode_reason(const std::vector<std::string_view>& fields, Reason* out, bool* given) {
  *out = Reason::kNone;
  *given = false;
  if (fields.empty()) return Decode::kOk;
  if (fields.size() != 1 || fields[0].size() != 1) return Decode::kMalformed;
  const Reason r = static_cast<Reason>(static_cast<std::uint8_t>(fields[0][0]));
  if (!is_service_reason(r)) return Decode::kMalformed;
  *out = r;
  *given = true;
  return Decode::kOk;
}

std::string encode_u64(std::uint64_t v) {
  std::string out(8, '\0');
  put_u32(out.data(), static_cast<std::uint32_t>(v >> 32));
  put_u32(out.data() + 4, static_cast<std::uint32_t>(v));
  return out;
}

std::uint64_t get_u64(const char* in) {
  return (std::uint64_t{get_u32(in)} << 32) | get_u32(in + 4);
}

std::string encode_attributes(const Attributes& a) {
  std::string out;
  out.reserve(kAttributesSize);
  out += encode_u64(a.size);
  out += encode_u64(static_cast<std::uint64_t>(a.mtime_ns));
  out += encode_u64(static_cast<std::uint64_t>(a.ctime_ns));
  out += encode_u64(a.inode);
  out += encode_u64(a.device);
  char mode[4];
  put_u32(mode, a.mode);
  out.append(mode, sizeof mode);
  return out;
}

bool decode_attributes(std::string_view bytes, Attributes* out) {
  if (bytes.size() != kAttributesSize) return false;
  const char* p = bytes.data();
  out->size = get_u64(p);
  out->mtime_ns = static_cast<std::int64_t>(get_u64(p + 8));
  out->ctime_ns = static_cast<std::int64_t>(get_u64(p + 16));
  out->inode = get_u64(p + 24);
  out->device = get_u64(p + 32);
  out->mode = get_u32(p + 40);
  return true;
}

bool same_version(const Attributes& a, const Attributes& b) {
  return a.size == b.size && a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns &&
         a.inode == b.inode && a.device == b.device;
}

FrameBuilder::FrameBuilder(std::uint8_t code, std::initializer_list<std::string_view> fields) {
  build(code, fields.begin(), fields.size());
}

FrameBuilder::FrameBuilder(std::uint8_t code, const std::vector<std::string_view>& fields) {
  build(code, fields.data(), fields.size());
}

void FrameBuilder::build(std::uint8_t code, const std::string_view* fields, std::size_t count) {
  std::size_t payload = kPayloadHeaderSize;
  for (std::size_t i = 0; i < count; ++i) {
    if (fields[i].size() > std::numeric_limits<std::uint32_t>::max()) return;
    payload += kFieldHeaderSize + fields[i].size();
    if (payload > std::numeric_limits<std::uint32_t>::max()) return;
  }
  if (count > std::numeric_limits<std::uint32_t>::max()) return;
  // All headers are written first so that the views below never see heads_ reallocate.
  heads_.resize(kFrameHeaderSize + kPayloadHeaderSize + kFieldHeaderSize * count);
  char* h = heads_.data();
  put_u32(h, static_cast<std::uint32_t>(payload));
  h[4] = static_cast<char>(code);
  put_u32(h + 5, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < count; ++i) {
    put_u32(h + kFrameHeaderSize + kPayloadHeaderSize + kFieldHeaderSize * i,
            static_cast<std::uint32_t>(fields[i].size()));
  }
  const std::string_view all(heads_);
  pieces_.reserve(1 + 2 * count);
  pieces_.push_back(all.substr(0, kFrameHeaderSize + kPayloadHeaderSize));
  for (std::size_t i = 0; i < count; ++i) {
    pieces_.push_back(
        all.substr(kFrameHeaderSize + kPayloadHeaderSize + kFieldHeaderSize * i, kFieldHeaderSize));
    if (!fields[i].empty()) pieces_.push_back(fields[i]);
  }
  size_ = kFrameHeaderSize + payload;
  ok_ = true;
}

std::string FrameBuilder::flatten() const {
  std::string out;
  out.reserve(size_);
  for (std::string_view p : pieces_) out.append(p);
  return out;
}

}  // namespace kiv::proto
