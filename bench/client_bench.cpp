// Round trips of the client against a real kivd on loopback. Two services run side by side: a
// durable one (the default) and one started with --no-fsync, to tell the cost of the protocol
// from the cost of the disk.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "client/kiv_client.h"
#include "tests/unit/service/kivd_process.h"

namespace {

kiv::test::KivdProcess* durable = nullptr;
kiv::test::KivdProcess* fast = nullptr;
WebDavUtil* durable_client = nullptr;
WebDavUtil* fast_client = nullptr;

WebDavUtil& client_for(const benchmark::State& state) {
  return state.range(0) != 0 ? *durable_client : *fast_client;
}

void label(benchmark::State& state) {
  state.SetLabel(state.range(0) != 0 ? "fsync" : "no-fsync");
}

void BM_GetDirectory(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  Directory* d = nullptr;
  for (auto _ : state) {
    if (!c.GetDirectory("/bench/doc", &d)) state.SkipWithError("GetDirectory failed");
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_GetDirectory)->Arg(0)->Threads(1)->Threads(8)->UseRealTime();

void BM_GetSubDirectory(benchmark::State& state) {
  WebDavUtil& c = client_for(state);
  for (auto _ : state) {
    if (c.GetSubDirectory("/bench/").empty()) state.SkipWithError("GetSubDirectory failed");
  }
  state.SetItemsProcessed(state.iterations());
  label(state);
}
BENCHMARK(BM_GetSubDirectory)->Arg(0)->Threads(1)->UseRealTime();

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
BENCHMARK(BM_AddDoc4KiBReplace)->Arg(0)->Arg(1)->Threads(1)->UseRealTime();

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
BENCHMARK(BM_AddDoc4KiBCreate)->Arg(0)->Arg(1)->Threads(1)->UseRealTime();

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
BENCHMARK(BM_GetDocContent4KiB)->Arg(0)->Threads(1)->Threads(8)->UseRealTime();

bool prepare(kiv::test::KivdProcess* kivd, WebDavUtil* client) {
  return kivd->start() && client->ConnectServer("127.0.0.1", kivd->port()) &&
         client->AddCollection("/bench") && client->AddDoc("/bench/doc", std::string(4096, 'd'));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  auto d = std::make_unique<kiv::test::KivdProcess>();
  auto f = std::make_unique<kiv::test::KivdProcess>(std::vector<std::string>{"--no-fsync"});
  auto dc = std::make_unique<WebDavUtil>();
  auto fc = std::make_unique<WebDavUtil>();
  durable = d.get();
  fast = f.get();
  durable_client = dc.get();
  fast_client = fc.get();
  if (!prepare(durable, durable_client) || !prepare(fast, fast_client)) {
    std::fprintf(stderr, "cannot start kivd\n");
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
