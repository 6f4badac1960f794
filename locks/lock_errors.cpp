// The error records of the lock subsystem: every status, error id and message it reports, in one
// table; the messages that print details name the details they take.
#include <iterator>

#include "locks/locks_internal.h"

namespace kiv::locks {

namespace {

// What a message prints besides its fixed text.
enum class Detail {
  kNone,        // the text as it is
  kPath,        // text, the path, then after
  kOffsetCode,  // text, then " offset N, c=XX": the offset and the tag byte's code
  kBytesPath,   // text, then " N bytes to PATH"
};

struct ErrorEntry {
  LockError which;
  int status;
  int id;
  Detail detail;
  const char* text;
  const char* after = "";  // for kPath: what follows the path
};

constexpr int k500 = HTTP_INTERNAL_SERVER_ERROR;
constexpr int k400 = HTTP_BAD_REQUEST;

// In the order of LockError.
constexpr ErrorEntry kErrors[] = {
    {LockError::kUnknownTokenScheme, k400, DAV_ERR_LOCK_UNK_STATE_TOKEN, Detail::kNone,
     "The lock token uses an unknown State-token format and could not be parsed."},
    {LockError::kBadToken, k400, DAV_ERR_LOCK_PARSE_TOKEN, Detail::kNone,
     "The opaquelocktoken has an incorrect format and could not be parsed."},
    {LockError::kNoLockDb, k500, DAV_ERR_LOCK_NO_DB, Detail::kNone,
     "A lock database was not specified with the DAVLockDB directive. One must be specified to "
     "use the locking functionality."},
    {LockError::kOpenLockDb, k500, DAV_ERR_LOCK_OPENDB, Detail::kNone,
     "Could not open the lock database."},
    {LockError::kReadOnlySave, k500, 0, Detail::kNone,
     "INTERNAL DESIGN ERROR: the lockdb was opened readonly, but an attempt to save locks was "
     "performed."},
    {LockError::kSaveLock, k500, DAV_ERR_LOCK_SAVE_LOCK, Detail::kNone,
     "Could not save lock information."},
    {LockError::kCorruptRecord, k500, DAV_ERR_LOCK_CORRUPT_DB, Detail::kOffsetCode,
     "The lock database was found to be corrupt."},
    {LockError::kMissingDirect, k500, DAV_ERR_LOCK_CORRUPT_DB, Detail::kNone,
     "The lock database was found to be corrupt. An indirect lock's direct lock could not be "
     "found."},
    {LockError::kGetLocksComplete, k500, 0, Detail::kNone,
     "INTERNAL DESIGN ERROR: DAV_GETLOCKS_COMPLETE is not yet supported"},
    {LockError::kLockWithoutKey, k500, 0, Detail::kNone,
     "INTERNAL DESIGN ERROR: a lock without its record key was handed to the lockdb."},
    {LockError::kLocknullStat, k500, 0, Detail::kPath, "Opened but could not stat file "},
    {LockError::kLocknullHuge, k500, 0, Detail::kPath, "Opened but rejected huge file "},
    {LockError::kLocknullRead, k500, 0, Detail::kPath, "Failure reading locknull file for "},
    {LockError::kLocknullRemove, k500, 0, Detail::kPath, "Error removing "},
    {LockError::kLocknullOpenWrite, k500, 0, Detail::kPath, "Error opening ", " for writing"},
    {LockError::kLocknullWrite, k500, 0, Detail::kBytesPath, "Error writing"},
    {LockError::kLocknullAddLoad, k500, 0, Detail::kNone, "Could not load .locknull file."},
    {LockError::kLocknullAddSave, k500, 0, Detail::kNone, "Could not save .locknull file."},
    {LockError::kTimeoutPassed, k400, 0, Detail::kNone,
     "The requested lock timeout ends before the lock could be made."},
    {LockError::kOwnerTooLong, k400, 0, Detail::kNone,
     "The lock owner is longer than this server accepts."},
};

constexpr bool table_in_order() {
  for (std::size_t i = 0; i < std::size(kErrors); ++i) {
    if (static_cast<std::size_t>(kErrors[i].which) != i) return false;
  }
  return std::size(kErrors) == static_cast<std::size_t>(LockError::kOwnerTooLong) + 1;
}
static_assert(table_in_order(), "kErrors lists every LockError in order");

// The entry's message with its details filled in, from pool.
const char* message_of(apr_pool_t* pool, const ErrorEntry& entry, const LockErrorDetail& detail) {
  switch (entry.detail) {
    case Detail::kNone:
      return entry.text;
    case Detail::kPath:
      // apr_pstrcat would end at a null path where printf's %s printed "(null)".
      return apr_pstrcat(pool, entry.text, detail.path != nullptr ? detail.path : "(null)",
                         entry.after, nullptr);
    case Detail::kOffsetCode:
      return apr_psprintf(pool, "%s offset %lu, c=%02x", entry.text, detail.number, detail.code);
    case Detail::kBytesPath:
      return apr_psprintf(pool, "%s %lu bytes to %s", entry.text, detail.number, detail.path);
  }
  return entry.text;
}

}  // namespace

dav_error* lock_error(apr_pool_t* pool, LockError which, dav_error* prev,
                      const LockErrorDetail& detail) {
  const ErrorEntry& entry = kErrors[static_cast<std::size_t>(which)];
  const char* message = message_of(pool, entry, detail);
  if (prev != nullptr) return dav_push_error(pool, entry.status, entry.id, message, prev);
  return dav_new_error(pool, entry.status, entry.id, 0, message);
}

}  // namespace kiv::locks
