// The one way from the provider to the repository service: a small interface of the module's
// own, so that the hooks can be driven without a service (tests install a fake that fails on
// demand) and every failure reaches them with its reason.
//
// Every call answers a kiv::Status: ok, a reason the service gave (not found, exists, parent
// missing, ...), kUnavailable when no answer came (service down, connection refused or lost,
// timeout), kBusy when the service turned the connection away. Results come back through
// out-parameters, which hold nothing useful after a failure.
//
// New operations (a streamed upload that takes the body block by block, a download that hands
// blocks on as they come) are added as further virtual calls answering a Status; a call that the
// existing ones can express gets a default body in terms of them, so that a fake keeps working
// without it. The copies have none: their bytes never leave the service.
#ifndef KIV_PROVIDER_REPOSITORY_H_
#define KIV_PROVIDER_REPOSITORY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/status.h"
#include "common/unique_fd.h"
#include "wire/protocol.h"

namespace kiv {

// One entry of the repository as the service describes it.
struct RepositoryEntry {
  std::string uri;  // the entry's URI; a listed collection's ends in "/"
  bool collection = false;
};

// A member that a collection copy left out (with everything below it), and why.
struct CopyLeftOut {
  std::string
      path;  // relative to the collection copied, no leading "/"; a collection's ends in "/"
  Reason reason = Reason::kNone;
};

// A file as the service sees it: size, modification and change times in nanoseconds, inode,
// device, mode. Together they tell one version of a document from the next.
using DocumentAttributes = proto::Attributes;

// What a lookup brings along for a document about to be delivered (stat's want).
enum Want : unsigned {
  kWantNothing = 0,
  // What a delivery needs, in the cheapest form the service can give: a small document's
  // content, or else the open document where the service shares this host's file system
  // through a Unix socket.
  kWantDelivery = 1,
};

// The answer of stat: the entry, and for a document its attributes and what came along. The
// content and the descriptor belong to the version the attributes describe.
struct DocumentStat {
  enum class Body { kNone, kContent, kDescriptor };
  RepositoryEntry entry;
  bool has_attributes = false;  // false from a repository that only knows lookup
  DocumentAttributes attributes;
  Body body = Body::kNone;
  std::string content;  // Body::kContent: the whole document
  UniqueFd descriptor;  // Body::kDescriptor: the document, open read-only
};

// Reads a range of one version of a document, in order, in bounded pieces.
class DocumentSource {
 public:
  virtual ~DocumentSource() = default;
  // The next bytes of the range, at most capacity of them; *got is 0 once the range is read.
  // kChanged when the document is no longer the version asked for, kRange beyond its end,
  // kNotFound, kNotDocument, kUnavailable.
  virtual Status read(char* buf, std::size_t capacity, std::size_t* got) = 0;
};

// The body of one document on its way to the repository. Nothing is stored unless commit
// succeeds; destroying it before stores nothing.
class DocumentSink {
 public:
  virtual ~DocumentSink() = default;
  // Appends size bytes. kUnavailable when the service went away (the upload is then over).
  virtual Status write(const char* data, std::size_t size) = 0;
  // Stores what was written; *stored (not null) receives the stored document's attributes and
  // has_attributes tells whether it did. The reasons of store, kIo when bytes were lost.
  virtual Status commit(DocumentAttributes* stored, bool* has_attributes) = 0;
};

class Repository {
 public:
  virtual ~Repository() = default;

  // Records the user and password that every later connection to the service presents over TCP
  // (over a Unix socket, and with an empty user, nothing is sent). Called before connect, whose
  // probe presents them too. The default body ignores them: a repository without a service.
  virtual void set_credentials(const std::string& user, const std::string& password);

  // Records where the service listens for every later call of this process and probes it once:
  // ok when the probe was answered, kUnavailable when not (the calls still try later).
  virtual Status connect(const std::string& address, unsigned int port) = 0;

  // Whether uri exists and what it is. kNotFound when nothing is there.
  virtual Status lookup(const std::string& uri, RepositoryEntry* entry) = 0;
  // The members of the collection uri (with or without its trailing "/"), sorted by name.
  // kNotFound, kNotCollection.
  virtual Status list_members(const std::string& uri, std::vector<RepositoryEntry>* members) = 0;
  // Creates or replaces the document uri with content. kParentMissing, kNotCollection (the parent
  // is a document), kNotDocument, kNoSpace, kTooLarge.
  virtual Status store(const std::string& uri, const std::string& content) = 0;
  // The whole document. kNotFound, kNotDocument, kTooLarge.
  virtual Status fetch(const std::string& uri, std::string* content) = 0;
  // kExists, kParentMissing, kNotCollection (the parent is a document).
  virtual Status make_collection(const std::string& uri) = 0;
  // Moves a document (collection false) or a collection. kNotFound, kNotDocument or
  // kNotCollection for the source; kExists, kParentMissing, kNotCollection for the destination.
  virtual Status move(const std::string& from, const std::string& to, bool collection) = 0;
  // Copies the document from to to, inside the service: a new document, or the document at to
  // rewritten in place. kNotFound (source), kNotDocument (a collection at either end),
  // kParentMissing or kNotCollection (to's parent), kForbidden, kRefusedName (to is from or lies
  // inside it), kNoSpace.
  virtual Status copy_document(const std::string& from, const std::string& to) = 0;
  // Makes a new collection at to and, when deep, copies every member of the collection from into
  // it with everything below them (never the reserved names: no dead properties, no locks).
  // ok() means that the new collection stands; *left_out (cleared first) then lists the members
  // that could not be copied. kNotFound, kNotCollection (source, or to's parent), kExists
  // (anything at to), kParentMissing, kRefusedName (to is from or lies inside it).
  virtual Status copy_collection(const std::string& from, const std::string& to, bool deep,
                                 std::vector<CopyLeftOut>* left_out) = 0;
  // Looks uri up as lookup does, with its attributes, and for a document brings along what want
  // asks for, all in one round trip. *out is reset first. The default body is lookup's, with no
  // attributes and nothing along.
  virtual Status stat(const std::string& uri, unsigned want, DocumentStat* out);
  // A number that changes whenever anything in the repository may change, and in *steady
  // whether no change is under way: an answer of stat got with the same number, steady, before
  // and after it may be used again while the number stays. False when this repository cannot
  // tell (an answer must then be asked for anew). The default body: false.
  virtual bool generation(std::uint64_t* out, bool* steady);
  // A reader of the bytes [offset, offset + length) of the document uri as long as it is the
  // version attributes describe. Nothing is read before the first read. The default body
  // fetches the document whole at the first read (and cannot tell versions apart).
  virtual Status open_reader(const std::string& uri, const DocumentAttributes& attributes,
                             std::uint64_t offset, std::uint64_t length,
                             std::unique_ptr<DocumentSource>* reader);
  // Begins the upload of the document uri, length bytes long (negative: unknown), and answers
  // at once whether it can be stored (the reasons of store), before any of its body is sent.
  // With create_only its commit stores it only where nothing is yet (kExists otherwise, and
  // what is there stays). The default body gathers the body in memory and stores it whole at
  // commit (after a lookup, for create_only).
  virtual Status begin_upload(const std::string& uri, std::int64_t length, bool create_only,
                              std::unique_ptr<DocumentSink>* upload);
  // Deletes a document only. kNotFound, kNotDocument.
  virtual Status delete_document(const std::string& uri) = 0;
  // Deletes whatever uri names, a collection with everything below it. kNotFound.
  virtual Status delete_any(const std::string& uri) = 0;

  // The service's name for a path: with mode 1, *first is path itself as a directory path and
  // *second is empty; otherwise path is split after its last "/" (*first empty without one).
  // Local, no service call; always ok. The default body does just that.
  virtual Status split_from_slash(int mode, const std::string& path, std::string* first,
                                  std::string* second);

  // The repository in use, the one place every call starts from: the one installed last, else
  // one that answers every call with kUnavailable. Thread-safe as the installed one is.
  static Repository& current();

  // Installs the repository that current() hands out from now on (null: none). The caller keeps
  // it alive while it is installed. Meant for start-up and for tests, before requests run.
  static void install(Repository* repository);
};

// True when the open document fd still holds the version attributes describe.
bool descriptor_unchanged(int fd, const DocumentAttributes& attributes);

// The real repository: the process-wide client of the service (repository_service.cpp). It logs
// each lost and regained service once per outage, and each call with its duration at LogLevel
// debug, to the server's error log once log_to (provider/log.h) has named the server.
Repository& service_repository();

}  // namespace kiv

#endif  // KIV_PROVIDER_REPOSITORY_H_
