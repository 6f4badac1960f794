// Documents in chunks: the ranged reader and the streamed upload.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "client/connection.h"
#include "client/kiv_client.h"
#include "wire/net_io.h"

namespace kiv {
namespace {

using kiv::net::Io;
using kiv::net::IoResult;
using kiv::proto::FrameBuilder;
using kiv::proto::Message;
using kiv::proto::Op;

// Frame length, status and field count: the head of every answer.
constexpr std::size_t kAnswerHead = kiv::proto::kFrameHeaderSize + kiv::proto::kPayloadHeaderSize;
// A failed read is answered with a reason: a few bytes, never more than this.
constexpr std::uint32_t kMaxFailure = 64;
// Chunks asked for and not yet begun, at most.
constexpr std::size_t kAhead = 2;

std::string u32_field(std::uint32_t v) {
  std::string out(4, '\0');
  kiv::proto::put_u32(out.data(), v);
  return out;
}

}  // namespace

bool DescriptorUnchanged(int fd, const FileAttributes& attributes) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FileAttributes now;
  now.size = static_cast<std::uint64_t>(st.st_size);
  now.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  now.ctime_ns = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  now.inode = static_cast<std::uint64_t>(st.st_ino);
  now.device = static_cast<std::uint64_t>(st.st_dev);
  return kiv::proto::same_version(now, attributes);
}

DocumentReader::DocumentReader(WebDavUtil& client, std::string uri, const FileAttributes& expected,
                               std::uint64_t offset, std::uint64_t length)
    : impl_(*client.impl_),
      uri_(std::move(uri)),
      attributes_(kiv::proto::encode_attributes(expected)),
      delivered_(offset),
      asked_(offset),
      // A range past the largest offset is the service's to refuse; it is asked for as such.
      end_(length > UINT64_MAX - offset ? UINT64_MAX : offset + length) {}

DocumentReader::~DocumentReader() {
  // A connection with answers still on their way would hand them to its next user.
  if (lease_ && lease_->lease.fd.valid() && due_.empty() && chunk_left_ == 0) {
    impl_.release(&lease_->lease);
  }
}

kiv::Status DocumentReader::fail(Reason r) {
  lease_.reset();
  failed_ = kiv::Status(r);
  return failed_;
}

bool DocumentReader::send_request(std::uint64_t offset, std::uint32_t length) {
  const ClientImpl::Lease& lease = lease_->lease;
  const std::string at = kiv::proto::encode_u64(offset);
  const std::string count = u32_field(length);
  const FrameBuilder frame(static_cast<std::uint8_t>(Op::kRead), {uri_, attributes_, at, count});
  if (!frame.ok()) return false;
  if (auth_ != Auth::kToSend) {
    return kiv::net::write_pieces(lease.fd.get(), frame.pieces(), lease.settings.io_ms).status ==
           Io::kOk;
  }
  // In the same write: no round trip of their own.
  const FrameBuilder auth(static_cast<std::uint8_t>(Op::kAuthenticate),
                          {lease.settings.user, lease.settings.password});
  std::vector<std::string_view> both = auth.pieces();
  both.insert(both.end(), frame.pieces().begin(), frame.pieces().end());
  auth_ = Auth::kToRead;
  return kiv::net::write_pieces(lease.fd.get(), both, lease.settings.io_ms).status == Io::kOk;
}

bool DocumentReader::ask_ahead() {
  while (due_.size() < kAhead && asked_ < end_) {
    const auto length = static_cast<std::uint32_t>(std::min<std::uint64_t>(kChunk, end_ - asked_));
    if (!send_request(asked_, length)) return false;
    due_.push_back(length);
    asked_ += length;
  }
  return true;
}

bool DocumentReader::reopen() {
  ClientImpl::Lease& lease = lease_->lease;
  lease.fd.reset();
  due_.clear();
  asked_ = delivered_;
  answered_ = false;
  if (!ClientImpl::open(&lease)) return false;
  auth_ = ClientImpl::must_authenticate(lease) ? Auth::kToSend : Auth::kNone;
  return true;
}

kiv::Status DocumentReader::read_head(char* head) {
  if (!lease_) {
    lease_ = std::make_unique<HeldConnection>();
    if (!impl_.acquire(&lease_->lease)) return fail(Reason::kUnavailable);
    auth_ = ClientImpl::must_authenticate(lease_->lease) ? Auth::kToSend : Auth::kNone;
  }
  ClientImpl::Lease& lease = lease_->lease;
  // The connection broke off inside an answer: the rest is asked for on a fresh one.
  if (!lease.fd.valid() && !reopen()) return fail(Reason::kUnavailable);
  for (int attempt = 0;; ++attempt) {
    // A request that could not be sent may still have an answer waiting (the service closed
    // after it); nothing else is waited for then.
    const bool sent = ask_ahead();
    if (auth_ == Auth::kToRead) {
      const Reason r =
          kiv::client::read_authentication(lease.fd.get(), sent ? lease.settings.io_ms : 0, sent);
      if (r != Reason::kNone) return fail(r);
      auth_ = Auth::kNone;
    }
    IoResult h =
        kiv::net::read_full(lease.fd.get(), head, kAnswerHead, sent ? lease.settings.io_ms : 0);
    if (h.status == Io::kOk) return kiv::Status();
    // A connection that the service closed since it last answered (it restarted, or the reader
    // sat idle beyond the service's bound while its caller was busy): once more, on a fresh one.
    // Reads change nothing and each names its version, so asking again is safe. Once an answer
    // came on it, the connection can only have been closed under it.
    const bool stale = (h.transferred == 0 &&
                        (kiv::client::is_stale_error(h) || (!sent && h.status == Io::kTimeout))) ||
                       (answered_ && h.status != Io::kTimeout);
    if (attempt > 0 || !stale || !(lease.reused || answered_)) return fail(Reason::kUnavailable);
    if (lease.reused && !answered_) {
      impl_.drop_idle();   // the rest of the pool is as stale
      ++lease.generation;  // the fresh connection belongs to the pool that follows the drop
    }
    if (!reopen()) return fail(Reason::kUnavailable);
  }
}

kiv::Status DocumentReader::next_answer() {
  char head[kAnswerHead + kiv::proto::kFieldHeaderSize];
  const kiv::Status got = read_head(head);
  if (!got.ok()) return got;
  ClientImpl::Lease& lease = lease_->lease;
  answered_ = true;
  std::uint32_t len = 0;
  if (kiv::proto::decode_frame_length(std::string_view(head, kiv::proto::kFrameHeaderSize),
                                      impl_.max_payload(), &len) != kiv::proto::Decode::kOk) {
    return fail(Reason::kBadAnswer);
  }
  const std::uint32_t want = due_.front();
  due_.pop_front();
  const auto status = static_cast<kiv::proto::Status>(head[kiv::proto::kFrameHeaderSize]);
  const std::uint32_t count = kiv::proto::get_u32(head + kiv::proto::kFrameHeaderSize + 1);
  if (status == kiv::proto::Status::kOk) {
    // One field of exactly the bytes asked for; they are read into the caller's buffer.
    if (count != 1 || len != kiv::proto::kPayloadHeaderSize + kiv::proto::kFieldHeaderSize +
                                 std::uint64_t{want}) {
      return fail(Reason::kBadAnswer);
    }
    if (kiv::net::read_full(lease.fd.get(), head + kAnswerHead, kiv::proto::kFieldHeaderSize,
                            lease.settings.io_ms)
            .status != Io::kOk) {
      return fail(Reason::kUnavailable);
    }
    if (kiv::proto::get_u32(head + kAnswerHead) != want) return fail(Reason::kBadAnswer);
    chunk_left_ = want;
    // The next chunk is on its way while this one is taken. A failure to ask shows at its read.
    ask_ahead();
    return kiv::Status();
  }
  // A failure: its reason, whole, and the connection goes (answers may still be due on it).
  if (len > kMaxFailure) return fail(Reason::kBadAnswer);
  std::string payload(head + kiv::proto::kFrameHeaderSize, kiv::proto::kPayloadHeaderSize);
  payload.resize(len);
  if (kiv::net::read_full(lease.fd.get(), payload.data() + kiv::proto::kPayloadHeaderSize,
                          len - kiv::proto::kPayloadHeaderSize, lease.settings.io_ms)
          .status != Io::kOk) {
    return fail(Reason::kUnavailable);
  }
  Message reply;
  bool keep = false;
  const Reason r = kiv::proto::decode_payload(payload, &reply) == kiv::proto::Decode::kOk
                       ? kiv::client::reason_of(reply, &keep)
                       : Reason::kBadAnswer;
  return fail(r == Reason::kNone ? Reason::kBadAnswer : r);
}

kiv::Status DocumentReader::Read(char* buf, std::size_t capacity, std::size_t* got) {
  *got = 0;
  if (!failed_.ok()) return failed_;
  if (delivered_ == end_ || capacity == 0) return kiv::Status();
  try {
    if (chunk_left_ == 0) {
      const kiv::Status s = next_answer();
      if (!s.ok()) return s;
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, chunk_left_));
    ClientImpl::Lease& lease = lease_->lease;
    const IoResult b = kiv::net::read_full(lease.fd.get(), buf, n, lease.settings.io_ms);
    if (b.status != Io::kOk) {
      // Closed part-way through a chunk (the service restarted, or timed the connection out
      // while the caller sat on the chunk before, with this one already on its way): the bytes
      // from here on are asked for again on a fresh connection, which gets one try.
      if (b.status == Io::kTimeout || resumed_) return fail(Reason::kUnavailable);
      lease.fd.reset();  // read_head opens a fresh one
      chunk_left_ = 0;
      resumed_ = true;
      return Read(buf, capacity, got);
    }
    resumed_ = false;
    chunk_left_ -= n;
    delivered_ += n;
    *got = n;
    if (delivered_ == end_) {
      impl_.release(&lease);
      lease_.reset();
    }
    return kiv::Status();
  } catch (...) {
    return fail(Reason::kIo);
  }
}

DocumentUpload::DocumentUpload(WebDavUtil& client) : impl_(*client.impl_) {}

DocumentUpload::~DocumentUpload() {
  try {
    Abort();
  } catch (...) {
  }
}

kiv::Status DocumentUpload::fail(Reason r) {
  lease_.reset();
  gather_.clear();
  state_ = State::kFailed;
  failed_ = kiv::Status(r);
  return failed_;
}

kiv::Status DocumentUpload::Begin(const std::string& uri, std::int64_t length) {
  Abort();
  written_ = 0;
  try {
    const std::string size =
        length >= 0 ? kiv::proto::encode_u64(static_cast<std::uint64_t>(length)) : std::string();
    const FrameBuilder frame(static_cast<std::uint8_t>(Op::kUploadBegin), {uri, size});
    lease_ = std::make_unique<HeldConnection>();
    std::string payload;
    Message reply;
    const Reason r = kiv::client::round_trip(impl_, &lease_->lease, frame, &payload, &reply);
    if (r != Reason::kNone) {
      if (lease_->lease.fd.valid()) impl_.release(&lease_->lease);
      return fail(r);
    }
    if (!reply.fields.empty()) return fail(Reason::kBadAnswer);
    state_ = State::kOpen;
    last_sent_ = std::chrono::steady_clock::now();
    return kiv::Status();
  } catch (...) {
    return fail(Reason::kIo);
  }
}

bool DocumentUpload::send_chunk(std::string_view data) {
  const FrameBuilder frame(static_cast<std::uint8_t>(Op::kUploadWrite), {data});
  last_sent_ = std::chrono::steady_clock::now();
  return kiv::net::write_pieces(lease_->lease.fd.get(), frame.pieces(),
                                lease_->lease.settings.io_ms)
             .status == Io::kOk;
}

bool DocumentUpload::flush() {
  if (gather_.empty()) return true;
  const bool sent = send_chunk(gather_);
  gather_.clear();
  return sent;
}

kiv::Status DocumentUpload::Write(const char* data, std::size_t size) {
  if (state_ != State::kOpen) return state_ == State::kFailed ? failed_ : kiv::Status(Reason::kIo);
  try {
    while (size > 0) {
      std::size_t take = 0;
      bool sent = true;
      if (gather_.empty() && size >= kGather) {
        // Large writes go out as they are, without a copy.
        take = std::min<std::size_t>(size, kiv::proto::kMaxChunk);
        sent = send_chunk(std::string_view(data, take));
      } else {
        take = std::min(size, kGather - gather_.size());
        if (gather_.capacity() < kGather) gather_.reserve(kGather);
        gather_.append(data, take);
        if (gather_.size() == kGather ||
            std::chrono::steady_clock::now() - last_sent_ >= kGatherAtMost) {
          sent = flush();
        }
      }
      if (!sent) {
        // The service may have said why before it closed (a frame beyond its cap).
        std::string payload;
        Message reply;
        bool keep = false;
        const Reason r = kiv::client::read_answer(lease_->lease.fd.get(), impl_.max_payload(), 0,
                                                  &payload, &reply, &keep);
        return fail(r == Reason::kNone || r == Reason::kBadAnswer ? Reason::kUnavailable : r);
      }
      data += take;
      size -= take;
      written_ += take;
    }
    return kiv::Status();
  } catch (...) {
    return fail(Reason::kIo);
  }
}

kiv::Status DocumentUpload::Commit(FileAttributes* stored) {
  return commit(Op::kUploadCommit, stored);
}

kiv::Status DocumentUpload::CommitNew(FileAttributes* stored) {
  return commit(Op::kUploadCommitNew, stored);
}

kiv::Status DocumentUpload::commit(Op op, FileAttributes* stored) {
  if (state_ != State::kOpen) return state_ == State::kFailed ? failed_ : kiv::Status(Reason::kIo);
  try {
    const std::string total = kiv::proto::encode_u64(written_);
    const FrameBuilder frame(static_cast<std::uint8_t>(op), {total});
    ClientImpl::Lease& lease = lease_->lease;
    const bool sent =
        flush() &&
        kiv::net::write_pieces(lease.fd.get(), frame.pieces(), lease.settings.io_ms).status ==
            Io::kOk;
    std::string payload;
    Message reply;
    bool keep = false;
    // A service that closed early may have left its reason; nothing else is waited for then.
    const Reason r =
        kiv::client::read_answer(lease.fd.get(), impl_.max_payload(),
                                 sent ? lease.settings.io_ms : 0, &payload, &reply, &keep);
    if (!sent && (r == Reason::kNone || r == Reason::kBadAnswer)) {
      return fail(Reason::kUnavailable);
    }
    if (r != Reason::kNone) {
      if (keep) impl_.release(&lease);
      return fail(r);
    }
    FileAttributes attributes;
    if (reply.fields.size() != 1 || !kiv::proto::decode_attributes(reply.fields[0], &attributes)) {
      return fail(Reason::kBadAnswer);
    }
    if (stored != nullptr) *stored = attributes;
    impl_.release(&lease);
    lease_.reset();
    state_ = State::kIdle;
    return kiv::Status();
  } catch (...) {
    return fail(Reason::kIo);
  }
}

void DocumentUpload::Abort() {
  gather_.clear();
  if (state_ != State::kOpen) {
    lease_.reset();
    state_ = State::kIdle;
    return;
  }
  state_ = State::kIdle;
  ClientImpl::Lease& lease = lease_->lease;
  const FrameBuilder frame(static_cast<std::uint8_t>(Op::kUploadAbort), {});
  std::string payload;
  Message reply;
  bool keep = false;
  // Told to the service so that the connection serves on; closing it would do as well.
  if (kiv::net::write_pieces(lease.fd.get(), frame.pieces(), lease.settings.io_ms).status ==
          Io::kOk &&
      kiv::client::read_answer(lease.fd.get(), impl_.max_payload(), lease.settings.io_ms, &payload,
                               &reply, &keep) == Reason::kNone &&
      keep && reply.fields.empty()) {
    impl_.release(&lease);
  }
  lease_.reset();
}

}  // namespace kiv
