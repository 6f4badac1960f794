// The repository service client's calls: the typed ones, the older ones that wrap them, and the
// per-thread storage that the older ones hand results back in and keep upload streams in.
#include "client/kiv_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "client/connection.h"
#include "common/file_io.h"
#include "common/names.h"
#include "wire/protocol.h"

namespace {

using kiv::Reason;
using kiv::client::call;
using kiv::proto::Message;
using kiv::proto::Op;

// An upload stream: the first kUploadMemory bytes are kept in memory; a larger body goes on in
// an anonymous temporary file, so that a large upload is held in memory once (when it is read
// back whole), not twice.
constexpr std::size_t kUploadMemory = 1 << 20;

// What the calling thread owns: its upload stream and the results it was handed last.
struct ThreadState {
  std::string upload;
  kiv::UniqueFd spill;        // the temporary file of a large body, or none
  std::uint64_t spilled = 0;  // bytes in spill
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

// Runs a typed call's body; a failure of the client's own (memory) is kIo.
template <typename Body>
kiv::Status guarded(Body&& body) {
  try {
    return body();
  } catch (...) {
    return kiv::Status(Reason::kIo);
  }
}

const kiv::Status kBadAnswer(Reason::kBadAnswer);

// A status-only operation: an Ok answer must carry no fields.
kiv::Status simple_call(ClientImpl& impl, Op op, std::initializer_list<std::string_view> fields) {
  std::string payload;
  Message reply;
  const Reason r = call(impl, op, fields, &payload, &reply);
  if (r != Reason::kNone) return kiv::Status(r);
  return reply.fields.empty() ? kiv::Status() : kBadAnswer;
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

// Fills *members from the fields of a listing: base, then name and kind of each member.
kiv::Status parse_listing(const std::vector<std::string_view>& fields,
                          std::vector<Directory>* members) {
  if (fields.empty() || fields.size() % 2 != 1) return kBadAnswer;
  const std::string_view base = fields[0];
  if (base.empty() || base.back() != '/') return kBadAnswer;
  const std::size_t count = fields.size() / 2;
  members->reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::string_view name = fields[1 + 2 * i];
    const char* type = type_of_kind(fields[2 + 2 * i]);
    if (type == nullptr || !is_member_name(name)) return kBadAnswer;
    std::string path;
    path.reserve(base.size() + name.size() + 1);
    path.append(base).append(name);
    if (type == kCollectionItem) path.push_back('/');
    members->emplace_back(std::move(path), std::string(name), type);
  }
  return kiv::Status();
}

// Fills *failures from the fields of a collection copy's answer: a path and a reason for each
// member left out.
kiv::Status parse_failures(const std::vector<std::string_view>& fields,
                           std::vector<kiv::CopyFailure>* failures) {
  if (fields.size() % 2 != 0) return kBadAnswer;
  failures->reserve(fields.size() / 2);
  for (std::size_t i = 0; i < fields.size(); i += 2) {
    const std::string_view path = fields[i];
    Reason r = Reason::kNone;
    bool given = false;
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos ||
        kiv::proto::decode_reason({fields[i + 1]}, &r, &given) != kiv::proto::Decode::kOk ||
        !given) {
      return kBadAnswer;
    }
    failures->push_back({std::string(path), r});
  }
  return kiv::Status();
}

}  // namespace

WebDavUtil::WebDavUtil() : impl_(std::make_unique<ClientImpl>()) {}
WebDavUtil::~WebDavUtil() = default;

bool WebDavUtil::ConnectServer(const std::string& address, unsigned int port) {
  try {
    impl_->configure(address, port);
    return kiv::client::probe(*impl_);
  } catch (...) {
    return false;
  }
}

void WebDavUtil::SetCredentials(const std::string& user, const std::string& password) {
  try {
    impl_->set_credentials(user, password);
  } catch (...) {
    // Out of memory: the connections go on as they were.
  }
}

kiv::Status WebDavUtil::Lookup(const std::string& uri, Directory* entry) {
  return guarded([&] {
    std::string payload;
    Message reply;
    const Reason r = call(*impl_, Op::kGetDirectory, {uri}, &payload, &reply);
    if (r != Reason::kNone) return kiv::Status(r);
    const char* type = reply.fields.size() == 3 ? type_of_kind(reply.fields[2]) : nullptr;
    if (type == nullptr) return kBadAnswer;
    if (entry != nullptr) {
      entry->path.assign(reply.fields[0]);
      entry->name.assign(reply.fields[1]);
      entry->type = type;
    }
    return kiv::Status();
  });
}

kiv::Status WebDavUtil::Stat(const std::string& uri, unsigned want, kiv::StatResult* out) {
  *out = kiv::StatResult();
  const kiv::Status s = guarded([&] {
    const char want_byte = static_cast<char>(want & 0xff);
    const kiv::proto::FrameBuilder frame(static_cast<std::uint8_t>(Op::kStat),
                                         {uri, std::string_view(&want_byte, 1)});
    ClientImpl::Lease lease;
    std::string payload;
    Message reply;
    std::vector<kiv::UniqueFd> fds;
    const Reason r = kiv::client::round_trip(*impl_, &lease, frame, &payload, &reply,
                                             (want & kiv::kWantDescriptor) != 0 ? &fds : nullptr);
    if (lease.fd.valid()) impl_->release(&lease);
    if (r != Reason::kNone) return kiv::Status(r);
    const auto& f = reply.fields;
    const char* type = f.size() >= 5 ? type_of_kind(f[2]) : nullptr;
    if (type == nullptr || !kiv::proto::decode_attributes(f[3], &out->attributes) ||
        f[4].size() != 1) {
      return kBadAnswer;
    }
    // What came along must be what was asked for, of a document, and of its attributes.
    const bool document = type == kDocumentItem;
    switch (f[4][0]) {
      case kiv::proto::kDeliveryNone:
        if (f.size() != 5 || !fds.empty()) return kBadAnswer;
        break;
      case kiv::proto::kDeliveryContent:
        if (f.size() != 6 || !document || (want & kiv::kWantContent) == 0 ||
            f[5].size() != out->attributes.size || !fds.empty()) {
          return kBadAnswer;
        }
        out->content.assign(f[5]);
        out->body = kiv::StatResult::Body::kContent;
        break;
      case kiv::proto::kDeliveryDescriptor:
        if (f.size() != 5 || !document || fds.size() != 1 ||
            !kiv::DescriptorUnchanged(fds[0].get(), out->attributes)) {
          return kBadAnswer;
        }
        out->descriptor = std::move(fds[0]);
        out->body = kiv::StatResult::Body::kDescriptor;
        break;
      default:
        return kBadAnswer;
    }
    out->entry.path.assign(f[0]);
    out->entry.name.assign(f[1]);
    out->entry.type = type;
    return kiv::Status();
  });
  if (!s.ok()) *out = kiv::StatResult();
  return s;
}

kiv::Status WebDavUtil::ListMembers(const std::string& uri, std::vector<Directory>* members) {
  members->clear();
  const kiv::Status s = guarded([&] {
    std::string payload;
    Message reply;
    const Reason r = call(*impl_, Op::kGetSubDirectory, {uri}, &payload, &reply);
    return r != Reason::kNone ? kiv::Status(r) : parse_listing(reply.fields, members);
  });
  if (!s.ok()) members->clear();
  return s;
}

kiv::Status WebDavUtil::StoreDoc(const std::string& uri, const std::string& content) {
  return guarded([&] {
    // A body that lost bytes on its way into the upload stream is never stored.
    const ThreadState& ts = thread_state();
    if (ts.upload_open && ts.upload_broken) return kiv::Status(Reason::kIo);
    // One frame when it fits a chunk; an upload in chunks when not.
    if (content.size() <= kiv::proto::kMaxChunk) {
      return simple_call(*impl_, Op::kAddDoc, {uri, content});
    }
    kiv::DocumentUpload upload(*this);
    kiv::Status s = upload.Begin(uri, static_cast<std::int64_t>(content.size()));
    if (s.ok()) s = upload.Write(content.data(), content.size());
    return s.ok() ? upload.Commit() : s;
  });
}

kiv::Status WebDavUtil::FetchDoc(const std::string& uri, std::string* content) {
  content->clear();
  // A document rewritten while it is read is read again, a few times at most.
  constexpr int kAttempts = 3;
  kiv::Status s;
  bool changed = true;
  for (int attempt = 0; attempt < kAttempts && changed; ++attempt) {
    changed = false;
    content->clear();
    s = guarded([&] {
      kiv::StatResult found;
      const kiv::Status looked = Stat(uri, kiv::kWantContent, &found);
      if (!looked.ok()) return looked;
      if (found.entry.type != kDocumentItem) return kiv::Status(Reason::kNotDocument);
      if (found.body == kiv::StatResult::Body::kContent) {
        content->swap(found.content);
        return kiv::Status();
      }
      // Grown as the chunks arrive, never to a size that only the answer claims.
      kiv::DocumentReader reader(*this, uri, found.attributes, 0, found.attributes.size);
      for (;;) {
        const std::size_t at = content->size();
        content->resize(at + kiv::DocumentReader::kChunk);
        std::size_t got = 0;
        const kiv::Status r = reader.Read(content->data() + at, kiv::DocumentReader::kChunk, &got);
        content->resize(at + got);
        changed = r.reason() == Reason::kChanged;
        if (!r.ok() || got == 0) return r;
      }
    });
  }
  if (!s.ok()) content->clear();
  return s;
}

kiv::Status WebDavUtil::MakeCollection(const std::string& uri) {
  return guarded([&] { return simple_call(*impl_, Op::kAddCollection, {uri}); });
}

kiv::Status WebDavUtil::Move(const std::string& from, const std::string& to, bool collection) {
  return guarded([&] {
    return simple_call(*impl_, collection ? Op::kMoveCollection : Op::kMoveDoc, {from, to});
  });
}

kiv::Status WebDavUtil::CopyDoc(const std::string& from, const std::string& to) {
  return guarded([&] { return simple_call(*impl_, Op::kCopyDoc, {from, to}); });
}

kiv::Status WebDavUtil::CopyCollection(const std::string& from, const std::string& to, int depth,
                                       std::vector<kiv::CopyFailure>* failures) {
  if (failures != nullptr) failures->clear();
  std::vector<kiv::CopyFailure> found;
  const kiv::Status s = guarded([&] {
    std::string payload;
    Message reply;
    const std::string_view depth_field =
        depth == 0 ? kiv::proto::kDepthZero : kiv::proto::kDepthInfinity;
    const Reason r = call(*impl_, Op::kCopyCollection, {from, to, depth_field}, &payload, &reply);
    if (r != Reason::kNone) return kiv::Status(r);
    return parse_failures(reply.fields, &found);
  });
  if (s.ok() && failures != nullptr) failures->swap(found);
  return s;
}

kiv::Status WebDavUtil::DeleteDoc(const std::string& uri) {
  return guarded([&] { return simple_call(*impl_, Op::kDelDoc, {uri}); });
}

kiv::Status WebDavUtil::DeleteAny(const std::string& uri) {
  return guarded([&] { return simple_call(*impl_, Op::kDelCollection, {uri}); });
}

bool WebDavUtil::GetDirectory(const std::string& uri, Directory** entry) {
  Directory& d = thread_state().entry;
  if (!Lookup(uri, &d).ok()) return false;
  if (entry != nullptr) *entry = &d;
  return true;
}

std::vector<Directory*>& WebDavUtil::GetSubDirectory(const std::string& uri) {
  ThreadState& ts = thread_state();
  ts.member_ptrs.clear();
  if (!ListMembers(uri, &ts.members).ok()) return ts.member_ptrs;
  try {
    ts.member_ptrs.reserve(ts.members.size());
    for (Directory& d : ts.members) ts.member_ptrs.push_back(&d);
  } catch (...) {
    ts.member_ptrs.clear();
    ts.members.clear();
  }
  return ts.member_ptrs;
}

bool WebDavUtil::AddDoc(const std::string& uri, const std::string& content) {
  return StoreDoc(uri, content).ok();
}

bool WebDavUtil::GetDocContent(const std::string& uri, std::string& content) {
  return FetchDoc(uri, &content).ok();
}

bool WebDavUtil::AddCollection(const std::string& uri) {
  return MakeCollection(uri).ok();
}

bool WebDavUtil::MoveDoc(const std::string& from, const std::string& to) {
  return Move(from, to, false).ok();
}

bool WebDavUtil::MoveCollection(const std::string& from, const std::string& to) {
  return Move(from, to, true).ok();
}

bool WebDavUtil::DelDoc(const std::string& uri) {
  return DeleteDoc(uri).ok();
}

bool WebDavUtil::DelCollection(const std::string& uri) {
  return DeleteAny(uri).ok();
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
    if (key != kiv::kServiceKey) return nullptr;
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
