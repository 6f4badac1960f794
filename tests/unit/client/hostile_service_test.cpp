// A tiny fake service that answers every request with something broken or refused: the client
// must come back with the reason the answer stands for (a clean false, or an empty list, from the
// older calls), without hanging, and never crash.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "client/kiv_client.h"
#include "tests/support/loopback_service.h"
#include "wire/protocol.h"

namespace {

using Clock = std::chrono::steady_clock;
using kiv::Reason;
using kiv::proto::FrameBuilder;
using kiv::proto::Status;

// Far beyond the client's timeouts below: only a hang runs into it, not a slow machine.
constexpr auto kHang = std::chrono::seconds(60);

std::string answer(Status status, std::initializer_list<std::string_view> fields) {
  return FrameBuilder(static_cast<std::uint8_t>(status), fields).flatten();
}

std::string reason(Reason r) {
  return std::string(1, static_cast<char>(r));
}

// Answers each request (read whole) with whatever answer() returns, then closes.
class FakeService {
 public:
  unsigned int port() const { return listener_.port(); }
  void set_answer(std::function<std::string()> answer) {
    std::lock_guard<std::mutex> lock(mu_);
    answer_ = std::move(answer);
  }
  std::atomic<bool> hold_open{false};  // keep the connection open after answering

 private:
  void serve(int c, const std::atomic<bool>& stopping) {
    std::string buf;
    char chunk[4096];
    kiv::proto::Message m;
    std::size_t used = 0;
    while (kiv::proto::decode_frame(buf, 1 << 30, &m, &used) == kiv::proto::Decode::kTruncated) {
      const ssize_t n = ::recv(c, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buf.append(chunk, static_cast<std::size_t>(n));
    }
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (answer_) reply = answer_();
    }
    ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    while (hold_open && !stopping) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::mutex mu_;
  std::function<std::string()> answer_;
  // Last: its thread stops before the members it uses go.
  kiv_test::LoopbackService listener_{
      [this](int c, const std::atomic<bool>& stopping) { serve(c, stopping); }};
};

class HostileServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client_.SetTimeouts(500, 500);
    client_.ConnectServer("127.0.0.1", fake_.port());
  }
  // Every operation must answer false (or empty), and not hang.
  void expect_all_fail(const char* what) {
    const auto t0 = Clock::now();
    Directory* d = nullptr;
    std::string content = "stale";
    EXPECT_FALSE(client_.GetDirectory("/x", &d)) << what;
    EXPECT_TRUE(client_.GetSubDirectory("/").empty()) << what;
    EXPECT_FALSE(client_.GetDocContent("/x", content)) << what;
    EXPECT_TRUE(content.empty()) << what;
    EXPECT_FALSE(client_.AddDoc("/x", "body")) << what;
    EXPECT_FALSE(client_.AddCollection("/x")) << what;
    EXPECT_FALSE(client_.MoveDoc("/x", "/y")) << what;
    EXPECT_FALSE(client_.DelCollection("/x")) << what;
    EXPECT_LT(Clock::now() - t0, kHang) << what;
  }
  FakeService fake_;
  WebDavUtil client_;
};

TEST_F(HostileServiceTest, GarbageBytes) {
  fake_.set_answer([] { return std::string("HTTP/1.1 400 Bad Request\r\n\r\n"); });
  expect_all_fail("garbage");
}

TEST_F(HostileServiceTest, HugeAnnouncedFrameIsNotAllocated) {
  fake_.set_answer([] { return std::string("\xff\xff\xff\xf0\x00", 5); });
  expect_all_fail("huge length");
}

TEST_F(HostileServiceTest, FrameCutShort) {
  fake_.set_answer([] { return FrameBuilder(0, {"/x", "x", "D"}).flatten().substr(0, 12); });
  expect_all_fail("cut short");
}

TEST_F(HostileServiceTest, SilenceRunsIntoTheTimeout) {
  fake_.hold_open = true;
  fake_.set_answer([] { return std::string(); });
  const auto t0 = Clock::now();
  EXPECT_EQ(client_.Lookup("/x", nullptr).reason(), Reason::kUnavailable);
  EXPECT_LT(Clock::now() - t0, kHang);
  fake_.hold_open = false;
}

TEST_F(HostileServiceTest, EachAnswerMapsToItsReason) {
  const struct {
    const char* what;
    std::string answer;
    Reason want;
  } cases[] = {
      {"not found", answer(Status::kFalse, {reason(Reason::kNotFound)}), Reason::kNotFound},
      {"busy", answer(Status::kFalse, {reason(Reason::kBusy)}), Reason::kBusy},
      {"forbidden", answer(Status::kFalse, {reason(Reason::kForbidden)}), Reason::kForbidden},
      {"no reason, as older services", answer(Status::kFalse, {}), Reason::kIo},
      {"a client's reason", answer(Status::kFalse, {reason(Reason::kUnavailable)}),
       Reason::kBadAnswer},
      {"a reason of two bytes", answer(Status::kFalse, {"\x01\x01"}), Reason::kBadAnswer},
      {"request beyond the cap", answer(Status::kBadRequest, {reason(Reason::kTooLarge)}),
       Reason::kTooLarge},
      {"request not understood", answer(Status::kBadRequest, {}), Reason::kBadAnswer},
      {"results where none belong", answer(Status::kOk, {"x"}), Reason::kBadAnswer},
      {"cut short", answer(Status::kFalse, {reason(Reason::kIo)}).substr(0, 12),
       Reason::kUnavailable},
      {"closed without an answer", "", Reason::kUnavailable},
  };
  for (const auto& c : cases) {
    fake_.set_answer([&c] { return c.answer; });
    EXPECT_EQ(kiv::reason_name(client_.MakeCollection("/x").reason()), kiv::reason_name(c.want))
        << c.what;
    EXPECT_EQ(client_.AddCollection("/x"), c.want == Reason::kNone) << c.what;
  }
}

TEST_F(HostileServiceTest, UnknownStatusAndWrongShapes) {
  fake_.set_answer([] { return FrameBuilder(7, {}).flatten(); });
  expect_all_fail("unknown status");
  // Well-formed frames whose fields do not fit the operation.
  fake_.set_answer([] { return FrameBuilder(0, {"/x", "x", "Q"}).flatten(); });
  Directory* d = nullptr;
  EXPECT_FALSE(client_.GetDirectory("/x", &d));
  fake_.set_answer([] { return FrameBuilder(0, {"/x", "x"}).flatten(); });
  EXPECT_FALSE(client_.GetDirectory("/x", &d));
  std::string content;
  EXPECT_FALSE(client_.GetDocContent("/x", content));
  EXPECT_FALSE(client_.AddCollection("/x"));
  fake_.set_answer([] { return FrameBuilder(0, {"/", "../etc", "D"}).flatten(); });
  EXPECT_TRUE(client_.GetSubDirectory("/").empty());
  fake_.set_answer([] { return FrameBuilder(0, {"/", "a", "D", "b"}).flatten(); });
  EXPECT_TRUE(client_.GetSubDirectory("/").empty());
  fake_.set_answer([] { return FrameBuilder(0, {"", "a", "D"}).flatten(); });
  EXPECT_TRUE(client_.GetSubDirectory("/").empty());
  // A collection copy's failures: a path and a reason each, or the answer is a bad one.
  std::vector<kiv::CopyFailure> failures;
  fake_.set_answer([] { return FrameBuilder(0, {"sub/", reason(Reason::kNoSpace)}).flatten(); });
  ASSERT_TRUE(client_.CopyCollection("/a", "/b", -1, &failures).ok());
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path, "sub/");
  EXPECT_EQ(failures[0].reason, Reason::kNoSpace);
  for (const auto& bad : {FrameBuilder(0, {"sub/"}).flatten(),
                          FrameBuilder(0, {"/abs", reason(Reason::kIo)}).flatten(),
                          FrameBuilder(0, {"sub/", reason(Reason::kUnavailable)}).flatten()}) {
    fake_.set_answer([&bad] { return bad; });
    EXPECT_EQ(client_.CopyCollection("/a", "/b", -1, &failures).reason(), Reason::kBadAnswer);
    EXPECT_TRUE(failures.empty());
  }
}

}  // namespace

// A connection closed inside a chunk (the service timed it out with answers asked for ahead still
// queued, and reset it when the next request came): the reader asks again on a fresh
// connection. A fresh connection that breaks off again is final.
TEST_F(HostileServiceTest, AChunkCutShortIsFetchedOnAFreshConnection) {
  const std::string doc(2000, 'r');
  const std::string whole = answer(Status::kOk, {doc});
  std::atomic<int> calls{0};
  fake_.set_answer([&] { return ++calls == 1 ? whole.substr(0, whole.size() - 1000) : whole; });
  kiv::DocumentReader reader(client_, "/d", kiv::FileAttributes{}, 0, doc.size());
  std::string got, buf(4096, '\0');
  std::size_t n = 0;
  do {
    ASSERT_TRUE(reader.Read(buf.data(), buf.size(), &n).ok());
    got.append(buf, 0, n);
  } while (n != 0);
  EXPECT_TRUE(got == doc);
  EXPECT_EQ(calls, 2);

  fake_.set_answer([&] { return whole.substr(0, whole.size() - 1000); });
  kiv::DocumentReader cut(client_, "/d", kiv::FileAttributes{}, 0, doc.size());
  EXPECT_EQ(cut.Read(buf.data(), buf.size(), &n).reason(), Reason::kUnavailable);
}
