// A hostile client against the repository service: the real Server and Store, serving a scratch
// root over loopback, read the input as the request stream of one connection. The harness works
// out, from the same bytes, which responses the service owes (one per well-formed request, and
// a bad-request answer where the stream stops making sense), and checks that exactly those come
// back, well-formed and with the fields each operation answers with. Nothing may change outside
// the scratch root; the root is emptied before every input, so every input starts from the same
// empty repository and the scratch space never grows beyond what one input writes.
//
// Input: the bytes a client sends on one connection, which is then half-closed. Every request
// but an upload's writes owes one answer.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/names.h"
#include "fuzz/fuzz_support.h"
#include "service/log.h"
#include "service/server.h"
#include "service/store.h"
#include "wire/net_io.h"
#include "wire/protocol.h"

// The service's log is kept in memory here: every refused request writes a line, and the
// fuzzer's own output must stay readable. The last lines are shown when an invariant fails. This
// definition takes the place of the one in the library.
namespace {
std::mutex log_mu;
std::deque<std::string> log_tail;
constexpr std::size_t kLogTail = 32;
}  // namespace

namespace kiv::service {
void log_line(const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  std::lock_guard<std::mutex> lock(log_mu);
  log_tail.emplace_back(line);
  if (log_tail.size() > kLogTail) log_tail.pop_front();
}
}  // namespace kiv::service

namespace {

using kiv::Reason;
using kiv::proto::Decode;
using kiv::proto::Message;
using kiv::proto::Op;
using kiv::proto::Status;

// The service's own default: lengths that lie within it are part of what is tried.
constexpr std::uint32_t kMaxFrame = kiv::proto::kDefaultMaxRequest;
constexpr int kDeadlineMs = 10000;
constexpr char kSentinel[] = "outside the root";

// KIV_FUZZ_CHECK, with the service's last log lines shown first.
#define KIV_SERVICE_CHECK(cond)                             \
  do {                                                      \
    if (!(cond)) {                                          \
      dump_log();                                           \
      ::kiv::fuzz::check_failed(#cond, __FILE__, __LINE__); \
    }                                                       \
  } while (0)

void dump_log() {
  std::lock_guard<std::mutex> lock(log_mu);
  std::fprintf(stderr, "the service's last log lines:\n");
  for (const std::string& line : log_tail) std::fprintf(stderr, "  %s\n", line.c_str());
}

struct Harness {
  std::string base;  // scratch directory: "root" and the sentinel file "outside"
  std::string root;
  std::unique_ptr<kiv::service::Store> store;
  std::unique_ptr<kiv::service::Server> server;
  int stop_pipe[2] = {-1, -1};
  std::thread thread;
};

Harness* harness = nullptr;

// Removes name (a file or a whole directory) below dir_fd.
void remove_at(int dir_fd, const char* name) {
  if (::unlinkat(dir_fd, name, 0) == 0 || errno == ENOENT) return;
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  for (const std::string& n : names) remove_at(::dirfd(d), n.c_str());
  ::closedir(d);
  ::unlinkat(dir_fd, name, AT_REMOVEDIR);
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.emplace_back(e->d_name);
    }
  }
  ::closedir(d);
  return names;
}

// Empties the root, keeping the service's private directory and its journal directory.
void reset_root() {
  const int root = ::open(harness->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  KIV_FUZZ_CHECK(root >= 0);
  const std::string priv(kiv::kPrivatePrefix);
  const std::string journal = priv + "/" + std::string(kiv::service::kJournalName);
  for (const std::string& n : names_in(harness->root)) {
    if (n != priv) remove_at(root, n.c_str());
  }
  for (const std::string& n : names_in(harness->root + "/" + priv)) {
    if (n != kiv::service::kJournalName) remove_at(root, (priv + "/" + n).c_str());
  }
  // The journal slots stay (the store makes them once); records kept beside them go.
  for (const std::string& n : names_in(harness->root + "/" + journal)) {
    if (n.rfind("slot-", 0) == 0) continue;
    remove_at(root, (journal + "/" + n).c_str());
  }
  ::close(root);
}

void check_confined() {
  const std::vector<std::string> names = names_in(harness->base);
  KIV_FUZZ_CHECK(std::set<std::string>(names.begin(), names.end()) ==
                 std::set<std::string>({"root", "outside"}));
  char buf[sizeof kSentinel] = {};
  const int fd = ::open((harness->base + "/outside").c_str(), O_RDONLY | O_CLOEXEC);
  KIV_FUZZ_CHECK(fd >= 0);
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  KIV_FUZZ_CHECK(n == static_cast<ssize_t>(sizeof kSentinel - 1) &&
                 std::memcmp(buf, kSentinel, sizeof kSentinel - 1) == 0);
}

void shut_down() {
  if (harness == nullptr) return;
  const char stop = 1;
  if (::write(harness->stop_pipe[1], &stop, 1) == 1 && harness->thread.joinable()) {
    harness->thread.join();
  }
  remove_at(AT_FDCWD, harness->base.c_str());
}

// What the service owes for one request: the operation, or 0 for a bad-request answer (which
// carries the reason kTooLarge when too_large); for a read, the bytes it asked for.
struct Owed {
  std::uint8_t op = 0;
  bool too_large = false;
  std::uint32_t length = 0;
};

// Reads the stream as the service does and lists the answers it owes, in order.
std::vector<Owed> owed_answers(std::string_view stream) {
  std::vector<Owed> owed;
  for (;;) {
    if (stream.size() < kiv::proto::kFrameHeaderSize) return owed;  // closed between frames
    std::uint32_t len = 0;
    const Decode head = kiv::proto::decode_frame_length(stream, kMaxFrame, &len);
    if (head != Decode::kOk) {
      owed.push_back({0, head == Decode::kOversized});
      return owed;
    }
    if (len > stream.size() - kiv::proto::kFrameHeaderSize) return owed;  // cut short
    Message m;
    if (kiv::proto::decode_payload(stream.substr(kiv::proto::kFrameHeaderSize, len), &m) !=
            Decode::kOk ||
        !kiv::proto::request_fits(m)) {
      owed.push_back({});
      return owed;
    }
    // An upload's writes are never answered.
    if (!kiv::proto::is_one_way(static_cast<Op>(m.code))) {
      const bool read = static_cast<Op>(m.code) == Op::kRead;
      owed.push_back({m.code, false, read ? kiv::proto::get_u32(m.fields[3].data()) : 0});
    }
    stream.remove_prefix(kiv::proto::kFrameHeaderSize + len);
  }
}

// Sends the input on a fresh connection, half-closes it and reads every byte of the answers
// until the service closes its end. *reset tells whether the service reset the connection
// (it closed with bytes of the input unread).
std::string converse(std::string_view input, bool* reset) {
  *reset = false;
  std::string why;
  kiv::net::UniqueFd fd(
      kiv::net::connect_tcp("127.0.0.1", harness->server->port(), kDeadlineMs, &why));
  KIV_SERVICE_CHECK(fd.valid());
  std::string received;
  bool half_closed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  for (;;) {
    if (input.empty() && !half_closed) {
      ::shutdown(fd.get(), SHUT_WR);
      half_closed = true;
    }
    pollfd p{fd.get(), static_cast<short>(POLLIN | (input.empty() ? 0 : POLLOUT)), 0};
    const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          deadline - std::chrono::steady_clock::now())
                                          .count());
    // The service must answer and close within the deadline: anything else is a hang.
    KIV_SERVICE_CHECK(left > 0);
    if (::poll(&p, 1, left) <= 0) continue;
    if ((p.revents & POLLOUT) != 0) {
      const ssize_t n = ::send(fd.get(), input.data(), input.size(), MSG_NOSIGNAL);
      if (n > 0) {
        input.remove_prefix(static_cast<std::size_t>(n));
      } else if (errno == EPIPE || errno == ECONNRESET) {
        input = {};  // the service closed after a bad request; what is left goes unsent
        *reset = true;
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buf[65536];
      const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
      if (n > 0) {
        received.append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        if (n < 0 && errno == ECONNRESET) *reset = true;
        return received;
      }
    }
  }
}

// The reasons an operation may fail with: any may meet a refused URI, a full disk or a failure
// to read or write; the others fit the operation.
bool may_fail_with(Op op, Reason r) {
  using R = Reason;
  if (r == R::kIo || r == R::kNoSpace || r == R::kRefusedName) return true;
  switch (op) {
    case Op::kGetDirectory:
      return r == R::kNotFound;
    case Op::kGetSubDirectory:
      return r == R::kNotFound || r == R::kNotCollection;
    case Op::kAddDoc:
      return r == R::kParentMissing || r == R::kNotCollection || r == R::kNotDocument ||
             r == R::kTooLarge || r == R::kExists || r == R::kForbidden;
    case Op::kGetDocContent:
      return r == R::kNotFound || r == R::kNotDocument || r == R::kTooLarge;
    case Op::kAddCollection:
      return r == R::kExists || r == R::kParentMissing || r == R::kNotCollection;
    case Op::kMoveDoc:
    case Op::kMoveCollection:
      return r == R::kNotFound || r == R::kNotDocument || r == R::kNotCollection ||
             r == R::kExists || r == R::kParentMissing;
    case Op::kDelDoc:
      return r == R::kNotFound || r == R::kNotDocument;
    case Op::kDelCollection:
      return r == R::kNotFound;
    case Op::kCopyDoc:
      return r == R::kNotFound || r == R::kNotDocument || r == R::kParentMissing ||
             r == R::kNotCollection || r == R::kForbidden || r == R::kExists;
    case Op::kCopyCollection:
      return r == R::kNotFound || r == R::kNotCollection || r == R::kExists ||
             r == R::kParentMissing;
    case Op::kStat:
      return r == R::kNotFound;
    case Op::kRead:
      return r == R::kNotFound || r == R::kNotDocument || r == R::kChanged || r == R::kRange ||
             r == R::kTooLarge;
    case Op::kUploadBegin:
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
      return r == R::kParentMissing || r == R::kNotCollection || r == R::kNotDocument ||
             r == R::kTooLarge || r == R::kExists || r == R::kForbidden;
    case Op::kPing:
    case Op::kAuthenticate:  // a service without credentials takes any
    case Op::kUploadWrite:
    case Op::kUploadAbort:
      return false;
  }
  return false;
}

// The fields of a success fit the operation.
void check_success(const Owed& owed, Op op, const Message& m) {
  Reason r = Reason::kNone;
  bool given = false;
  switch (op) {
    case Op::kGetDirectory:
      KIV_SERVICE_CHECK(m.fields.size() == 3 && !m.fields[0].empty() && m.fields[0][0] == '/');
      KIV_SERVICE_CHECK(m.fields[2] == "C" || m.fields[2] == "D");
      break;
    case Op::kGetSubDirectory:
      KIV_SERVICE_CHECK(m.fields.size() % 2 == 1 && !m.fields[0].empty() &&
                        m.fields[0].back() == '/');
      for (std::size_t i = 1; i < m.fields.size(); i += 2) {
        KIV_SERVICE_CHECK(!m.fields[i].empty() && m.fields[i].find('/') == std::string_view::npos);
        KIV_SERVICE_CHECK(!kiv::is_reserved_name(m.fields[i]));
        KIV_SERVICE_CHECK(m.fields[i + 1] == "C" || m.fields[i + 1] == "D");
      }
      break;
    case Op::kGetDocContent:
      KIV_SERVICE_CHECK(m.fields.size() == 1);
      break;
    case Op::kCopyCollection:
      // The members left out: a relative path and a reason each.
      KIV_SERVICE_CHECK(m.fields.size() % 2 == 0);
      for (std::size_t i = 0; i < m.fields.size(); i += 2) {
        KIV_SERVICE_CHECK(!m.fields[i].empty() && m.fields[i][0] != '/');
        KIV_SERVICE_CHECK(kiv::proto::decode_reason({m.fields[i + 1]}, &r, &given) == Decode::kOk &&
                          given);
      }
      break;
    case Op::kStat: {
      // Over TCP a document's content may come along, never its descriptor.
      kiv::proto::Attributes a;
      KIV_SERVICE_CHECK(m.fields.size() >= 5 && !m.fields[0].empty() && m.fields[0][0] == '/');
      KIV_SERVICE_CHECK(m.fields[2] == "C" || m.fields[2] == "D");
      KIV_SERVICE_CHECK(kiv::proto::decode_attributes(m.fields[3], &a));
      KIV_SERVICE_CHECK((m.fields.size() == 5 && m.fields[4] == "N") ||
                        (m.fields.size() == 6 && m.fields[4] == "C" && m.fields[2] == "D" &&
                         m.fields[5].size() == a.size));
      break;
    }
    case Op::kRead:
      KIV_SERVICE_CHECK(m.fields.size() == 1 && m.fields[0].size() == owed.length);
      break;
    case Op::kUploadCommit:
    case Op::kUploadCommitNew:
      KIV_SERVICE_CHECK(m.fields.size() == 1 && m.fields[0].size() == kiv::proto::kAttributesSize);
      break;
    default:
      KIV_SERVICE_CHECK(m.fields.empty());
      break;
  }
}

void check_answer(const Owed& owed, const Message& m) {
  Reason r = Reason::kNone;
  bool given = false;
  if (owed.op == 0) {
    KIV_SERVICE_CHECK(m.code == static_cast<std::uint8_t>(Status::kBadRequest));
    KIV_SERVICE_CHECK(kiv::proto::decode_reason(m.fields, &r, &given) == Decode::kOk);
    KIV_SERVICE_CHECK(given == owed.too_large && (!given || r == Reason::kTooLarge));
    return;
  }
  const auto op = static_cast<Op>(owed.op);
  if (op == Op::kPing) {
    KIV_SERVICE_CHECK(m.code == static_cast<std::uint8_t>(Status::kOk));
    KIV_SERVICE_CHECK(m.fields.size() == 1 && m.fields[0] == kiv::proto::kPingAnswer);
    return;
  }
  if (m.code == static_cast<std::uint8_t>(Status::kFalse)) {
    // Every failure says why, with a reason that fits the operation.
    KIV_SERVICE_CHECK(kiv::proto::decode_reason(m.fields, &r, &given) == Decode::kOk && given);
    KIV_SERVICE_CHECK(may_fail_with(op, r));
    return;
  }
  KIV_SERVICE_CHECK(m.code == static_cast<std::uint8_t>(Status::kOk));
  check_success(owed, op, m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  harness = new Harness;
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kiv-fuzz-service-XXXXXX";
  KIV_FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
  harness->base = pattern;
  harness->root = harness->base + "/root";
  KIV_FUZZ_CHECK(::mkdir(harness->root.c_str(), 0700) == 0);
  const int fd =
      ::open((harness->base + "/outside").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  KIV_FUZZ_CHECK(fd >= 0 && ::write(fd, kSentinel, sizeof kSentinel - 1) ==
                                static_cast<ssize_t>(sizeof kSentinel - 1));
  ::close(fd);

  kiv::service::StoreOptions store_options;
  store_options.durable = false;  // nothing here must survive a crash; fsync only slows down
  store_options.max_document = 16 << 20;  // an upload's announced length claims its room
  std::string why;
  harness->store = kiv::service::Store::open(harness->root, store_options, &why);
  KIV_FUZZ_CHECK(harness->store != nullptr);
  kiv::service::ServerOptions server_options;
  server_options.max_frame = kMaxFrame;
  server_options.max_connections = 4;
  server_options.io_timeout_ms = 2000;
  server_options.stop_grace_ms = 2000;
  harness->server = std::make_unique<kiv::service::Server>(harness->store.get(), server_options);
  KIV_FUZZ_CHECK(harness->server->listen("127.0.0.1", 0, &why));
  KIV_FUZZ_CHECK(::pipe2(harness->stop_pipe, O_CLOEXEC) == 0);
  harness->thread = std::thread([] { harness->server->run(harness->stop_pipe[0]); });
  std::atexit(shut_down);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  reset_root();
  {
    std::lock_guard<std::mutex> lock(log_mu);
    log_tail.clear();
  }
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  bool reset = false;
  const std::string received = converse(input, &reset);

  const std::vector<Owed> owed = owed_answers(input);
  // A service that refuses a request closes at once, and when input is left unread the close
  // resets the connection, which may drop answers not yet read from the socket (TCP's rule, not
  // the service's). Only then may answers be missing, the refusal's included.
  const bool may_lose = reset && !owed.empty() && owed.back().op == 0;
  std::string_view rest(received);
  for (const Owed& o : owed) {
    Message m;
    std::size_t consumed = 0;
    const Decode d = kiv::proto::decode_frame(rest, kiv::proto::kDefaultMaxPayload, &m, &consumed);
    if (may_lose && d == Decode::kTruncated) {
      rest = {};
      break;
    }
    KIV_SERVICE_CHECK(d == Decode::kOk);
    check_answer(o, m);
    rest.remove_prefix(consumed);
  }
  KIV_SERVICE_CHECK(rest.empty());
  check_confined();
  return 0;
}
