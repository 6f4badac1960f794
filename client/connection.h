// The client's side of one round trip to the repository service: the process-wide pool of
// connections behind a WebDavUtil, the exchange of one request for one answer, and the reason
// an answer (or its absence) stands for. Private to client/.
//
// Thread-safety: a ClientImpl serves every thread at once (its members are guarded by one mutex;
// a socket leaves the pool while a thread uses it, so no socket is ever in two threads' hands).
#ifndef KIV_CLIENT_CONNECTION_H_
#define KIV_CLIENT_CONNECTION_H_

#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"
#include "wire/net_io.h"
#include "wire/protocol.h"
#include "wire/reason.h"

// The shared part of one WebDavUtil: where the service is, the timeouts, and the idle
// connections of the current process.
class ClientImpl {
 public:
  static constexpr int kDefaultConnectMs = 3000;
  static constexpr int kDefaultIoMs = 30000;

  ClientImpl();
  ~ClientImpl();
  ClientImpl(const ClientImpl&) = delete;
  ClientImpl& operator=(const ClientImpl&) = delete;

  struct Settings {
    std::string address;  // a host name or address, or kiv::net::kUnixPrefix and a path
    unsigned int port = 0;
    int connect_ms = kDefaultConnectMs;
    int io_ms = kDefaultIoMs;
    std::string user;  // presented on every new TCP connection when not empty
    std::string password;
  };

  // A connection taken out of the pool or freshly opened, with the pool state it belongs to.
  struct Lease {
    kiv::UniqueFd fd;
    bool reused = false;
    std::uint64_t generation = 0;
    Settings settings;
  };

  // Records the service's address; idle connections to the old one are dropped.
  void configure(const std::string& address, unsigned int port);
  // A value <= 0 restores the default.
  void set_timeouts(int connect_ms, int io_ms);
  // Records what new TCP connections present; idle connections are dropped.
  void set_credentials(const std::string& user, const std::string& password);
  Settings settings();

  // Takes an idle connection of this process, or opens a new one outside the lock. False when
  // none could be opened.
  bool acquire(Lease* lease);
  // Opens a new connection for a lease whose settings are filled.
  static bool open(Lease* lease);
  // True when the lease's connection is new and must authenticate before its first request.
  static bool must_authenticate(const Lease& lease);
  // Gives a healthy connection back; it is closed instead when the pool moved on meanwhile.
  void release(Lease* lease);
  // Closes every idle connection: they are stale (the service went away) or belong elsewhere.
  void drop_idle();

  std::uint32_t max_payload() const { return kiv::proto::kDefaultMaxPayload; }

 private:
  void drop_idle_locked();
  // After fork() the idle sockets are shared with the parent: a child must never talk on them.
  void forget_other_process_locked();

  std::mutex mu_;
  Settings settings_;
  pid_t pid_;
  std::uint64_t generation_ = 0;
  std::vector<kiv::UniqueFd> idle_;
};

namespace kiv::client {

// One round trip on the lease's connection (taken from the pool first when the lease holds
// none): a reused connection that turns out to be closed by the service (restarted, or tired of
// waiting for the next request) is replaced once by a fresh one, and the rest of the pool, which
// is as stale, is dropped. A new TCP connection authenticates first when credentials are
// recorded, in the same write as the request; a refused authentication is kUnavailable (kBusy
// for a busy service). kNone when the service answered Ok: *reply then holds the answer (its
// fields view into *payload). Otherwise the reason: the service's for a False answer (kIo when
// it gave none), kTooLarge for a request beyond the service's cap, kUnavailable when no whole
// answer came, kBadAnswer for one that does not decode. The lease keeps the connection when it
// may serve on, and is empty when not. With fds given (a Unix socket), the descriptors that came
// with the answer are appended; more than one makes the answer a bad one.
Reason round_trip(ClientImpl& impl, ClientImpl::Lease* lease, const kiv::proto::FrameBuilder& frame,
                  std::string* payload, kiv::proto::Message* reply,
                  std::vector<kiv::UniqueFd>* fds = nullptr);

// One round trip on a pooled connection, given back to the pool when it may serve on.
Reason call(ClientImpl& impl, kiv::proto::Op op, std::initializer_list<std::string_view> fields,
            std::string* payload, kiv::proto::Message* reply);

// Reads one answer on fd, as round_trip does after its request went out, with read_ms as the
// bound of each wait. *keep tells whether the connection may serve on.
Reason read_answer(int fd, std::uint32_t max_payload, int read_ms, std::string* payload,
                   kiv::proto::Message* reply, bool* keep);

// Reads the answer to credentials that went out ahead of a request on fd (wrote: they were sent
// whole), with read_ms as the bound of each wait: kNone when they were accepted, kUnavailable
// (kBusy from a busy service) when not or when no whole answer came, kBadAnswer for one that
// does not decode.
Reason read_authentication(int fd, int read_ms, bool wrote);

// What a decoded answer means: kNone for Ok, else the reason. *keep tells whether the
// connection may serve another request.
Reason reason_of(const kiv::proto::Message& reply, bool* keep);

// True when a failed read or write means that the peer closed the connection before it (a
// pooled connection to a service that restarted since, or closed it while idle).
bool is_stale_error(const kiv::net::IoResult& r);

// Sends Ping on a connection of its own, closed again, so that nothing stays open for the
// children the process may fork. True when the service answered as the repository service.
bool probe(ClientImpl& impl);

}  // namespace kiv::client

namespace kiv {

// A connection that a reader or an upload holds between its round trips.
struct HeldConnection {
  ClientImpl::Lease lease;
};

}  // namespace kiv

#endif  // KIV_CLIENT_CONNECTION_H_
