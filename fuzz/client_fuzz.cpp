// A hostile service against the real client: an in-process fake service answers every request
// the client sends with the fuzzer's bytes and closes the connection. Each input runs one client
// operation (chosen by its first byte) on a fresh WebDavUtil, after the ConnectServer probe that
// reads the same answer. The client must come back promptly with a result that follows from the
// answer alone: the harness decodes the answer itself and works out what the operation has to
// return (the reason of a failure, kBadAnswer for anything malformed, kUnavailable for an answer
// cut short, the fields for a well-formed answer; false or empty from the older calls).
//
// Input: one operation byte (the operation, whether the typed call or the older one that wraps
// it runs, and whether the client presents credentials, whose answer then comes first), then
// the bytes the service answers with, to every request.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/kiv_client.h"
#include "fuzz/fuzz_support.h"
#include "wire/protocol.h"

namespace {

using kiv::Reason;
using kiv::proto::Decode;
using kiv::proto::Message;
using kiv::proto::Op;
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

  // frames: how many request frames the client sends before it reads (2 when it presents
  // credentials ahead of its request).
  void set_answer(std::string_view answer, int frames) {
    std::lock_guard<std::mutex> lock(mu_);
    answer_.assign(answer);
    frames_ = frames;
  }

 private:
  void loop() {
    for (;;) {
      const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      const timeval tv{kTimeoutMs / 1000, 0};
      ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      std::string answer;
      int frames = 1;
      {
        std::lock_guard<std::mutex> lock(mu_);
        answer = answer_;
        frames = frames_;
      }
      std::string request;
      std::size_t start = 0;
      for (int i = 0; i < frames; ++i) {
        Message m;
        std::size_t used = 0;
        Decode d = Decode::kTruncated;
        while ((d = kiv::proto::decode_frame(std::string_view(request).substr(start),
                                             kiv::proto::kDefaultMaxPayload, &m, &used)) ==
               Decode::kTruncated) {
          char chunk[4096];
          const ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
          if (n <= 0) break;
          request.append(chunk, static_cast<std::size_t>(n));
        }
        // The client never sends a frame it cannot build, and authenticates first. (A reader
        // may have sent the request for its next chunk behind them.)
        KIV_FUZZ_CHECK(d == Decode::kOk);
        KIV_FUZZ_CHECK(i + 1 < frames ? m.code == static_cast<std::uint8_t>(Op::kAuthenticate)
                                      : m.code != static_cast<std::uint8_t>(Op::kAuthenticate));
        start += used;
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
  int frames_ = 1;
  std::thread thread_;
};

FakeService* service = nullptr;

// The reason a call must come back with, from the answer alone, before the operation looks at
// the fields of an Ok answer (*m then holds it): kNone for Ok, the reason of a False answer
// (kIo when it gives none), kTooLarge for a BadRequest that says so, kUnavailable when the
// answer ends before its frame does (the fake service closes after it), kBadAnswer otherwise.
Reason answered(std::string_view answer, Message* m) {
  std::uint32_t len = 0;
  if (answer.size() < kiv::proto::kFrameHeaderSize) return Reason::kUnavailable;
  if (kiv::proto::decode_frame_length(answer, kiv::proto::kDefaultMaxPayload, &len) !=
      Decode::kOk) {
    return Reason::kBadAnswer;
  }
  if (len > answer.size() - kiv::proto::kFrameHeaderSize) return Reason::kUnavailable;
  if (kiv::proto::decode_payload(answer.substr(kiv::proto::kFrameHeaderSize, len), m) !=
      Decode::kOk) {
    return Reason::kBadAnswer;
  }
  Reason r = Reason::kNone;
  bool given = false;
  const bool decodes = kiv::proto::decode_reason(m->fields, &r, &given) == Decode::kOk;
  switch (static_cast<Status>(m->code)) {
    case Status::kOk:
      return Reason::kNone;
    case Status::kFalse:
      return !decodes ? Reason::kBadAnswer : given ? r : Reason::kIo;
    case Status::kBadRequest:
      return decodes && given && r == Reason::kTooLarge ? Reason::kTooLarge : Reason::kBadAnswer;
  }
  return Reason::kBadAnswer;
}

// answered() for a client that presented credentials: the answer to them comes first, and
// *answer is left at the request's own. A refusal stands for the call (kBusy from a busy
// service, kUnavailable otherwise); an answer to them that does not decode is kBadAnswer, one
// cut short kUnavailable.
Reason answered_after_credentials(std::string_view* answer, Message* m);

// The first part of that: the answer to the credentials, taken off *answer when it accepts them.
Reason credentials_accepted(std::string_view* answer) {
  constexpr std::uint32_t kMaxAuthAnswer = 64;  // as the client reads it
  std::uint32_t len = 0;
  if (answer->size() < kiv::proto::kFrameHeaderSize) return Reason::kUnavailable;
  if (kiv::proto::decode_frame_length(*answer, kMaxAuthAnswer, &len) != Decode::kOk) {
    return Reason::kBadAnswer;
  }
  if (len > answer->size() - kiv::proto::kFrameHeaderSize) return Reason::kUnavailable;
  Message a;
  if (kiv::proto::decode_payload(answer->substr(kiv::proto::kFrameHeaderSize, len), &a) !=
      Decode::kOk) {
    return Reason::kBadAnswer;
  }
  if (a.code != static_cast<std::uint8_t>(Status::kOk) || !a.fields.empty()) {
    Reason r = Reason::kNone;
    bool given = false;
    return a.code == static_cast<std::uint8_t>(Status::kFalse) &&
                   kiv::proto::decode_reason(a.fields, &r, &given) == Decode::kOk && given &&
                   r == Reason::kBusy
               ? Reason::kBusy
               : Reason::kUnavailable;
  }
  answer->remove_prefix(kiv::proto::kFrameHeaderSize + len);
  return Reason::kNone;
}

Reason answered_after_credentials(std::string_view* answer, Message* m) {
  const Reason r = credentials_accepted(answer);
  return r != Reason::kNone ? r : answered(*answer, m);
}

// What an operation answers: the answer's reason, or for an Ok answer whether its fields fit.
Reason expected(Reason answered, bool fits) {
  if (answered != Reason::kNone) return answered;
  return fits ? Reason::kNone : Reason::kBadAnswer;
}

const char* type_of(std::string_view kind) {
  if (kind == "C") return kCollectionItem;
  if (kind == "D") return kDocumentItem;
  return nullptr;
}

// wrapped: through the older call that answers bool, instead of the typed one.
void check_lookup(WebDavUtil& client, Reason base, const Message& m, bool wrapped) {
  const Reason want = expected(base, m.fields.size() == 3 && type_of(m.fields[2]) != nullptr);
  Directory entry;
  if (wrapped) {
    Directory* got = nullptr;
    KIV_FUZZ_CHECK(client.GetDirectory("/a", &got) == (want == Reason::kNone));
    if (got != nullptr) entry = *got;
  } else {
    KIV_FUZZ_CHECK(client.Lookup("/a", &entry).reason() == want);
  }
  if (want != Reason::kNone) return;
  KIV_FUZZ_CHECK(entry.path == m.fields[0] && entry.name == m.fields[1]);
  KIV_FUZZ_CHECK(entry.type == type_of(m.fields[2]));
}

void check_listing(WebDavUtil& client, Reason base, const Message& m, bool wrapped) {
  // The listing the answer describes, or none when any part of it is malformed.
  std::vector<Directory> expected_members;
  bool fits = m.fields.size() % 2 == 1 && !m.fields[0].empty() && m.fields[0].back() == '/';
  for (std::size_t i = 1; fits && i < m.fields.size(); i += 2) {
    const std::string_view name = m.fields[i];
    const char* type = type_of(m.fields[i + 1]);
    fits = type != nullptr && !name.empty() && name.find('/') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
    std::string path = std::string(m.fields[0]) + std::string(name);
    if (type == kCollectionItem) path += '/';
    if (fits) expected_members.emplace_back(path, std::string(name), type);
  }
  const Reason want = expected(base, fits);
  if (want != Reason::kNone) expected_members.clear();
  std::vector<Directory> members;
  if (wrapped) {
    for (const Directory* d : client.GetSubDirectory("/a/")) members.push_back(*d);
  } else {
    KIV_FUZZ_CHECK(client.ListMembers("/a/", &members).reason() == want);
  }
  KIV_FUZZ_CHECK(members.size() == expected_members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    KIV_FUZZ_CHECK(members[i].path == expected_members[i].path &&
                   members[i].name == expected_members[i].name &&
                   members[i].type == expected_members[i].type);
  }
}

// What Stat("/a", kWantContent) answers: its reason, and for an Ok answer the fields that fit.
Reason stat_expected(Reason base, const Message& m, kiv::FileAttributes* a) {
  if (base != Reason::kNone) return base;
  const auto& f = m.fields;
  if (f.size() < 5 || type_of(f[2]) == nullptr || !kiv::proto::decode_attributes(f[3], a)) {
    return Reason::kBadAnswer;
  }
  const bool fits = (f[4] == "N" && f.size() == 5) ||
                    (f[4] == "C" && f.size() == 6 && f[2] == "D" && f[5].size() == a->size);
  return fits ? Reason::kNone : Reason::kBadAnswer;
}

// What a reader of [at, length) makes of the answers in stream, after which the connection ends:
// the reason, and the bytes read. A chunk cut short is asked for again, once, on a fresh
// connection, which answers fresh.
Reason read_expected(std::string_view stream, std::uint64_t length, std::string* data,
                     std::string_view fresh, std::uint64_t at = 0, bool retried = false) {
  if (!retried) data->clear();
  constexpr std::size_t kHead = kiv::proto::kFrameHeaderSize + kiv::proto::kPayloadHeaderSize;
  while (at < length) {
    const auto want = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kiv::DocumentReader::kChunk, length - at));
    if (stream.size() < kHead) return Reason::kUnavailable;
    std::uint32_t len = 0;
    if (kiv::proto::decode_frame_length(stream, kiv::proto::kDefaultMaxPayload, &len) !=
        Decode::kOk) {
      return Reason::kBadAnswer;
    }
    const std::uint32_t count = kiv::proto::get_u32(stream.data() + 5);
    if (stream[4] == 0) {
      if (count != 1 || len != 9 + std::uint64_t{want}) return Reason::kBadAnswer;
      if (stream.size() < kHead + 4) return Reason::kUnavailable;
      if (kiv::proto::get_u32(stream.data() + kHead) != want) return Reason::kBadAnswer;
      if (stream.size() < kHead + 4 + want) {
        return retried ? Reason::kUnavailable : read_expected(fresh, length, data, fresh, at, true);
      }
      data->append(stream.substr(kHead + 4, want));
      stream.remove_prefix(kHead + 4 + want);
      at += want;
      continue;
    }
    if (len > 64) return Reason::kBadAnswer;
    if (stream.size() < 4 + std::size_t{len}) return Reason::kUnavailable;
    Message failure;
    if (kiv::proto::decode_payload(stream.substr(4, len), &failure) != Decode::kOk) {
      return Reason::kBadAnswer;
    }
    Reason r = Reason::kNone;
    bool given = false;
    const bool decodes = kiv::proto::decode_reason(failure.fields, &r, &given) == Decode::kOk;
    if (failure.code == 1) return !decodes ? Reason::kBadAnswer : given ? r : Reason::kIo;
    return failure.code == 2 && decodes && given && r == Reason::kTooLarge ? Reason::kTooLarge
                                                                           : Reason::kBadAnswer;
  }
  return Reason::kNone;
}

// FetchDoc: a Stat that wants the content, then a reader on the connection the Stat used. The
// bytes that the fake service sent after the Stat's answer wait there; with none, that
// connection is found closed and the reader asks again on a fresh one, which answers the same.
void check_fetch(WebDavUtil& client, std::string_view answer, Reason base, const Message& m,
                 bool wrapped) {
  kiv::FileAttributes a;
  Reason want = stat_expected(base, m, &a);
  std::string expected_content;
  if (want == Reason::kNone && m.fields[2] != "D") want = Reason::kNotDocument;
  if (want == Reason::kNone && m.fields[4] == "C") expected_content.assign(m.fields[5]);
  if (want == Reason::kNone && m.fields[4] == "N") {
    const std::size_t used = kiv::proto::kFrameHeaderSize + kiv::proto::get_u32(answer.data());
    const std::string_view rest = answer.substr(used);
    want = read_expected(rest.empty() ? answer : rest, a.size, &expected_content, answer);
  }
  std::string content = "left over";
  if (wrapped) {
    KIV_FUZZ_CHECK(client.GetDocContent("/a", content) == (want == Reason::kNone));
  } else {
    KIV_FUZZ_CHECK(client.FetchDoc("/a", &content).reason() == want);
  }
  KIV_FUZZ_CHECK(want == Reason::kNone ? content == expected_content : content.empty());
}

void check_stat(WebDavUtil& client, Reason base, const Message& m) {
  kiv::FileAttributes a;
  const Reason want = stat_expected(base, m, &a);
  kiv::StatResult st;
  KIV_FUZZ_CHECK(client.Stat("/a", kiv::kWantContent, &st).reason() == want);
  if (want != Reason::kNone) return;
  KIV_FUZZ_CHECK(st.entry.path == m.fields[0] && st.entry.type == type_of(m.fields[2]));
  KIV_FUZZ_CHECK(kiv::proto::same_version(st.attributes, a) && st.attributes.mode == a.mode);
  KIV_FUZZ_CHECK(m.fields.size() == 6 ? st.content == m.fields[5] : st.content.empty());
}

// A reader presents credentials (when it must) in the same write as its first request.
void check_reader(WebDavUtil& client, std::string_view answer, bool credentials) {
  std::string want_data;
  Reason want = credentials ? credentials_accepted(&answer) : Reason::kNone;
  if (want == Reason::kNone) want = read_expected(answer, 5, &want_data, answer);
  kiv::DocumentReader reader(client, "/a", kiv::FileAttributes(), 0, 5);
  char buf[8];
  std::size_t got = 0;
  const kiv::Status s = reader.Read(buf, sizeof buf, &got);
  KIV_FUZZ_CHECK(s.reason() == want);
  KIV_FUZZ_CHECK(std::string_view(buf, got) == (want == Reason::kNone ? want_data : ""));
  KIV_FUZZ_CHECK(reader.Read(buf, sizeof buf, &got).reason() == want && got == 0);
}

// Begin is one round trip; what the commit meets on a connection the fake service closed
// depends on timing, so only a failed begin's reason is checked there.
void check_upload(WebDavUtil& client, Reason base, const Message& m) {
  const Reason want = expected(base, m.fields.empty());
  kiv::DocumentUpload up(client);
  KIV_FUZZ_CHECK(up.Begin("/a", 4).reason() == want);
  up.Write("body", 4);
  const kiv::Status committed = up.Commit();
  KIV_FUZZ_CHECK(want == Reason::kNone || committed.reason() == want);
}

void check_copy_collection(WebDavUtil& client, Reason base, const Message& m) {
  std::vector<kiv::CopyFailure> expected_failures;
  bool fits = m.fields.size() % 2 == 0;
  for (std::size_t i = 0; fits && i < m.fields.size(); i += 2) {
    Reason r = Reason::kNone;
    bool given = false;
    fits = !m.fields[i].empty() && m.fields[i][0] != '/' &&
           m.fields[i].find('\0') == std::string_view::npos &&
           kiv::proto::decode_reason({m.fields[i + 1]}, &r, &given) == Decode::kOk && given;
    expected_failures.push_back({std::string(m.fields[i]), r});
  }
  const Reason want = expected(base, fits);
  std::vector<kiv::CopyFailure> failures{{"left over", Reason::kIo}};
  KIV_FUZZ_CHECK(client.CopyCollection("/a", "/b", -1, &failures).reason() == want);
  if (want != Reason::kNone) {
    KIV_FUZZ_CHECK(failures.empty());
    return;
  }
  KIV_FUZZ_CHECK(failures.size() == expected_failures.size());
  for (std::size_t i = 0; i < failures.size(); ++i) {
    KIV_FUZZ_CHECK(failures[i].path == expected_failures[i].path &&
                   failures[i].reason == expected_failures[i].reason);
  }
}

// The operations that answer nothing but their status, typed and wrapped.
void check_simple(WebDavUtil& client, int which, Reason base, const Message& m, bool wrapped) {
  const Reason want = expected(base, m.fields.empty());
  using Typed = kiv::Status (*)(WebDavUtil&);
  using Plain = bool (*)(WebDavUtil&);
  static const struct {
    Typed typed;
    Plain plain;
  } ops[] = {
      {[](WebDavUtil& c) { return c.StoreDoc("/a", "body"); },
       [](WebDavUtil& c) { return c.AddDoc("/a", "body"); }},
      {[](WebDavUtil& c) { return c.MakeCollection("/a"); },
       [](WebDavUtil& c) { return c.AddCollection("/a"); }},
      {[](WebDavUtil& c) { return c.Move("/a", "/b", false); },
       [](WebDavUtil& c) { return c.MoveDoc("/a", "/b"); }},
      {[](WebDavUtil& c) { return c.Move("/a", "/b", true); },
       [](WebDavUtil& c) { return c.MoveCollection("/a", "/b"); }},
      {[](WebDavUtil& c) { return c.DeleteDoc("/a"); },
       [](WebDavUtil& c) { return c.DelDoc("/a"); }},
      {[](WebDavUtil& c) { return c.DeleteAny("/a"); },
       [](WebDavUtil& c) { return c.DelCollection("/a"); }},
      {[](WebDavUtil& c) { return c.CopyDoc("/a", "/b"); },  // no older call: typed either way
       [](WebDavUtil& c) { return c.CopyDoc("/a", "/b").ok(); }},
  };
  if (wrapped) {
    KIV_FUZZ_CHECK(ops[which].plain(client) == (want == Reason::kNone));
  } else {
    KIV_FUZZ_CHECK(ops[which].typed(client).reason() == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  service = new FakeService;  // lives as long as the process, like its thread
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool credentials = (data[0] & 0x80) != 0;
  const std::uint8_t op = data[0] & 0x7f;
  const std::string_view answer(reinterpret_cast<const char*>(data + 1), size - 1);
  Message m;
  std::string_view own = answer;
  const Reason base = credentials ? answered_after_credentials(&own, &m) : answered(own, &m);
  // Room reserved for an announced payload costs AddressSanitizer shadow memory for all of it.
  // An answer that announces more than a few read chunks takes the path of a smaller one, so the
  // larger ones are left out: they would only slow the run.
  std::uint32_t announced = 0;
  if (kiv::proto::decode_frame_length(own, kiv::proto::kDefaultMaxPayload, &announced) ==
          Decode::kOk &&
      announced > kLargestAnnounced) {
    return 0;
  }
  service->set_answer(answer, credentials ? 2 : 1);

  const auto start = std::chrono::steady_clock::now();
  WebDavUtil client;
  client.SetTimeouts(kTimeoutMs, kTimeoutMs);
  if (credentials) client.SetCredentials("kiv", "secret");
  const bool probed = client.ConnectServer("127.0.0.1", service->port());
  KIV_FUZZ_CHECK(probed == (base == Reason::kNone && m.code == 0 && m.fields.size() == 1 &&
                            m.fields[0] == kiv::proto::kPingAnswer));

  // 0 to 8: the operations that have an older call beside the typed one; 9 and up the others.
  const bool wrapped = (op / 14) % 2 == 1;
  switch (op % 14) {
    case 0:
      check_lookup(client, base, m, wrapped);
      break;
    case 1:
      check_listing(client, base, m, wrapped);
      break;
    case 2:
      check_fetch(client, own, base, m, wrapped);
      break;
    case 10:
      check_copy_collection(client, base, m);
      break;
    case 11:
      check_stat(client, base, m);
      break;
    case 12:
      check_reader(client, answer, credentials);
      break;
    case 13:
      check_upload(client, base, m);
      break;
    default:
      check_simple(client, op % 14 - 3, base, m, wrapped);
      break;
  }
  // A malformed answer is refused at once, not after a timeout.
  KIV_FUZZ_CHECK(std::chrono::steady_clock::now() - start < kCallBound);
  return 0;
}
