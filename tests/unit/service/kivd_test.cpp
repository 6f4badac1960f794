// The daemon as a process: hostile frames, shutdown, and crashes in the middle of a replace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "client/kiv_client.h"
#include "wire/protocol.h"
#include "tests/unit/service/kivd_process.h"

namespace kiv::test {
namespace {

using kiv::proto::Decode;
using kiv::proto::Message;

bool send_all(int fd, const std::string& bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads one response frame; its status code, or -1 when none arrived whole.
int read_status(int fd) {
  std::string buf;
  char chunk[4096];
  for (;;) {
    Message m;
    std::size_t used = 0;
    const Decode d = kiv::proto::decode_frame(buf, 1 << 20, &m, &used);
    if (d == Decode::kOk) return m.code;
    if (d != Decode::kTruncated) return -1;
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return -1;
    buf.append(chunk, static_cast<std::size_t>(n));
  }
}

// The service closed the connection: an orderly close, or a reset when it left bytes unread or
// never accepted the connection.
bool peer_closed(int fd) {
  char c;
  const ssize_t n = ::recv(fd, &c, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

long peak_rss_kib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

std::string frame(std::uint8_t code, std::initializer_list<std::string_view> fields) {
  return kiv::proto::FrameBuilder(code, fields).flatten();
}

TEST(KivdTest, HugeFrameIsRefusedWithoutAllocatingIt) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  const long before = peak_rss_kib(kivd.pid());
  const int fd = connect_loopback(kivd.port());
  ASSERT_GE(fd, 0);
  // Announces 4 GiB and sends nothing more: the service must refuse from the header alone.
  ASSERT_TRUE(send_all(fd, std::string("\xff\xff\xff\xf0", 4)));
  EXPECT_EQ(read_status(fd), static_cast<int>(kiv::proto::Status::kBadRequest));
  EXPECT_TRUE(peer_closed(fd));
  ::close(fd);
  const long after = peak_rss_kib(kivd.pid());
  EXPECT_LT(after - before, 64 * 1024) << "peak RSS grew from " << before << " to " << after;
  EXPECT_NE(kivd.log().find("refused a frame"), std::string::npos);
}

TEST(KivdTest, FrameCapIsConfigurable) {
  KivdProcess kivd({"--max-frame", "1K"});
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  EXPECT_TRUE(client.AddDoc("/fits", std::string(900, 'x')));
  EXPECT_FALSE(client.AddDoc("/too-big", std::string(2000, 'x')));
  EXPECT_TRUE(client.AddDoc("/fits-again", "y"));  // a new connection serves on
  Directory* d = nullptr;
  EXPECT_FALSE(client.GetDirectory("/too-big", &d));
}

TEST(KivdTest, GarbageIsRefusedAndTheServiceServesOn) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  const std::string bad[] = {
      std::string("\0\0\0\x02xx", 6),                             // shorter than a payload header
      std::string("\0\0\0\x09\x02\xff\xff\xff\xff\0\0\0\0", 13),  // field count beyond the bytes
      std::string("\0\0\0\x0a\x02\0\0\0\x01\0\0\0\x09x", 14),     // field longer than the payload
      frame(0x7f, {"/"}),                                         // unknown operation
      frame(2, {}),                                               // GetDirectory without its URI
      frame(4, {"/only-uri"}),                                    // AddDoc without content
  };
  for (const std::string& b : bad) {
    const int fd = connect_loopback(kivd.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(send_all(fd, b));
    EXPECT_EQ(read_status(fd), static_cast<int>(kiv::proto::Status::kBadRequest));
    EXPECT_TRUE(peer_closed(fd));
    ::close(fd);
  }
  const int fd = connect_loopback(kivd.port());
  ASSERT_TRUE(send_all(fd, frame(1, {})));
  EXPECT_EQ(read_status(fd), static_cast<int>(kiv::proto::Status::kOk));
  ::close(fd);
}

TEST(KivdTest, StopsCleanlyOnSigtermWithOpenConnections) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  const int idle = connect_loopback(kivd.port());
  const int half = connect_loopback(kivd.port());
  ASSERT_TRUE(send_all(half, std::string("\0\0\0\x40", 4)));  // a frame that never completes
  const int status = kivd.stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(peer_closed(idle));
  ::close(idle);
  ::close(half);
  EXPECT_NE(kivd.log().find("stopped"), std::string::npos);
}

TEST(KivdTest, CommandLine) {
  const std::string kivd = KIVD_PATH;
  EXPECT_EQ(std::system((kivd + " --help >/dev/null").c_str()), 0);
  EXPECT_NE(std::system((kivd + " --port 8090 2>/dev/null").c_str()), 0);  // no --root
  EXPECT_NE(std::system((kivd + " --root /tmp --port x 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((kivd + " --root /nonexistent/dir --port 0 2>/dev/null").c_str()), 0);
}

// The service is killed at random moments while a client replaces a document over and over;
// after each restart the document holds one whole version and the same client goes on. (A
// SIGKILL seldom tears a write the kernel has begun, so the roll-forward itself is pinned down
// by the store tests, which leave a torn document and a complete journal record behind.)
TEST(KivdTest, KilledDuringReplacesComesBackWithAWholeVersion) {
  // Without fsync the time goes to the writes themselves, where the kill has to land; a killed
  // process loses nothing the kernel already holds, so the order of the steps is what counts.
  KivdProcess kivd({"--no-fsync"});
  ASSERT_TRUE(kivd.start());
  const std::size_t size = 4 << 20;
  const std::string a(size, 'a'), b(size, 'b');
  WebDavUtil client;
  client.SetTimeouts(1000, 5000);
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  ASSERT_TRUE(client.AddDoc("/doc", a));
  std::mt19937 rng(7);
  for (int round = 0; round < 8; ++round) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
      for (int i = 0; !stop; ++i) client.AddDoc("/doc", i % 2 ? a : b);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 100));
    kivd.kill_hard();
    stop = true;
    writer.join();
    ASSERT_TRUE(kivd.start());
    std::string content;
    ASSERT_TRUE(client.GetDocContent("/doc", content));
    ASSERT_EQ(content.size(), size) << "round " << round;
    EXPECT_TRUE(content == a || content == b) << "round " << round << ": mixed content";
  }
}

}  // namespace
}  // namespace kiv::test
