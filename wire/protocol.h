// Frames of the repository service protocol: pure encoding and decoding, no I/O.
//
// A frame is a 4-byte big-endian payload length followed by the payload. A payload is one code
// byte (the operation in a request, the status in a response), a 4-byte big-endian field count,
// and that many fields, each a 4-byte big-endian length followed by that many bytes. Every
// decoder here is given the end of its input and refuses what does not fit; nothing is read
// beyond what a length that has already been checked allows. docs/protocol.md describes the
// operations and their fields.
//
// Thread-safety: the functions are pure; a FrameBuilder is used by one thread.
#ifndef KIV_WIRE_PROTOCOL_H_
#define KIV_WIRE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "wire/reason.h"

namespace kiv::proto {

inline constexpr std::size_t kFrameHeaderSize = 4;
// Code byte and field count.
inline constexpr std::size_t kPayloadHeaderSize = 5;
inline constexpr std::size_t kFieldHeaderSize = 4;
// Largest payload the client accepts in an answer by default: a listing of a large collection,
// or a document fetched whole by an older client.
inline constexpr std::uint32_t kDefaultMaxPayload = (512u << 20) + (64u << 10);
// Most document bytes that one frame carries: a kUploadWrite request or a kRead answer.
inline constexpr std::uint32_t kMaxChunk = 1u << 20;
// Largest request payload the service accepts by default: a chunk and room for the URI.
inline constexpr std::uint32_t kDefaultMaxRequest = kMaxChunk + (64u << 10);
// Documents up to this size travel inside the answer of a kStat that asks for the content.
inline constexpr std::uint32_t kMaxInline = 64u << 10;
// How long a reader of a document (a chunk read, or the web server sending it from its open
// descriptor) and a rewrite in place of it wait for each other's flock on the file before the
// one that waits answers busy.
inline constexpr int kDocumentBusyWaitMs = 2000;
// Answer of kPing, so that a client knows it reached this service and not something else.
inline constexpr std::string_view kPingAnswer = "kivd/1";

// Operation codes of requests.
enum class Op : std::uint8_t {
  kPing = 1,             // () -> (kPingAnswer)
  kGetDirectory = 2,     // (uri) -> (path, name, kind)
  kGetSubDirectory = 3,  // (uri) -> (base, name1, kind1, name2, kind2, ...)
  kAddDoc = 4,           // (uri, content) -> ()
  kGetDocContent = 5,    // (uri) -> (content)
  kAddCollection = 6,    // (uri) -> ()
  kMoveDoc = 7,          // (from, to) -> ()
  kMoveCollection = 8,   // (from, to) -> ()
  kDelDoc = 9,           // (uri) -> ()
  kDelCollection = 10,   // (uri) -> ()
  kAuthenticate = 11,    // (user, password) -> ()
  kCopyDoc = 12,         // (from, to) -> ()
  kCopyCollection = 13,  // (from, to, depth) -> (path1, reason1, path2, reason2, ...)
  // Lookup with the file's attributes; for a document whose delivery follows, its content
  // (small ones) or its open descriptor (Unix socket only).
  kStat = 20,          // (uri, want) -> (path, name, kind, attributes, delivery[, content])
  kRead = 21,          // (uri, attributes, offset, length) -> (bytes)
  kUploadBegin = 22,   // (uri, length or "") -> ()
  kUploadWrite = 23,   // (bytes) -> never answered
  kUploadCommit = 24,  // (total) -> (attributes)
  kUploadAbort = 25,   // () -> ()
  // As kUploadCommit, but only where nothing is: Exists otherwise, and nothing is replaced.
  kUploadCommitNew = 26,  // (total) -> (attributes)
};

// The depth field of kCopyCollection: the collection alone, or with everything below it.
inline constexpr std::string_view kDepthZero = "0";
inline constexpr std::string_view kDepthInfinity = "infinity";

// Fields a request of the operation carries; -1 for a code that names no operation.
constexpr int arity(Op op) {
  switch (op) {
    case Op::kPing:
      return 0;
    case Op::kGetDirectory:
    case Op::kGetSubDirectory:
    case Op::kGetDocContent:
    case Op::kAddCollection:
    case Op::kDelDoc:
    case Op::kDelCollection:
      return 1;
    case Op::kAddDoc:
    case Op::kMoveDoc:
    case Op::kMoveCollection:
    case Op::kAuthenticate:
    case Op::kCopyDoc:
      return 2;
    case Op::kCopyCollection:
      return 3;
    case Op::kStat:
    case Op::kUploadBegin:
      return 2;
    case Op::kRead:
      return 4;
    case Op::kUploadWrite:
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
      return 1;
    case Op::kUploadAbort:
      return 0;
  }
  return -1;
}

// Sizes of the fixed-size fields of requests.
inline constexpr std::size_t kWantSize = 1;
inline constexpr std::size_t kAttributesSize = 8 + 8 + 8 + 8 + 8 + 4;
inline constexpr std::size_t kOffsetSize = 8;
inline constexpr std::size_t kLengthSize = 4;
inline constexpr std::size_t kTotalSize = 8;

// True for the one operation that the service never answers.
constexpr bool is_one_way(Op op) {
  return op == Op::kUploadWrite;
}

// Bits of the want field of kStat.
inline constexpr std::uint8_t kWantContent = 1;     // a document up to kMaxInline, inline
inline constexpr std::uint8_t kWantDescriptor = 2;  // the open document (Unix sockets only)

// The delivery field of a kStat answer: what follows it.
inline constexpr char kDeliveryNone = 'N';
inline constexpr char kDeliveryContent = 'C';     // one more field: the whole document
inline constexpr char kDeliveryDescriptor = 'F';  // a descriptor came with the answer

// What the service tells about a file, in the attributes field (kAttributesSize bytes: size,
// mtime and ctime in nanoseconds since the epoch, inode, device, then mode).
struct Attributes {
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;
  std::uint64_t inode = 0;
  std::uint64_t device = 0;
  std::uint32_t mode = 0;  // type and permission bits, as st_mode
};

// The attributes field, kAttributesSize bytes.
std::string encode_attributes(const Attributes& a);
// False unless bytes is exactly kAttributesSize long.
bool decode_attributes(std::string_view bytes, Attributes* out);
// The file is the same version: same file, same size, same times. The mode is left out.
bool same_version(const Attributes& a, const Attributes& b);

// Big-endian 64-bit integers (the fixed-size fields above).
std::string encode_u64(std::uint64_t v);
std::uint64_t get_u64(const char* in);

// Status codes of responses.
enum class Status : std::uint8_t {
  kOk = 0,          // the operation succeeded; the fields carry its results
  kFalse = 1,       // the operation failed; one field, the reason (none from older services)
  kBadRequest = 2,  // the request itself was not understood; the service closes the connection.
                    // One field, kTooLarge, for a frame beyond the service's cap; none otherwise
};

// Kinds of entries in listings and lookups, one byte each.
inline constexpr char kKindCollection = 'C';
inline constexpr char kKindDocument = 'D';

enum class Decode {
  kOk,
  kTruncated,  // the input ends before what its lengths announce
  kOversized,  // a length beyond the caller's cap
  kMalformed,  // lengths that contradict each other, or bytes left over
};

const char* decode_name(Decode d);

// A decoded payload. The fields are views into the buffer that was decoded and live as long as
// it does.
struct Message {
  std::uint8_t code = 0;
  std::vector<std::string_view> fields;
};

// True for a request that names an operation, with the fields it takes, each fixed-size one of
// its size and, where a field is one of a few words (the depth of kCopyCollection), one of them.
// The service refuses anything else as a bad request.
bool request_fits(const Message& request);

// Big-endian 32-bit integers.
void put_u32(char* out, std::uint32_t v);
std::uint32_t get_u32(const char* in);

// Reads a frame's length prefix from the first kFrameHeaderSize bytes of header. kOversized
// when the announced payload exceeds max_payload, kMalformed when it is too short to hold a
// payload header. *payload_len is set in every case.
Decode decode_frame_length(std::string_view header, std::uint32_t max_payload,
                           std::uint32_t* payload_len);

// Parses a payload (the bytes after the length prefix), all of it and nothing more.
Decode decode_payload(std::string_view payload, Message* out);

// Parses one whole frame at the start of bytes; *consumed is the frame's size on kOk.
Decode decode_frame(std::string_view bytes, std::uint32_t max_payload, Message* out,
                    std::size_t* consumed);

// The one field of an answer that carries reason: its byte. Views into *reason, which must
// outlive the view.
inline std::string_view reason_field(const Reason& reason) {
  return std::string_view(reinterpret_cast<const char*>(&reason), 1);
}

// The reason that the fields of a kFalse or kBadRequest answer carry. kOk with *given false
// when there are no fields (as services before reasons answered), kOk with *given true and *out
// set for one field of one byte that holds a reason a service gives, kMalformed for anything
// else.
Decode decode_reason(const std::vector<std::string_view>& fields, Reason* out, bool* given);

// Lays a frame out as a list of pieces to be written in order: small headers kept inside the
// builder and the fields themselves, which are not copied. The fields must outlive the pieces,
// and the builder must not move while its pieces are in use.
class FrameBuilder {
 public:
  FrameBuilder(std::uint8_t code, std::initializer_list<std::string_view> fields);
  FrameBuilder(std::uint8_t code, const std::vector<std::string_view>& fields);
  FrameBuilder(const FrameBuilder&) = delete;
  FrameBuilder& operator=(const FrameBuilder&) = delete;

  // False when the payload would not fit a 32-bit length; the pieces are then empty.
  bool ok() const { return ok_; }
  const std::vector<std::string_view>& pieces() const { return pieces_; }
  // Size of the whole frame, prefix included.
  std::size_t size() const { return size_; }
  // The frame as one string (for small frames and tests).
  std::string flatten() const;

 private:
  void build(std::uint8_t code, const std::string_view* fields, std::size_t count);

  bool ok_ = false;
  std::size_t size_ = 0;
  std::string heads_;
  std::vector<std::string_view> pieces_;
};

}  // namespace kiv::proto

#endif  // KIV_WIRE_PROTOCOL_H_
