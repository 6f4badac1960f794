// The server whose error log gets the module's lines that belong to no request.
#include "provider/log.h"

#include <atomic>

namespace kiv {

namespace {

std::atomic<server_rec*> logged_server{nullptr};

}  // namespace

void log_to(server_rec* s) {
  logged_server.store(s, std::memory_order_release);
}

server_rec* log_server() {
  return logged_server.load(std::memory_order_acquire);
}

}  // namespace kiv
