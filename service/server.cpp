#include "service/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "service/log.h"

namespace kiv::service {
namespace {

using kiv::net::Io;
using kiv::net::IoResult;
using kiv::net::UniqueFd;
using kiv::proto::Attributes;
using kiv::proto::Decode;
using kiv::proto::Message;
using kiv::proto::Op;
using kiv::proto::reason_field;
using kiv::proto::Status;

// The requests after which the tree may not be what it was (an upload's parts before its commit
// touch only its staged file).
bool changes_tree(Op op) {
  switch (op) {
    case Op::kAddDoc:
    case Op::kAddCollection:
    case Op::kMoveDoc:
    case Op::kMoveCollection:
    case Op::kDelDoc:
    case Op::kDelCollection:
    case Op::kCopyDoc:
    case Op::kCopyCollection:
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
      return true;
    default:
      return false;
  }
}

const std::string_view kCollectionKind(&kiv::proto::kKindCollection, 1);
const std::string_view kDocumentKind(&kiv::proto::kKindDocument, 1);

std::string_view kind_of(bool collection) {
  return collection ? kCollectionKind : kDocumentKind;
}

// Largest frame a connection may send before it has authenticated: room for a user name and a
// password, nothing that costs memory to refuse.
constexpr std::uint32_t kMaxAuthFrame = 64 << 10;

bool is_loopback(const sockaddr* a) {
  if (a->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(a);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (a->sa_family == AF_INET6) {
    const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&in6) || (IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127);
  }
  return false;
}

// Whom a connection comes from, for the per-peer cap and log lines: the uid at the other end of
// a Unix socket, the source address of a TCP connection.
std::string peer_of(int fd, bool local) {
  if (local) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return "uid ?";
    return "uid " + std::to_string(cred.uid);
  }
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  char host[NI_MAXHOST];
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0) {
    return "?";
  }
  return host;
}

// Equal in a time that depends on the length of expected alone, not on where given differs.
bool equal_in_constant_time(std::string_view given, std::string_view expected) {
  volatile unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    diff = diff | (g ^ static_cast<unsigned char>(expected[i]));
  }
  return diff == 0;
}

const char* io_text(const IoResult& r) {
  switch (r.status) {
    case Io::kOk:
      return "ok";
    case Io::kEof:
      return "connection closed";
    case Io::kTimeout:
      return "timed out";
    case Io::kError:
      return std::strerror(r.error);
  }
  return "?";
}

}  // namespace

Server::Server(Store* store, const ServerOptions& options) : store_(store), options_(options) {}

Server::~Server() {
  close_listeners();
}

int Server::max_per_peer() const {
  if (options_.max_per_peer > 0) return options_.max_per_peer;
  return std::max(1, options_.max_connections / 4 * 3);
}

bool Server::listen(const std::string& address, unsigned int port, std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int gai = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &list);
  if (gai != 0) {
    *why = std::string("cannot resolve ") + address + ": " + ::gai_strerror(gai);
    return false;
  }
  Listener l;
  for (addrinfo* ai = list; ai != nullptr && !l.fd.valid(); ai = ai->ai_next) {
    if (!is_loopback(ai->ai_addr) && options_.user.empty()) {
      // Anyone who reaches the address could read and change every document.
      why->assign("will not listen on ").append(address).append(" without --credentials: ");
      why->append("it is not a loopback address");
      continue;
    }
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!fd.valid()) continue;
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd.get(), 128) != 0) {
      why->assign("cannot listen on ").append(address).append(":").append(service);
      why->append(": ").append(std::strerror(errno));
      continue;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &len) == 0) {
      char host[NI_MAXHOST], serv[NI_MAXSERV];
      if (::getnameinfo(reinterpret_cast<sockaddr*>(&bound), len, host, sizeof host, serv,
                        sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        port_ = static_cast<unsigned int>(std::stoul(serv));
      }
    }
    l.fd = std::move(fd);
  }
  ::freeaddrinfo(list);
  if (!l.fd.valid()) return false;
  listeners_.push_back(std::move(l));
  return true;
}

// Makes room for a socket at path: a socket file that a gone service left is removed; anything
// else there, or a service that still answers, is left alone (false, with why).
static bool clear_stale_socket(const std::string& path, const sockaddr* sa, socklen_t size,
                               std::string* why) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      *why = path + " exists and is not a socket; it is left alone";
      return false;
    }
    // A socket file: a service that still listens there answers; one that is gone left it.
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (probe.valid() && ::connect(probe.get(), sa, size) == 0) {
      *why = "another service listens on " + path;
      return false;
    }
    if (errno != ECONNREFUSED) {
      *why = "cannot tell whether a service listens on " + path + ": " + std::strerror(errno);
      return false;
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      *why = "cannot remove the stale socket " + path + ": " + std::strerror(errno);
      return false;
    }
  } else if (errno != ENOENT) {
    *why = "cannot look at " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool Server::listen_unix(const std::string& path, gid_t group, std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *why = "socket path " + path + ": empty or longer than " +
           std::to_string(sizeof addr.sun_path - 1) + " bytes";
    return false;
  }
  path.copy(addr.sun_path, path.size());
  const auto* sa = reinterpret_cast<const sockaddr*>(&addr);
  if (!clear_stale_socket(path, sa, sizeof addr, why)) return false;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd.valid()) {
    *why = std::string("cannot make a Unix socket: ") + std::strerror(errno);
    return false;
  }
  // The file is born 0660: never, not for a moment, open to others.
  const mode_t old_mask = ::umask(0117);
  const int bound = ::bind(fd.get(), sa, sizeof addr);
  const int bind_error = errno;
  ::umask(old_mask);
  if (bound != 0) {
    *why = "cannot bind " + path + ": " + std::strerror(bind_error);
    return false;
  }
  const gid_t gid = group == static_cast<gid_t>(-1) ? ::getegid() : group;
  struct stat st {};
  if (::fchownat(AT_FDCWD, path.c_str(), static_cast<uid_t>(-1), gid, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::chmod(path.c_str(), 0660) != 0 || ::listen(fd.get(), 128) != 0 ||
      ::lstat(path.c_str(), &st) != 0) {
    *why = "cannot set up " + path + ": " + std::strerror(errno);
    ::unlink(path.c_str());
    return false;
  }
  Listener l;
  l.fd = std::move(fd);
  l.local = true;
  l.path = path;
  l.device = st.st_dev;
  l.inode = st.st_ino;
  listeners_.push_back(std::move(l));
  return true;
}

void Server::close_listeners() {
  for (Listener& l : listeners_) {
    l.fd.reset();
    struct stat st {};
    // Only the file this server made: a service started since may have replaced it with its own.
    if (l.local && ::lstat(l.path.c_str(), &st) == 0 && st.st_dev == l.device &&
        st.st_ino == l.inode) {
      ::unlink(l.path.c_str());
    }
  }
  listeners_.clear();
}

bool Server::run(int stop_fd) {
  std::vector<pollfd> fds;
  for (const Listener& l : listeners_) fds.push_back({l.fd.get(), POLLIN, 0});
  fds.push_back({stop_fd, POLLIN, 0});
  for (;;) {
    const int n = ::poll(fds.data(), fds.size(), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      log_line("poll: %s", std::strerror(errno));
      break;
    }
    if (fds.back().revents != 0) break;
    for (std::size_t i = 0; i < listeners_.size(); ++i) {
      if (fds[i].revents != 0) accept_one(listeners_[i]);
    }
  }
  close_listeners();
  std::unique_lock<std::mutex> lock(mu_);
  // Wakes every connection thread, idle or not; each closes its own socket.
  for (int fd : active_) ::shutdown(fd, SHUT_RDWR);
  return idle_.wait_for(lock, std::chrono::milliseconds(options_.stop_grace_ms),
                        [this] { return active_.empty(); });
}

void Server::accept_one(const Listener& listener) {
  UniqueFd fd(::accept4(listener.fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd.valid()) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      log_line("accept: %s", std::strerror(errno));
      // Out of descriptors and the like: do not spin on a listening socket that stays ready.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return;
  }
  if (!listener.local) kiv::net::set_nodelay(fd.get());
  const std::string peer = peer_of(fd.get(), listener.local);
  std::unique_lock<std::mutex> lock(mu_);
  if (active_.size() >= static_cast<std::size_t>(options_.max_connections)) {
    lock.unlock();
    log_line("refused a connection from %s: %d connections open", peer.c_str(),
             options_.max_connections);
    answer_busy(fd.get());
    return;
  }
  int& held = peers_[peer];
  if (held >= max_per_peer()) {
    lock.unlock();
    log_line("refused a connection from %s: it holds %d connections, as many as one peer may",
             peer.c_str(), max_per_peer());
    answer_busy(fd.get());
    return;
  }
  const int raw = fd.get();
  const bool local = listener.local;
  try {
    std::thread([this, raw, local, peer] { serve(raw, local, peer); }).detach();
  } catch (...) {
    if (held == 0) peers_.erase(peer);
    log_line("refused a connection: cannot start a thread");
    return;
  }
  ++held;
  active_.insert(fd.release());
}

bool Server::read_request(Connection& c, bool authenticated, Deadline auth_deadline,
                          const std::string& peer, Message* request) {
  const int fd = c.fd;
  char header[kiv::proto::kFrameHeaderSize];
  // Between requests a connection may stay idle up to the idle timeout; one that has not
  // authenticated yet has a short deadline for all of its first frame.
  const IoResult h = authenticated
                         ? kiv::net::read_full(fd, header, sizeof header, options_.idle_timeout_ms)
                         : kiv::net::read_full_by(fd, header, sizeof header, auth_deadline);
  if (h.status != Io::kOk) {
    if (!authenticated) {
      log_line("refused a connection from %s: no authentication (%s)", peer.c_str(), io_text(h));
    } else if (h.transferred != 0) {
      log_line("connection: frame header cut short: %s", io_text(h));
    }
    return false;
  }
  std::uint32_t len = 0;
  const Decode d =
      kiv::proto::decode_frame_length(std::string_view(header, sizeof header),
                                      authenticated ? options_.max_frame : kMaxAuthFrame, &len);
  if (d != Decode::kOk) {
    log_line("connection: refused a frame of %u bytes (%s)", len, kiv::proto::decode_name(d));
    // A frame beyond the cap says so: the client can tell its caller that it asked too much.
    const Reason too_large = Reason::kTooLarge;
    respond(fd, Status::kBadRequest,
            d == Decode::kOversized ? std::vector<std::string_view>{reason_field(too_large)}
                                    : std::vector<std::string_view>{});
    return false;
  }
  // Grows as the bytes arrive: a length that lies costs no memory for what never comes. The
  // room stays for the next request (at most a frame).
  std::string& payload = c.payload;
  payload.clear();
  IoResult b;
  if (authenticated) {
    b = kiv::net::read_append(fd, &payload, len, options_.io_timeout_ms);
  } else {
    payload.resize(len);
    b = kiv::net::read_full_by(fd, payload.data(), len, auth_deadline);
  }
  if (b.status != Io::kOk) {
    if (!authenticated) {
      log_line("refused a connection from %s: no authentication (%s)", peer.c_str(), io_text(b));
    } else {
      log_line("connection: frame of %u bytes cut short: %s", len, io_text(b));
    }
    return false;
  }
  const Decode p = kiv::proto::decode_payload(payload, request);
  if (p != Decode::kOk) {
    log_line("connection: refused a %s payload", kiv::proto::decode_name(p));
    respond(fd, Status::kBadRequest, {});
    return false;
  }
  return true;
}

void Server::serve(int fd, bool local, const std::string& peer) {
  const bool must_authenticate = !local && !options_.user.empty();
  bool authenticated = !must_authenticate;
  const Deadline auth_deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.auth_timeout_ms);
  try {
    Connection c;
    c.fd = fd;
    c.local = local;
    for (;;) {
      Message request;
      if (!read_request(c, authenticated, auth_deadline, peer, &request)) break;
      if (!authenticated && request.code != static_cast<std::uint8_t>(Op::kAuthenticate)) {
        // No answer: any answer would be taken for the request's own.
        log_line("refused a connection from %s: it did not authenticate first", peer.c_str());
        break;
      }
      if (!handle(c, request, must_authenticate, peer)) break;
      authenticated = true;
    }
  } catch (const std::exception& e) {
    log_line("connection: %s", e.what());
  } catch (...) {
    log_line("connection: unknown failure");
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (--peers_[peer] <= 0) peers_.erase(peer);
  active_.erase(fd);
  ::close(fd);  // under the lock, so that run() never shuts down a reused descriptor
  if (active_.empty()) idle_.notify_all();
}

bool Server::credentials_match(std::string_view user, std::string_view password) const {
  // Both compared, whatever the first gives: the time taken tells nothing about either.
  const bool user_ok = equal_in_constant_time(user, options_.user);
  const bool password_ok = equal_in_constant_time(password, options_.password);
  return user_ok && password_ok;
}

bool Server::answer(int fd, Reason r) {
  return r == Reason::kNone ? respond(fd, Status::kOk, {})
                            : respond(fd, Status::kFalse, {reason_field(r)});
}

bool Server::handle(Connection& c, const Message& request, bool must_authenticate,
                    const std::string& peer) {
  const int fd = c.fd;
  const Op op = static_cast<Op>(request.code);
  if (!kiv::proto::request_fits(request)) {
    log_line("connection: refused request code %u with %zu fields", request.code,
             request.fields.size());
    respond(fd, Status::kBadRequest, {});
    return false;
  }
  const auto& f = request.fields;
  auto answer = [&](Reason r) { return this->answer(fd, r); };
  const ChangeScope change(changes_tree(op) ? board_ : nullptr);
  switch (op) {
    case Op::kPing:
      return respond(fd, Status::kOk, {kiv::proto::kPingAnswer});
    case Op::kGetDirectory: {
      Entry e;
      const Reason r = store_->get_directory(f[0], &e);
      if (r != Reason::kNone) return answer(r);
      return respond(fd, Status::kOk, {e.path, e.name, kind_of(e.collection)});
    }
    case Op::kGetSubDirectory: {
      std::string base;
      std::vector<Member> members;
      const Reason r = store_->list(f[0], &base, &members);
      if (r != Reason::kNone) return answer(r);
      std::vector<std::string_view> fields;
      fields.reserve(1 + 2 * members.size());
      fields.push_back(base);
      for (const Member& m : members) {
        fields.push_back(m.name);
        fields.push_back(kind_of(m.collection));
      }
      return respond(fd, Status::kOk, fields);
    }
    case Op::kAddDoc:
      return answer(store_->add_doc(f[0], f[1]));
    case Op::kGetDocContent: {
      // Sent whole in one answer: bounded as a request is.
      std::string content;
      const Reason r = store_->get_doc(f[0], &content, options_.max_frame);
      if (r != Reason::kNone) return answer(r);
      return respond(fd, Status::kOk, {content});
    }
    case Op::kAddCollection:
      return answer(store_->add_collection(f[0]));
    case Op::kMoveDoc:
      return answer(store_->move(f[0], f[1], false));
    case Op::kMoveCollection:
      return answer(store_->move(f[0], f[1], true));
    case Op::kDelDoc:
      return answer(store_->del_doc(f[0]));
    case Op::kDelCollection:
      return answer(store_->del_any(f[0]));
    case Op::kAuthenticate:
      if (must_authenticate && !credentials_match(f[0], f[1])) {
        log_line("refused a connection from %s: wrong user or password", peer.c_str());
        answer(Reason::kForbidden);
        return false;
      }
      return respond(fd, Status::kOk, {});
    case Op::kCopyDoc:
      return answer(store_->copy_doc(f[0], f[1]));
    case Op::kCopyCollection: {
      std::vector<CopyFailure> failures;
      const Reason r =
          store_->copy_collection(f[0], f[1], f[2] == kiv::proto::kDepthInfinity, &failures);
      if (r != Reason::kNone) return answer(r);
      std::vector<std::string_view> fields;
      fields.reserve(2 * failures.size());
      for (const CopyFailure& failure : failures) {
        fields.push_back(failure.path);
        fields.push_back(reason_field(failure.reason));
      }
      return respond(fd, Status::kOk, fields);
    }
    case Op::kStat:
      return stat(c, f);
    case Op::kRead:
      return read(c, f);
    case Op::kUploadBegin:
    case Op::kUploadWrite:
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
    case Op::kUploadAbort:
      return upload(c, op, f);
  }
  return false;
}

bool Server::stat(Connection& c, const std::vector<std::string_view>& f) {
  const auto want = static_cast<std::uint8_t>(f[1][0]);
  Found found;
  const Reason r = store_->stat(f[0], (want & kiv::proto::kWantContent) != 0,
                                (want & kiv::proto::kWantDescriptor) != 0 && c.local, &found);
  if (r != Reason::kNone) return answer(c.fd, r);
  const std::string attributes = kiv::proto::encode_attributes(found.attributes);
  static constexpr char kNone = kiv::proto::kDeliveryNone;
  static constexpr char kContent = kiv::proto::kDeliveryContent;
  static constexpr char kDescriptor = kiv::proto::kDeliveryDescriptor;
  const Entry& e = found.entry;
  if (found.has_content) {
    return respond(c.fd, Status::kOk,
                   {e.path, e.name, kind_of(e.collection), attributes,
                    std::string_view(&kContent, 1), found.content});
  }
  const bool passed = found.descriptor.valid();
  return respond(c.fd, Status::kOk,
                 {e.path, e.name, kind_of(e.collection), attributes,
                  std::string_view(passed ? &kDescriptor : &kNone, 1)},
                 passed ? found.descriptor.get() : -1);
}

bool Server::read(Connection& c, const std::vector<std::string_view>& f) {
  Attributes expected;
  kiv::proto::decode_attributes(f[1], &expected);
  const std::uint64_t offset = kiv::proto::get_u64(f[2].data());
  const std::uint32_t length = kiv::proto::get_u32(f[3].data());
  const Reason r = store_->read(f[0], expected, offset, length, &c.chunk);
  if (r != Reason::kNone) return answer(c.fd, r);
  return respond(c.fd, Status::kOk, {c.chunk});
}

bool Server::upload(Connection& c, Op op, const std::vector<std::string_view>& f) {
  switch (op) {
    case Op::kUploadBegin: {
      c.upload.reset();  // a connection holds one upload: an unfinished one ends here
      const std::uint64_t length = f[1].empty() ? 0 : kiv::proto::get_u64(f[1].data());
      return answer(c.fd, store_->begin_upload(f[0], f[1].empty() ? nullptr : &length, &c.upload));
    }
    case Op::kUploadWrite:
      // Never answered: a failure is kept in the upload and told at its commit. Without an
      // upload (none begun, or its begin refused) the bytes are dropped.
      if (c.upload) store_->write_upload(*c.upload, f[0]);
      return true;
    case Op::kUploadCommit:
    case Op::kUploadCommitNew: {
      if (!c.upload) {
        log_line("UploadCommit: refused: no upload begun on this connection");
        return answer(c.fd, Reason::kIo);
      }
      const std::unique_ptr<Upload> up = std::move(c.upload);
      Attributes stored;
      const Reason r = store_->commit_upload(*up, kiv::proto::get_u64(f[0].data()), &stored,
                                             op == Op::kUploadCommitNew);
      if (r != Reason::kNone) return answer(c.fd, r);
      return respond(c.fd, Status::kOk, {kiv::proto::encode_attributes(stored)});
    }
    default:
      c.upload.reset();
      return answer(c.fd, Reason::kNone);
  }
}

void Server::answer_busy(int fd) {
  // One small frame into the empty send buffer of a new connection: it never waits. The answer
  // stands for whatever request the client sends; the connection closes after it.
  const Reason busy = Reason::kBusy;
  respond(fd, Status::kFalse, {reason_field(busy)});
  ::shutdown(fd, SHUT_WR);
}

bool Server::respond(int fd, Status status, const std::vector<std::string_view>& fields, int pass) {
  ChangeScope::end_current();
  const kiv::proto::FrameBuilder frame(static_cast<std::uint8_t>(status), fields);
  if (!frame.ok()) {
    log_line("connection: response too large for a frame");
    return false;
  }
  const IoResult w = kiv::net::write_pieces(fd, frame.pieces(), options_.io_timeout_ms, pass);
  if (w.status != Io::kOk) {
    log_line("connection: cannot send a response: %s", io_text(w));
    return false;
  }
  return true;
}

}  // namespace kiv::service
