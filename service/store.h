// The repository tree on disk: documents are regular files and collections directories under
// one root directory, which the service opens once. Every path is resolved beneath that
// directory without following symbolic links; symbolic links, devices, sockets and the names
// of kiv::is_reserved_name() count as absent.
//
// New documents appear whole (written to a private temporary file beside the target, synced,
// renamed or linked into place). A document that exists is rewritten in place, so that it keeps
// its inode, behind a journal record that makes the rewrite complete at the next start if the
// service dies half-way (see journal.h). The record goes into the journal slot of the
// document's stripe (one file per stripe, made once). It holds the new content itself when that
// is small (a rewrite then costs two syncs: the record, then the document), or names the synced
// temporary file that holds it, staged under a private name beside the document (four syncs:
// the file, the record, the directory, the document); the staged file goes once the rewrite is
// whole, and the slot is emptied, so the journal keeps no copy of any content. A document with
// more than one hard link is never rewritten in place (the rewrite would reach every name of
// the file). Documents are created with mode 0640 and collections 0750 (less what the umask
// takes). Every store sets the document's modification time from the fine-grained clock, later
// than the one it replaces, so that size, times and inode tell one version from the next.
// Readers and writers of one document are serialised (striped locks by URI, and across the hosts
// of a shared tree an flock on the document file itself: shared while it is read, exclusive while
// it is rewritten); operations that change the name space hold the whole tree. A copy holds the
// tree shared, so that the name space stands still under it while documents elsewhere are read and
// written.
//
// Uploads: begin_upload checks that the document can be stored and makes the temporary file,
// write_upload appends to it without any lock, commit_upload puts it in place under the
// document's lock. Nothing is stored unless the upload is committed.
//
// Each operation answers Reason::kNone on success and otherwise why it failed, and writes one
// log line for a refused URI or a failure; plain negative answers of lookups are not logged.
// The reasons, for every operation: kRefusedName for a URI that parse_uri() refuses and for the
// root where it cannot be the target; kNoSpace when the file system is full (ENOSPC, EDQUOT);
// kIo for any other failure to read or write. The others are listed with each operation.
// Thread-safe: one Store serves every connection thread.
//
// The operations live in one file per concern: store.cpp (opening, path resolution, locks),
// tree_ops.cpp (lookup, listing, collections, moves, deletes), documents.cpp (new documents and
// reads), replace.cpp (the in-place rewrite and its journal slots), roll_forward.cpp (the
// journal at start-up), cross_device.cpp (moves between file systems), copy.cpp (copies of
// documents and collections).
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

#include "common/names.h"
#include "common/unique_fd.h"
#include "service/journal.h"
#include "service/uri.h"
#include "wire/protocol.h"
#include "wire/reason.h"

namespace kiv::service {

struct StoreOptions {
  // Sync files and directories so that an answered write survives a crash. Off only for
  // benchmarks: it gives up durability.
  bool durable = true;
  // Largest document stored; no limit beyond the file system's by default.
  std::uint64_t max_document = UINT64_MAX;
  // Resolve with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS); off forces the component by
  // component walk used where the kernel lacks it.
  bool use_openat2 = true;
  // This host's name among several that serve one tree (valid_host_id): its journal is its own
  // directory, journal-<host_id>, and its temporary names carry it. Empty for a tree served by
  // this host alone (the journal is "journal").
  std::string host_id;
};

// True for a host id that may name a journal: 1 to 32 letters, digits, '-' and '_'.
bool valid_host_id(std::string_view id);

struct Entry {
  std::string path;  // normalized URI ("/" for the root)
  std::string name;  // last segment ("" for the root)
  bool collection = false;
};

struct Member {
  std::string name;
  bool collection = false;
};

// A member that a collection copy left out, and why.
struct CopyFailure {
  std::string path;  // relative to the collection copied; a collection's ends in "/"
  Reason reason = Reason::kNone;
};

using Attributes = kiv::proto::Attributes;

// The attributes of a file as the service hands them out.
Attributes attributes_of(const struct stat& st);

// What a lookup for a delivery found: the entry, its attributes, and for a document the content
// (when asked for and small) or the open document (when asked for), both of the version that the
// attributes describe.
struct Found {
  Entry entry;
  Attributes attributes;
  bool has_content = false;
  std::string content;
  kiv::UniqueFd descriptor;  // read-only
};

class Store;

// An upload in progress: the new content of one document, written as it arrives into a
// temporary file beside the document (unnamed where the file system allows, so that a crash
// leaves nothing behind). Made by Store::begin_upload; destroying it without a commit stores
// nothing and takes the file along. Used by one thread at a time.
class Upload {
 public:
  ~Upload();
  Upload(const Upload&) = delete;
  Upload& operator=(const Upload&) = delete;

  std::uint64_t received() const { return received_; }

 private:
  friend class Store;
  Upload() = default;

  ParsedUri uri_;
  std::string shown_;   // the URI for log lines
  kiv::UniqueFd dir_;   // the directory the file was made in
  kiv::UniqueFd file_;  // the new content, read-write
  std::string name_;    // the file's name in dir_ while it has one; empty when unnamed
  std::uint64_t received_ = 0;
  std::uint64_t written_back_ = 0;  // how much of it the disk was asked to write so far
  Reason failed_ = Reason::kNone;   // why the upload can no longer be stored
};

// The private directory at the root is named kiv::kPrivatePrefix; the journal is this directory
// inside it, or with a host id, this name, "-" and the id (one journal per host of a shared tree).
inline constexpr std::string_view kJournalName = "journal";

// How long a read or a rewrite of a document waits for the document's file lock, which a rewrite
// through another host of a shared tree may hold, before it fails as kBusy.
inline constexpr int kDocumentLockWaitSeconds = 30;

class Store {
 public:
  // Opens root, creates the private directories if missing and completes the journal records
  // that an earlier run left behind. nullptr with *why set when root cannot be used.
  static std::unique_ptr<Store> open(const std::string& root, const StoreOptions& options,
                                     std::string* why);

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Looks uri up; *out describes what is there. kNotFound when nothing is (symbolic links and
  // special files count as nothing).
  Reason get_directory(std::string_view uri, Entry* out);
  // Looks uri up with its attributes, as get_directory. For a document, want_content brings its
  // content along when it is at most kiv::proto::kMaxInline bytes, and want_descriptor (when the
  // content is not brought) the document opened read-only.
  Reason stat(std::string_view uri, bool want_content, bool want_descriptor, Found* out);
  // Reads length bytes (at most kiv::proto::kMaxChunk) of a document from offset into *out,
  // provided the document is still the version that expected describes. kNotFound,
  // kNotDocument, kChanged for another version, kRange for bytes beyond its end, kTooLarge for
  // a length beyond the chunk.
  Reason read(std::string_view uri, const Attributes& expected, std::uint64_t offset,
              std::uint32_t length, std::string* out);
  // The members of the collection at uri, sorted by name (byte order); *base is its normalized
  // URI with a trailing "/". kNotFound when nothing is at uri, kNotCollection for a document.
  Reason list(std::string_view uri, std::string* base, std::vector<Member>* members);
  // Creates or replaces a document. kParentMissing or kNotCollection when the parent collection
  // is missing or is a document, kNotDocument when uri names something else than a document,
  // kTooLarge when the content exceeds the document cap, kForbidden for a document with more than
  // one hard link.
  Reason add_doc(std::string_view uri, std::string_view content);
  // The whole document (content empty on failure). kNotFound, kNotDocument for a collection,
  // kTooLarge for a document beyond the cap or beyond limit bytes.
  Reason get_doc(std::string_view uri, std::string* content, std::uint64_t limit = UINT64_MAX);
  // Begins an upload of the document at uri: answers at once whether it can be stored (the
  // reasons of add_doc; kTooLarge when length, if known, exceeds the document cap; kNoSpace when
  // the file system has no room for length bytes) and makes its temporary file.
  Reason begin_upload(std::string_view uri, const std::uint64_t* length,
                      std::unique_ptr<Upload>* out);
  // Appends data to the upload. Takes no lock. A failure (kNoSpace, kIo, kTooLarge beyond the
  // document cap) is kept in the upload, which then takes nothing more and is refused at commit.
  Reason write_upload(Upload& upload, std::string_view data);
  // Stores the upload as the document, created or replaced as add_doc does, after checking that
  // total bytes arrived (kIo otherwise) and that the upload did not fail. *stored holds the
  // attributes of the stored document. The upload is spent either way.
  Reason commit_upload(Upload& upload, std::uint64_t total, Attributes* stored,
                       bool create_only = false);
  // kExists when something is at uri, kParentMissing or kNotCollection as for add_doc.
  Reason add_collection(std::string_view uri);
  // Moves a document (collection false) or a collection. kNotFound when the source is missing,
  // kNotDocument or kNotCollection when it is of the other kind, kExists when the destination
  // exists, kParentMissing or kNotCollection for its parent, kRefusedName when the destination
  // lies inside the source. Across file systems the entry is copied, put in place whole, and
  // the source deleted; kIo when the source could not be deleted whole (both then remain).
  Reason move(std::string_view from, std::string_view to, bool collection);
  // Copies the document at from to to, file to file: a new document appears whole, one that
  // exists is replaced in place as add_doc replaces it. kNotFound when the source is missing,
  // kNotDocument when either end is a collection (or something else than a document),
  // kParentMissing or kNotCollection for the destination's parent, kForbidden for a destination
  // with more than one hard link, kRefusedName when to is from or lies inside it.
  Reason copy_doc(std::string_view from, std::string_view to);
  // Makes a new collection at to, and when infinity copies every member of the collection at
  // from into it, with everything below them (reserved names, symbolic links and special files
  // stay behind). A member that cannot be copied is left out and listed in *failures, with
  // everything below it; the others are copied all the same. kNotFound when the source is
  // missing, kNotCollection for a document, kExists when anything is at to, kParentMissing or
  // kNotCollection for its parent, kRefusedName when to is from or lies inside it. kIo (or
  // kNoSpace) after the new collection was made means that it stands, possibly incomplete.
  Reason copy_collection(std::string_view from, std::string_view to, bool infinity,
                         std::vector<CopyFailure>* failures);
  // Deletes a document. kNotFound, kNotDocument for a collection.
  Reason del_doc(std::string_view uri);
  // Deletes a document, or a collection with everything in it (the module's state directories
  // included). Removes what it can; kNotFound when nothing is at uri, kIo when anything remains.
  Reason del_any(std::string_view uri);

  // Completes every whole journal record and drops the others. Returns the number completed.
  // Called by open(); callers must not run it while operations are in flight.
  int roll_forward();

 private:
  enum class Kind { kMissing, kDocument, kCollection, kOther, kError };

  // New content of a document: bytes in memory, or (file >= 0) the first size bytes of an open
  // regular file, which must not change while it is in use.
  struct Content {
    std::string_view bytes;
    int file = -1;
    std::uint64_t size = 0;
    std::uint64_t length() const { return file >= 0 ? size : bytes.size(); }
  };

  // Locks for a copy: the source's stripe shared and the destination's exclusive, taken in the
  // order of their indexes so that two copies in opposite directions never wait on each other.
  class CopyLocks {
   public:
    CopyLocks(Store* store, const std::string& from, const std::string& to);

   private:
    std::shared_lock<std::shared_mutex> source_;
    std::unique_lock<std::shared_mutex> destination_;
  };

  Store(int root_fd, int journal_fd, const StoreOptions& options);

  // Parses uri for the operation op (a name for log lines). kRefusedName, logged, for a URI
  // that parse_uri() refuses, and for the root unless root_ok.
  Reason accept(const char* op, std::string_view uri, bool root_ok, ParsedUri* out) const;
  // Opens the directory at rel ("" for the root) beneath the root, or -1 with errno set (ELOOP
  // for a symbolic link on the way, whichever way paths resolve).
  int open_dir(const std::string& rel) const;
  // Opens the parent collection of u; on failure *why says why: kParentMissing, kNotCollection
  // (a segment is a document) or the failure's own reason.
  kiv::UniqueFd open_parent(const ParsedUri& u, Reason* why) const;
  Kind kind_at(int dir_fd, const std::string& name, struct stat* st) const;
  bool sync(int fd) const;
  bool datasync(int fd) const;  // data and the size, without other metadata
  static std::size_t stripe_index(const std::string& normalized);
  std::shared_mutex& stripe(const std::string& normalized);
  std::string temp_name();

  // Opens the document name in dir for reading; *st describes it. kNotFound for nothing (or a
  // symbolic link or special file), kNotDocument for a collection.
  Reason open_document(int dir, const std::string& name, UniqueFd* fd, struct stat* st) const;
  // A document open for reading, with the tree's and its stripe's shared locks held: rewrites
  // in this process wait until it is gone.
  struct ReadHandle {
    std::shared_lock<std::shared_mutex> tree, doc;
    UniqueFd fd;
    struct stat st {};
  };
  // Opens the document at u (not the root) into *h, as open_document() answers.
  Reason open_to_read(const ParsedUri& u, ReadHandle* h);
  // Stat's answer for the document at u, open as fd: its content (locked to read) when wanted
  // and small enough to come along, else its descriptor when wanted.
  Reason found_document(std::string_view uri, const ParsedUri& u, UniqueFd fd, struct stat* st,
                        bool want_content, bool want_descriptor, Found* out);
  // Puts a new document named name into parent; shown is its URI for log lines of op.
  Reason create_doc(const char* op, int parent, const std::string& name, const std::string& shown,
                    const Content& content);
  // Rewrites the document at u, which st describes, in place, behind a record that holds the
  // content. *stored (when not null) receives the attributes of the rewritten document.
  Reason replace_doc(const char* op, int parent, const ParsedUri& u, const struct stat& st,
                     const Content& content, Attributes* stored = nullptr);
  // Where the bytes of a rewrite come from: bytes, or length bytes of file from offset (the
  // journal record itself, or a staged file); and the staged file's name beside the document,
  // which goes once the rewrite is whole ("" when none).
  struct Source {
    std::string_view bytes;
    int file = -1;
    off_t offset = 0;
    std::uint64_t length = 0;
    std::string staged;
  };
  // The rewrite in place of the document at u (whose identity st gives) from source, behind the
  // record already synced in the open slot j.
  Reason rewrite(const char* op, int parent, const ParsedUri& u, const struct stat& st,
                 kiv::UniqueFd j, const std::string& slot, const Source& source,
                 Attributes* stored);
  // Opens the journal slot of the stripe of u for reading and writing; *slot is its name.
  kiv::UniqueFd open_slot(const ParsedUri& u, std::string* slot);
  // Writes the whole journal record of a rewrite into the open slot j, synced.
  bool write_record(int j, const ParsedUri& u, const struct stat& st, const Content& content);
  // Writes the record h, whose content is staged, into the open slot j, synced.
  bool write_staged_record(int j, const JournalHeader& h);
  // Moves the record in a slot whose rewrite failed half-way out of it, for the next start, with
  // the staged file it names (if any).
  std::string keep_record(const std::string& slot, const std::string& path,
                          const std::string& staged);
  // Deletes the records kept for path, and their staged files in the directory parent: a whole
  // rewrite of the same document supersedes them.
  void drop_superseded(int parent, const std::string& path, const std::string& uri);
  // The stores of an upload, with the document missing (create) or there (replace).
  Reason commit_new(int parent, Upload& up, Attributes* stored);
  Reason commit_replace(int parent, Upload& up, const struct stat& st, Attributes* stored);
  // Gives the upload's content the name name in parent, never replacing anything there: the
  // same file where the file system allows, else a synced copy (which the upload then holds).
  // False with errno set.
  bool stage(int parent, Upload& up, const std::string& name);
  // Sets the modification time of fd to now, from the fine-grained clock, and later than
  // previous (the time of the version it replaces) when given.
  static void set_fresh_mtime(int fd, const struct stat* previous);
  // Deletes the document at uri, or (any) the document or collection, for del_doc and del_any.
  Reason remove(const char* op, std::string_view uri, bool any);
  bool remove_tree(int parent, const std::string& name, int depth);
  // Moves across file systems: a copy under a private name beside the destination, renamed into
  // place once whole and synced, then the source deleted.
  Reason move_by_copy(int src_parent, const std::string& src_name, int dst_parent,
                      const std::string& dst_name, bool collection, const std::string& names);
  bool copy_file(int src_dir, const std::string& src_name, int dst_dir,
                 const std::string& dst_name);
  bool copy_tree(int src_dir, const std::string& src_name, int dst_dir, const std::string& dst_name,
                 int depth);
  // Copies the members of the open collection from (at URI from_uri + rel) into the open
  // collection to (at to_uri + rel), depth levels down from the collection copied. Members that
  // fail go to *failures; the answer is the failure of the directory itself (read or sync).
  Reason copy_members(int from, int to, const std::string& from_uri, const std::string& to_uri,
                      const std::string& rel, int depth, std::vector<CopyFailure>* failures);
  // Copies the document name of the collection from into the collection to, where it must be
  // new; from_uri and to_uri are the two documents' URIs.
  Reason copy_member(int from, int to, const std::string& name, const std::string& from_uri,
                     const std::string& to_uri);
  enum class JournalOutcome { kCompleted, kDropped, kKept };
  JournalOutcome apply_journal(const std::string& name);
  // Checks that the open record j of size bytes is whole; *h and *header_size describe it.
  bool check_record(int j, const std::string& name, std::uint64_t size, JournalHeader* h,
                    std::size_t* header_size);
  // Writes the content of the checked record j into the document it names.
  JournalOutcome complete_record(int j, const std::string& name, const JournalHeader& h,
                                 std::size_t header_size);
  std::string next_journal_name();
  // The journal slot of a stripe: it holds the record of the stripe's rewrite in progress.
  static std::string slot_name(std::size_t stripe);
  // Creates the slots that are missing and makes their names durable.
  bool make_slots();
  // Empties a slot whose record is done, so that no content stays behind in the journal.
  static void clear_slot(int fd);

  kiv::UniqueFd root_fd_;
  kiv::UniqueFd journal_fd_;
  StoreOptions options_;
  std::atomic<std::uint64_t> sequence_;
  std::atomic<std::uint64_t> temp_counter_{0};

  // Namespace changes hold tree_ exclusively; everything else holds it shared and then the
  // stripe of its document.
  std::shared_mutex tree_;
  static constexpr std::size_t kStripes = 64;
  std::shared_mutex stripes_[kStripes];

  // Journal records kept after an in-place rewrite failed half-way (the next start completes
  // them), with the staged files they name, by relative path; a later successful rewrite of the
  // same document supersedes them.
  struct Kept {
    std::string record;
    std::string staged;
  };
  std::mutex pending_mu_;
  std::map<std::string, std::vector<Kept>> pending_;
};

}  // namespace kiv::service

#endif  // KIV_SERVICE_STORE_H_
