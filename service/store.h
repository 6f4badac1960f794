// The repository tree on disk: documents are regular files and collections directories under
// one root directory, which the service opens once. Every path is resolved beneath that
// directory without following symbolic links; symbolic links, devices, sockets and the names
// of is_hidden_name() count as absent.
//
// New documents appear whole (written to a private temporary file beside the target, synced,
// renamed into place). A document that exists is rewritten in place, so that it keeps its
// inode, behind a journal record that makes the rewrite complete at the next start if the
// service dies half-way (see journal.h). The record goes into the journal slot of the
// document's stripe (one file per stripe, made once), so a rewrite costs two syncs: the record,
// then the document. Readers and writers of one document are serialised
// (striped locks by URI); operations that change the name space hold the whole tree.
//
// Each operation answers true or false and writes one log line for a refused URI or a failure;
// plain negative answers of lookups are not logged. Thread-safe: one Store serves every
// connection thread.
#ifndef KIV_SERVICE_STORE_H_
#define KIV_SERVICE_STORE_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "wire/net_io.h"
#include "service/uri.h"

namespace kiv::service {

struct StoreOptions {
  // Sync files and directories so that an answered write survives a crash. Off only for
  // benchmarks: it gives up durability.
  bool durable = true;
  std::uint64_t max_document = std::uint64_t{512} << 20;
  // Resolve with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS); off forces the component by
  // component walk used where the kernel lacks it.
  bool use_openat2 = true;
};

struct Entry {
  std::string path;  // normalized URI ("/" for the root)
  std::string name;  // last segment ("" for the root)
  bool collection = false;
};

struct Member {
  std::string name;
  bool collection = false;
};

// The private directory at the root and its journal directory.
inline constexpr const char* kPrivateDir = ".kivd";
inline constexpr const char* kJournalDir = ".kivd/journal";

class Store {
 public:
  // Opens root, creates the private directories if missing and completes the journal records
  // that an earlier run left behind. nullptr with *why set when root cannot be used.
  static std::unique_ptr<Store> open(const std::string& root, const StoreOptions& options,
                                     std::string* why);

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // True when uri names a document or a collection; *out describes it.
  bool get_directory(std::string_view uri, Entry* out);
  // The members of the collection at uri, sorted by name (byte order); *base is its normalized
  // URI with a trailing "/". False when uri is no collection or cannot be read.
  bool list(std::string_view uri, std::string* base, std::vector<Member>* members);
  // Creates or replaces a document. False when the parent collection is missing, uri names a
  // collection or the root, or the content exceeds the document cap.
  bool add_doc(std::string_view uri, std::string_view content);
  // The whole document. False (content empty) for anything but a document.
  bool get_doc(std::string_view uri, std::string* content);
  // False when something exists at uri or its parent collection is missing.
  bool add_collection(std::string_view uri);
  // Moves a document (collection false) or a collection. False when the source is missing or
  // of the other kind, the destination exists or its parent is missing, or the destination lies
  // inside the source. Across file systems the entry is copied, put in place whole, and the
  // source deleted; false when the source could not be deleted whole (both then remain).
  bool move(std::string_view from, std::string_view to, bool collection);
  // Deletes a document; false for anything else.
  bool del_doc(std::string_view uri);
  // Deletes a document, or a collection with everything in it (the module's state directories
  // included). Removes what it can; false when uri is missing or anything remains.
  bool del_any(std::string_view uri);

  // Completes every whole journal record and drops the others. Returns the number completed.
  // Called by open(); callers must not run it while operations are in flight.
  int roll_forward();

 private:
  enum class Kind { kMissing, kDocument, kCollection, kOther, kError };

  Store(int root_fd, int journal_fd, const StoreOptions& options);

  // Opens the directory at rel ("" for the root) beneath the root, or -1 with errno set.
  int open_dir(const std::string& rel) const;
  Kind kind_at(int dir_fd, const std::string& name, struct stat* st) const;
  bool sync(int fd) const;
  bool datasync(int fd) const;  // data and the size, without other metadata
  static std::size_t stripe_index(const std::string& normalized);
  std::shared_mutex& stripe(const std::string& normalized);

  bool create_doc(int parent, const ParsedUri& uri, std::string_view content);
  bool replace_doc(int parent, const ParsedUri& uri, const struct stat& st,
                   std::string_view content);
  bool remove_tree(int parent, const std::string& name, int depth);
  std::string temp_name();
  // Moves across file systems: a copy under a private name beside the destination, renamed into
  // place once whole and synced, then the source deleted.
  bool move_by_copy(int src_parent, const std::string& src_name, int dst_parent,
                    const std::string& dst_name, bool collection, const std::string& names);
  bool copy_file(int src_dir, const std::string& src_name, int dst_dir,
                 const std::string& dst_name);
  bool copy_tree(int src_dir, const std::string& src_name, int dst_dir, const std::string& dst_name,
                 int depth);
  enum class JournalOutcome { kCompleted, kDropped, kKept };
  JournalOutcome apply_journal(const std::string& name);
  std::string next_journal_name();
  // The journal slot of a stripe: it holds the record of the stripe's rewrite in progress.
  static std::string slot_name(std::size_t stripe);
  // Creates the slots that are missing and makes their names durable.
  bool make_slots();
  // Marks the record in a slot as done.
  static void clear_slot(int fd);

  kiv::net::UniqueFd root_fd_;
  kiv::net::UniqueFd journal_fd_;
  StoreOptions options_;
  std::atomic<std::uint64_t> sequence_;
  std::atomic<std::uint64_t> temp_counter_{0};

  // Namespace changes hold tree_ exclusively; everything else holds it shared and then the
  // stripe of its document.
  std::shared_mutex tree_;
  static constexpr std::size_t kStripes = 64;
  std::shared_mutex stripes_[kStripes];

  // Journal records kept after an in-place rewrite failed half-way (the next start completes
  // them), by relative path; a later successful rewrite of the same document supersedes them.
  std::mutex pending_mu_;
  std::map<std::string, std::vector<std::string>> pending_;
};

}  // namespace kiv::service

#endif  // KIV_SERVICE_STORE_H_
