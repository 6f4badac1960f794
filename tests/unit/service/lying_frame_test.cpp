// Request frames whose length prefix announces far more than the client sends. The service reads
// the payload as it arrives, so that a prefix that lies commits no memory for bytes that never
// come; frames that really are large still arrive whole. (Found by fuzz/service_fuzz.cpp: five
// bytes per connection made the service zero-fill half a gigabyte each.)
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/kiv_client.h"
#include "wire/protocol.h"
#include "tests/unit/service/kivd_process.h"

namespace kiv::test {
namespace {

long peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(LyingFrameTest, AnnouncedPayloadCommitsNoMemoryBeforeItArrives) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  const long before = peak_rss_kib(kivd.pid());
  // Four connections each announce 256 MiB (within the default cap) and send one byte of it.
  std::vector<int> fds;
  for (int i = 0; i < 4; ++i) {
    const int fd = connect_loopback(kivd.port());
    ASSERT_GE(fd, 0);
    const std::string head("\x10\x00\x00\x00\x04", 5);
    ASSERT_EQ(::send(fd, head.data(), head.size(), MSG_NOSIGNAL), 5);
    fds.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
