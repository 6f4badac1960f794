// Why a repository service operation failed. The service answers a failed operation with one of
// these; the client adds its own for a service that it cannot reach or whose answer it cannot
// read. The values are the bytes on the wire (docs/protocol.md): never renumber one, only add.
// client/status.h wraps a reason into the result type that the client's calls return.
//
// Pure definitions; thread-safe.
#ifndef KIV_WIRE_REASON_H_
#define KIV_WIRE_REASON_H_

#include <cstdint>

namespace kiv {

enum class Reason : std::uint8_t {
  kNone = 0,       // success
  kNotFound,       // nothing at the URI (or at a move's source)
  kExists,         // something is at the URI already (a destination, a new collection)
  kParentMissing,  // the parent collection does not exist
  kNotCollection,  // a collection was needed (also: the parent is a document)
  kNotDocument,    // a document was needed
  kRefusedName,    // the URI is not acceptable: reserved name, bad form, the root
  kNoSpace,        // the file system is full
  kIo,             // the service failed to read or write
  kBusy,           // the service cannot serve now
  kTooLarge,       // beyond a configured cap
  kUnavailable,    // client side only: service unreachable, timeout, connection lost
  kBadAnswer,      // client side only: an answer that does not decode
  kForbidden,      // the service will not act on it: a document with more than one hard link,
                   // a connection that did not authenticate
  kChanged = 14,   // the document is no longer the one the caller looked up
  kRange,          // a byte range that lies outside the document
};

// True for the reasons that a service gives for a failed operation (not kNone, and none of the
// client's own).
constexpr bool is_service_reason(Reason r) {
  return (r >= Reason::kNotFound && r <= Reason::kTooLarge) ||
         (r >= Reason::kForbidden && r <= Reason::kRange);
}

// A short name for log lines; a static string.
constexpr const char* reason_name(Reason r) {
  switch (r) {
    case Reason::kNone:
      return "ok";
    case Reason::kNotFound:
      return "not found";
    case Reason::kExists:
      return "exists";
    case Reason::kParentMissing:
      return "parent missing";
    case Reason::kNotCollection:
      return "not a collection";
    case Reason::kNotDocument:
      return "not a document";
    case Reason::kRefusedName:
      return "refused name";
    case Reason::kNoSpace:
      return "no space";
    case Reason::kIo:
      return "I/O failure";
    case Reason::kBusy:
      return "busy";
    case Reason::kTooLarge:
      return "too large";
    case Reason::kUnavailable:
      return "service unavailable";
    case Reason::kBadAnswer:
      return "bad answer";
    case Reason::kForbidden:
      return "forbidden";
    case Reason::kChanged:
      return "changed";
    case Reason::kRange:
      return "range outside the document";
  }
  return "unknown reason";
}

}  // namespace kiv

#endif  // KIV_WIRE_REASON_H_
