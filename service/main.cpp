// kivd: the repository service daemon.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "service/log.h"
#include "service/server.h"
#include "service/store.h"
#include "wire/protocol.h"

namespace {

using kiv::service::log_line;

constexpr const char* kUsage =
    "Usage: kivd --root DIR [options]\n"
    "Serves the repository tree under DIR to the WebDAV module's client library.\n"
    "\n"
    "  --root DIR             repository directory (required)\n"
    "  --listen ADDRESS       address to listen on (default 127.0.0.1)\n"
    "  --port PORT            TCP port (default 8090; 0 picks a free one)\n"
    "  --max-frame BYTES      largest request frame accepted (default 512M plus 64K)\n"
    "  --max-document BYTES   largest document stored or served (default 512M)\n"
    "  --max-connections N    connections served at once (default 256)\n"
    "  --no-fsync             do not sync writes to disk; for benchmarks only: a crash may\n"
    "                         lose or tear documents that were reported stored\n"
    "  --help                 this text\n"
    "BYTES take an optional K, M or G suffix. Logs go to stderr; SIGTERM or SIGINT stops.\n";

// Parses a decimal count with an optional K/M/G suffix, at most max.
bool parse_size(const char* text, std::uint64_t max, std::uint64_t* out) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || end == text || text[0] == '-') return false;
  std::uint64_t shift = 0;
  if (*end == 'K' || *end == 'k') shift = 10;
  if (*end == 'M' || *end == 'm') shift = 20;
  if (*end == 'G' || *end == 'g') shift = 30;
  if (shift != 0) ++end;
  if (*end != '\0' || v > (max >> shift)) return false;
  *out = static_cast<std::uint64_t>(v) << shift;
  return true;
}

struct Options {
  std::string root;
  std::string address = "127.0.0.1";
  unsigned int port = 8090;
  kiv::service::StoreOptions store;
  kiv::service::ServerOptions server;
};

// 0 to go on, 1 for a usage error, 2 after --help.
int parse_args(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 2;
    }
    if (arg == "--no-fsync") {
      o->store.durable = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kivd: %s needs a value\n%s", arg.c_str(), kUsage);
      return 1;
    }
    const char* value = argv[++i];
    std::uint64_t n = 0;
    bool ok = true;
    if (arg == "--root") {
      o->root = value;
    } else if (arg == "--listen") {
      o->address = value;
    } else if (arg == "--port") {
      ok = parse_size(value, 65535, &n) && std::strpbrk(value, "KkMmGg") == nullptr;
      o->port = static_cast<unsigned int>(n);
    } else if (arg == "--max-frame") {
      ok = parse_size(value, UINT32_MAX, &n) && n >= kiv::proto::kPayloadHeaderSize;
      o->server.max_frame = static_cast<std::uint32_t>(n);
    } else if (arg == "--max-document") {
      ok = parse_size(value, UINT32_MAX, &n);
      o->store.max_document = n;
    } else if (arg == "--max-connections") {
      ok = parse_size(value, 65536, &n) && n > 0;
      o->server.max_connections = static_cast<int>(n);
    } else {
      std::fprintf(stderr, "kivd: unknown option %s\n%s", arg.c_str(), kUsage);
      return 1;
    }
    if (!ok) {
      std::fprintf(stderr, "kivd: bad value for %s: %s\n", arg.c_str(), value);
      return 1;
    }
  }
  if (o->root.empty()) {
    std::fprintf(stderr, "kivd: --root is required\n%s", kUsage);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse_args(argc, argv, &options);
  if (parsed != 0) return parsed == 2 ? 0 : 2;

  // The signals that stop the service arrive through a descriptor that the accept loop polls;
  // blocked here, before any thread starts, so that every thread inherits the mask.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return 1;
  const int stop_fd = ::signalfd(-1, &stop, SFD_CLOEXEC);
  if (stop_fd < 0) {
    log_line("signalfd: %s", std::strerror(errno));
    return 1;
  }
  ::signal(SIGPIPE, SIG_IGN);

  std::string why;
  std::unique_ptr<kiv::service::Store> store =
      kiv::service::Store::open(options.root, options.store, &why);
  if (!store) {
    log_line("%s", why.c_str());
    return 1;
  }
  // Leaked on purpose when a connection thread outlives the grace period at shutdown.
  auto* server = new kiv::service::Server(store.get(), options.server);
  if (!server->listen(options.address, options.port, &why)) {
    log_line("%s", why.c_str());
    return 1;
  }
  log_line("serving %s on %s port %u%s", options.root.c_str(), options.address.c_str(),
           server->port(), options.store.durable ? "" : " without fsync (not durable)");
  const bool drained = server->run(stop_fd);
  if (!drained) {
    log_line("stopped with connections still busy");
    std::_Exit(0);
  }
  delete server;
  log_line("stopped");
  return 0;
}
