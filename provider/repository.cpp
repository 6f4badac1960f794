// Which repository the provider talks to: the one installed at start-up (or by a test), else one
// that is never there.
#include "provider/repository.h"

#include <atomic>

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
  Status copy_document(const std::string&, const std::string&) override { return down(); }
  Status copy_collection(const std::string&, const std::string&, bool,
                         std::vector<CopyLeftOut>*) override {
    return down();
  }

 private:
  static Status down() { return Status(Reason::kUnavailable); }
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

Repository& Repository::current() {
  Repository* r = installed.load(std::memory_order_acquire);
  return r != nullptr ? *r : no_repository;
}

void Repository::install(Repository* r) {
  installed.store(r, std::memory_order_release);
}

}  // namespace kiv
