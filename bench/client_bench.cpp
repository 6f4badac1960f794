// Round trips of the client against a real kivd on loopback. Two services run side by side: a
// durable one (the default) and one started with --no-fsync, to tell the cost of the protocol
// from the cost of the disk. The transfers of large documents run over TCP and over the Unix
// socket (second argument 1). At the end the growth of each service's peak RSS is printed.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "client/kiv_client.h"
#include "tests/unit/service/kivd_process.h"

namespace {

kiv::test::KivdProcess* durable = nullptr;
kiv::test::KivdProcess* fast = nullptr;
WebDavUtil* durable_client = nullptr;
WebDavUtil* fast_client = nullptr;
WebDavUtil* durable_local = nullptr;  // over the Unix socket
WebDavUtil* fast_local = nullptr;

// Documents of the transfer benchmarks.
constexpr std::size_t kLarge = 64 << 20;

WebDavUtil& client_for(const benchmark::State& state) {
  const bool local = state.range(1) != 0;
  if (state.range(0) != 0) return local ? *durable_local : *durable_client;
  return local ? *fast_local : *fast_client;
}

void label(benchmark::State& state) {
  std::string text = state.range(0) != 0 ? "fsync" : "no-fsync";
  state.SetLabel(text + (state.range(1) != 0 ? " unix" : " tcp"));
}

// Bytes that are no run of zeros (which the service would keep as holes).
std::string pattern(std::size_t n) {
  std::string out(n, '\0');
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char>((i * 131) ^ (i >> 9) ^ 1);
  return out;
}

void BM_UploadLarge(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  const std::string block = pattern(64 * 1024);  // as the web server hands a body on
  const std::string uri = "/bench/up" + std::to_string(state.range(1));
  for (auto _ : state) {
    kiv::DocumentUpload up(c);
    bool ok = up.Begin(uri, kLarge).ok();
    for (std::size_t at = 0; ok && at < kLarge; at += block.size()) {
      ok = up.Write(block.data(), block.size()).ok();
    }
    if (!ok || !up.Commit().ok()) state.SkipWithError("upload failed");
  }
  state.SetBytesProcessed(state.iterations() * kLarge);
  label(state);
}
BENCHMARK(BM_UploadLarge)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->UseRealTime();

void BM_DownloadLarge(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  std::string buf(kiv::DocumentReader::kChunk, '\0');
  for (auto _ : state) {
    kiv::StatResult st;
    if (!c.Stat("/bench/large", 0, &st).ok()) state.SkipWithError("Stat failed");
    kiv::DocumentReader reader(c, "/bench/large", st.attributes, 0, st.attributes.size);
    std::size_t got = 1, total = 0;
    while (got != 0) {
      if (!reader.Read(buf.data(), buf.size(), &got).ok()) state.SkipWithError("read failed");
      total += got;
    }
    if (total != kLarge) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * kLarge);
  label(state);
}
BENCHMARK(BM_DownloadLarge)->Args({0, 0})->Args({0, 1})->UseRealTime();

// Over the Unix socket: the lookup hands the open document over, which is then read here.
void BM_DownloadLargeByDescriptor(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  std::string buf(kiv::DocumentReader::kChunk, '\0');
  for (auto _ : state) {
    kiv::StatResult st;
    if (!c.Stat("/bench/large", kiv::kWantDescriptor, &st).ok() ||
        st.body != kiv::StatResult::Body::kDescriptor) {
      state.SkipWithError("Stat failed");
    }
    std::size_t total = 0;
    for (ssize_t n = 1; n > 0; total += static_cast<std::size_t>(n)) {
      n = ::pread(st.descriptor.get(), buf.data(), buf.size(), static_cast<off_t>(total));
      if (n < 0) state.SkipWithError("pread failed");
    }
    if (total != kLarge) state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * kLarge);
  label(state);
}
BENCHMARK(BM_DownloadLargeByDescriptor)->Args({0, 1})->UseRealTime();

// What a GET of a small document costs at the service: one lookup that brings the content (TCP)
// or the descriptor (Unix socket) along.
void BM_StatForGet4KiB(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  const unsigned want = state.range(1) != 0 ? kiv::kWantDescriptor : kiv::kWantContent;
  for (auto _ : state) {
    kiv::StatResult st;
    if (!c.Stat("/bench/doc", want, &st).ok() || st.body == kiv::StatResult::Body::kNone) {
      state.SkipWithError("Stat failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_StatForGet4KiB)->Args({0, 0})->Args({0, 1})->Threads(1)->Threads(8)->UseRealTime();

void BM_GetDirectory(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  Directory* d = nullptr;
  for (auto _ : state) {
    if (!c.GetDirectory("/bench/doc", &d)) state.SkipWithError("GetDirectory failed");
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_GetDirectory)->Args({0, 0})->Threads(1)->Threads(8)->UseRealTime();

void BM_GetSubDirectory(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  for (auto _ : state) {
    if (c.GetSubDirectory("/bench/").empty()) state.SkipWithError("GetSubDirectory failed");
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_GetSubDirectory)->Args({0, 0})->Threads(1)->UseRealTime();

void BM_AddDoc4KiBReplace(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  const std::string uri = "/bench/w" + std::to_string(state.thread_index());
  const std::string body(4096, 'x');
  for (auto _ : state) {
    if (!c.AddDoc(uri, body)) state.SkipWithError("AddDoc failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 4096);
  label(state);
}
BENCHMARK(BM_AddDoc4KiBReplace)->Args({0, 0})->Args({1, 0})->Threads(1)->UseRealTime();

void BM_AddDoc4KiBCreate(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  const std::string body(4096, 'x');
  const std::string prefix = "/bench/new-" + std::to_string(state.range(0)) + "-" +
                             std::to_string(state.thread_index()) + "-";
  static int run = 0;
  const std::string base = prefix + std::to_string(run++) + "-";
  long i = 0;
  for (auto _ : state) {
    if (!c.AddDoc(base + std::to_string(i++), body)) state.SkipWithError("AddDoc failed");
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_AddDoc4KiBCreate)->Args({0, 0})->Args({1, 0})->Threads(1)->UseRealTime();

void BM_GetDocContent4KiB(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  std::string content;
  for (auto _ : state) {
    if (!c.GetDocContent("/bench/doc", content) || content.size() != 4096) {
      state.SkipWithError("GetDocContent failed");
    }
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 4096);
  label(state);
}
BENCHMARK(BM_GetDocContent4KiB)->Args({0, 0})->Threads(1)->Threads(8)->UseRealTime();

bool prepare(kiv::test::KivdProcess* kivd, WebDavUtil* client, WebDavUtil* local) {
  return kivd->start() && client->ConnectServer("127.0.0.1", kivd->port()) &&
         local->ConnectServer(kivd->unix_address(), 0) && client->AddCollection("/bench") &&
         client->AddDoc("/bench/doc", std::string(4096, 'd')) &&
         client->AddDoc("/bench/large", pattern(kLarge));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::vector<std::string> socket = {"--socket", "@SCRATCH@/kivd.sock"};
  std::vector<std::string> fast_args = socket;
  fast_args.push_back("--no-fsync");
  auto d = std::make_unique<kiv::test::KivdProcess>(socket);
  auto f = std::make_unique<kiv::test::KivdProcess>(fast_args);
  auto dc = std::make_unique<WebDavUtil>();
  auto fc = std::make_unique<WebDavUtil>();
  auto dl = std::make_unique<WebDavUtil>();
  auto fl = std::make_unique<WebDavUtil>();
  durable = d.get();
  fast = f.get();
  durable_client = dc.get();
  fast_client = fc.get();
  durable_local = dl.get();
  fast_local = fl.get();
  if (!prepare(durable, durable_client, durable_local) || !prepare(fast, fast_client, fast_local)) {
    std::fprintf(stderr, "cannot start kivd\n");
    return 1;
  }
  const long durable_before = kiv::test::peak_rss_kib(durable->pid());
  const long fast_before = kiv::test::peak_rss_kib(fast->pid());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("kivd peak RSS growth during the run: %ld KiB (fsync), %ld KiB (no-fsync)\n",
              kiv::test::peak_rss_kib(durable->pid()) - durable_before,
              kiv::test::peak_rss_kib(fast->pid()) - fast_before);
  return 0;
}
