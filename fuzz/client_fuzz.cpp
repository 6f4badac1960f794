// A hostile service against the real client: an in-process fake service answers every request
// the client sends with the fuzzer's bytes and closes the connection. Each input runs one client
// operation (chosen by its first byte) on a fresh WebDavUtil, after the ConnectServer probe that
// reads the same answer. The client must come back promptly with a result that follows from the
// answer alone: the harness decodes the answer itself and works out what the operation has to
// return (false or empty for anything malformed, the fields for a well-formed answer).
//
// Input: one operation byte, then the bytes the service answers with.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/kiv_client.h"
#include "wire/protocol.h"
#include "fuzz/fuzz_support.h"

namespace {

using kiv::proto::Decode;
using kiv::proto::Message;
using kiv::proto::Status;

constexpr int kTimeoutMs = 2000;
constexpr std::uint32_t kLargestAnnounced = 16u << 20;
// Each call must end well within its two timeouts (one per connection it opens).
constexpr auto kCallBound = std::chrono::milliseconds(3 * kTimeoutMs);

// Answers every connection with the current answer: reads one whole request frame, checks that
// the client sent a well-formed one, sends the answer and closes.
class FakeService {
 public:
  FakeService() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    KIV_FUZZ_CHECK(fd_ >= 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    KIV_FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
    KIV_FUZZ_CHECK(::listen(fd_, 16) == 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }

  unsigned int port() const { return port_; }

  void set_answer(std::string_view answer) {
    std::lock_guard<std::mutex> lock(mu_);
    answer_.assign(answer);
  }

 private:
  void loop() {
    for (;;) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      const timeval tv{kTimeoutMs / 1000, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      std::string request;
      Message m;
      std::size_t used = 0;
      Decode d = Decode::kTruncated;
      while ((d = kiv::proto::decode_frame(request, kiv::proto::kDefaultMaxPayload, &m, &used)) ==
             Decode::kTruncated) {
        char chunk[4096];
        const ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        request.append(chunk, static_cast<std::size_t>(n));
      }
      // The client never sends a frame it cannot build.
      KIV_FUZZ_CHECK(d == Decode::kOk && used == request.size());
      std::string answer;
      {
        std::lock_guard<std::mutex> lock(mu_);
        answer = answer_;
      }
      std::string_view rest(answer);
      while (!rest.empty()) {
        const ssize_t n = ::send(c, rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n <= 0) break;  // the client gave up reading, as it may
        rest.remove_prefix(static_cast<std::size_t>(n));
      }
      ::close(c);
    }
  }

  int fd_ = -1;
  unsigned int port_ = 0;
  std::mutex mu_;
  std::string answer_;
  std::thread thread_;
};

FakeService* service = nullptr;

// The answer as the client must read it: one frame with status kOk or kFalse; *m holds it.
bool well_formed(std::string_view answer, Message* m) {
  std::size_t used = 0;
  return kiv::proto::decode_frame(answer, kiv::proto::kDefaultMaxPayload, m, &used) ==
             Decode::kOk &&
         (m->code == static_cast<std::uint8_t>(Status::kOk) ||
          m->code == static_cast<std::uint8_t>(Status::kFalse));
}

bool is_ok(const Message& m) {
  return m.code == static_cast<std::uint8_t>(Status::kOk);
}

const char* type_of(std::string_view kind) {
  if (kind == "C") return kCollectionItem;
  if (kind == "D") return kDocumentItem;
  return nullptr;
}

void check_get_directory(WebDavUtil& client, bool good, const Message& m) {
  Directory* entry = nullptr;
  const bool got = client.GetDirectory("/a", &entry);
  const bool expected = good && is_ok(m) && m.fields.size() == 3 && type_of(m.fields[2]) != nullptr;
  KIV_FUZZ_CHECK(got == expected);
  if (!got) return;
  KIV_FUZZ_CHECK(entry != nullptr && entry->path == m.fields[0] && entry->name == m.fields[1]);
  KIV_FUZZ_CHECK(entry->type == type_of(m.fields[2]));
}

void check_get_sub_directory(WebDavUtil& client, bool good, const Message& m) {
  const std::vector<Directory*>& members = client.GetSubDirectory("/a/");
  // The listing the answer describes, or none when any part of it is malformed.
  std::vector<Directory> expected;
  if (good && is_ok(m) && m.fields.size() % 2 == 1 && !m.fields[0].empty() &&
      m.fields[0].back() == '/') {
    for (std::size_t i = 1; i < m.fields.size(); i += 2) {
      const std::string_view name = m.fields[i];
      const char* type = type_of(m.fields[i + 1]);
      if (type == nullptr || name.empty() || name.find('/') != std::string_view::npos ||
          name.find('\0') != std::string_view::npos) {
        expected.clear();
        break;
      }
      std::string path = std::string(m.fields[0]) + std::string(name);
      if (type == kCollectionItem) path += '/';
      expected.emplace_back(path, std::string(name), type);
    }
  }
  KIV_FUZZ_CHECK(members.size() == expected.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    KIV_FUZZ_CHECK(members[i] != nullptr && members[i]->path == expected[i].path &&
                   members[i]->name == expected[i].name && members[i]->type == expected[i].type);
  }
}

void check_get_doc_content(WebDavUtil& client, bool good, const Message& m) {
  std::string content = "left over";
  const bool got = client.GetDocContent("/a", content);
  const bool expected = good && is_ok(m) && m.fields.size() == 1;
  KIV_FUZZ_CHECK(got == expected);
  KIV_FUZZ_CHECK(got ? content == m.fields[0] : content.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  service = new FakeService;  // lives as long as the process, like its thread
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t op = data[0];
  const std::string_view answer(reinterpret_cast<const char*>(data + 1), size - 1);
  // Room reserved for an announced payload costs AddressSanitizer shadow memory for all of it.
  // An answer that announces more than a few read chunks takes the path of a smaller one, so the
  // larger ones are left out: they would only slow the run.
  std::uint32_t announced = 0;
  if (kiv::proto::decode_frame_length(answer, kiv::proto::kDefaultMaxPayload, &announced) ==
          Decode::kOk &&
      announced > kLargestAnnounced) {
    return 0;
  }
  service->set_answer(answer);
  Message m;
  const bool good = well_formed(answer, &m);

  const auto start = std::chrono::steady_clock::now();
  WebDavUtil client;
  client.SetTimeouts(kTimeoutMs, kTimeoutMs);
  const bool probed = client.ConnectServer("127.0.0.1", service->port());
  KIV_FUZZ_CHECK(probed == (good && is_ok(m) && m.fields.size() == 1 &&
                            m.fields[0] == kiv::proto::kPingAnswer));

  const bool simple_expected = good && is_ok(m) && m.fields.empty();
  switch (op % 9) {
    case 0:
      check_get_directory(client, good, m);
      break;
    case 1:
      check_get_sub_directory(client, good, m);
      break;
    case 2:
      check_get_doc_content(client, good, m);
      break;
    case 3:
      KIV_FUZZ_CHECK(client.AddDoc("/a", "body") == simple_expected);
      break;
    case 4:
      KIV_FUZZ_CHECK(client.AddCollection("/a") == simple_expected);
      break;
    case 5:
      KIV_FUZZ_CHECK(client.MoveDoc("/a", "/b") == simple_expected);
      break;
    case 6:
      KIV_FUZZ_CHECK(client.MoveCollection("/a", "/b") == simple_expected);
      break;
    case 7:
      KIV_FUZZ_CHECK(client.DelDoc("/a") == simple_expected);
      break;
    default:
      KIV_FUZZ_CHECK(client.DelCollection("/a") == simple_expected);
      break;
  }
  // A malformed answer is refused at once, not after a timeout.
  KIV_FUZZ_CHECK(std::chrono::steady_clock::now() - start < kCallBound);
  return 0;
}
