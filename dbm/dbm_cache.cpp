// Read images of DBM files and the shared change counters that tell when an image is stale.
#include "dbm/dbm_cache.h"

#include <apr_shm.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <list>
#include <mutex>

#include "common/tree_id.h"

namespace kiv {

namespace {

constexpr const char* kCountersKey = "dav_kiv_dbm_change_counters";
constexpr std::size_t kCountersBytes = std::size_t{512} * 1024;  // 65536 counters

// The counter table; set before the server forks, read by every thread afterwards.
std::atomic<std::atomic<std::uint64_t>*> counters{nullptr};
std::atomic<std::size_t> counter_mask{0};

std::uint64_t fnv1a(const char* text) {
  std::uint64_t hash = 1469598103934665603ULL;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
    hash ^= *c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::atomic<std::uint64_t>* counter_of(const char* path) {
  std::atomic<std::uint64_t>* table = counters.load(std::memory_order_acquire);
  if (table == nullptr) return nullptr;
  return &table[fnv1a(path) & counter_mask.load(std::memory_order_relaxed)];
}

std::int64_t nanoseconds(const struct timespec& t) {
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The images of one process, least recently used first out.
class Cache {
 public:
  std::shared_ptr<const DbmSnapshot> find(const std::string& path, std::uint64_t generation,
                                          const FileIdentity& file) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(path);
    if (it == entries_.end()) return nullptr;
    Entry& e = it->second;
    if (e.generation != generation || !(e.file == file)) {
      drop(it);
      return nullptr;
    }
    order_.splice(order_.end(), order_, e.position);
    return e.image;
  }

  void store(const std::string& path, std::uint64_t generation, const FileIdentity& file,
             std::shared_ptr<const DbmSnapshot> image) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(path);
    if (it != entries_.end()) drop(it);
    bytes_ += image->bytes() + path.size();
    order_.push_back(path);
    entries_.emplace(path, Entry{generation, file, std::move(image), std::prev(order_.end())});
    while (bytes_ > kMaxCacheBytes && !order_.empty()) drop(entries_.find(order_.front()));
  }

  void forget(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(path);
    if (it != entries_.end()) drop(it);
  }

 private:
  struct Entry {
    std::uint64_t generation;
    FileIdentity file;
    std::shared_ptr<const DbmSnapshot> image;
    std::list<std::string>::iterator position;
  };

  void drop(std::unordered_map<std::string, Entry>::iterator it) {
    bytes_ -= it->second.image->bytes() + it->first.size();
    order_.erase(it->second.position);
    entries_.erase(it);
  }

  std::mutex mu_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> order_;
  std::size_t bytes_ = 0;
};

Cache& cache() {
  static Cache* instance = new Cache();  // never destroyed: threads may outlive static teardown
  return *instance;
}

}  // namespace

void DbmSnapshot::add(std::string_view key, std::string_view value) {
  Record r{arena_.size(), key.size(), arena_.size() + key.size(), value.size()};
  arena_.append(key);
  arena_.append(value);
  records_.push_back(r);
}

void DbmSnapshot::seal() {
  index_.reserve(records_.size());
  for (std::size_t i = 0; i < records_.size(); ++i) index_.emplace(key(i), i);
}

std::string_view DbmSnapshot::key(std::size_t i) const {
  return std::string_view(arena_.data() + records_[i].key_offset, records_[i].key_size);
}

std::string_view DbmSnapshot::value(std::size_t i) const {
  return std::string_view(arena_.data() + records_[i].value_offset, records_[i].value_size);
}

long DbmSnapshot::find(std::string_view k) const {
  auto it = index_.find(k);
  return it == index_.end() ? -1 : static_cast<long>(it->second);
}

bool DbmSnapshot::owns(const void* p) const {
  const char* c = static_cast<const char*>(p);
  return c >= arena_.data() && c < arena_.data() + arena_.size();
}

FileIdentity FileIdentity::of(const struct stat& st) {
  FileIdentity f;
  f.device = static_cast<std::uint64_t>(st.st_dev);
  f.inode = static_cast<std::uint64_t>(st.st_ino);
  f.size = static_cast<std::int64_t>(st.st_size);
  f.mtime_ns = nanoseconds(st.st_mtim);
  f.ctime_ns = nanoseconds(st.st_ctim);
  return f;
}

bool dbm_cache_enable(apr_pool_t* process_pool) {
  void* existing = nullptr;
  apr_pool_userdata_get(&existing, kCountersKey, process_pool);
  auto* shm = static_cast<apr_shm_t*>(existing);
  if (shm == nullptr) {
    // Anonymous shared memory: every child forked later sees the same counters.
    if (apr_shm_create(&shm, kCountersBytes, nullptr, process_pool) != APR_SUCCESS) return false;
    std::memset(apr_shm_baseaddr_get(shm), 0, apr_shm_size_get(shm));
    apr_pool_userdata_set(shm, kCountersKey, apr_pool_cleanup_null, process_pool);
  }
  dbm_cache_attach(apr_shm_baseaddr_get(shm), apr_shm_size_get(shm));
  return true;
}

void dbm_cache_attach(void* memory, std::size_t bytes) {
  if (memory == nullptr || bytes < sizeof(std::uint64_t)) {
    counters.store(nullptr, std::memory_order_release);
    return;
  }
  std::size_t n = 1;
  while (n * 2 * sizeof(std::uint64_t) <= bytes) n *= 2;
  counter_mask.store(n - 1, std::memory_order_relaxed);
  counters.store(static_cast<std::atomic<std::uint64_t>*>(memory), std::memory_order_release);
}

bool dbm_cache_enabled() {
  // The counters count the changes made on this host only: a tree that other hosts change too
  // (a tree id is set) is read from its files every time.
  return counters.load(std::memory_order_acquire) != nullptr && !tree_id_set();
}

std::uint64_t dbm_generation(const char* path) {
  std::atomic<std::uint64_t>* c = counter_of(path);
  return c == nullptr ? 0 : c->load(std::memory_order_acquire);
}

void dbm_changed(const char* path) noexcept {
  std::atomic<std::uint64_t>* c = counter_of(path);
  if (c == nullptr) return;
  c->fetch_add(1, std::memory_order_acq_rel);
  try {
    cache().forget(path);
  } catch (...) {  // out of memory for the key: the counter alone marks the image stale
  }
}

std::shared_ptr<const DbmSnapshot> dbm_cache_find(const char* path, std::uint64_t generation,
                                                  const struct stat& st) {
  if (!dbm_cache_enabled()) return nullptr;
  return cache().find(path, generation, FileIdentity::of(st));
}

void dbm_cache_store(const char* path, std::uint64_t generation, const struct stat& st,
                     std::shared_ptr<const DbmSnapshot> image) {
  if (!dbm_cache_enabled() || image == nullptr) return;
  cache().store(path, generation, FileIdentity::of(st), std::move(image));
}

}  // namespace kiv
