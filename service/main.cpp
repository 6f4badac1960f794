// kivd: the repository service daemon.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/file_io.h"
#include "common/tree_id.h"
#include "common/unique_fd.h"
#include "service/board.h"
#include "service/log.h"
#include "service/server.h"
#include "service/store.h"
#include "wire/board.h"
#include "wire/protocol.h"

namespace {

using kiv::service::log_line;

constexpr const char* kUsage =
    "Usage: kivd --root DIR [options]\n"
    "Serves the repository tree under DIR to the WebDAV module's client library.\n"
    "\n"
    "  --root DIR             repository directory (required)\n"
    "  --socket PATH          listen on a Unix domain socket at PATH (mode 0660); without\n"
    "                         --listen or --port, on it alone\n"
    "  --socket-group NAME    group of the socket (default: the service's group)\n"
    "  --listen ADDRESS       TCP address to listen on (default 127.0.0.1); an address that\n"
    "                         is not a loopback one needs --credentials\n"
    "  --port PORT            TCP port (default 8090; 0 picks a free one)\n"
    "  --credentials FILE     every TCP connection must first present the user and password\n"
    "                         on the first line of FILE (\"user password\"); FILE must be\n"
    "                         the service's own and readable by nobody else\n"
    "  --max-frame BYTES      largest request frame accepted (default 1M plus 64K: documents\n"
    "                         travel in chunks of 1M)\n"
    "  --max-document BYTES   largest document stored (default: no limit)\n"
    "  --max-connections N    connections served at once (default 1024)\n"
    "  --max-per-peer N       connections one peer (a uid on the socket, an address over\n"
    "                         TCP) may hold (default three quarters of --max-connections)\n"
    "  --idle-timeout SECONDS close a connection idle that long between requests (default 60)\n"
    "  --host-id ID           this host's name among the hosts that serve one shared tree\n"
    "                         (letters, digits, '-' and '_', at most 32): its journal is\n"
    "                         .kivd/journal-ID, and only that one is completed at start\n"
    "  --tree-id N            the id of a shared tree, the same on every host that serves\n"
    "                         it (the module's KIVTreeId): journal records keep it instead\n"
    "                         of the device number, which each host numbers as it likes\n"
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
  bool tcp_given = false;  // --listen or --port
  std::string socket;
  std::string socket_group;
  std::string credentials;
  kiv::service::StoreOptions store;
  kiv::service::ServerOptions server;
};

// Reads the user and password from the first line of path: the user up to the first blank, the
// password the rest of the line. The file must be a regular file of this account (or root) that
// nobody else may read or write. False with *why set.
bool read_credentials(const std::string& path, kiv::service::ServerOptions* o, std::string* why) {
  kiv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || (st.st_uid != ::geteuid() && st.st_uid != 0)) {
    *why = path + " is not a regular file of the service's account";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    *why = path + " is open to others than its owner; chmod 600 it";
    return false;
  }
  char buf[4096];
  const ssize_t n = kiv::pread_full(fd.get(), buf, sizeof buf, 0);
  if (n < 0) {
    *why = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string_view text(buf, static_cast<std::size_t>(n));
  text = text.substr(0, text.find('\n'));
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  const std::size_t blank = text.find_first_of(" \t");
  if (blank == std::string_view::npos || blank == 0 || blank + 1 >= text.size()) {
    *why = path + ": the first line must be \"user password\"";
    return false;
  }
  o->user.assign(text.substr(0, blank));
  o->password.assign(text.substr(blank + 1));
  return true;
}

// Takes the value of one option into o; false for a value it does not accept, and with *known
// false for an option it does not know.
bool take_option(const std::string& arg, const char* value, Options* o, bool* known) {
  auto no_suffix = [value] { return std::strpbrk(value, "KkMmGg") == nullptr; };
  std::uint64_t n = 0;
  *known = true;
  if (arg == "--root") {
    o->root = value;
  } else if (arg == "--listen") {
    o->address = value;
    o->tcp_given = true;
  } else if (arg == "--port") {
    o->tcp_given = true;
    if (!parse_size(value, 65535, &n) || !no_suffix()) return false;
    o->port = static_cast<unsigned int>(n);
  } else if (arg == "--socket") {
    o->socket = value;
    return !o->socket.empty();
  } else if (arg == "--socket-group") {
    o->socket_group = value;
  } else if (arg == "--credentials") {
    o->credentials = value;
  } else if (arg == "--max-per-peer") {
    if (!parse_size(value, 65536, &n) || n == 0) return false;
    o->server.max_per_peer = static_cast<int>(n);
  } else if (arg == "--idle-timeout") {
    if (!parse_size(value, 86400, &n) || n == 0 || !no_suffix()) return false;
    o->server.idle_timeout_ms = static_cast<int>(n * 1000);
  } else if (arg == "--max-frame") {
    if (!parse_size(value, UINT32_MAX, &n) || n < kiv::proto::kPayloadHeaderSize) return false;
    o->server.max_frame = static_cast<std::uint32_t>(n);
  } else if (arg == "--max-document") {
    if (!parse_size(value, UINT64_MAX, &n)) return false;
    o->store.max_document = n;
  } else if (arg == "--host-id") {
    o->store.host_id = value;
    return kiv::service::valid_host_id(o->store.host_id);
  } else if (arg == "--tree-id") {
    if (!parse_size(value, UINT64_MAX, &n) || !no_suffix()) return false;
    kiv::set_tree_id(n);
  } else if (arg == "--max-connections") {
    if (!parse_size(value, 65536, &n) || n == 0) return false;
    o->server.max_connections = static_cast<int>(n);
  } else {
    *known = false;
    return false;
  }
  return true;
}

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
    bool known = true;
    if (!take_option(arg, value, o, &known)) {
      if (!known) {
        std::fprintf(stderr, "kivd: unknown option %s\n%s", arg.c_str(), kUsage);
      } else {
        std::fprintf(stderr, "kivd: bad value for %s: %s\n", arg.c_str(), value);
      }
      return 1;
    }
  }
  if (o->root.empty()) {
    std::fprintf(stderr, "kivd: --root is required\n%s", kUsage);
    return 1;
  }
  return 0;
}

// The descriptor through which SIGTERM and SIGINT arrive, blocked for every thread to come; -1
// when that cannot be set up.
int stop_signals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return -1;
  const int stop_fd = ::signalfd(-1, &stop, SFD_CLOEXEC);
  if (stop_fd < 0) log_line("signalfd: %s", std::strerror(errno));
  return stop_fd;
}

// What the start-up line says the service serves, and on what.
std::string describe(const Options& options, const kiv::service::Server& server, bool tcp) {
  std::string where;
  if (!options.socket.empty()) where = "socket " + options.socket;
  if (tcp) {
    if (!where.empty()) where += " and ";
    where += options.address + " port " + std::to_string(server.port());
    if (!options.server.user.empty()) where += " (with credentials)";
  }
  std::string shared;
  if (!options.store.host_id.empty()) shared = " as host " + options.store.host_id;
  if (kiv::tree_id_set()) shared += " of tree " + std::to_string(kiv::identity_device(0));
  return options.root + shared + " on " + where +
         (options.store.durable ? "" : " without fsync (not durable)");
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = parse_args(argc, argv, &options);
  if (parsed != 0) return parsed == 2 ? 0 : 2;

  // The signals that stop the service arrive through a descriptor that the accept loop polls;
  // blocked here, before any thread starts, so that every thread inherits the mask.
  const int stop_fd = stop_signals();
  if (stop_fd < 0) return 1;
  ::signal(SIGPIPE, SIG_IGN);

  std::string why;
  std::unique_ptr<kiv::service::Store> store =
      kiv::service::Store::open(options.root, options.store, &why);
  if (!store) {
    log_line("%s", why.c_str());
    return 1;
  }
  if (!options.credentials.empty() &&
      !read_credentials(options.credentials, &options.server, &why)) {
    log_line("%s", why.c_str());
    return 1;
  }
  gid_t socket_gid = static_cast<gid_t>(-1);
  if (!options.socket_group.empty()) {
    const struct group* g = ::getgrnam(options.socket_group.c_str());
    if (g == nullptr) {
      log_line("no such group: %s", options.socket_group.c_str());
      return 1;
    }
    socket_gid = g->gr_gid;
  }
  // Leaked on purpose when a connection thread outlives the grace period at shutdown.
  auto* server = new kiv::service::Server(store.get(), options.server);
  const bool tcp = options.socket.empty() || options.tcp_given;
  if ((!options.socket.empty() && !server->listen_unix(options.socket, socket_gid, &why)) ||
      (tcp && !server->listen(options.address, options.port, &why))) {
    log_line("%s", why.c_str());
    delete server;  // removes a socket file it made
    return 1;
  }
  // A service that serves the tree alone tells the clients on its host when it changes; over a
  // shared tree the other hosts' changes would never show on it. Without a board of its own
  // (one it cannot open: a board nobody holds keeps nothing) it still serves; a board that a
  // running service holds would tell its clients of the wrong tree.
  std::unique_ptr<kiv::service::ChangeBoard> board;
  if (!options.socket.empty() && !kiv::tree_id_set()) {
    bool held = false;
    board = kiv::service::ChangeBoard::open(kiv::proto::board_path(options.socket), socket_gid,
                                            &why, &held);
    if (held) {
      log_line("%s", why.c_str());
      delete server;
      return 1;
    }
    if (board) {
      server->set_board(board.get());
    } else {
      log_line("serving without a change board: %s", why.c_str());
    }
  }
  log_line("serving %s", describe(options, *server, tcp).c_str());
  const bool drained = server->run(stop_fd);
  if (!drained) {
    log_line("stopped with connections still busy");
    std::_Exit(0);
  }
  delete server;
  log_line("stopped");
  return 0;
}
