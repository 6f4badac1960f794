// The real repository: the client library's process-wide client of the service, its typed calls
// turned into the provider's, with the service's health and every call's duration logged.
#include <apr_time.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "client/board.h"
#include "client/kiv_client.h"
#include "common/names.h"
#include "provider/log.h"
#include "provider/repository.h"

extern "C" {
APLOG_USE_MODULE(dav_kiv);
}

namespace kiv {

namespace {

using Clock = std::chrono::steady_clock;

// What this process last learnt of the service: whether its last call was answered.
enum Health : int { kUnknown, kUp, kDown };

// A range of a document read through the service, a chunk per round trip.
class ServiceSource final : public DocumentSource {
 public:
  ServiceSource(WebDavUtil& client, const std::string& uri, const DocumentAttributes& attributes,
                std::uint64_t offset, std::uint64_t length)
      : reader_(client, uri, attributes, offset, length) {}
  Status read(char* buf, std::size_t capacity, std::size_t* got) override {
    return reader_.Read(buf, capacity, got);
  }

 private:
  DocumentReader reader_;
};

// An upload streamed to the service; the client's upload aborts when it goes uncommitted.
class ServiceSink final : public DocumentSink {
 public:
  ServiceSink(WebDavUtil& client, bool create_only) : upload_(client), create_only_(create_only) {}
  Status begin(const std::string& uri, std::int64_t length) { return upload_.Begin(uri, length); }
  Status write(const char* data, std::size_t size) override { return upload_.Write(data, size); }
  Status commit(DocumentAttributes* stored, bool* has_attributes) override {
    const Status status = create_only_ ? upload_.CommitNew(stored) : upload_.Commit(stored);
    *has_attributes = status.ok();
    return status;
  }

 private:
  DocumentUpload upload_;
  bool create_only_;
};

RepositoryEntry entry_of(const Directory& d) {
  RepositoryEntry e;
  e.uri = d.path;
  e.collection = d.type == kCollectionItem;
  return e;
}

class ServiceRepository final : public Repository {
 public:
  void set_credentials(const std::string& user, const std::string& password) override {
    client()->SetCredentials(user, password);
  }

  Status connect(const std::string& address, unsigned int port) override {
    // An address "unix:/path" names a socket, where the port plays no part.
    const bool unix_socket = address.compare(0, 5, "unix:") == 0;
    // A service on this host tells through its board when the tree changes.
    if (unix_socket) {
      board_ = std::make_unique<client::BoardReader>(proto::board_path(address.substr(5)));
    }
    where_ = unix_socket ? address : address + ":" + std::to_string(port);
    const Status status =
        client()->ConnectServer(address, port) ? Status() : Status(Reason::kUnavailable);
    // The probe's own line tells of it; the calls log only a change from here on.
    health_.store(status.ok() ? kUp : kDown, std::memory_order_relaxed);
    return status;
  }

  Status lookup(const std::string& uri, RepositoryEntry* entry) override {
    return timed("lookup", uri, [&] {
      Directory found;
      const Status status = client()->Lookup(uri, &found);
      if (status.ok()) *entry = entry_of(found);
      return status;
    });
  }

  Status stat(const std::string& uri, unsigned want, DocumentStat* out) override {
    return timed("stat", uri, [&] {
      *out = DocumentStat();
      // A small document comes inline (fewer steps than a descriptor for a few KiB). Over a
      // Unix socket (where there is a board) the service shares this host's files: a larger one
      // comes open, and costs no copy; over TCP it is read in chunks.
      unsigned bring = 0;
      if ((want & kWantDelivery) != 0) {
        bring = board_ != nullptr ? kWantContent | kWantDescriptor : kWantContent;
      }
      StatResult found;
      const Status status = client()->Stat(uri, bring, &found);
      if (!status.ok()) return status;
      out->entry = entry_of(found.entry);
      out->has_attributes = true;
      out->attributes = found.attributes;
      switch (found.body) {
        case StatResult::Body::kContent:
          out->body = DocumentStat::Body::kContent;
          out->content.swap(found.content);
          break;
        case StatResult::Body::kDescriptor:
          out->body = DocumentStat::Body::kDescriptor;
          out->descriptor = std::move(found.descriptor);
          break;
        case StatResult::Body::kNone:
          break;
      }
      return status;
    });
  }

  bool generation(std::uint64_t* out, bool* steady) override {
    return board_ != nullptr && board_->generation(out, steady);
  }

  Status open_reader(const std::string& uri, const DocumentAttributes& attributes,
                     std::uint64_t offset, std::uint64_t length,
                     std::unique_ptr<DocumentSource>* reader) override {
    *reader = std::make_unique<ServiceSource>(*client(), uri, attributes, offset, length);
    return Status();
  }

  Status begin_upload(const std::string& uri, std::int64_t length, bool create_only,
                      std::unique_ptr<DocumentSink>* upload) override {
    return timed("upload", uri, [&] {
      auto sink = std::make_unique<ServiceSink>(*client(), create_only);
      const Status status = sink->begin(uri, length);
      if (status.ok()) *upload = std::move(sink);
      return status;
    });
  }

  Status list_members(const std::string& uri, std::vector<RepositoryEntry>* members) override {
    return timed("list", uri, [&] {
      std::vector<Directory> listed;
      const Status status = client()->ListMembers(uri, &listed);
      members->clear();
      for (const Directory& d : listed) members->push_back(entry_of(d));
      return status;
    });
  }

  Status store(const std::string& uri, const std::string& content) override {
    return timed("store", uri, [&] { return client()->StoreDoc(uri, content); });
  }

  Status fetch(const std::string& uri, std::string* content) override {
    return timed("fetch", uri, [&] { return client()->FetchDoc(uri, content); });
  }

  Status make_collection(const std::string& uri) override {
    return timed("make collection", uri, [&] { return client()->MakeCollection(uri); });
  }

  Status move(const std::string& from, const std::string& to, bool collection) override {
    return timed("move", from, [&] { return client()->Move(from, to, collection); });
  }

  Status copy_document(const std::string& from, const std::string& to) override {
    return timed("copy document", from, [&] { return client()->CopyDoc(from, to); });
  }

  Status copy_collection(const std::string& from, const std::string& to, bool deep,
                         std::vector<CopyLeftOut>* left_out) override {
    return timed("copy collection", from, [&] {
      std::vector<CopyFailure> failures;
      // Any depth but 0 copies the members with everything below them.
      const Status status = client()->CopyCollection(from, to, deep ? 1 : 0, &failures);
      left_out->clear();
      for (CopyFailure& f : failures) left_out->push_back({std::move(f.path), f.reason});
      return status;
    });
  }

  Status delete_document(const std::string& uri) override {
    return timed("delete document", uri, [&] { return client()->DeleteDoc(uri); });
  }

  Status delete_any(const std::string& uri) override {
    return timed("delete", uri, [&] { return client()->DeleteAny(uri); });
  }

  Status split_from_slash(int mode, const std::string& path, std::string* first,
                          std::string* second) override {
    client()->SplitFromSlash(mode, path, *first, *second);
    return Status();
  }

 private:
  static WebDavUtil* client() { return getServiceFactoryInstance().GetService(kServiceKey); }

  // Runs one call and logs what it told of the service.
  template <typename Call>
  Status timed(const char* operation, const std::string& uri, Call&& call) {
    const Clock::time_point start = Clock::now();
    const Status status = call();
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    note_health(operation, status);
    server_rec* s = log_server();
    if (s != nullptr && APLOG_IS_LEVEL(s, APLOG_DEBUG)) {
      ap_log_error(APLOG_MARK, APLOG_DEBUG, 0, s,
                   KIVLOGNO(10010) "repository service: %s %s: %s in %" APR_INT64_T_FMT " us",
                   operation, uri.c_str(), status.name(), static_cast<apr_int64_t>(micros));
    }
    return status;
  }

  // Logs the service lost when a call got no answer, and regained when one did after that: once
  // per change in this process, however many requests see it.
  void note_health(const char* operation, Status status) {
    server_rec* s = log_server();
    if (status.reason() == Reason::kUnavailable) {
      if (health_.load(std::memory_order_relaxed) == kDown ||
          health_.exchange(kDown, std::memory_order_relaxed) == kDown || s == nullptr) {
        return;
      }
      ap_log_error(APLOG_MARK, APLOG_ERR, 0, s,
                   KIVLOGNO(10003) "lost the repository service at %s (no answer to %s); "
                                   "requests that need it answer 503 until it is back",
                   where_.c_str(), operation);
      return;
    }
    if (health_.load(std::memory_order_relaxed) == kUp ||
        health_.exchange(kUp, std::memory_order_relaxed) != kDown || s == nullptr) {
      return;
    }
    ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, s,
                 KIVLOGNO(10004) "the repository service at %s answers again", where_.c_str());
  }

  // Set by connect at start-up, before the server forks and before any request.
  std::string where_;                           // the address for log lines
  std::unique_ptr<client::BoardReader> board_;  // over a Unix socket only
  std::atomic<int> health_{kUnknown};
};

}  // namespace

Repository& service_repository() {
  static ServiceRepository repository;
  return repository;
}

}  // namespace kiv
