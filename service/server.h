// The network side of the service: accepts connections on its listeners (TCP, a Unix domain
// socket, or both), reads request frames, runs them on the store and writes the responses. One
// thread per connection, up to a cap, and up to a smaller cap per peer.
//
// A frame whose announced length exceeds the cap is refused before anything is allocated for
// it: the service answers kBadRequest (with the reason kTooLarge) and closes the connection, as
// it does for a payload that does not decode. A failed operation is answered kFalse with its
// reason. A connection beyond either cap is answered kBusy at once and closed. A connection that
// stays idle between requests beyond the idle timeout is closed.
//
// With credentials configured, every TCP connection must first authenticate (kAuthenticate with
// the user and password, compared in constant time) within a short deadline. Wrong credentials
// are answered kFalse with kForbidden; any other first frame, or the deadline running out, is
// not answered at all. Either is logged once, and the connection closed. Over the Unix socket
// the file's permissions decide who may connect, and kAuthenticate is answered kOk and ignored,
// as it is everywhere without credentials.
//
// A connection holds at most one upload; it ends, storing nothing, when the connection does.
// Over the Unix socket a lookup may hand out the open document (SCM_RIGHTS).
//
// Thread-safety: listen(), listen_unix() and run() are called by one thread; the connection
// threads share the Store, which is thread-safe.
#ifndef KIV_SERVICE_SERVER_H_
#define KIV_SERVICE_SERVER_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service/board.h"
#include "service/store.h"
#include "wire/net_io.h"
#include "wire/protocol.h"

namespace kiv::service {

struct ServerOptions {
  std::uint32_t max_frame = kiv::proto::kDefaultMaxRequest;  // largest request payload
  int max_connections = 1024;
  // Connections that one peer (a uid on the Unix socket, a source address over TCP) may hold at
  // once; 0 stands for three quarters of max_connections.
  int max_per_peer = 0;
  int io_timeout_ms = 60000;    // bound on each wait inside a frame
  int idle_timeout_ms = 60000;  // how long a connection may wait between requests
  int auth_timeout_ms = 5000;   // how long a TCP connection may take to authenticate
  int stop_grace_ms = 10000;    // how long run() waits for connection threads at shutdown
  // What every TCP connection must present first; none when user is empty.
  std::string user;
  std::string password;
};

class Server {
 public:
  // store must outlive the server and every connection thread.
  Server(Store* store, const ServerOptions& options);
  // Removes the Unix socket file if it is still the one this server made.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens on TCP. Refuses an address that is not a loopback one unless credentials
  // are configured. False with *why set on failure.
  bool listen(const std::string& address, unsigned int port, std::string* why);
  // The bound TCP port (useful with port 0).
  unsigned int port() const { return port_; }

  // Binds and listens on a Unix domain socket at path, made with mode 0660 and given to group
  // (the effective group when group is -1). A socket file left there by a service that is gone
  // is replaced; anything else at path (a live service's socket, another kind of file) is left
  // alone and refused. Sets the process's umask for a moment: call before any thread starts.
  // False with *why set on failure.
  bool listen_unix(const std::string& path, gid_t group, std::string* why);

  // Serves until stop_fd becomes readable, then stops accepting (and removes the Unix socket
  // file), shuts every connection down and waits for their threads up to stop_grace_ms. False
  // when some thread did not end in time; the Server must then not be destroyed (the caller
  // exits the process instead).
  bool run(int stop_fd);

  // Counts every request that may change the tree in on board (see wire/board.h), which must
  // outlive the server. Call before run().
  void set_board(ChangeBoard* board) { board_ = board; }

 private:
  struct Listener {
    kiv::net::UniqueFd fd;
    bool local = false;  // a Unix domain socket
    std::string path;    // its file, and that file's identity
    dev_t device = 0;
    ino_t inode = 0;
  };

  // What one connection keeps between its requests.
  struct Connection {
    int fd = -1;
    bool local = false;   // a Unix socket: it may be handed descriptors
    std::string payload;  // the request being served
    std::string chunk;    // the bytes of a read
    std::unique_ptr<Upload> upload;
  };

  using Deadline = std::chrono::steady_clock::time_point;

  void accept_one(const Listener& listener);
  void serve(int fd, bool local, const std::string& peer);
  // Reads and decodes the connection's next request; false (logged, answered where an answer
  // helps) when the connection must close. Before authentication all of it is due by the deadline.
  bool read_request(Connection& c, bool authenticated, Deadline auth_deadline,
                    const std::string& peer, kiv::proto::Message* request);
  // Runs one request; false when the connection must close. must_authenticate: credentials are
  // checked on this connection.
  bool handle(Connection& c, const kiv::proto::Message& request, bool must_authenticate,
              const std::string& peer);
  // The operations of delivery and upload.
  bool stat(Connection& c, const std::vector<std::string_view>& f);
  bool read(Connection& c, const std::vector<std::string_view>& f);
  bool upload(Connection& c, kiv::proto::Op op, const std::vector<std::string_view>& f);
  // Sends one answer; with pass >= 0 the descriptor goes along (Unix sockets).
  bool respond(int fd, kiv::proto::Status status, const std::vector<std::string_view>& fields,
               int pass = -1);
  // Success without results, or the failure with its reason.
  bool answer(int fd, Reason r);
  // Answers a connection beyond a cap with kBusy, without reading its request.
  void answer_busy(int fd);
  // True when the fields of kAuthenticate carry the configured user and password.
  bool credentials_match(std::string_view user, std::string_view password) const;
  void close_listeners();
  int max_per_peer() const;

  Store* store_;
  ChangeBoard* board_ = nullptr;
  ServerOptions options_;
  std::vector<Listener> listeners_;
  unsigned int port_ = 0;

  std::mutex mu_;
  std::condition_variable idle_;
  std::set<int> active_;              // sockets of running connection threads
  std::map<std::string, int> peers_;  // connections open per peer
};

}  // namespace kiv::service

#endif  // KIV_SERVICE_SERVER_H_
