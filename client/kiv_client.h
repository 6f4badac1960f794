// Client of the repository service: the interface that the server module calls.
//
// One process-wide WebDavUtil serves every thread of the process at once without a lock of the
// caller's. Each thread talks to the service over its own connections (a pool that never hands one
// socket to two threads), and each thread has its own upload stream and its own result storage.
// A connection is opened lazily in the process and thread that uses it; one inherited across
// fork() is never used. Failures (service down, timeout, refused input) come back as a
// kiv::Status with its reason from the typed calls, and as false or an empty list from the
// older calls that wrap them; never as an exception and never as a crash. After the service
// restarts the next operation reconnects by itself.
//
// The reasons of the typed calls: the service's own (see service/store.h) for an operation it
// refused or failed; kBusy when it serves as many connections as it may (in all, or for this
// peer); kTooLarge also for a request beyond the service's frame cap; kUnavailable when no
// answer came (no address recorded, connection refused, connect or I/O timeout, connection
// lost) and when the service refused the credentials; kBadAnswer for an answer that does not
// decode or does not fit the operation; kIo for a failure of the client's own (memory, an
// upload stream that lost bytes) and for a failure that an older service gave without a reason.
//
// The service is reached over TCP (an address and a port) or over a Unix domain socket (the
// address "unix:" followed by the socket's path; the port is then not used).
//
// Documents of any size travel in bounded chunks: a lookup (Stat) that also brings along what
// a delivery needs, a ranged reader (kiv::DocumentReader) and a streamed upload
// (kiv::DocumentUpload). Neither side ever holds a whole document for them, and no answer or
// request carries more than kiv::proto::kMaxChunk bytes of one. The calls that take or give a
// document whole (StoreDoc, FetchDoc and the older ones) are built on them for large documents.
#ifndef KIV_CLIENT_KIV_CLIENT_H_
#define KIV_CLIENT_KIV_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/status.h"
#include "common/unique_fd.h"
#include "wire/protocol.h"
#include "wire/reason.h"

namespace kiv {

// A member that a collection copy left out, and why.
struct CopyFailure {
  std::string path;  // relative to the collection copied, without a leading "/"; a collection's
                     // ends in "/"
  Reason reason = Reason::kNone;
};

}  // namespace kiv

// One entry of the repository: a document or a collection.
class Directory {
 public:
  Directory() = default;
  Directory(std::string path, std::string name, std::string type)
      : path(std::move(path)), name(std::move(name)), type(std::move(type)) {}

  std::string path;  // the entry's URI path; a collection's ends in "/" when listed
  std::string name;  // the entry's last path segment
  std::string type;  // "CollectionItem" or "DocumentItem"
};

inline constexpr const char* kCollectionItem = "CollectionItem";
inline constexpr const char* kDocumentItem = "DocumentItem";

class ClientImpl;

namespace kiv {

class DocumentReader;
class DocumentUpload;
struct HeldConnection;

// A file as the service sees it: size, modification and change times (nanoseconds since the
// epoch), inode, device and mode (type and permission bits, as st_mode). Size, times and
// identity together tell one version of a document from another: every store sets a fresh
// modification time.
using FileAttributes = kiv::proto::Attributes;

// Bits of Stat's want: what to bring along for a document about to be delivered.
inline constexpr unsigned kWantContent = kiv::proto::kWantContent;        // up to kMaxInline bytes
inline constexpr unsigned kWantDescriptor = kiv::proto::kWantDescriptor;  // Unix sockets only
// Documents up to this size come along with a Stat that wants their content.
inline constexpr std::size_t kMaxInline = kiv::proto::kMaxInline;

// The answer of Stat. The content and the descriptor belong to the version that the attributes
// describe.
struct StatResult {
  enum class Body {
    kNone,        // nothing came along: read the document with a DocumentReader
    kContent,     // content holds the whole document
    kDescriptor,  // descriptor is the document, open read-only
  };
  Directory entry;
  FileAttributes attributes;
  Body body = Body::kNone;
  std::string content;
  // Opened by the service beneath its root. Read it with pread or sendfile (its position is
  // shared with nothing but is not reset). It shows the file as it is: a rewrite of the
  // document that commits while it is read shows through, so compare its attributes afterwards
  // (DescriptorUnchanged) before trusting a long read.
  kiv::UniqueFd descriptor;
};

// True when the open document fd still holds the version that attributes describe.
bool DescriptorUnchanged(int fd, const FileAttributes& attributes);

}  // namespace kiv

class WebDavUtil {
 public:
  WebDavUtil();
  ~WebDavUtil();
  WebDavUtil(const WebDavUtil&) = delete;
  WebDavUtil& operator=(const WebDavUtil&) = delete;

  // Records the service's address and port for every later operation of this process and probes
  // the service once; true when the probe got an answer. The address "unix:/path" names a Unix
  // domain socket; the port is then not used. No connection is kept open by this call, so a
  // process that forks afterwards hands nothing to its children. A second call replaces the
  // address; connections to the old one are dropped.
  bool ConnectServer(const std::string& address, unsigned int port);

  // Records the user and password that every new TCP connection presents before its first
  // request (sent in the same write as that request: no extra round trip). An empty user sends
  // nothing; over a Unix socket nothing is sent either. Call it before ConnectServer, whose probe
  // presents them too. Idle connections are dropped.
  void SetCredentials(const std::string& user, const std::string& password);

  // Typed calls. Each answers a Status (see above); the results are the caller's.
  //
  // Looks an entry up; *entry (when not null) describes it. kNotFound when nothing is there.
  kiv::Status Lookup(const std::string& uri, Directory* entry);
  // Looks an entry up with its attributes, in one round trip, and for a document brings along
  // what want asks for: with kWantContent the content of a document of at most kMaxInline bytes,
  // with kWantDescriptor (over a Unix socket, for a document whose content does not come along)
  // the open document. kNotFound when nothing is there. *out is reset first.
  kiv::Status Stat(const std::string& uri, unsigned want, kiv::StatResult* out);
  // The immediate members of a collection, sorted by name; *members is empty on failure.
  // kNotFound, kNotCollection for a document.
  kiv::Status ListMembers(const std::string& uri, std::vector<Directory>* members);
  // Creates or replaces a document, as AddDoc. Content beyond a chunk goes as an upload.
  kiv::Status StoreDoc(const std::string& uri, const std::string& content);
  // The whole document; *content is empty on failure. kNotFound, kNotDocument; kChanged when it
  // was rewritten during every one of a few attempts to read it.
  kiv::Status FetchDoc(const std::string& uri, std::string* content);
  // kExists, kParentMissing, kNotCollection (the parent is a document).
  kiv::Status MakeCollection(const std::string& uri);
  // Moves a document (collection false) or a collection: kNotFound, kNotDocument or
  // kNotCollection for the source, kExists, kParentMissing or kNotCollection for the
  // destination.
  kiv::Status Move(const std::string& from, const std::string& to, bool collection);
  // Copies a document inside the service (its bytes never reach the client): a new destination
  // appears whole, an existing one is replaced in place. kNotFound, kNotDocument (a collection at
  // either end), kParentMissing or kNotCollection for the destination's parent, kForbidden for
  // a destination with more than one hard link, kRefusedName when to is from or lies inside it.
  kiv::Status CopyDoc(const std::string& from, const std::string& to);
  // Makes a new collection at to, and, unless depth is 0, copies every member of the collection
  // at from into it with everything below them (never the reserved names: no dead properties,
  // no locks). ok() means that the new collection stands; members that could not be copied are
  // then listed in *failures (cleared first; may be null), the others are copied all the same,
  // so a caller must look at *failures to tell a whole copy from a partial one. kNotFound,
  // kNotCollection for a document, kExists when anything is at to, kParentMissing or
  // kNotCollection for its parent, kRefusedName when to is from or lies inside it.
  kiv::Status CopyCollection(const std::string& from, const std::string& to, int depth,
                             std::vector<kiv::CopyFailure>* failures);
  // Deletes a document only: kNotFound, kNotDocument.
  kiv::Status DeleteDoc(const std::string& uri);
  // Deletes whatever the URI names, a collection with everything below it: kNotFound.
  kiv::Status DeleteAny(const std::string& uri);

  // The calls below answer the typed calls' ok().
  //
  // Looks an entry up. True and *entry set when it exists; false when it does not or the service
  // could not answer. *entry points into storage of the calling thread that stays valid until the
  // thread's next GetDirectory.
  bool GetDirectory(const std::string& uri, Directory** entry);

  // The immediate members of a collection (URI ending in "/"), sorted by name. Empty when the
  // collection has none, does not exist, or the service could not answer. The vector and its
  // entries belong to the calling thread and stay valid until its next GetSubDirectory.
  std::vector<Directory*>& GetSubDirectory(const std::string& uri);

  // The calling thread's upload stream: OpenStream starts it empty, WriteToTempFile appends any
  // bytes, ReadFromTempFile yields everything written since OpenStream, CloseStream ends it.
  void OpenStream();
  void WriteToTempFile(const std::string& data);
  void ReadFromTempFile(std::string& content);
  void CloseStream();

  // Creates or replaces the document at uri (a replaced document keeps its file identity).
  // False when the service refused or could not answer, and also when called while the calling
  // thread's upload stream is open but lost bytes (memory ran out in WriteToTempFile), so that a
  // shortened body is never stored.
  bool AddDoc(const std::string& uri, const std::string& content);
  // Fetches a document whole. False (content empty) for a missing document or a collection.
  bool GetDocContent(const std::string& uri, std::string& content);
  // False when the collection exists already or its parent is missing.
  bool AddCollection(const std::string& uri);
  // False when the source is missing, the destination exists or its parent is missing.
  bool MoveDoc(const std::string& from, const std::string& to);
  bool MoveCollection(const std::string& from, const std::string& to);
  // Deletes a document only.
  bool DelDoc(const std::string& uri);
  // Deletes whatever the URI names, a collection with everything below it.
  bool DelCollection(const std::string& uri);

  // Mode 1: first = the path itself, as a directory path; second = "".
  // Mode 0 (and any other): splits at the last "/": first = up to and including it, second = the
  // rest; without a "/", first = "" and second = the path. Local; no service call.
  void SplitFromSlash(int mode, const std::string& path, std::string& first, std::string& second);

  // Connect and I/O timeouts in milliseconds (defaults 3000 and 30000; a value <= 0 restores the
  // default). The I/O timeout bounds each wait for the service, not a whole transfer.
  void SetTimeouts(int connect_ms, int io_ms);

 private:
  friend class kiv::DocumentReader;
  friend class kiv::DocumentUpload;
  std::unique_ptr<ClientImpl> impl_;
};

namespace kiv {

// Reads the bytes [offset, offset + length) of a document, in order, a chunk per round trip
// with the next chunk asked for before the current one is taken (pull style: nothing is fetched
// before Read asks for it, beyond one chunk ahead). Each chunk is read only while the document
// is still the version that the attributes given describe (kChanged otherwise), so that the
// bytes never mix versions. Several ranges: several readers. Holds one connection from the first
// Read until the range is read whole (then the connection goes back to the pool) or the reader
// goes (a connection with answers still due is closed); a connection that the service closed
// between two answers (idle too long while the caller was busy) is replaced by a fresh one. Used
// by one thread at a time; must not outlive the WebDavUtil.
class DocumentReader {
 public:
  // The chunk asked for per round trip.
  static constexpr std::size_t kChunk = kiv::proto::kMaxChunk;

  // Nothing is sent yet.
  DocumentReader(WebDavUtil& client, std::string uri, const FileAttributes& expected,
                 std::uint64_t offset, std::uint64_t length);
  ~DocumentReader();
  DocumentReader(const DocumentReader&) = delete;
  DocumentReader& operator=(const DocumentReader&) = delete;

  // Reads the next bytes of the range into buf, at most capacity of them (any capacity; a buffer
  // of kChunk bytes takes a chunk per call). *got is 0 once the range is read whole. The
  // service's reasons: kNotFound, kNotDocument, kChanged, kRange for a range beyond the
  // document's end; kUnavailable, kBadAnswer. After a failure every call answers it again.
  kiv::Status Read(char* buf, std::size_t capacity, std::size_t* got);
  // Bytes of the range not yet handed out.
  std::uint64_t remaining() const { return end_ - delivered_; }

 private:
  kiv::Status fail(Reason r);
  // Sends requests until two are due or the range is asked for whole.
  bool ask_ahead();
  bool send_request(std::uint64_t offset, std::uint32_t length);
  // Reads the head of the next answer: the chunk's bytes follow.
  kiv::Status next_answer();
  // Asks ahead and reads an answer's head into head, on a fresh connection where the one held
  // was closed under the reader.
  kiv::Status read_head(char* head);
  // Drops the connection and opens a fresh one; what was asked for on the old one is forgotten.
  bool reopen();

  ClientImpl& impl_;
  std::string uri_;
  std::string attributes_;   // encoded
  std::uint64_t delivered_;  // next byte handed out
  std::uint64_t asked_;      // next byte to ask for
  std::uint64_t end_;
  std::deque<std::uint32_t> due_;  // lengths of the chunks asked for and not yet begun
  std::uint64_t chunk_left_ = 0;   // bytes of the current answer still in the socket
  bool answered_ = false;          // an answer arrived on this connection
  bool resumed_ = false;           // this read goes on on a fresh connection
  // Credentials of a new connection: sent ahead of its first request, answered first.
  enum class Auth { kNone, kToSend, kToRead };
  Auth auth_ = Auth::kNone;
  kiv::Status failed_;
  std::unique_ptr<struct HeldConnection> lease_;
};

// A streamed upload of one document: Begin answers at once whether the document can be stored,
// before any of the body is sent; Write sends the body as it comes, in chunks (a chunk of small
// writes is gathered first; nothing more is held); Commit stores it and answers with the stored
// document's attributes. Nothing is stored unless Commit succeeds: Abort, the object's end and a
// broken connection store nothing. Holds one connection from Begin to Commit or Abort. Used by
// one thread at a time; must not outlive the WebDavUtil.
class DocumentUpload {
 public:
  // Writes are gathered up to this size before they are sent, or until this long after the last
  // frame went out: a body that trickles in keeps the connection from idling past the service's
  // bound (--idle-timeout, 60 s by default).
  static constexpr std::size_t kGather = 256 * 1024;
  static constexpr std::chrono::milliseconds kGatherAtMost{10000};

  explicit DocumentUpload(WebDavUtil& client);
  ~DocumentUpload();  // aborts an upload that is neither committed nor aborted
  DocumentUpload(const DocumentUpload&) = delete;
  DocumentUpload& operator=(const DocumentUpload&) = delete;

  // Begins the upload of the document at uri; length is the body's size when known (negative
  // when not). The reasons of StoreDoc, and kTooLarge when length exceeds the service's document
  // cap, kNoSpace when the service has no room for length bytes. An upload under way is aborted
  // first.
  kiv::Status Begin(const std::string& uri, std::int64_t length = -1);
  // Appends size bytes to the body. kUnavailable when the connection broke (the upload is then
  // over and stores nothing). Failures of the service's own (a full disk) are told by Commit.
  kiv::Status Write(const char* data, std::size_t size);
  // Stores the body. *stored (when not null) receives the attributes of the stored document. The
  // reasons of StoreDoc; kIo when the service did not receive every byte written; the failure of
  // Begin or Write when those failed.
  kiv::Status Commit(FileAttributes* stored = nullptr);
  // As Commit, but stores the document only where nothing is yet: kExists when something is
  // there by now (which stays as it is).
  kiv::Status CommitNew(FileAttributes* stored = nullptr);
  // Ends the upload, storing nothing. Harmless when none is under way.
  void Abort();
  // Bytes written since Begin.
  std::uint64_t written() const { return written_; }

 private:
  kiv::Status fail(Reason r);
  kiv::Status commit(kiv::proto::Op op, FileAttributes* stored);
  bool flush();
  bool send_chunk(std::string_view data);

  enum class State { kIdle, kOpen, kFailed };
  ClientImpl& impl_;
  State state_ = State::kIdle;
  kiv::Status failed_;
  std::uint64_t written_ = 0;
  std::string gather_;
  std::chrono::steady_clock::time_point last_sent_;
  std::unique_ptr<struct HeldConnection> lease_;
};

}  // namespace kiv

class ServiceFactory {
 public:
  // The client for a service key; "a" names the repository service. The object lives as long as
  // the process. Unknown keys give nullptr.
  WebDavUtil* GetService(const std::string& key);
};

// The process-wide factory.
ServiceFactory& getServiceFactoryInstance();

#endif  // KIV_CLIENT_KIV_CLIENT_H_
