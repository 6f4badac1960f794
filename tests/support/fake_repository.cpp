#include "tests/support/fake_repository.h"

namespace kiv_test {

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
