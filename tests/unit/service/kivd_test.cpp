// The daemon as a process: hostile frames, who may connect and how, shutdown, copies, and crashes
// in the middle of a replace.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "client/kiv_client.h"
#include "tests/unit/service/kivd_process.h"
#include "wire/net_io.h"
#include "wire/protocol.h"

namespace kiv::test {
namespace {

using kiv::Reason;
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

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename());
  }
  return names;
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
  // Open to anyone on the network, or with credentials that others can read: refused.
  KivdProcess scratch;
  const std::string root = " --root " + scratch.root();
  EXPECT_NE(std::system((kivd + root + " --listen 0.0.0.0 --port 0 2>/dev/null").c_str()), 0);
  EXPECT_NE(std::system((kivd + root + " --port 0 --credentials /etc/passwd 2>/dev/null").c_str()),
            0);
}

// A connected socket to the service's Unix socket at path (blocking), or -1 with errno set.
int connect_path(const std::string& path) {
  std::string why;
  const int fd = kiv::net::connect_unix(path, 2000, &why);
  if (fd >= 0) fcntl(fd, F_SETFL, 0);
  return fd;
}

TEST(KivdTest, UnixSocketIsPrivateReplacesAStaleOneAndGoesAtExit) {
  KivdProcess kivd({"--socket", "@SCRATCH@/kivd.sock"});
  const std::string path = kivd.scratch() + "/kivd.sock";
  ASSERT_TRUE(kivd.start());
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("unix:" + path, 0));
  EXPECT_TRUE(client.MakeCollection("/c").ok());
  if (::geteuid() == 0) {  // another account (nobody) may not even connect
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(2);
      const int fd = connect_path(path);
      _exit(fd < 0 && errno == EACCES ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  kivd.kill_hard();  // leaves its socket file behind
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  ASSERT_TRUE(kivd.start());
  EXPECT_TRUE(client.Lookup("/c", nullptr).ok());
  ASSERT_EQ(kivd.stop(), 0);
  EXPECT_NE(::lstat(path.c_str(), &st), 0);
  // Something else at the path is never replaced.
  { std::ofstream(path) << "precious"; }
  EXPECT_FALSE(kivd.start());
  std::ifstream in(path);
  std::string kept;
  std::getline(in, kept);
  EXPECT_EQ(kept, "precious");
  EXPECT_NE(kivd.log().find("is not a socket"), std::string::npos);
}

TEST(KivdTest, TcpConnectionsAuthenticateFirstAndTheSocketNeedsNothing) {
  KivdProcess kivd({"--credentials", "@SCRATCH@/credentials", "--socket", "@SCRATCH@/kivd.sock"});
  const std::string file = kivd.scratch() + "/credentials";
  { std::ofstream(file) << "kiv pass word\n"; }
  ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
  ASSERT_TRUE(kivd.start());
  WebDavUtil none, wrong, right, local;
  wrong.SetCredentials("kiv", "pass");
  right.SetCredentials("kiv", "pass word");
  EXPECT_FALSE(none.ConnectServer("127.0.0.1", kivd.port()));
  EXPECT_EQ(none.MakeCollection("/n").reason(), Reason::kUnavailable);
  EXPECT_FALSE(wrong.ConnectServer("127.0.0.1", kivd.port()));
  EXPECT_EQ(wrong.MakeCollection("/w").reason(), Reason::kUnavailable);
  EXPECT_TRUE(right.ConnectServer("127.0.0.1", kivd.port()));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(right.Lookup("/", nullptr).ok());  // pooled: once
  EXPECT_TRUE(local.ConnectServer("unix:" + kivd.scratch() + "/kivd.sock", 0));
  EXPECT_TRUE(local.MakeCollection("/l").ok());
  // An upload and a reader hold connections of their own, and authenticate on new ones too.
  const std::string big((2 << 20) + 1, 'b');
  WebDavUtil writer, reader;
  writer.SetCredentials("kiv", "pass word");
  reader.SetCredentials("kiv", "pass word");
  ASSERT_TRUE(writer.ConnectServer("127.0.0.1", kivd.port()));
  ASSERT_TRUE(reader.ConnectServer("127.0.0.1", kivd.port()));
  kiv::DocumentUpload up(writer);
  kiv::FileAttributes stored;
  ASSERT_TRUE(up.Begin("/big").ok());
  ASSERT_TRUE(up.Write(big.data(), big.size()).ok());
  ASSERT_TRUE(up.Commit(&stored).ok());
  kiv::DocumentReader read(reader, "/big", stored, 0, big.size());
  std::string got(big.size(), '\0');
  std::size_t n = 0;
  for (std::size_t at = 0; at < big.size(); at += n) {
    ASSERT_TRUE(read.Read(got.data() + at, got.size() - at, &n).ok()) << at;
  }
  EXPECT_TRUE(got == big);
  // A connection that says nothing is not kept waiting for long.
  const int silent = connect_loopback(kivd.port());
  ASSERT_GE(silent, 0);
  EXPECT_TRUE(peer_closed(silent));
  ::close(silent);
  const std::string log = kivd.log();
  EXPECT_NE(log.find("did not authenticate first"), std::string::npos);
  EXPECT_NE(log.find("wrong user or password"), std::string::npos);
  EXPECT_NE(log.find("no authentication (timed out)"), std::string::npos);
}

TEST(KivdTest, OnePeerCannotHoldEverySlot) {
  KivdProcess kivd(
      {"--max-connections", "8", "--max-per-peer", "2", "--socket", "@SCRATCH@/kivd.sock"});
  ASSERT_TRUE(kivd.start());
  // The status of a ping on a new connection from this address, which stays open in held.
  std::vector<int> held;
  auto ping_new = [&] {
    held.push_back(connect_loopback(kivd.port()));
    return send_all(held.back(), frame(1, {})) ? read_status(held.back()) : -1;
  };
  // Two connections are served (once the one that start() probed with has gone), a third not.
  int served = 0;
  for (int tries = 0; served < 2 && tries < 500; ++tries) {
    if (ping_new() == 0) {
      ++served;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_EQ(served, 2);
  EXPECT_EQ(ping_new(), static_cast<int>(kiv::proto::Status::kFalse));
  // Another peer (this uid, on the socket) still gets in.
  const int other = connect_path(kivd.scratch() + "/kivd.sock");
  ASSERT_TRUE(send_all(other, frame(1, {})));
  EXPECT_EQ(read_status(other), static_cast<int>(kiv::proto::Status::kOk));
  for (int fd : held) ::close(fd);
  ::close(other);
}

TEST(KivdTest, IdleConnectionsAreClosedAndCostTheClientNoError) {
  KivdProcess kivd({"--idle-timeout", "1"});
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  ASSERT_TRUE(client.Lookup("/", nullptr).ok());  // its connection now idles in the pool
  const int idle = connect_loopback(kivd.port());
  ASSERT_TRUE(send_all(idle, frame(1, {})));
  EXPECT_EQ(read_status(idle), static_cast<int>(kiv::proto::Status::kOk));
  EXPECT_TRUE(peer_closed(idle));  // a second later
  ::close(idle);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client.MakeCollection("/c" + std::to_string(i)).ok());
}

// The bytes of a copy never pass through the service's memory, however large the document.
TEST(KivdTest, CopyOfALargeSparseDocumentDoesNotGrowTheService) {
  KivdProcess kivd({"--no-fsync"});
  ASSERT_TRUE(kivd.start());
  const std::string big = kivd.root() + "/big";
  const off_t size = off_t{256} << 20;
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    for (off_t at : {off_t{0}, size / 3, size - 5}) ASSERT_EQ(::pwrite(fd, "marks", 5, at), 5);
    ::close(fd);
  }
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  ASSERT_TRUE(client.AddDoc("/copy", "small"));
  const long before = peak_rss_kib(kivd.pid());
  EXPECT_TRUE(client.CopyDoc("/big", "/fresh").ok());  // a new document
  EXPECT_TRUE(client.CopyDoc("/big", "/copy").ok());   // in place, through the journal
  const long after = peak_rss_kib(kivd.pid());
  EXPECT_LT(after - before, 32 * 1024) << "peak RSS grew from " << before << " to " << after;
  for (const char* name : {"/fresh", "/copy"}) {
    const int fd = ::open((kivd.root() + name).c_str(), O_RDONLY | O_CLOEXEC);
    char mark[6] = {};
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, size) << name;
    EXPECT_EQ(::pread(fd, mark, 5, size / 3), 5);
    EXPECT_STREQ(mark, "marks") << name;
    ::close(fd);
  }
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
  EXPECT_EQ(names_in(kivd.root()), (std::set<std::string>{".kivd", "doc"}));
}

TEST(KivdTest, KilledMidUploadKeepsTheOldDocumentWhole) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  client.SetTimeouts(1000, 5000);
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  const std::string old(3 << 20, 'o'), fresh(2 << 20, 'n');
  ASSERT_TRUE(client.AddDoc("/doc", old));
  kiv::DocumentUpload up(client);
  ASSERT_TRUE(up.Begin("/doc", 3 << 20).ok());
  ASSERT_TRUE(up.Write(fresh.data(), fresh.size()).ok());
  kivd.kill_hard();
  EXPECT_FALSE(up.Commit().ok());
  ASSERT_TRUE(kivd.start());
  std::string content;
  ASSERT_TRUE(client.GetDocContent("/doc", content));
  EXPECT_TRUE(content == old);
  EXPECT_EQ(names_in(kivd.root()), (std::set<std::string>{".kivd", "doc"}));
}

// The document below: mostly zeros, with a few real blocks of bytes that depend on their offset.
struct Sparse {
  std::uint64_t size;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> real;  // [from, to)
  static char byte(std::uint64_t pos) { return static_cast<char>((pos * 2654435761u) >> 13); }
  // Fills out with the n bytes at offset at.
  void fill(std::uint64_t at, std::size_t n, char* out) const {
    std::memset(out, 0, n);
    for (const auto& [from, to] : real) {
      for (std::uint64_t p = std::max(from, at); p < std::min(to, at + n); ++p) {
        out[p - at] = byte(p);
      }
    }
  }
};

// Word-wise FNV-1a, fast enough for gigabytes.
std::uint64_t mix(std::uint64_t h, const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 0x100000001b3ull;
  return h;
}
std::uint64_t hash_chunk(std::uint64_t h, const std::string& chunk, std::size_t n) {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, chunk.data() + i, 8);
    h = (h ^ w) * 0x100000001b3ull;
  }
  return mix(h, chunk.data() + i, n - i);
}

// A document beyond 4 GiB goes up and comes back whole through the protocol, and a range of its
// end alone; neither the service nor the client holds more than a few chunks of it.
TEST(KivdTest, DocumentsBeyondFourGiBStreamInBoundedMemory) {
  KivdProcess kivd;
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  const std::uint64_t size = (4ull << 30) + 4097;
  const Sparse doc{
      size,
      {{0, 65536}, {(2ull << 30) + 12345, (2ull << 30) + 12345 + (1 << 20)}, {size - 5000, size}}};
  const long service_before = peak_rss_kib(kivd.pid());
  const long self_before = peak_rss_kib(::getpid());
  std::string chunk(1 << 20, '\0');
  std::uint64_t sent = 0xcbf29ce484222325ull;
  kiv::DocumentUpload up(client);
  ASSERT_TRUE(up.Begin("/huge", static_cast<std::int64_t>(size)).ok());
  for (std::uint64_t at = 0; at < size; at += chunk.size()) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - at));
    doc.fill(at, n, chunk.data());
    sent = hash_chunk(sent, chunk, n);
    ASSERT_TRUE(up.Write(chunk.data(), n).ok()) << at;
  }
  kiv::FileAttributes stored;
  ASSERT_TRUE(up.Commit(&stored).ok());
  ASSERT_EQ(stored.size, size);
  std::uint64_t back = 0xcbf29ce484222325ull;
  kiv::DocumentReader reader(client, "/huge", stored, 0, size);
  for (std::size_t got = 1; got != 0;) {
    ASSERT_TRUE(reader.Read(chunk.data(), chunk.size(), &got).ok());
    back = hash_chunk(back, chunk, got);
  }
  EXPECT_EQ(back, sent);
  kiv::DocumentReader tail(client, "/huge", stored, size - 1000, 1000);
  std::size_t got = 0;
  ASSERT_TRUE(tail.Read(chunk.data(), chunk.size(), &got).ok());
  ASSERT_EQ(got, 1000u);
  for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(chunk[i], Sparse::byte(size - 1000 + i));
  const long service_growth = peak_rss_kib(kivd.pid()) - service_before;
  const long self_growth = peak_rss_kib(::getpid()) - self_before;
  std::printf("peak RSS growth over 2 x %llu bytes: service %ld KiB, client %ld KiB\n",
              static_cast<unsigned long long>(size), service_growth, self_growth);
  EXPECT_LT(service_growth, 32 * 1024);
  EXPECT_LT(self_growth, 32 * 1024);
}

}  // namespace
}  // namespace kiv::test
