#include "tests/support/fake_repository.h"

#include <memory>
#include <utility>

namespace kiv_test {

namespace {

class FakeSink final : public kiv::DocumentSink {
 public:
  FakeSink(FakeRepository& owner, std::string uri, bool create_only)
      : owner_(owner), uri_(std::move(uri)), create_only_(create_only) {}
  kiv::Status write(const char* data, std::size_t size) override {
    body_.append(data, size);
    return kiv::Status();
  }
  kiv::Status commit(kiv::DocumentAttributes* stored, bool* has_attributes) override {
    *has_attributes = false;
    if (create_only_ && owner_.collections.count(uri_) != 0) {
      return kiv::Status(kiv::Reason::kExists);
    }
    owner_.stored_uri = uri_;
    owner_.stored = body_;
    *stored = kiv::DocumentAttributes();
    stored->size = body_.size();
    stored->mtime_ns = ++owner_.version * 1000000000;
    *has_attributes = true;
    return kiv::Status();
  }

 private:
  FakeRepository& owner_;
  std::string uri_;
  bool create_only_;
  std::string body_;
};

}  // namespace

kiv::Status FakeRepository::stat(const std::string& uri, unsigned want, kiv::DocumentStat* out) {
  *out = kiv::DocumentStat();
  if (kiv::Status s = lookup(uri, &out->entry); !s.ok() || out->entry.collection) return s;
  out->has_attributes = true;
  out->attributes.size = document.size();
  out->attributes.mtime_ns = version * 1000000000;
  if ((want & kiv::kWantDelivery) != 0) {
    out->body = kiv::DocumentStat::Body::kContent;
    out->content = document;
  }
  return kiv::Status();
}

kiv::Status FakeRepository::begin_upload(const std::string& uri, std::int64_t length,
                                         bool create_only,
                                         std::unique_ptr<kiv::DocumentSink>* upload) {
  begun_length = length;
  if (kiv::Status s = answer(kStore); !s.ok()) return s;
  *upload = std::make_unique<FakeSink>(*this, uri, create_only);
  return kiv::Status();
}

kiv::Status FakeRepository::answer(Op op) {
  ++calls_[op];
  return kiv::Status(down_ ? kiv::Reason::kUnavailable : failures_[op]);
}

kiv::Status FakeRepository::lookup(const std::string& uri, kiv::RepositoryEntry* entry) {
  if (kiv::Status s = answer(kLookup); !s.ok()) return s;
  const auto it = collections.find(uri);
  if (it == collections.end()) return kiv::Status(kiv::Reason::kNotFound);
  entry->uri = uri;
  entry->collection = it->second;
  return kiv::Status();
}

kiv::Status FakeRepository::list_members(const std::string& uri,
                                         std::vector<kiv::RepositoryEntry>* out) {
  kiv::Status s = answer(kList);
  out->clear();
  if (!s.ok()) return s;
  std::string key = uri;
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  const auto it = listings.find(key);
  *out = it != listings.end() ? it->second : members;
  return s;
}

kiv::Status FakeRepository::store(const std::string& uri, const std::string& content) {
  kiv::Status s = answer(kStore);
  if (s.ok()) {
    stored_uri = uri;
    stored = content;
  }
  return s;
}

kiv::Status FakeRepository::fetch(const std::string&, std::string* content) {
  kiv::Status s = answer(kFetch);
  if (s.ok()) *content = document;
  return s;
}

kiv::Status FakeRepository::copy_collection(const std::string&, const std::string&, bool,
                                            std::vector<kiv::CopyLeftOut>* out) {
  kiv::Status s = answer(kCopy);
  *out = s.ok() ? left_out : std::vector<kiv::CopyLeftOut>();
  return s;
}

}  // namespace kiv_test
