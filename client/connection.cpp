#include "client/connection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "wire/net_io.h"

namespace {

using kiv::Reason;
using kiv::net::Io;
using kiv::net::IoResult;
using kiv::proto::Decode;
using kiv::proto::FrameBuilder;
using kiv::proto::Message;
using kiv::proto::Op;
using kiv::proto::Status;

// Idle connections kept per process; more are closed when they come back.
constexpr std::size_t kMaxIdle = 64;

// The outcome of one request/response exchange on one connection.
enum class Exchange {
  kOk,
  kStale,      // the connection was found closed before any byte of the response arrived
  kLost,       // a wait ran out, or the connection broke during the answer
  kBadLength,  // the answer's length prefix was refused
  kRefused,    // the service did not accept the authentication
};

// Largest answer to an authentication: a status and a reason.
constexpr std::uint32_t kMaxAuthAnswer = 64;

using kiv::client::is_stale_error;

// Reads the answer to an authentication sent ahead of a request: kOk when it was accepted;
// kRefused with *refused set when it was not (kBusy from a busy service, kUnavailable for a
// refusal, which the caller cannot mend); kStale, kLost or kBadLength as for any answer.
Exchange read_auth_answer(int fd, int read_ms, bool wrote, Reason* refused) {
  char header[kiv::proto::kFrameHeaderSize];
  const IoResult h = kiv::net::read_full(fd, header, sizeof header, read_ms);
  if (h.status != Io::kOk) {
    return h.transferred == 0 && is_stale_error(h) && wrote ? Exchange::kStale : Exchange::kLost;
  }
  std::uint32_t len = 0;
  if (kiv::proto::decode_frame_length(std::string_view(header, sizeof header), kMaxAuthAnswer,
                                      &len) != Decode::kOk) {
    return Exchange::kBadLength;
  }
  char body[kMaxAuthAnswer];
  Message m;
  if (kiv::net::read_full(fd, body, len, read_ms).status != Io::kOk) return Exchange::kLost;
  if (kiv::proto::decode_payload(std::string_view(body, len), &m) != Decode::kOk) {
    return Exchange::kBadLength;
  }
  if (m.code == static_cast<std::uint8_t>(Status::kOk) && m.fields.empty()) return Exchange::kOk;
  Reason r = Reason::kNone;
  bool given = false;
  *refused = m.code == static_cast<std::uint8_t>(Status::kFalse) &&
                     kiv::proto::decode_reason(m.fields, &r, &given) == Decode::kOk && given &&
                     r == Reason::kBusy
                 ? Reason::kBusy
                 : Reason::kUnavailable;
  return Exchange::kRefused;
}

// Sends one request and reads its response payload into *payload. With auth given, that frame
// goes first, in the same write, and its answer is read first (see read_auth_answer). With fds
// given, the descriptors that come with the answer's first bytes are collected.
Exchange exchange(int fd, const FrameBuilder& frame, std::uint32_t max_payload, int io_ms,
                  std::string* payload, std::vector<kiv::UniqueFd>* fds = nullptr,
                  const FrameBuilder* auth = nullptr, Reason* refused = nullptr) {
  IoResult w;
  if (auth != nullptr) {
    std::vector<std::string_view> both = auth->pieces();
    both.insert(both.end(), frame.pieces().begin(), frame.pieces().end());
    w = kiv::net::write_pieces(fd, both, io_ms);
  } else {
    w = kiv::net::write_pieces(fd, frame.pieces(), io_ms);
  }
  // A service that refused the connection (busy) answered before it closed: that answer may
  // wait to be read although the request could not be written whole. Nothing else is waited for.
  const int read_ms = w.status == Io::kOk ? io_ms : 0;
  if (auth != nullptr) {
    const Exchange a = read_auth_answer(fd, read_ms, w.status == Io::kOk, refused);
    if (a != Exchange::kOk) return a;
  }
  char header[kiv::proto::kFrameHeaderSize];
  bool truncated = false;
  const IoResult h =
      fds != nullptr ? kiv::net::read_full_fds(fd, header, sizeof header, read_ms, fds, &truncated)
                     : kiv::net::read_full(fd, header, sizeof header, read_ms);
  if (h.status != Io::kOk) {
    if (w.status != Io::kOk) return is_stale_error(w) ? Exchange::kStale : Exchange::kLost;
    return h.transferred == 0 && is_stale_error(h) ? Exchange::kStale : Exchange::kLost;
  }
  std::uint32_t len = 0;
  if (truncated || kiv::proto::decode_frame_length(std::string_view(header, sizeof header),
                                                   max_payload, &len) != Decode::kOk) {
    return Exchange::kBadLength;
  }
  // A descriptor travels with the first bytes of its answer, read above; the rest grows as it
  // arrives.
  payload->clear();
  const IoResult b = kiv::net::read_append(fd, payload, len, read_ms);
  return b.status == Io::kOk ? Exchange::kOk : Exchange::kLost;
}

}  // namespace

ClientImpl::ClientImpl() : pid_(::getpid()) {}

ClientImpl::~ClientImpl() {
  drop_idle_locked();
}

void ClientImpl::configure(const std::string& address, unsigned int port) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_.address = address;
  settings_.port = port;
  drop_idle_locked();
}

void ClientImpl::set_credentials(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_.user = user;
  settings_.password = password;
  drop_idle_locked();
}

void ClientImpl::set_timeouts(int connect_ms, int io_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  settings_.connect_ms = connect_ms > 0 ? connect_ms : kDefaultConnectMs;
  settings_.io_ms = io_ms > 0 ? io_ms : kDefaultIoMs;
}

ClientImpl::Settings ClientImpl::settings() {
  std::lock_guard<std::mutex> lock(mu_);
  return settings_;
}

bool ClientImpl::acquire(Lease* lease) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    forget_other_process_locked();
    lease->generation = generation_;
    lease->settings = settings_;
    if (!idle_.empty()) {
      lease->fd = std::move(idle_.back());
      idle_.pop_back();
      lease->reused = true;
      return true;
    }
  }
  return open(lease);
}

bool ClientImpl::open(Lease* lease) {
  lease->reused = false;
  if (lease->settings.address.empty()) return false;
  std::string why;
  lease->fd.reset(kiv::net::connect_service(lease->settings.address, lease->settings.port,
                                            lease->settings.connect_ms, &why));
  return lease->fd.valid();
}

bool ClientImpl::must_authenticate(const Lease& lease) {
  // Over a Unix socket the socket file's permissions decide; nothing is sent.
  return !lease.reused && !lease.settings.user.empty() &&
         !kiv::net::is_unix_address(lease.settings.address);
}

void ClientImpl::release(Lease* lease) {
  std::lock_guard<std::mutex> lock(mu_);
  if (lease->generation == generation_ && pid_ == ::getpid() && idle_.size() < kMaxIdle) {
    idle_.push_back(std::move(lease->fd));
  }
  lease->fd.reset();
}

void ClientImpl::drop_idle() {
  std::lock_guard<std::mutex> lock(mu_);
  drop_idle_locked();
}

void ClientImpl::drop_idle_locked() {
  idle_.clear();
  ++generation_;
}

// Closing a child's copies is harmless to the parent, whose sockets stay open.
void ClientImpl::forget_other_process_locked() {
  const pid_t now = ::getpid();
  if (now != pid_) {
    pid_ = now;
    drop_idle_locked();
  }
}

namespace kiv::client {

bool is_stale_error(const IoResult& r) {
  return r.status == Io::kEof ||
         (r.status == Io::kError && (r.error == ECONNRESET || r.error == EPIPE));
}

Reason reason_of(const Message& reply, bool* keep) {
  *keep = false;
  Reason r = Reason::kNone;
  bool given = false;
  switch (static_cast<Status>(reply.code)) {
    case Status::kOk:
      *keep = true;
      return Reason::kNone;
    case Status::kFalse:
      if (kiv::proto::decode_reason(reply.fields, &r, &given) != Decode::kOk) {
        return Reason::kBadAnswer;
      }
      // A busy service closes the connection after its answer.
      *keep = r != Reason::kBusy;
      return given ? r : Reason::kIo;
    case Status::kBadRequest:
      // The only request a well-behaved client has refused is one beyond the service's cap.
      if (kiv::proto::decode_reason(reply.fields, &r, &given) == Decode::kOk &&
          r == Reason::kTooLarge) {
        return Reason::kTooLarge;
      }
      return Reason::kBadAnswer;
  }
  return Reason::kBadAnswer;
}

Reason round_trip(ClientImpl& impl, ClientImpl::Lease* lease, const FrameBuilder& frame,
                  std::string* payload, Message* reply, std::vector<kiv::UniqueFd>* fds) {
  if (!frame.ok()) return Reason::kTooLarge;
  if (!lease->fd.valid() && !impl.acquire(lease)) return Reason::kUnavailable;
  const FrameBuilder auth(static_cast<std::uint8_t>(Op::kAuthenticate),
                          {lease->settings.user, lease->settings.password});
  Reason refused = Reason::kNone;
  auto once = [&] {
    return exchange(lease->fd.get(), frame, impl.max_payload(), lease->settings.io_ms, payload, fds,
                    ClientImpl::must_authenticate(*lease) ? &auth : nullptr, &refused);
  };
  Exchange x = once();
  if (x == Exchange::kStale && lease->reused) {
    impl.drop_idle();
    lease->fd.reset();
    if (fds != nullptr) fds->clear();
    if (!ClientImpl::open(lease)) return Reason::kUnavailable;
    ++lease->generation;  // the fresh connection belongs to the pool that follows the drop
    x = once();
  }
  // Anything but a whole answer closes the connection with the lease.
  if (x != Exchange::kOk || kiv::proto::decode_payload(*payload, reply) != Decode::kOk ||
      (fds != nullptr && fds->size() > 1)) {
    lease->fd.reset();
    if (x == Exchange::kRefused) return refused;
    return x == Exchange::kLost || x == Exchange::kStale ? Reason::kUnavailable
                                                         : Reason::kBadAnswer;
  }
  bool keep = false;
  const Reason r = reason_of(*reply, &keep);
  if (!keep) lease->fd.reset();
  return r;
}

Reason call(ClientImpl& impl, Op op, std::initializer_list<std::string_view> fields,
            std::string* payload, Message* reply) {
  const FrameBuilder frame(static_cast<std::uint8_t>(op), fields);
  ClientImpl::Lease lease;
  const Reason r = round_trip(impl, &lease, frame, payload, reply);
  if (lease.fd.valid()) impl.release(&lease);
  return r;
}

Reason read_answer(int fd, std::uint32_t max_payload, int read_ms, std::string* payload,
                   Message* reply, bool* keep) {
  *keep = false;
  char header[kiv::proto::kFrameHeaderSize];
  std::uint32_t len = 0;
  if (kiv::net::read_full(fd, header, sizeof header, read_ms).status != Io::kOk) {
    return Reason::kUnavailable;
  }
  if (kiv::proto::decode_frame_length(std::string_view(header, sizeof header), max_payload, &len) !=
      Decode::kOk) {
    return Reason::kBadAnswer;
  }
  payload->clear();
  if (kiv::net::read_append(fd, payload, len, read_ms).status != Io::kOk) {
    return Reason::kUnavailable;
  }
  if (kiv::proto::decode_payload(*payload, reply) != Decode::kOk) return Reason::kBadAnswer;
  return reason_of(*reply, keep);
}

Reason read_authentication(int fd, int read_ms, bool wrote) {
  Reason refused = Reason::kNone;
  switch (read_auth_answer(fd, read_ms, wrote, &refused)) {
    case Exchange::kOk:
      return Reason::kNone;
    case Exchange::kRefused:
      return refused;
    case Exchange::kBadLength:
      return Reason::kBadAnswer;
    default:
      return Reason::kUnavailable;
  }
}

bool probe(ClientImpl& impl) {
  ClientImpl::Lease lease;
  lease.settings = impl.settings();
  if (!ClientImpl::open(&lease)) return false;
  const FrameBuilder frame(static_cast<std::uint8_t>(Op::kPing), {});
  const FrameBuilder auth(static_cast<std::uint8_t>(Op::kAuthenticate),
                          {lease.settings.user, lease.settings.password});
  std::string payload;
  Message reply;
  Reason refused = Reason::kNone;
  return exchange(lease.fd.get(), frame, impl.max_payload(), lease.settings.io_ms, &payload,
                  nullptr, ClientImpl::must_authenticate(lease) ? &auth : nullptr,
                  &refused) == Exchange::kOk &&
         kiv::proto::decode_payload(payload, &reply) == Decode::kOk &&
         reply.code == static_cast<std::uint8_t>(Status::kOk) && reply.fields.size() == 1 &&
         reply.fields[0] == kiv::proto::kPingAnswer;
}

}  // namespace kiv::client
