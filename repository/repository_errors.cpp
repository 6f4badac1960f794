// The error records of the repository's calls to the service: for every operation and every
// reason it can fail for, the status and the message, in one table. The first row that matches
// both the operation and the reason answers; each operation ends with a row for any other reason.
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

// Matches every operation, or every reason.
constexpr ServiceOp kAnyOp = static_cast<ServiceOp>(-1);
constexpr Reason kAnyReason = Reason::kNone;

struct ErrorEntry {
  ServiceOp op;
  Reason reason;
  int status;
  const char* text;  // null: the host's own text for the status
};

constexpr const char* kParentMissing =
    "Unable to create collection: the parent collection does not exist.";

constexpr ErrorEntry kErrors[] = {
    // The service cannot be reached, or turns the request away: the client may try again (the
    // module frame adds Retry-After to every 503).
    {kAnyOp, Reason::kUnavailable, HTTP_SERVICE_UNAVAILABLE,
     "The document repository is unavailable; try again later."},
    {kAnyOp, Reason::kBusy, HTTP_SERVICE_UNAVAILABLE,
     "The document repository is busy; try again later."},
    {kAnyOp, Reason::kNoSpace, HTTP_INSUFFICIENT_STORAGE,
     "The document repository has no space left for this request."},
    {kAnyOp, Reason::kForbidden, HTTP_FORBIDDEN, "The document repository refuses this request."},

    {ServiceOp::kLookup, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not look the resource up in the repository."},
    {ServiceOp::kList, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not list the collection in the repository."},

    {ServiceOp::kStore, Reason::kParentMissing, HTTP_CONFLICT,
     "Cannot store the document: its parent collection does not exist."},
    {ServiceOp::kStore, Reason::kNotCollection, HTTP_CONFLICT,
     "Cannot store the document: its parent collection does not exist."},
    {ServiceOp::kStore, Reason::kRefusedName, HTTP_FORBIDDEN,
     "The repository refuses to store a document under this name."},
    {ServiceOp::kStore, Reason::kTooLarge, HTTP_REQUEST_ENTITY_TOO_LARGE,
     "The document is larger than the repository accepts."},
    {ServiceOp::kStore, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not store the document in the repository."},

    {ServiceOp::kFetch, Reason::kNotFound, HTTP_NOT_FOUND,
     "The document was removed from the repository meanwhile."},
    {ServiceOp::kFetch, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not read the document from the repository."},

    {ServiceOp::kMakeCollection, Reason::kExists, HTTP_METHOD_NOT_ALLOWED,
     "Unable to create collection: the name was taken meanwhile."},
    {ServiceOp::kMakeCollection, Reason::kParentMissing, HTTP_CONFLICT, kParentMissing},
    {ServiceOp::kMakeCollection, Reason::kNotCollection, HTTP_CONFLICT, kParentMissing},
    // A refused name, and a failure to write (the service cannot tell a directory it may not
    // write to from other failures), are refused as they always were.
    {ServiceOp::kMakeCollection, kAnyReason, HTTP_FORBIDDEN, "Unable to create collection."},

    // mod_dav answers 412 for a destination that exists without Overwrite; one made since the
    // lookup is answered the same way.
    {ServiceOp::kMove, Reason::kExists, HTTP_PRECONDITION_FAILED,
     "The destination was created meanwhile."},
    {ServiceOp::kMove, Reason::kParentMissing, HTTP_CONFLICT,
     "Cannot move the resource: the destination's parent collection does not exist."},
    {ServiceOp::kMove, Reason::kNotCollection, HTTP_CONFLICT,
     "Cannot move the resource: the destination's parent collection does not exist."},
    {ServiceOp::kMove, Reason::kNotFound, HTTP_NOT_FOUND,
     "The source was removed from the repository meanwhile."},
    {ServiceOp::kMove, Reason::kRefusedName, HTTP_FORBIDDEN,
     "The repository refuses the destination's name."},
    {ServiceOp::kMove, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not move the resource in the repository."},

    // A copy as a move; the same rows answer for each member that a collection copy left out.
    {ServiceOp::kCopy, Reason::kExists, HTTP_PRECONDITION_FAILED,
     "The destination was created meanwhile."},
    {ServiceOp::kCopy, Reason::kParentMissing, HTTP_CONFLICT,
     "Cannot copy the resource: the destination's parent collection does not exist."},
    {ServiceOp::kCopy, Reason::kNotCollection, HTTP_CONFLICT,
     "Cannot copy the resource: the destination's parent collection does not exist."},
    {ServiceOp::kCopy, Reason::kNotDocument, HTTP_CONFLICT,
     "Cannot copy the document: a collection took the place of the source or the destination."},
    {ServiceOp::kCopy, Reason::kNotFound, HTTP_NOT_FOUND,
     "The source was removed from the repository meanwhile."},
    {ServiceOp::kCopy, Reason::kRefusedName, HTTP_FORBIDDEN,
     "The repository refuses to copy the resource to this destination."},
    {ServiceOp::kCopy, kAnyReason, HTTP_INTERNAL_SERVER_ERROR,
     "Could not copy the resource in the repository."},

    // As MKCOL: a document the service could not delete is refused, whatever the reason.
    {ServiceOp::kDelete, kAnyReason, HTTP_FORBIDDEN, nullptr},
};

bool matches(const ErrorEntry& entry, ServiceOp op, Reason reason) {
  return (entry.op == kAnyOp || entry.op == op) &&
         (entry.reason == kAnyReason || entry.reason == reason);
}

}  // namespace

dav_error* service_error(apr_pool_t* pool, ServiceOp op, Status status) {
  for (const ErrorEntry& entry : kErrors) {
    if (matches(entry, op, status.reason())) {
      return dav_new_error(pool, entry.status, 0, 0, entry.text);
    }
  }
  return dav_new_error(pool, HTTP_INTERNAL_SERVER_ERROR, 0, 0, nullptr);
}

}  // namespace kiv::repository
