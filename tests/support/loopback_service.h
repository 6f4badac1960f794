// A listening socket on 127.0.0.1 (the kernel picks the port) and a thread that hands each
// connection it accepts to serve(), then closes it: the frame of fake services that misbehave on
// purpose. serve() should return soon after `stopping` turns true.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <utility>

namespace kiv_test {

class LoopbackService {
 public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stopping)>;

  explicit LoopbackService(Serve serve) : serve_(std::move(serve)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::listen(fd_, 16), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }
  ~LoopbackService() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  LoopbackService(const LoopbackService&) = delete;
  LoopbackService& operator=(const LoopbackService&) = delete;

  unsigned int port() const { return port_; }

 private:
  void loop() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      serve_(c, stop_);
      ::close(c);
    }
  }

  Serve serve_;
  int fd_ = -1;
  unsigned int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace kiv_test
