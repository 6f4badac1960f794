// Read images of DBM files, kept per server process, so that reading a database that has not
// changed costs a stat instead of opening the DBM library's file.
//
// Every write to a database (through the DBM layer, under its exclusive lock) ends by counting a
// change for the database's path in a table of counters that all processes of the server share
// (anonymous shared memory made by the parent before it forks its children). An image is used
// only while the counter of its path is what it was when the image was read, and while the file
// at the path is still the same file (device, inode, size, modification and change times). A
// process without the shared table (a test, a tool) caches nothing, and neither does one whose
// tree other hosts change too (a tree id is set, common/tree_id.h): their writes count on no
// counter here.
//
// Thread-safe: images are immutable and shared; the cache has its own mutex.
#ifndef KIV_DBM_DBM_CACHE_H_
#define KIV_DBM_DBM_CACHE_H_

#include <apr_pools.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kiv {

// Every record of one DBM file, in the order the DBM library listed them.
class DbmSnapshot {
 public:
  struct Record {
    std::size_t key_offset;
    std::size_t key_size;
    std::size_t value_offset;
    std::size_t value_size;
  };

  DbmSnapshot() = default;
  // The key index points into the image's own bytes: an image stays where it was built.
  DbmSnapshot(const DbmSnapshot&) = delete;
  DbmSnapshot& operator=(const DbmSnapshot&) = delete;

  // Appends a record while the image is being built.
  void add(std::string_view key, std::string_view value);
  // Builds the key index; no add() after it.
  void seal();

  std::size_t size() const { return records_.size(); }
  std::size_t bytes() const { return arena_.size(); }
  std::string_view key(std::size_t i) const;
  std::string_view value(std::size_t i) const;
  // The record number of key, or -1.
  long find(std::string_view key) const;
  // True when p points into the image's bytes.
  bool owns(const void* p) const;

 private:
  std::string arena_;  // all keys and values back to back
  std::vector<Record> records_;
  std::unordered_map<std::string_view, std::size_t> index_;
};

// What identifies the file an image was read from.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  static FileIdentity of(const struct stat& st);
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode && size == o.size && mtime_ns == o.mtime_ns &&
           ctime_ns == o.ctime_ns;
  }
};

// Limits of what is cached: images bigger than kMaxImageBytes or with more records than
// kMaxImageRecords are not made; the whole cache of a process stays below kMaxCacheBytes.
inline constexpr std::size_t kMaxImageRecords = 4096;
inline constexpr std::size_t kMaxImageBytes = 1 << 20;
inline constexpr std::size_t kMaxCacheBytes = 32 << 20;

// Sets up the shared change counters once per server process, in the given pool (the process
// pool, which outlives configuration re-reads), and attaches this copy of the module to them.
// Returns false when shared memory cannot be had; nothing is cached then.
bool dbm_cache_enable(apr_pool_t* process_pool);

// Attaches to a counter table in memory the caller provides (bytes is rounded down to a power of
// two number of counters); null detaches. For tests.
void dbm_cache_attach(void* memory, std::size_t bytes);

// Whether a counter table is attached.
bool dbm_cache_enabled();

// The change counter of a database path (0 when caching is off).
std::uint64_t dbm_generation(const char* path);

// Counts a change of the database at path (after the file was written, before its lock goes) and
// forgets this process's image of it. Never throws: it runs where a database closes, in a pool
// cleanup; an image it could not forget is stale by its counter and dropped when next found.
void dbm_changed(const char* path) noexcept;

// The cached image of path when it was read at generation and from the file st describes.
std::shared_ptr<const DbmSnapshot> dbm_cache_find(const char* path, std::uint64_t generation,
                                                  const struct stat& st);

// Keeps an image of path read at generation from the file st describes.
void dbm_cache_store(const char* path, std::uint64_t generation, const struct stat& st,
                     std::shared_ptr<const DbmSnapshot> image);

}  // namespace kiv

#endif  // KIV_DBM_DBM_CACHE_H_
