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
#ifndef KIV_CLIENT_KIV_CLIENT_H_
#define KIV_CLIENT_KIV_CLIENT_H_

#include <memory>
#include <string>
#include <vector>

#include "client/status.h"
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
  // The immediate members of a collection, sorted by name; *members is empty on failure.
  // kNotFound, kNotCollection for a document.
  kiv::Status ListMembers(const std::string& uri, std::vector<Directory>* members);
  // Creates or replaces a document, as AddDoc.
  kiv::Status StoreDoc(const std::string& uri, const std::string& content);
  // The whole document; *content is empty on failure. kNotFound, kNotDocument.
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
  std::unique_ptr<ClientImpl> impl_;
};

class ServiceFactory {
 public:
  // The client for a service key; "a" names the repository service. The object lives as long as
  // the process. Unknown keys give nullptr.
  WebDavUtil* GetService(const std::string& key);
};

// The process-wide factory.
ServiceFactory& getServiceFactoryInstance();

#endif  // KIV_CLIENT_KIV_CLIENT_H_
