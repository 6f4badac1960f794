#include "wire/net_io.h"

#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kiv::net {
namespace {

// Waits until fd is ready for events; kOk, kTimeout or kError.
IoResult wait_for(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeout_ms < 0 ? -1 : timeout_ms);
    if (n > 0) return {};
    if (n == 0) return {Io::kTimeout, ETIMEDOUT, 0};
    if (errno != EINTR) return {Io::kError, errno, 0};
  }
}

// After a receive that answered got: true to receive again (after waiting up to wait_ms where the
// socket had nothing yet), false with *r's status set when the read ends here.
bool after_receive(int fd, ssize_t got, int wait_ms, IoResult* r) {
  if (got > 0) {
    r->transferred += static_cast<std::size_t>(got);
    return true;
  }
  if (got == 0) {
    r->status = Io::kEof;
    return false;
  }
  if (errno == EINTR) return true;
  if (errno != EAGAIN && errno != EWOULDBLOCK) {
    r->status = Io::kError;
    r->error = errno;
    return false;
  }
  const IoResult w = wait_for(fd, POLLIN, wait_ms);
  if (w.status == Io::kOk) return true;
  r->status = w.status;
  r->error = w.error;
  return false;
}

// Reads exactly n bytes; each wait is bounded by timeout_ms, or, with deadline, all of them
// together by it.
IoResult read_impl(int fd, char* buf, std::size_t n, int timeout_ms,
                   const std::chrono::steady_clock::time_point* deadline) {
  IoResult r;
  while (r.transferred < n) {
    const ssize_t got = ::recv(fd, buf + r.transferred, n - r.transferred, 0);
    int wait_ms = timeout_ms;
    if (got < 0 && deadline != nullptr) {
      const int saved = errno;  // the receive's, for after_receive
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *deadline - std::chrono::steady_clock::now());
      wait_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
      errno = saved;
    }
    if (!after_receive(fd, got, wait_ms, &r)) return r;
  }
  return r;
}

}  // namespace

IoResult read_full(int fd, char* buf, std::size_t n, int timeout_ms) {
  return read_impl(fd, buf, n, timeout_ms, nullptr);
}

IoResult read_full_by(int fd, char* buf, std::size_t n,
                      std::chrono::steady_clock::time_point deadline) {
  return read_impl(fd, buf, n, 0, &deadline);
}

IoResult read_full_fds(int fd, char* buf, std::size_t n, int timeout_ms, std::vector<UniqueFd>* fds,
                       bool* truncated) {
  IoResult r;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassed)];
  while (r.transferred < n) {
    iovec iov{buf + r.transferred, n - r.transferred};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (got >= 0) {
      if ((msg.msg_flags & MSG_CTRUNC) != 0) *truncated = true;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int passed = -1;
          std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
          fds->emplace_back(passed);
        }
      }
    }
    if (!after_receive(fd, got, timeout_ms, &r)) return r;
  }
  return r;
}

IoResult read_append(int fd, std::string* out, std::size_t n, int timeout_ms) {
  // Untouched reserved pages cost address space only; each chunk is touched when it is read.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  const std::size_t start = out->size();
  out->reserve(start + n);
  IoResult r;
  while (r.transferred < n) {
    const std::size_t step = std::min(kChunk, n - r.transferred);
    out->resize(start + r.transferred + step);
    const IoResult got = read_full(fd, out->data() + start + r.transferred, step, timeout_ms);
    r.transferred += got.transferred;
    if (got.status != Io::kOk) {
      out->resize(start + r.transferred);
      r.status = got.status;
      r.error = got.error;
      return r;
    }
  }
  return r;
}

IoResult write_pieces(int fd, const std::vector<std::string_view>& pieces, int timeout_ms,
                      int pass) {
  IoResult r;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  std::size_t index = 0;   // first piece not yet fully written
  std::size_t offset = 0;  // bytes of that piece already written
  iovec iov[64];
  while (index < pieces.size()) {
    int count = 0;
    for (std::size_t i = index; i < pieces.size() && count < 64; ++i) {
      const std::string_view p = pieces[i];
      const std::size_t skip = i == index ? offset : 0;
      iov[count].iov_base = const_cast<char*>(p.data() + skip);
      iov[count].iov_len = p.size() - skip;
      ++count;
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<std::size_t>(count);
    // The descriptor goes with the first bytes that leave; a send that fails carries nothing.
    if (pass >= 0 && r.transferred == 0) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &pass, sizeof pass);
    }
    const ssize_t put = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        r.status = Io::kError;
        r.error = errno;
        return r;
      }
      IoResult w = wait_for(fd, POLLOUT, timeout_ms);
      if (w.status != Io::kOk) {
        w.transferred = r.transferred;
        return w;
      }
      continue;
    }
    r.transferred += static_cast<std::size_t>(put);
    std::size_t left = static_cast<std::size_t>(put);
    while (index < pieces.size() && left > 0) {
      const std::size_t rest = pieces[index].size() - offset;
      if (left >= rest) {
        left -= rest;
        ++index;
        offset = 0;
      } else {
        offset += left;
        left = 0;
      }
    }
    // Skip empty pieces so that the loop ends.
    while (index < pieces.size() && pieces[index].size() == offset) {
      ++index;
      offset = 0;
    }
  }
  return r;
}

bool set_nonblocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool set_nodelay(int fd) {
  const int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

int connect_tcp(const std::string& address, unsigned int port, int timeout_ms, std::string* why) {
  if (port == 0 || port > 65535) {
    *why = "bad port";
    return -1;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  const int gai = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &list);
  if (gai != 0) {
    *why = std::string("cannot resolve: ") + ::gai_strerror(gai);
    return -1;
  }
  int result = -1;
  for (addrinfo* ai = list; ai != nullptr && result < 0; ai = ai->ai_next) {
    UniqueFd fd(
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol));
    if (!fd.valid()) {
      *why = std::strerror(errno);
      continue;
    }
    if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        *why = std::strerror(errno);
        continue;
      }
      const IoResult w = wait_for(fd.get(), POLLOUT, timeout_ms);
      if (w.status != Io::kOk) {
        *why = w.status == Io::kTimeout ? "connect timed out" : std::strerror(w.error);
        continue;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      if (err != 0) {
        *why = std::strerror(err);
        continue;
      }
    }
    set_nodelay(fd.get());
    result = fd.release();
  }
  ::freeaddrinfo(list);
  return result;
}

int connect_unix(const std::string& path, int timeout_ms, std::string* why) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    *why = "bad socket path";
    return -1;
  }
  path.copy(addr.sun_path, path.size());
  // Blocking while it connects: a Unix socket's connect then waits for room in the listener's
  // queue, bounded by the send timeout, where a non-blocking one would fail at once.
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) {
    *why = std::strerror(errno);
    return -1;
  }
  const int ms = timeout_ms < 0 ? 0 : timeout_ms;  // 0: no bound
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    *why = errno == EAGAIN ? "connect timed out" : std::strerror(errno);
    return -1;
  }
  tv = timeval{0, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (!set_nonblocking(fd.get())) {
    *why = std::strerror(errno);
    return -1;
  }
  return fd.release();
}

int connect_service(const std::string& address, unsigned int port, int timeout_ms,
                    std::string* why) {
  if (is_unix_address(address)) {
    return connect_unix(address.substr(kUnixPrefix.size()), timeout_ms, why);
  }
  return connect_tcp(address, port, timeout_ms, why);
}

}  // namespace kiv::net
