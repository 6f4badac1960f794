// Which repository the provider talks to: the one installed at start-up (or by a test), else one
// that is never there.
#include "provider/repository.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

#include "client/kiv_client.h"

namespace kiv {

namespace {

// Answers every call as a service that cannot be reached.
class NoRepository final : public Repository {
 public:
  Status connect(const std::string&, unsigned int) override { return down(); }
  Status lookup(const std::string&, RepositoryEntry*) override { return down(); }
  Status list_members(const std::string&, std::vector<RepositoryEntry>*) override { return down(); }
  Status store(const std::string&, const std::string&) override { return down(); }
  Status fetch(const std::string&, std::string*) override { return down(); }
  Status make_collection(const std::string&) override { return down(); }
  Status move(const std::string&, const std::string&, bool) override { return down(); }
  Status delete_document(const std::string&) override { return down(); }
  Status delete_any(const std::string&) override { return down(); }
  Status begin_upload(const std::string&, std::int64_t, bool,
                      std::unique_ptr<DocumentSink>*) override {
    return down();
  }
  Status copy_document(const std::string&, const std::string&) override { return down(); }
  Status copy_collection(const std::string&, const std::string&, bool,
                         std::vector<CopyLeftOut>*) override {
    return down();
  }

 private:
  static Status down() { return Status(Reason::kUnavailable); }
};

// The default reader: the whole document, fetched at the first read.
class WholeDocumentSource final : public DocumentSource {
 public:
  WholeDocumentSource(Repository& repository, std::string uri, std::uint64_t offset,
                      std::uint64_t length)
      : repository_(repository), uri_(std::move(uri)), offset_(offset), left_(length) {}

  Status read(char* buf, std::size_t capacity, std::size_t* got) override {
    *got = 0;
    if (!fetched_) {
      if (Status s = repository_.fetch(uri_, &content_); !s.ok()) return s;
      fetched_ = true;
      if (offset_ > content_.size() || left_ > content_.size() - offset_) {
        return Status(Reason::kRange);
      }
    }
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, left_));
    std::memcpy(buf, content_.data() + offset_, n);
    offset_ += n;
    left_ -= n;
    *got = n;
    return Status();
  }

 private:
  Repository& repository_;
  std::string uri_;
  std::uint64_t offset_, left_;
  bool fetched_ = false;
  std::string content_;
};

// The default upload: the body gathered in memory and stored whole at commit.
class WholeDocumentSink final : public DocumentSink {
 public:
  WholeDocumentSink(Repository& repository, std::string uri, bool create_only)
      : repository_(repository), uri_(std::move(uri)), create_only_(create_only) {}

  Status write(const char* data, std::size_t size) override {
    body_.append(data, size);
    return Status();
  }
  Status commit(DocumentAttributes*, bool* has_attributes) override {
    *has_attributes = false;
    RepositoryEntry entry;
    if (create_only_ && repository_.lookup(uri_, &entry).ok()) return Status(Reason::kExists);
    std::string body;
    body.swap(body_);
    return repository_.store(uri_, body);
  }

 private:
  Repository& repository_;
  std::string uri_;
  bool create_only_;
  std::string body_;
};

NoRepository no_repository;
std::atomic<Repository*> installed{nullptr};

}  // namespace

void Repository::set_credentials(const std::string& /*user*/, const std::string& /*password*/) {}

Status Repository::split_from_slash(int mode, const std::string& path, std::string* first,
                                    std::string* second) {
  if (mode == 1) {
    *first = path;
    second->clear();
    return Status();
  }
  const std::size_t slash = path.rfind('/');
  *first = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  *second = slash == std::string::npos ? path : path.substr(slash + 1);
  return Status();
}

Status Repository::stat(const std::string& uri, unsigned, DocumentStat* out) {
  *out = DocumentStat();
  return lookup(uri, &out->entry);
}

bool Repository::generation(std::uint64_t*, bool*) {
  return false;
}

Status Repository::open_reader(const std::string& uri, const DocumentAttributes&,
                               std::uint64_t offset, std::uint64_t length,
                               std::unique_ptr<DocumentSource>* reader) {
  *reader = std::make_unique<WholeDocumentSource>(*this, uri, offset, length);
  return Status();
}

Status Repository::begin_upload(const std::string& uri, std::int64_t, bool create_only,
                                std::unique_ptr<DocumentSink>* upload) {
  *upload = std::make_unique<WholeDocumentSink>(*this, uri, create_only);
  return Status();
}

bool descriptor_unchanged(int fd, const DocumentAttributes& attributes) {
  return DescriptorUnchanged(fd, attributes);
}

Repository& Repository::current() {
  Repository* r = installed.load(std::memory_order_acquire);
  return r != nullptr ? *r : no_repository;
}

void Repository::install(Repository* r) {
  installed.store(r, std::memory_order_release);
}

}  // namespace kiv
