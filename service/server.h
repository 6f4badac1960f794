// The network side of the service: accepts connections, reads request frames, runs them on the
// store and writes the responses. One thread per connection, up to a cap.
//
// A frame whose announced length exceeds the cap is refused before anything is allocated for
// it: the service answers kBadRequest (with the reason kTooLarge) and closes the connection, as
// it does for a payload that does not decode. A failed operation is answered kFalse with its
// reason. A connection beyond the cap is answered kBusy at once and closed. Thread-safety: listen()
// and run() are called by one thread; the connection threads share the Store, which is thread-safe.
#ifndef KIV_SERVICE_SERVER_H_
#define KIV_SERVICE_SERVER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "service/store.h"
#include "wire/net_io.h"
#include "wire/protocol.h"

namespace kiv::service {

struct ServerOptions {
  std::uint32_t max_frame = kiv::proto::kDefaultMaxPayload;  // largest request payload
  int max_connections = 256;
  int io_timeout_ms = 60000;  // bound on each wait inside a frame; idle connections may wait
  int stop_grace_ms = 10000;  // how long run() waits for connection threads at shutdown
};

class Server {
 public:
  // store must outlive the server and every connection thread.
  Server(Store* store, const ServerOptions& options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens. False with *why set on failure.
  bool listen(const std::string& address, unsigned int port, std::string* why);
  // The bound port (useful with port 0).
  unsigned int port() const { return port_; }

  // Serves until stop_fd becomes readable, then stops accepting, shuts every connection down
  // and waits for their threads up to stop_grace_ms. False when some thread did not end in
  // time; the Server must then not be destroyed (the caller exits the process instead).
  bool run(int stop_fd);

 private:
  void accept_one();
  void serve(int fd);
  // Runs one request; false when the connection must close.
  bool handle(int fd, const kiv::proto::Message& request);
  bool respond(int fd, kiv::proto::Status status, const std::vector<std::string_view>& fields);
  // Answers a connection beyond the cap with kBusy, without reading its request.
  void answer_busy(int fd);

  Store* store_;
  ServerOptions options_;
  kiv::net::UniqueFd listen_fd_;
  unsigned int port_ = 0;

  std::mutex mu_;
  std::condition_variable idle_;
  std::set<int> active_;  // sockets of running connection threads
};

}  // namespace kiv::service

#endif  // KIV_SERVICE_SERVER_H_
