// The repository service client: a process-wide pool of connections shared by all threads, and
// per-thread storage for what the operations hand back.
#include "client/kiv_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <mutex>
#include <new>
#include <utility>

#include "wire/net_io.h"
#include "wire/protocol.h"

namespace {

using kiv::net::Io;
using kiv::net::IoResult;
using kiv::net::UniqueFd;
using kiv::proto::Decode;
using kiv::proto::FrameBuilder;
using kiv::proto::Message;
using kiv::proto::Op;
using kiv::proto::Status;

constexpr int kDefaultConnectMs = 3000;
constexpr int kDefaultIoMs = 30000;
// Idle connections kept per process; more are closed when they come back.
constexpr std::size_t kMaxIdle = 64;

// What the calling thread owns: its upload stream and the results it was handed last.
// An upload stream: the first kUploadMemory bytes are kept in memory; a larger body goes on in
// an anonymous temporary file, so that a large upload is held in memory once (when it is read
// back whole), not twice.
constexpr std::size_t kUploadMemory = 1 << 20;

struct ThreadState {
  std::string upload;
  kiv::net::UniqueFd spill;     // the temporary file of a large body, or none
  std::uint64_t spilled = 0;    // bytes in spill
  bool upload_open = false;
  bool upload_broken = false;  // an append failed: the stream no longer holds the whole body
  Directory entry;
  std::vector<Directory> members;
  std::vector<Directory*> member_ptrs;
};

ThreadState& thread_state() {
  thread_local ThreadState state;
  return state;
}

// The outcome of one request/response exchange on one connection.
enum class Exchange {
  kOk,
  kStale,   // the connection was found closed before any byte of the response arrived
  kFailed,  // anything else: timeout, garbage, refused size
};

bool is_stale_error(const IoResult& r) {
  return r.status == Io::kEof ||
         (r.status == Io::kError && (r.error == ECONNRESET || r.error == EPIPE));
}

}  // namespace

// The shared part of one WebDavUtil: where the service is, the timeouts, and the idle
// connections of the current process. Every member is guarded by mu_; sockets leave the pool
// while a thread uses them, so no socket is ever in two threads' hands.
class ClientImpl {
 public:
  ClientImpl() : pid_(::getpid()) {}
  ~ClientImpl() { drop_idle_locked(); }

  struct Settings {
    std::string address;
    unsigned int port = 0;
    int connect_ms = kDefaultConnectMs;
    int io_ms = kDefaultIoMs;
  };

  // A connection taken out of the pool or freshly opened, with the pool state it belongs to.
  struct Lease {
    UniqueFd fd;
    bool reused = false;
    std::uint64_t generation = 0;
    Settings settings;
  };

  void configure(const std::string& address, unsigned int port) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.address = address;
    settings_.port = port;
    drop_idle_locked();
  }

  void set_timeouts(int connect_ms, int io_ms) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_.connect_ms = connect_ms > 0 ? connect_ms : kDefaultConnectMs;
    settings_.io_ms = io_ms > 0 ? io_ms : kDefaultIoMs;
  }

  Settings settings() {
    std::lock_guard<std::mutex> lock(mu_);
    return settings_;
  }

  // Takes an idle connection of this process, or opens a new one outside the lock.
  bool acquire(Lease* lease) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      forget_other_process_locked();
      lease->generation = generation_;
      lease->settings = settings_;
      if (!idle_.empty()) {
        lease->fd = std::move(idle_.back());
        idle_.pop_back();
        lease->reused = true;
        return true;
      }
    }
    return open(lease);
  }

  // Opens a new connection for a lease whose settings are filled.
  static bool open(Lease* lease) {
    lease->reused = false;
    if (lease->settings.address.empty()) return false;
    std::string why;
    lease->fd.reset(kiv::net::connect_tcp(lease->settings.address, lease->settings.port,
                                          lease->settings.connect_ms, &why));
    return lease->fd.valid();
  }

  // Gives a healthy connection back; it is closed instead when the pool moved on meanwhile.
  void release(Lease* lease) {
    std::lock_guard<std::mutex> lock(mu_);
    if (lease->generation == generation_ && pid_ == ::getpid() && idle_.size() < kMaxIdle) {
      idle_.push_back(std::move(lease->fd));
    }
    lease->fd.reset();
  }

  // Closes every idle connection: they are stale (the service went away) or belong elsewhere.
  void drop_idle() {
    std::lock_guard<std::mutex> lock(mu_);
    drop_idle_locked();
  }

  std::uint32_t max_payload() const { return kiv::proto::kDefaultMaxPayload; }

 private:
  void drop_idle_locked() {
    idle_.clear();
    ++generation_;
  }

  // After fork() the idle sockets are shared with the parent: a child must never talk on them.
  // Closing its copies is harmless to the parent, whose sockets stay open.
  void forget_other_process_locked() {
    const pid_t now = ::getpid();
    if (now != pid_) {
      pid_ = now;
      drop_idle_locked();
    }
  }

  std::mutex mu_;
  Settings settings_;
  pid_t pid_;
  std::uint64_t generation_ = 0;
  std::vector<UniqueFd> idle_;
};

namespace {

// Sends one request and reads its response payload into *payload. With document given, a kOk
// response of exactly one field (a fetched document) is read from the socket straight into
// *document instead, *payload keeps only the payload's header and *direct is set.
Exchange exchange(int fd, const FrameBuilder& frame, std::uint32_t max_payload, int io_ms,
                  std::string* payload, std::string* document = nullptr, bool* direct = nullptr) {
  if (direct != nullptr) *direct = false;
  const IoResult w = kiv::net::write_pieces(fd, frame.pieces(), io_ms);
  if (w.status != Io::kOk) return is_stale_error(w) ? Exchange::kStale : Exchange::kFailed;
  char header[kiv::proto::kFrameHeaderSize];
  const IoResult h = kiv::net::read_full(fd, header, sizeof header, io_ms);
  if (h.status != Io::kOk) {
    return h.transferred == 0 && is_stale_error(h) ? Exchange::kStale : Exchange::kFailed;
  }
  std::uint32_t len = 0;
  if (kiv::proto::decode_frame_length(std::string_view(header, sizeof header), max_payload, &len) !=
      Decode::kOk) {
    return Exchange::kFailed;
  }
  constexpr std::size_t kPrefix = kiv::proto::kPayloadHeaderSize + kiv::proto::kFieldHeaderSize;
  std::size_t first = 0;
  if (document != nullptr) {
    first = std::min<std::size_t>(len, kPrefix);
    payload->resize(first);
    if (kiv::net::read_full(fd, payload->data(), first, io_ms).status != Io::kOk) {
      return Exchange::kFailed;
    }
    if (first == kPrefix && (*payload)[0] == static_cast<char>(Status::kOk) &&
        kiv::proto::get_u32(payload->data() + 1) == 1 &&
        kiv::proto::get_u32(payload->data() + kiv::proto::kPayloadHeaderSize) == len - kPrefix) {
      document->clear();
      *direct = true;
      return kiv::net::read_append(fd, document, len - kPrefix, io_ms).status == Io::kOk
                 ? Exchange::kOk
                 : Exchange::kFailed;
    }
  }
  payload->resize(first);
  const IoResult b = kiv::net::read_append(fd, payload, len - first, io_ms);
  return b.status == Io::kOk ? Exchange::kOk : Exchange::kFailed;
}

// One round trip: the request goes out on a pooled connection; a connection that turns out to
// be closed by a restarted service is replaced once by a fresh one, and the rest of the pool,
// which is as stale, is dropped. *payload holds the response payload, *reply views into it.
// False when no well-formed response with status kOk or kFalse arrived.
bool call(ClientImpl& impl, Op op, std::initializer_list<std::string_view> fields,
          std::string* payload, Message* reply, std::string* document = nullptr,
          bool* direct = nullptr) {
  const FrameBuilder frame(static_cast<std::uint8_t>(op), fields);
  if (!frame.ok()) return false;
  ClientImpl::Lease lease;
  if (!impl.acquire(&lease)) return false;
  Exchange x = exchange(lease.fd.get(), frame, impl.max_payload(), lease.settings.io_ms, payload,
                        document, direct);
  if (x == Exchange::kStale && lease.reused) {
    impl.drop_idle();
    lease.fd.reset();
    if (!ClientImpl::open(&lease)) return false;
    ++lease.generation;  // the fresh connection belongs to the pool that follows the drop
    x = exchange(lease.fd.get(), frame, impl.max_payload(), lease.settings.io_ms, payload,
                 document, direct);
  }
  if (x != Exchange::kOk) return false;  // the lease closes the connection
  if (direct != nullptr && *direct) {
    impl.release(&lease);
    return true;
  }
  if (kiv::proto::decode_payload(*payload, reply) != Decode::kOk ||
      (reply->code != static_cast<std::uint8_t>(Status::kOk) &&
       reply->code != static_cast<std::uint8_t>(Status::kFalse))) {
    return false;
  }
  impl.release(&lease);
  return true;
}

bool is_ok(const Message& m) {
  return m.code == static_cast<std::uint8_t>(Status::kOk);
}

// A status-only operation: true when the service answered kOk with no fields.
bool simple_call(ClientImpl& impl, Op op, std::initializer_list<std::string_view> fields) {
  std::string payload;
  Message reply;
  return call(impl, op, fields, &payload, &reply) && is_ok(reply) && reply.fields.empty();
}

const char* type_of_kind(std::string_view kind) {
  if (kind.size() != 1) return nullptr;
  if (kind[0] == kiv::proto::kKindCollection) return kCollectionItem;
  if (kind[0] == kiv::proto::kKindDocument) return kDocumentItem;
  return nullptr;
}

bool is_member_name(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

WebDavUtil::WebDavUtil() : impl_(std::make_unique<ClientImpl>()) {}
WebDavUtil::~WebDavUtil() = default;

bool WebDavUtil::ConnectServer(const std::string& address, unsigned int port) {
  try {
    impl_->configure(address, port);
    // Probe with a connection of its own that is closed again, so that nothing stays open for
    // the children this process may fork.
    ClientImpl::Lease probe;
    probe.settings = impl_->settings();
    if (!ClientImpl::open(&probe)) return false;
    const FrameBuilder frame(static_cast<std::uint8_t>(Op::kPing), {});
    std::string payload;
    Message reply;
    return exchange(probe.fd.get(), frame, impl_->max_payload(), probe.settings.io_ms, &payload) ==
               Exchange::kOk &&
           kiv::proto::decode_payload(payload, &reply) == Decode::kOk && is_ok(reply) &&
           reply.fields.size() == 1 && reply.fields[0] == kiv::proto::kPingAnswer;
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::GetDirectory(const std::string& uri, Directory** entry) {
  try {
    std::string payload;
    Message reply;
    if (!call(*impl_, Op::kGetDirectory, {uri}, &payload, &reply) || !is_ok(reply) ||
        reply.fields.size() != 3) {
      return false;
    }
    const char* type = type_of_kind(reply.fields[2]);
    if (type == nullptr) return false;
    Directory& d = thread_state().entry;
    d.path.assign(reply.fields[0]);
    d.name.assign(reply.fields[1]);
    d.type = type;
    if (entry != nullptr) *entry = &d;
    return true;
  } catch (...) {
    return false;
  }
}

std::vector<Directory*>& WebDavUtil::GetSubDirectory(const std::string& uri) {
  ThreadState& ts = thread_state();
  ts.member_ptrs.clear();
  ts.members.clear();
  try {
    std::string payload;
    Message reply;
    if (!call(*impl_, Op::kGetSubDirectory, {uri}, &payload, &reply) || !is_ok(reply) ||
        reply.fields.empty() || reply.fields.size() % 2 != 1) {
      return ts.member_ptrs;
    }
    const std::string_view base = reply.fields[0];
    if (base.empty() || base.back() != '/') return ts.member_ptrs;
    const std::size_t count = reply.fields.size() / 2;
    ts.members.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::string_view name = reply.fields[1 + 2 * i];
      const char* type = type_of_kind(reply.fields[2 + 2 * i]);
      if (type == nullptr || !is_member_name(name)) {
        ts.members.clear();
        return ts.member_ptrs;
      }
      std::string path;
      path.reserve(base.size() + name.size() + 1);
      path.append(base).append(name);
      if (type == kCollectionItem) path.push_back('/');
      ts.members.emplace_back(std::move(path), std::string(name), type);
    }
    ts.member_ptrs.reserve(count);
    for (Directory& d : ts.members) ts.member_ptrs.push_back(&d);
  } catch (...) {
    ts.member_ptrs.clear();
    ts.members.clear();
  }
  return ts.member_ptrs;
}

namespace {

// An unnamed file in the temporary directory: it goes away with its descriptor.
int open_spill_file() {
  const char* dir = std::getenv("TMPDIR");
  if (dir == nullptr || *dir == '\0') dir = "/tmp";
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = std::string(dir) + "/kiv-upload-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

void reset_upload(ThreadState& ts) {
  std::string().swap(ts.upload);  // give a large body's memory back
  ts.spill.reset();
  ts.spilled = 0;
}

}  // namespace

void WebDavUtil::OpenStream() {
  ThreadState& ts = thread_state();
  reset_upload(ts);
  ts.upload_open = true;
  ts.upload_broken = false;
}

void WebDavUtil::WriteToTempFile(const std::string& data) {
  ThreadState& ts = thread_state();
  if (ts.upload_broken) return;
  try {
    if (!ts.spill.valid() && ts.upload.size() + data.size() <= kUploadMemory) {
      ts.upload.append(data);
      return;
    }
    if (!ts.spill.valid()) {
      ts.spill.reset(open_spill_file());
      if (!ts.spill.valid() || !kiv::pwrite_all(ts.spill.get(), ts.upload, 0)) {
        throw std::runtime_error("cannot spill the upload");
      }
      ts.spilled = ts.upload.size();
      std::string().swap(ts.upload);
    }
    if (!kiv::pwrite_all(ts.spill.get(), data, static_cast<off_t>(ts.spilled))) {
      throw std::runtime_error("cannot spill the upload");
    }
    ts.spilled += data.size();
  } catch (...) {
    // The body is no longer whole; AddDoc refuses to store what is left of it.
    ts.upload_broken = true;
    reset_upload(ts);
  }
}

void WebDavUtil::ReadFromTempFile(std::string& content) {
  ThreadState& ts = thread_state();
  try {
    if (!ts.spill.valid()) {
      content.assign(ts.upload);
      return;
    }
    content.resize(static_cast<std::size_t>(ts.spilled));
    if (kiv::pread_full(ts.spill.get(), content.data(), content.size(), 0) !=
        static_cast<ssize_t>(content.size())) {
      throw std::runtime_error("cannot read the upload back");
    }
  } catch (...) {
    ts.upload_broken = true;
    content.clear();
  }
}

void WebDavUtil::CloseStream() {
  ThreadState& ts = thread_state();
  reset_upload(ts);
  ts.upload_open = false;
  ts.upload_broken = false;
}

bool WebDavUtil::AddDoc(const std::string& uri, const std::string& content) {
  try {
    const ThreadState& ts = thread_state();
    if (ts.upload_open && ts.upload_broken) return false;
    return simple_call(*impl_, Op::kAddDoc, {uri, content});
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::GetDocContent(const std::string& uri, std::string& content) {
  try {
    content.clear();
    std::string payload;
    Message reply;
    bool direct = false;
    // The document is read from the socket straight into content: no copy of a large body.
    if (!call(*impl_, Op::kGetDocContent, {uri}, &payload, &reply, &content, &direct)) {
      content.clear();
      return false;
    }
    if (direct) return true;
    if (!is_ok(reply) || reply.fields.size() != 1) return false;
    content.assign(reply.fields[0]);
    return true;
  } catch (...) {
    content.clear();
    return false;
  }
}

bool WebDavUtil::AddCollection(const std::string& uri) {
  try {
    return simple_call(*impl_, Op::kAddCollection, {uri});
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::MoveDoc(const std::string& from, const std::string& to) {
  try {
    return simple_call(*impl_, Op::kMoveDoc, {from, to});
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::MoveCollection(const std::string& from, const std::string& to) {
  try {
    return simple_call(*impl_, Op::kMoveCollection, {from, to});
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::DelDoc(const std::string& uri) {
  try {
    return simple_call(*impl_, Op::kDelDoc, {uri});
  } catch (...) {
    return false;
  }
}

bool WebDavUtil::DelCollection(const std::string& uri) {
  try {
    return simple_call(*impl_, Op::kDelCollection, {uri});
  } catch (...) {
    return false;
  }
}

void WebDavUtil::SplitFromSlash(int mode, const std::string& path, std::string& first,
                                std::string& second) {
  try {
    if (mode == 1) {
      first = path;
      second.clear();
      return;
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      first.clear();
      second = path;
    } else {
      first.assign(path, 0, slash + 1);
      second.assign(path, slash + 1, std::string::npos);
    }
  } catch (...) {
    first.clear();
    second.clear();
  }
}

void WebDavUtil::SetTimeouts(int connect_ms, int io_ms) {
  impl_->set_timeouts(connect_ms, io_ms);
}

WebDavUtil* ServiceFactory::GetService(const std::string& key) {
  try {
    if (key != "a") return nullptr;
    // Never destroyed: server threads may still be using it while the process exits.
    static WebDavUtil* const service = new WebDavUtil();
    return service;
  } catch (...) {
    return nullptr;
  }
}

ServiceFactory& getServiceFactoryInstance() {
  static ServiceFactory factory;
  return factory;
}
