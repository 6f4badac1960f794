// Socket I/O with bounded waits, shared by the client and the service.
//
// The descriptors are non-blocking; each wait for readiness is bounded by timeout_ms (negative:
// no bound). Nothing here raises SIGPIPE. Thread-safety: the functions keep no state; a
// descriptor must not be used by two threads at once.
#ifndef KIV_WIRE_NET_IO_H_
#define KIV_WIRE_NET_IO_H_

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_io.h"
#include "common/unique_fd.h"

namespace kiv::net {

using kiv::pread_full;
using kiv::pwrite_all;
using kiv::UniqueFd;

enum class Io {
  kOk,
  kEof,      // the peer closed the connection
  kTimeout,  // a wait ran out
  kError,    // a system error; see IoResult::error
};

struct IoResult {
  Io status = Io::kOk;
  int error = 0;                // errno for kError
  std::size_t transferred = 0;  // bytes moved before the result
};

// Reads exactly n bytes into buf.
IoResult read_full(int fd, char* buf, std::size_t n, int timeout_ms);

// Reads exactly n bytes into buf by deadline, however the bytes trickle in (kTimeout after it).
IoResult read_full_by(int fd, char* buf, std::size_t n,
                      std::chrono::steady_clock::time_point deadline);
// As read_full, on a Unix socket: the descriptors that arrive with the bytes (SCM_RIGHTS) are
// appended to *fds, close-on-exec. More than kMaxPassed in one message are cut off by the kernel
// and closed; *truncated is then set.
inline constexpr std::size_t kMaxPassed = 4;
IoResult read_full_fds(int fd, char* buf, std::size_t n, int timeout_ms, std::vector<UniqueFd>* fds,
                       bool* truncated);

// Reads exactly n bytes and appends them to *out, which grows only as the bytes arrive (a chunk
// at a time, within room reserved once for all n): a length that a peer announces and never
// sends commits no memory. On failure *out holds what arrived.
IoResult read_append(int fd, std::string* out, std::size_t n, int timeout_ms);

// Writes every piece, in order. With pass >= 0 (a Unix socket), the descriptor pass travels
// with the first bytes (SCM_RIGHTS); the caller keeps its own copy.
IoResult write_pieces(int fd, const std::vector<std::string_view>& pieces, int timeout_ms,
                      int pass = -1);

// Makes fd non-blocking (and keeps its other flags). False on failure.
bool set_nonblocking(int fd);

// Sets TCP_NODELAY. False on failure.
bool set_nodelay(int fd);

// Connects a new TCP socket (close-on-exec, non-blocking, TCP_NODELAY) to address:port, trying
// each address that the name resolves to, with a bound on each attempt. Returns the descriptor
// (owned by the caller) or -1 with a short text in *why.
int connect_tcp(const std::string& address, unsigned int port, int timeout_ms, std::string* why);

// An address of this form names a Unix domain socket by its path: "unix:/run/kiv/kivd.sock".
inline constexpr std::string_view kUnixPrefix = "unix:";

// True when address names a Unix domain socket.
inline bool is_unix_address(std::string_view address) {
  return address.substr(0, kUnixPrefix.size()) == kUnixPrefix;
}

// Connects a new Unix domain socket (close-on-exec, non-blocking once connected) to path,
// waiting at most timeout_ms for room in the listener's queue. Returns the descriptor (owned by
// the caller) or -1 with a short text in *why.
int connect_unix(const std::string& path, int timeout_ms, std::string* why);

// connect_unix() for an address with kUnixPrefix (the port is then not used), connect_tcp()
// for any other.
int connect_service(const std::string& address, unsigned int port, int timeout_ms,
                    std::string* why);

}  // namespace kiv::net

#endif  // KIV_WIRE_NET_IO_H_
