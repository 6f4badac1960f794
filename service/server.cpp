#include "service/server.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
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
using kiv::proto::Decode;
using kiv::proto::Message;
using kiv::proto::Op;
using kiv::proto::reason_field;
using kiv::proto::Status;

const std::string_view kCollectionKind(&kiv::proto::kKindCollection, 1);
const std::string_view kDocumentKind(&kiv::proto::kKindDocument, 1);

std::string_view kind_of(bool collection) {
  return collection ? kCollectionKind : kDocumentKind;
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
  for (addrinfo* ai = list; ai != nullptr && !listen_fd_.valid(); ai = ai->ai_next) {
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
    listen_fd_ = std::move(fd);
  }
  ::freeaddrinfo(list);
  return listen_fd_.valid();
}

bool Server::run(int stop_fd) {
  for (;;) {
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int n = ::poll(fds, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      log_line("poll: %s", std::strerror(errno));
      break;
    }
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) accept_one();
  }
  listen_fd_.reset();
  std::unique_lock<std::mutex> lock(mu_);
  // Wakes every connection thread, idle or not; each closes its own socket.
  for (int fd : active_) ::shutdown(fd, SHUT_RDWR);
  return idle_.wait_for(lock, std::chrono::milliseconds(options_.stop_grace_ms),
                        [this] { return active_.empty(); });
}

void Server::accept_one() {
  UniqueFd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd.valid()) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
      log_line("accept: %s", std::strerror(errno));
      // Out of descriptors and the like: do not spin on a listening socket that stays ready.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return;
  }
  kiv::net::set_nodelay(fd.get());
  std::unique_lock<std::mutex> lock(mu_);
  if (active_.size() >= static_cast<std::size_t>(options_.max_connections)) {
    lock.unlock();
    log_line("refused a connection: %d connections open", options_.max_connections);
    answer_busy(fd.get());
    return;
  }
  const int raw = fd.get();
  try {
    std::thread([this, raw] { serve(raw); }).detach();
  } catch (...) {
    log_line("refused a connection: cannot start a thread");
    return;
  }
  active_.insert(fd.release());
}

void Server::serve(int fd) {
  try {
    for (;;) {
      char header[kiv::proto::kFrameHeaderSize];
      // Between requests a connection may stay idle for as long as the client keeps it.
      const IoResult h = kiv::net::read_full(fd, header, sizeof header, -1);
      if (h.status != Io::kOk) {
        if (h.transferred != 0) log_line("connection: frame header cut short: %s", io_text(h));
        break;
      }
      std::uint32_t len = 0;
      const Decode d = kiv::proto::decode_frame_length(std::string_view(header, sizeof header),
                                                       options_.max_frame, &len);
      if (d != Decode::kOk) {
        log_line("connection: refused a frame of %u bytes (%s)", len, kiv::proto::decode_name(d));
        // A frame beyond the cap says so: the client can tell its caller that it asked too much.
        const Reason too_large = Reason::kTooLarge;
        respond(fd, Status::kBadRequest,
                d == Decode::kOversized ? std::vector<std::string_view>{reason_field(too_large)}
                                        : std::vector<std::string_view>{});
        break;
      }
      // Grows as the bytes arrive: a length that lies costs no memory for what never comes.
      std::string payload;
      const IoResult b = kiv::net::read_append(fd, &payload, len, options_.io_timeout_ms);
      if (b.status != Io::kOk) {
        log_line("connection: frame of %u bytes cut short: %s", len, io_text(b));
        break;
      }
      Message request;
      const Decode p = kiv::proto::decode_payload(payload, &request);
      if (p != Decode::kOk) {
        log_line("connection: refused a %s payload", kiv::proto::decode_name(p));
        respond(fd, Status::kBadRequest, {});
        break;
      }
      if (!handle(fd, request)) break;
    }
  } catch (const std::exception& e) {
    log_line("connection: %s", e.what());
  } catch (...) {
    log_line("connection: unknown failure");
  }
  std::lock_guard<std::mutex> lock(mu_);
  active_.erase(fd);
  ::close(fd);  // under the lock, so that run() never shuts down a reused descriptor
  if (active_.empty()) idle_.notify_all();
}

bool Server::handle(int fd, const Message& request) {
  const Op op = static_cast<Op>(request.code);
  const int want = kiv::proto::arity(op);
  if (want < 0 || request.fields.size() != static_cast<std::size_t>(want)) {
    log_line("connection: refused request code %u with %zu fields", request.code,
             request.fields.size());
    respond(fd, Status::kBadRequest, {});
    return false;
  }
  const auto& f = request.fields;
  // Success without results, or the failure with its reason.
  auto answer = [&](const Reason& r) {
    return r == Reason::kNone ? respond(fd, Status::kOk, {})
                              : respond(fd, Status::kFalse, {reason_field(r)});
  };
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
      std::string content;
      const Reason r = store_->get_doc(f[0], &content);
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
  }
  return false;
}

void Server::answer_busy(int fd) {
  // One small frame into the empty send buffer of a new connection: it never waits. The answer
  // stands for whatever request the client sends; the connection closes after it.
  const Reason busy = Reason::kBusy;
  respond(fd, Status::kFalse, {reason_field(busy)});
  ::shutdown(fd, SHUT_WR);
}

bool Server::respond(int fd, Status status, const std::vector<std::string_view>& fields) {
  const kiv::proto::FrameBuilder frame(static_cast<std::uint8_t>(status), fields);
  if (!frame.ok()) {
    log_line("connection: response too large for a frame");
    return false;
  }
  const IoResult w = kiv::net::write_pieces(fd, frame.pieces(), options_.io_timeout_ms);
  if (w.status != Io::kOk) {
    log_line("connection: cannot send a response: %s", io_text(w));
    return false;
  }
  return true;
}

}  // namespace kiv::service
