// Responses whose length prefix announces far more than the service sends. The client reads the
// payload (or the document) as it arrives, so that a prefix that lies commits no memory for bytes
// that never come, in a web server process where every thread may be waiting on the service.
// (Found by fuzz/client_fuzz.cpp: each call zero-filled the announced half gigabyte.)
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "client/kiv_client.h"
#include "tests/support/loopback_service.h"
#include "wire/protocol.h"

namespace {

long peak_rss_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Answers every connection with a header announcing 256 MiB and a few bytes of the payload, then
// keeps the connection open until the client gives up.
class LyingService {
 public:
  unsigned int port() const { return listener_.port(); }

 private:
  static void serve(int c, const std::atomic<bool>& stopping) {
    // Status kOk, one field, the field as long as the rest of the announced payload.
    constexpr std::uint32_t kAnnounced = 256u << 20;
    std::string head(4 + 9, '\0');
    kiv::proto::put_u32(head.data(), kAnnounced);
    head[4] = 0;
    kiv::proto::put_u32(head.data() + 5, 1);
    kiv::proto::put_u32(head.data() + 9, kAnnounced - 9);
    head += "abc";
    ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
    // Until the client closes its end (after its timeout).
    char buf[256];
    for (int i = 0; i < 40 && !stopping; ++i) {
      pollfd q{c, POLLIN, 0};
      if (::poll(&q, 1, 50) > 0 && ::recv(c, buf, sizeof buf, MSG_DONTWAIT) == 0) break;
    }
  }

  kiv_test::LoopbackService listener_{serve};
};

TEST(LyingResponseTest, AnnouncedPayloadCommitsNoMemoryBeforeItArrives) {
  LyingService service;
  WebDavUtil client;
  client.SetTimeouts(500, 300);
  const long before = peak_rss_kib();
  EXPECT_FALSE(client.ConnectServer("127.0.0.1", service.port()));
  std::string content;
  EXPECT_FALSE(client.GetDocContent("/doc", content));  // read straight into the document
  EXPECT_TRUE(content.empty());
  Directory* entry = nullptr;
  EXPECT_FALSE(client.GetDirectory("/doc", &entry));  // read into the payload buffer
  const long after = peak_rss_kib();
  // A quarter of the 256 MiB announced: a sanitizer build maps shadow memory for reserved room
  // (an eighth of it), a plain build nothing; holding the announced size would take all of it.
  EXPECT_LT(after - before, 64 * 1024) << "peak RSS grew from " << before << " to " << after;
}

}  // namespace
