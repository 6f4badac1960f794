// Request frames whose length prefix announces far more than the client sends. The service reads
// the payload as it arrives, so that a prefix that lies commits no memory for bytes that never
// come; frames that really are large still arrive whole. (Found by fuzz/service_fuzz.cpp: five
// bytes per connection made the service zero-fill half a gigabyte each.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/kiv_client.h"
#include "tests/unit/service/kivd_process.h"
#include "wire/protocol.h"

namespace kiv::test {
namespace {

// True when the service holds count connections and has read every byte sent on them: its end
// of each holds nothing in its receive queue.
bool service_read_all(unsigned int service_port, std::size_t count) {
  std::ifstream in("/proc/net/tcp");
  std::size_t open = 0, drained = 0;
  for (std::string line; std::getline(in, line);) {
    unsigned int local = 0, state = 0, rx = 0;  // "sl: ADDR:PORT ADDR:PORT st tx:rx ..."
    if (std::sscanf(line.c_str(), "%*s %*x:%x %*x:%*x %x %*x:%x", &local, &state, &rx) == 3 &&
        local == service_port && state == 1 /* established */) {
      ++open;
      drained += rx == 0;
    }
  }
  return open == count && drained == count;
}

TEST(LyingFrameTest, AnnouncedPayloadCommitsNoMemoryBeforeItArrives) {
  // A cap as large as an operator may set for clients that still send whole documents.
  KivdProcess kivd({"--max-frame", "512M"});
  ASSERT_TRUE(kivd.start());
  const long before = peak_rss_kib(kivd.pid());
  // Four connections each announce 256 MiB (within the cap) and send one byte of it.
  std::vector<int> fds;
  for (int i = 0; i < 4; ++i) {
    const int fd = connect_loopback(kivd.port());
    ASSERT_GE(fd, 0);
    const std::string head("\x10\x00\x00\x00\x04", 5);
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), 5);
    fds.push_back(fd);
  }
  // The service reads the fifth byte into the payload it set room aside for: once every byte is
  // read, whatever the announced lengths cost is spent.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!service_read_all(kivd.port(), fds.size()) && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(service_read_all(kivd.port(), fds.size()));
  // The service serves on meanwhile.
  WebDavUtil client;
  EXPECT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  const long after = peak_rss_kib(kivd.pid());
  for (int fd : fds) ::close(fd);
  // A quarter of the 1 GiB announced: a sanitizer build maps shadow memory for reserved room
  // (an eighth of it), a plain build nothing; holding the announced sizes would take all of it.
  EXPECT_LT(after - before, 256 * 1024) << "peak RSS grew from " << before << " to " << after;
}

TEST(LyingFrameTest, LargeFramesStillArriveWhole) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  // Several read chunks long, and not a multiple of any of them.
  std::string body(5 * 1024 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + i / 4099);
  ASSERT_TRUE(client.AddDoc("/large", body));
  std::string back;
  ASSERT_TRUE(client.GetDocContent("/large", back));
  EXPECT_TRUE(back == body);
}

}  // namespace
}  // namespace kiv::test
