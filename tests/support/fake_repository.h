// A repository without a service, for unit tests of the hooks: lookups answered from a table,
// every call counted and its arguments kept, and switches that make a call fail with a given
// reason or the whole service be down. Install it with kiv::Repository::install; not
// thread-safe.
#ifndef KIV_TESTS_SUPPORT_FAKE_REPOSITORY_H_
#define KIV_TESTS_SUPPORT_FAKE_REPOSITORY_H_

#include <map>
#include <string>
#include <vector>

#include "provider/repository.h"

namespace kiv_test {

class FakeRepository final : public kiv::Repository {
 public:
  enum Op { kLookup, kList, kStore, kFetch, kMakeCollection, kMove, kDelete, kCopy, kOps };

  // Every call of op answers reason from now on (kNone: success).
  void fail(Op op, kiv::Reason reason) { failures_[op] = reason; }
  // Every call answers kUnavailable, as when the service is down.
  void set_down(bool down) { down_ = down; }
  int calls(Op op) const { return calls_[op]; }

  // What lookup finds (URIs without a trailing "/"; anything else is kNotFound), what list_members
  // and fetch answer, and what store was given last. list_members answers the listing of its URI
  // (without a trailing "/") when listings has one, else members.
  std::map<std::string, bool> collections;
  std::vector<kiv::RepositoryEntry> members;
  std::map<std::string, std::vector<kiv::RepositoryEntry>> listings;
  std::string document;
  std::string stored_uri, stored;
  // What a successful copy_collection reports as left out.
  std::vector<kiv::CopyLeftOut> left_out;

  kiv::Status connect(const std::string&, unsigned int) override { return answer(kLookup); }
  kiv::Status lookup(const std::string& uri, kiv::RepositoryEntry* entry) override;
  kiv::Status list_members(const std::string&, std::vector<kiv::RepositoryEntry>* out) override;
  kiv::Status store(const std::string& uri, const std::string& content) override;
  kiv::Status fetch(const std::string&, std::string* content) override;
  kiv::Status make_collection(const std::string&) override { return answer(kMakeCollection); }
  kiv::Status move(const std::string&, const std::string&, bool) override { return answer(kMove); }
  kiv::Status delete_document(const std::string&) override { return answer(kDelete); }
  kiv::Status delete_any(const std::string&) override { return answer(kDelete); }
  kiv::Status copy_document(const std::string&, const std::string&) override {
    return answer(kCopy);
  }
  kiv::Status copy_collection(const std::string&, const std::string&, bool,
                              std::vector<kiv::CopyLeftOut>* out) override;

 private:
  // Counts the call; kUnavailable when down, else what fail() set for op.
  kiv::Status answer(Op op);

  kiv::Reason failures_[kOps] = {};
  int calls_[kOps] = {};
  bool down_ = false;
};

}  // namespace kiv_test

#endif  // KIV_TESTS_SUPPORT_FAKE_REPOSITORY_H_
