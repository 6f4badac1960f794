// The client library against a real kivd on loopback.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "client/board.h"
#include "client/kiv_client.h"
#include "tests/unit/service/kivd_process.h"

namespace kiv::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using kiv::Reason;

std::vector<std::string> paths_of(const std::vector<Directory*>& list) {
  std::vector<std::string> out;
  for (const Directory* d : list) out.push_back(d->path + " " + d->name + " " + d->type);
  return out;
}

// Local ports of this process's TCP connections to port.
std::set<unsigned int> local_ports_to(unsigned int port) {
  std::set<unsigned int> out;
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return out;
  while (const dirent* e = ::readdir(d)) {
    const int fd = std::atoi(e->d_name);
    sockaddr_storage peer{}, self{};
    socklen_t pl = sizeof peer, sl = sizeof self;
    if (fd <= 2 || ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&self), &sl) != 0 ||
        peer.ss_family != AF_INET) {
      continue;
    }
    if (ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port) == port) {
      out.insert(ntohs(reinterpret_cast<sockaddr_in*>(&self)->sin_port));
    }
  }
  ::closedir(d);
  return out;
}

std::size_t open_fds() {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kivd_.start());
    ASSERT_TRUE(client_.ConnectServer("127.0.0.1", kivd_.port()));
  }
  KivdProcess kivd_;
  WebDavUtil client_;
};

TEST_F(ClientTest, EveryOperationRoundTrips) {
  Directory* d = nullptr;
  ASSERT_TRUE(client_.GetDirectory("/", &d));
  EXPECT_EQ(d->path, "/");
  EXPECT_EQ(d->type, kCollectionItem);
  EXPECT_TRUE(client_.AddCollection("/c"));
  EXPECT_FALSE(client_.AddCollection("/c"));
  EXPECT_FALSE(client_.AddCollection("/x/y"));
  EXPECT_TRUE(client_.AddCollection("/c/sub"));
  EXPECT_TRUE(client_.AddDoc("/c/b doc", "bee"));
  EXPECT_TRUE(client_.AddDoc("/c/\xc3\xa4.txt", "umlaut"));
  EXPECT_FALSE(client_.AddDoc("/nowhere/doc", "x"));
  EXPECT_FALSE(client_.AddDoc("/c", "x"));

  ASSERT_TRUE(client_.GetDirectory("/c/", &d));
  EXPECT_EQ(d->path, "/c");
  EXPECT_EQ(d->name, "c");
  EXPECT_EQ(d->type, kCollectionItem);
  ASSERT_TRUE(client_.GetDirectory("/c/b doc", &d));
  EXPECT_EQ(d->type, kDocumentItem);
  EXPECT_FALSE(client_.GetDirectory("/c/none", &d));

  EXPECT_EQ(paths_of(client_.GetSubDirectory("/c/")),
            (std::vector<std::string>{"/c/b doc b doc DocumentItem", "/c/sub/ sub CollectionItem",
                                      "/c/\xc3\xa4.txt \xc3\xa4.txt DocumentItem"}));
  EXPECT_TRUE(client_.GetSubDirectory("/missing/").empty());
  EXPECT_TRUE(client_.GetSubDirectory("/c/b doc/").empty());

  std::string content = "stale";
  EXPECT_TRUE(client_.GetDocContent("/c/b doc", content));
  EXPECT_EQ(content, "bee");
  EXPECT_FALSE(client_.GetDocContent("/c", content));
  EXPECT_TRUE(content.empty());
  EXPECT_FALSE(client_.GetDocContent("/c/none", content));

  EXPECT_TRUE(client_.MoveDoc("/c/b doc", "/c/sub/moved"));
  EXPECT_FALSE(client_.MoveDoc("/c/b doc", "/c/again"));
  EXPECT_FALSE(client_.MoveDoc("/c/sub", "/c/sub2"));
  EXPECT_FALSE(client_.MoveCollection("/c", "/c/sub/inner"));
  EXPECT_TRUE(client_.MoveCollection("/c", "/d"));
  EXPECT_TRUE(client_.GetDocContent("/d/sub/moved", content));
  EXPECT_EQ(content, "bee");

  std::vector<kiv::CopyFailure> failures{{"stale", Reason::kIo}};
  EXPECT_TRUE(client_.CopyCollection("/d", "/copy", -1, &failures).ok());
  EXPECT_TRUE(failures.empty());
  EXPECT_TRUE(client_.GetDocContent("/copy/sub/moved", content));
  EXPECT_EQ(content, "bee");
  EXPECT_TRUE(client_.CopyDoc("/d/sub/moved", "/copy/sub/moved2").ok());
  EXPECT_TRUE(client_.CopyCollection("/d", "/shallow", 0, nullptr).ok());
  EXPECT_TRUE(client_.GetSubDirectory("/shallow/").empty());
  EXPECT_TRUE(client_.DelCollection("/copy"));
  EXPECT_TRUE(client_.DelCollection("/shallow"));

  EXPECT_FALSE(client_.DelDoc("/d/sub"));
  EXPECT_TRUE(client_.DelDoc("/d/sub/moved"));
  EXPECT_FALSE(client_.DelDoc("/d/sub/moved"));
  EXPECT_TRUE(client_.DelCollection("/d/\xc3\xa4.txt"));  // a document, as the DELETE walk gives
  EXPECT_TRUE(client_.DelCollection("/d/"));
  EXPECT_FALSE(client_.DelCollection("/d/"));
  EXPECT_TRUE(client_.GetSubDirectory("/").empty());
}

TEST_F(ClientTest, TypedCallsCarryTheServicesReasons) {
  std::vector<Directory> members;
  EXPECT_EQ(client_.StoreDoc("/nowhere/doc", "x").reason(), Reason::kParentMissing);
  EXPECT_EQ(client_.MakeCollection("/").reason(), Reason::kRefusedName);
  EXPECT_EQ(client_.ListMembers("/none/", &members).reason(), Reason::kNotFound);
  EXPECT_TRUE(client_.ListMembers("/", &members).ok());
  EXPECT_EQ(client_.CopyDoc("/none", "/x").reason(), Reason::kNotFound);
  EXPECT_EQ(client_.CopyCollection("/", "/x", -1, nullptr).reason(), Reason::kRefusedName);
}

TEST_F(ClientTest, RefusedUrisAreCleanFalse) {
  ASSERT_TRUE(client_.AddCollection("/c"));
  for (const std::string& uri :
       std::vector<std::string>{"c", "/c/../..", "/c/./x", "/.DAV", "/c/.DAV", "/.kivd",
                                std::string("/c/\0x", 5), "/" + std::string(5000, 'x')}) {
    Directory* d = nullptr;
    std::string content;
    EXPECT_FALSE(client_.AddDoc(uri, "x")) << uri;
    EXPECT_FALSE(client_.AddCollection(uri)) << uri;
    EXPECT_FALSE(client_.GetDirectory(uri, &d)) << uri;
    EXPECT_FALSE(client_.GetDocContent(uri, content)) << uri;
    EXPECT_FALSE(client_.DelCollection(uri)) << uri;
  }
  EXPECT_TRUE(client_.GetDirectory("/c", nullptr));  // the connection still serves
  EXPECT_NE(kivd_.log().find("refused: URI"), std::string::npos);
}

TEST_F(ClientTest, ZeroBytesAndLargeDocumentsArriveByteForByte) {
  std::string zeros("a\0b\0\0c", 6);
  ASSERT_TRUE(client_.AddDoc("/zeros", zeros));
  std::string content;
  ASSERT_TRUE(client_.GetDocContent("/zeros", content));
  EXPECT_EQ(content, zeros);
  ASSERT_TRUE(client_.AddDoc("/empty", ""));
  ASSERT_TRUE(client_.GetDocContent("/empty", content));
  EXPECT_TRUE(content.empty());
  std::string big(24 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 13));
  ASSERT_TRUE(client_.AddDoc("/big", big));
  ASSERT_TRUE(client_.GetDocContent("/big", content));
  EXPECT_TRUE(content == big);
  const ino_t ino = fs::exists(kivd_.root() + "/big") ? [&] {
    struct stat st {};
    ::stat((kivd_.root() + "/big").c_str(), &st);
    return st.st_ino;
  }() : 0;
  ASSERT_TRUE(client_.AddDoc("/big", zeros));  // replaced in place: same inode, shorter
  struct stat st {};
  ASSERT_EQ(::stat((kivd_.root() + "/big").c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, ino);
  ASSERT_TRUE(client_.GetDocContent("/big", content));
  EXPECT_EQ(content, zeros);
}

// Reads [offset, offset + length) of the document looked up as a, with a buffer of the given
// size; the bytes read, and the status of the read that ended it.
kiv::Status read_range(WebDavUtil& client, const std::string& uri, const kiv::FileAttributes& a,
                       std::uint64_t offset, std::uint64_t length, std::size_t buffer,
                       std::string* out) {
  kiv::DocumentReader reader(client, uri, a, offset, length);
  std::string buf(buffer, '\0');
  out->clear();
  for (std::size_t got = 1; got != 0;) {
    const kiv::Status s = reader.Read(buf.data(), buf.size(), &got);
    if (!s.ok()) return s;
    out->append(buf, 0, got);
  }
  return kiv::Status();
}

TEST_F(ClientTest, StatReadsRangesAndRefusesOtherVersions) {
  std::string big((3 << 20) + 7, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 11));
  ASSERT_TRUE(client_.AddDoc("/big", big));
  ASSERT_TRUE(client_.AddDoc("/small", "tiny"));
  kiv::StatResult st;
  ASSERT_TRUE(client_.Stat("/small", kiv::kWantContent, &st).ok());
  EXPECT_EQ(st.body, kiv::StatResult::Body::kContent);
  EXPECT_EQ(st.content + " " + st.entry.path, "tiny /small");
  ASSERT_TRUE(client_.Stat("/", kiv::kWantContent, &st).ok());
  EXPECT_EQ(st.entry.type, kCollectionItem);
  EXPECT_EQ(client_.Stat("/none", 0, &st).reason(), Reason::kNotFound);
  // Over TCP no descriptor comes, and a large document's content does not come along.
  ASSERT_TRUE(client_.Stat("/big", kiv::kWantContent | kiv::kWantDescriptor, &st).ok());
  EXPECT_EQ(st.body, kiv::StatResult::Body::kNone);
  ASSERT_EQ(st.attributes.size, big.size());
  const struct {
    std::uint64_t offset, length;
    std::size_t buffer;
  } ranges[] = {{0, big.size(), 1 << 20},
                {(1 << 20) - 3, (2 << 20) + 5, 4093},
                {big.size() - 1, 1, 1},
                {5, 0, 1}};
  std::string got;
  for (const auto& r : ranges) {
    ASSERT_TRUE(
        read_range(client_, "/big", st.attributes, r.offset, r.length, r.buffer, &got).ok());
    EXPECT_TRUE(got == big.substr(r.offset, r.length)) << r.offset << "+" << r.length;
  }
  EXPECT_EQ(read_range(client_, "/big", st.attributes, big.size() - 1, 2, 10, &got).reason(),
            Reason::kRange);
  EXPECT_EQ(read_range(client_, "/", st.attributes, 0, 1, 10, &got).reason(), Reason::kNotDocument);
  // Rewritten (with the same bytes) after the first chunk: a later chunk is refused.
  kiv::DocumentReader reader(client_, "/big", st.attributes, 0, big.size());
  std::string buf(1 << 20, '\0');
  std::size_t n = 0;
  ASSERT_TRUE(reader.Read(buf.data(), buf.size(), &n).ok());
  ASSERT_TRUE(client_.AddDoc("/big", big));
  kiv::Status s;
  while (s.ok() && reader.remaining() > 0) s = reader.Read(buf.data(), buf.size(), &n);
  EXPECT_EQ(s.reason(), Reason::kChanged);
  ASSERT_TRUE(client_.FetchDoc("/big", &got).ok());
  EXPECT_TRUE(got == big);
}

TEST_F(ClientTest, UploadsAnswerBeforeTheBodyAndStoreNothingUnlessCommitted) {
  ASSERT_TRUE(client_.AddDoc("/d", "old"));
  {
    kiv::DocumentUpload up(client_);
    EXPECT_EQ(up.Begin("/none/d").reason(), Reason::kParentMissing);
    EXPECT_EQ(up.Write("x", 1).reason(), Reason::kParentMissing);
    EXPECT_EQ(up.Begin("/").reason(), Reason::kRefusedName);
    ASSERT_TRUE(up.Begin("/d", 7).ok());
    EXPECT_TRUE(up.Write("partial", 7).ok());
    up.Abort();
    EXPECT_EQ(up.Commit().reason(), Reason::kIo);
    ASSERT_TRUE(up.Begin("/d").ok());
    EXPECT_TRUE(up.Write("dropped with the object", 23).ok());
  }
  std::string content;
  ASSERT_TRUE(client_.GetDocContent("/d", content));
  EXPECT_EQ(content, "old");
  // Small writes gathered, a large one as it is.
  std::string body;
  kiv::DocumentUpload up(client_);
  ASSERT_TRUE(up.Begin("/d").ok());
  for (int i = 0; i < 1000; ++i) {
    const std::string block(1000, static_cast<char>('a' + i % 26));
    ASSERT_TRUE(up.Write(block.data(), block.size()).ok());
    body += block;
  }
  const std::string large(3 << 20, 'L');
  ASSERT_TRUE(up.Write(large.data(), large.size()).ok());
  body += large;
  kiv::FileAttributes stored;
  ASSERT_TRUE(up.Commit(&stored).ok());
  kiv::StatResult st;
  ASSERT_TRUE(client_.Stat("/d", 0, &st).ok());
  EXPECT_TRUE(kiv::proto::same_version(st.attributes, stored));
  ASSERT_TRUE(client_.GetDocContent("/d", content));
  EXPECT_TRUE(content == body);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(kivd_.root())) names.insert(e.path().filename());
  EXPECT_EQ(names, (std::set<std::string>{".kivd", "d"}));
}

// The web server may take its time to send a chunk on: the service closes the reader's
// connection meanwhile, and the reader asks again on a fresh one.
TEST(ClientIdleTest, AReaderLeftIdleBeyondTheServicesBoundGoesOn) {
  KivdProcess kivd({"--idle-timeout", "1"});
  ASSERT_TRUE(kivd.start());
  WebDavUtil client;
  ASSERT_TRUE(client.ConnectServer("127.0.0.1", kivd.port()));
  std::string big((4 << 20) + 3, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i / 7);
  ASSERT_TRUE(client.AddDoc("/big", big));
  kiv::StatResult st;
  ASSERT_TRUE(client.Stat("/big", 0, &st).ok());
  kiv::DocumentReader reader(client, "/big", st.attributes, 0, big.size());
  std::string got, buf(1 << 20, '\0');
  std::size_t n = 0;
  ASSERT_TRUE(reader.Read(buf.data(), buf.size(), &n).ok());
  got.append(buf, 0, n);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  do {
    ASSERT_TRUE(reader.Read(buf.data(), buf.size(), &n).ok()) << got.size();
    got.append(buf, 0, n);
  } while (n != 0);
  EXPECT_TRUE(got == big);
}

TEST(ClientLocalSocketTest, ADocumentComesAsItsOpenDescriptor) {
  KivdProcess kivd({"--socket", "@SCRATCH@/kivd.sock"});
  ASSERT_TRUE(kivd.start());
  WebDavUtil local;
  ASSERT_TRUE(local.ConnectServer(kivd.unix_address(), 0));
  std::string body(200000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i % 251);
  ASSERT_TRUE(local.AddDoc("/u", body));
  kiv::StatResult st;
  ASSERT_TRUE(local.Stat("/u", kiv::kWantContent | kiv::kWantDescriptor, &st).ok());
  ASSERT_EQ(st.body, kiv::StatResult::Body::kDescriptor);
  const int fd = st.descriptor.get();
  std::string got(body.size(), '\0');
  ASSERT_EQ(::pread(fd, got.data(), got.size(), 0), static_cast<ssize_t>(body.size()));
  EXPECT_TRUE(got == body);
  EXPECT_TRUE((::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
  EXPECT_LT(::write(fd, "x", 1), 0);  // read-only
  EXPECT_TRUE(kiv::DescriptorUnchanged(fd, st.attributes));
  ASSERT_TRUE(local.AddDoc("/u", "rewritten"));
  EXPECT_FALSE(kiv::DescriptorUnchanged(fd, st.attributes));
  ASSERT_TRUE(local.Stat("/u", kiv::kWantContent | kiv::kWantDescriptor, &st).ok());
  EXPECT_EQ(st.content, "rewritten");
  ASSERT_TRUE(local.Stat("/u", 0, &st).ok());
  EXPECT_EQ(st.body, kiv::StatResult::Body::kNone);
  ASSERT_TRUE(local.AddDoc("/u", body + body + body + body + body + body));
  ASSERT_TRUE(local.GetDocContent("/u", got));
  EXPECT_EQ(got.size(), 6 * body.size());

  // The change board beside the socket: its generation stays over reads, moves with a change and
  // with a new service, and is not to be had while none runs.
  kiv::client::BoardReader board(kiv::proto::board_path(kivd.scratch() + "/kivd.sock"));
  std::uint64_t before = 0, after = 0;
  bool steady = false;
  ASSERT_TRUE(board.generation(&before, &steady) && steady);
  ASSERT_TRUE(local.Stat("/u", 0, &st).ok());
  ASSERT_TRUE(board.generation(&after, &steady) && steady);
  EXPECT_EQ(before, after);
  ASSERT_TRUE(local.AddCollection("/c"));
  ASSERT_TRUE(board.generation(&after, &steady) && steady);
  EXPECT_NE(before, after);
  ASSERT_EQ(kivd.stop(), 0);
  EXPECT_FALSE(board.generation(&before, &steady));
  ASSERT_TRUE(kivd.start());
  ASSERT_TRUE(board.generation(&before, &steady) && steady);
  EXPECT_NE(before, after);
}

TEST_F(ClientTest, ConcurrentUploadsEachStoreTheirOwnContent) {
  constexpr int kThreads = 8;
  std::vector<std::thread> threads;
  std::vector<int> stored(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &stored] {
      for (int round = 0; round < 20; ++round) {
        // The streams of concurrent threads are their own; blocks interleave in time.
        client_.OpenStream();
        const std::string block(1000 + t, static_cast<char>('A' + t));
        for (int i = 0; i < 5; ++i) {
          client_.WriteToTempFile(block);
          std::this_thread::yield();
        }
        std::string body;
        client_.ReadFromTempFile(body);
        if (client_.AddDoc("/t" + std::to_string(t), body)) ++stored[t];
        client_.CloseStream();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(stored[t], 20);
    std::string content;
    ASSERT_TRUE(client_.GetDocContent("/t" + std::to_string(t), content));
    EXPECT_EQ(content,
              std::string(static_cast<std::size_t>(5 * (1000 + t)), static_cast<char>('A' + t)));
  }
}

TEST_F(ClientTest, ResultsBelongToTheCallingThread) {
  ASSERT_TRUE(client_.AddCollection("/one"));
  ASSERT_TRUE(client_.AddDoc("/one/a", "x"));
  ASSERT_TRUE(client_.AddDoc("/two", "x"));
  Directory* mine = nullptr;
  ASSERT_TRUE(client_.GetDirectory("/one", &mine));
  std::vector<Directory*>& list = client_.GetSubDirectory("/one/");
  std::thread other([this] {
    Directory* theirs = nullptr;
    for (int i = 0; i < 50; ++i) {
      client_.GetDirectory("/two", &theirs);
      client_.GetSubDirectory("/");
    }
  });
  other.join();
  EXPECT_EQ(mine->path, "/one");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0]->path, "/one/a");
}

TEST_F(ClientTest, ServiceRestartIsSurvivedWithoutRestartingTheClient) {
  ASSERT_TRUE(client_.AddDoc("/d", "before"));
  client_.SetTimeouts(1000, 2000);
  kivd_.kill_hard();
  const auto t0 = Clock::now();
  Directory* d = nullptr;
  std::string content;
  EXPECT_FALSE(client_.GetDirectory("/d", &d));
  EXPECT_FALSE(client_.GetDocContent("/d", content));
  EXPECT_FALSE(client_.AddDoc("/d", "while down"));
  EXPECT_TRUE(client_.GetSubDirectory("/").empty());
  EXPECT_EQ(client_.Lookup("/d", nullptr).reason(), Reason::kUnavailable);
  // Refused connections fail at once; the bound catches a hang, not a slow machine.
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(60));
  ASSERT_TRUE(kivd_.start());
  EXPECT_TRUE(client_.GetDocContent("/d", content));
  EXPECT_EQ(content, "before");

  // Pooled connections to a service that went away and came back are replaced on their own.
  std::vector<std::thread> warm;
  for (int i = 0; i < 4; ++i) warm.emplace_back([this] { client_.GetDirectory("/d", nullptr); });
  for (auto& t : warm) t.join();
  ASSERT_EQ(kivd_.stop(), 0);
  ASSERT_TRUE(kivd_.start());
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(client_.GetDirectory("/d", &d)) << i;
}

TEST_F(ClientTest, ConnectServerProbesAndKeepsNothingOpen) {
  const std::size_t before = open_fds();
  WebDavUtil fresh;
  EXPECT_TRUE(fresh.ConnectServer("127.0.0.1", kivd_.port()));
  EXPECT_TRUE(fresh.ConnectServer("localhost", kivd_.port()));
  EXPECT_EQ(open_fds(), before);
  EXPECT_FALSE(fresh.ConnectServer("127.0.0.1", free_port()));
  EXPECT_FALSE(fresh.ConnectServer("no such host.invalid", kivd_.port()));
  EXPECT_FALSE(fresh.AddCollection("/x"));  // the last address recorded is the bad one
  fresh.SetCredentials("kiv", "secret");    // a service without credentials takes any
  EXPECT_TRUE(fresh.ConnectServer("127.0.0.1", kivd_.port()));
  EXPECT_TRUE(fresh.AddCollection("/x"));
}

TEST_F(ClientTest, ChildAfterForkNeverUsesTheParentsConnections) {
  ASSERT_TRUE(client_.AddDoc("/d", "doc"));
  const std::set<unsigned int> parents = local_ports_to(kivd_.port());
  ASSERT_FALSE(parents.empty());  // an idle pooled connection
  const pid_t child = ::fork();
  if (child == 0) {
    std::string content;
    const bool ok = client_.GetDocContent("/d", content) && content == "doc";
    const std::set<unsigned int> mine = local_ports_to(kivd_.port());
    bool shared = false;
    for (unsigned int p : mine) shared = shared || parents.count(p) != 0;
    ::_exit(ok && !mine.empty() && !shared ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string content;
  EXPECT_TRUE(client_.GetDocContent("/d", content));  // the parent's connection is unharmed
  EXPECT_EQ(local_ports_to(kivd_.port()), parents);
}

TEST(ClientBusyTest, AServiceAtItsConnectionCapSaysSo) {
  KivdProcess kivd({"--max-connections", "1"});
  ASSERT_TRUE(kivd.start());
  WebDavUtil first, second;
  // A probe may meet the slot of a connection closed just before: only the address counts.
  first.ConnectServer("127.0.0.1", kivd.port());
  second.ConnectServer("127.0.0.1", kivd.port());
  const auto until = Clock::now() + std::chrono::seconds(30);
  while (!first.Lookup("/", nullptr).ok() && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(first.Lookup("/", nullptr).ok());  // its pooled connection holds the one slot
  EXPECT_EQ(second.Lookup("/", nullptr).reason(), Reason::kBusy);
  EXPECT_FALSE(second.AddCollection("/c"));
  EXPECT_TRUE(first.MakeCollection("/c").ok());
}

TEST(ClientLocalTest, UploadStreamsArePerThread) {
  WebDavUtil client;
  client.OpenStream();
  client.WriteToTempFile(std::string("ab\0", 3));
  std::thread other([&client] {
    client.OpenStream();
    client.WriteToTempFile("other");
    std::string mine;
    client.ReadFromTempFile(mine);
    EXPECT_EQ(mine, "other");
    client.CloseStream();
  });
  other.join();
  client.WriteToTempFile("c");
  std::string body;
  client.ReadFromTempFile(body);
  EXPECT_EQ(body, std::string("ab\0c", 4));
  client.ReadFromTempFile(body);
  EXPECT_EQ(body, std::string("ab\0c", 4));
  client.CloseStream();
  client.OpenStream();
  client.ReadFromTempFile(body);
  EXPECT_TRUE(body.empty());
  client.CloseStream();
}

TEST(ClientLocalTest, LargeUploadGoesToATemporaryFileAndReadsBackWhole) {
  WebDavUtil client;
  std::string expected;
  client.OpenStream();
  for (int i = 0; i < 40; ++i) {
    std::string block(64 * 1024 + i, static_cast<char>('a' + i % 26));
    block[0] = '\0';
    client.WriteToTempFile(block);
    expected += block;
  }
  ASSERT_GT(expected.size(), std::size_t{2} << 20);
  std::string body;
  client.ReadFromTempFile(body);
  EXPECT_TRUE(body == expected);
  client.ReadFromTempFile(body);
  EXPECT_TRUE(body == expected);
  client.CloseStream();
  client.OpenStream();
  client.WriteToTempFile("small again");
  client.ReadFromTempFile(body);
  EXPECT_EQ(body, "small again");
  client.CloseStream();
}

TEST(ClientLocalTest, SplitFromSlash) {
  WebDavUtil client;
  std::string first = "x", second = "y";
  client.SplitFromSlash(1, "/srv/repo/dir", first, second);
  EXPECT_EQ(first, "/srv/repo/dir");
  EXPECT_EQ(second, "");
  client.SplitFromSlash(0, "/srv/repo/dir", first, second);
  EXPECT_EQ(first, "/srv/repo/");
  EXPECT_EQ(second, "dir");
  client.SplitFromSlash(0, "/srv/repo/", first, second);
  EXPECT_EQ(first, "/srv/repo/");
  EXPECT_EQ(second, "");
  client.SplitFromSlash(0, "plain", first, second);
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, "plain");
}

TEST(ClientLocalTest, FactoryHandsOutOneObjectForItsKey) {
  WebDavUtil* a = getServiceFactoryInstance().GetService("a");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, getServiceFactoryInstance().GetService("a"));
  EXPECT_EQ(getServiceFactoryInstance().GetService("b"), nullptr);
  Directory* d = nullptr;
  EXPECT_FALSE(a->GetDirectory("/", &d));  // no address recorded yet: a clean false
}

}  // namespace
}  // namespace kiv::test
