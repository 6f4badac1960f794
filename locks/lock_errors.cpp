// The error records of the lock subsystem: every status, error id and message it reports.
#include "locks/locks.h"
#include "common/host.h"

namespace kiv::locks {

dav_error* lock_error(apr_pool_t* pool, LockError which, dav_error* prev,
                      const LockErrorDetail& detail) {
  int status = HTTP_INTERNAL_SERVER_ERROR;
  int id = 0;
  const char* message = nullptr;
  switch (which) {
    case LockError::kUnknownTokenScheme:
      status = HTTP_BAD_REQUEST;
      id = DAV_ERR_LOCK_UNK_STATE_TOKEN;
      message = "The lock token uses an unknown State-token format and could not be parsed.";
      break;
    case LockError::kBadToken:
      status = HTTP_BAD_REQUEST;
      id = DAV_ERR_LOCK_PARSE_TOKEN;
      message = "The opaquelocktoken has an incorrect format and could not be parsed.";
      break;
    case LockError::kNoLockDb:
      id = DAV_ERR_LOCK_NO_DB;
      message =
          "A lock database was not specified with the DAVLockDB directive. One must be "
          "specified to use the locking functionality.";
      break;
    case LockError::kOpenLockDb:
      id = DAV_ERR_LOCK_OPENDB;
      message = "Could not open the lock database.";
      break;
    case LockError::kReadOnlySave:
      message =
          "INTERNAL DESIGN ERROR: the lockdb was opened readonly, but an attempt to save locks "
          "was performed.";
      break;
    case LockError::kSaveLock:
      id = DAV_ERR_LOCK_SAVE_LOCK;
      message = "Could not save lock information.";
      break;
    case LockError::kCorruptRecord:
      id = DAV_ERR_LOCK_CORRUPT_DB;
      message = apr_psprintf(pool, "The lock database was found to be corrupt. offset %lu, c=%02x",
                             detail.number, detail.code);
      break;
    case LockError::kMissingDirect:
      id = DAV_ERR_LOCK_CORRUPT_DB;
      message =
          "The lock database was found to be corrupt. An indirect lock's direct lock could not "
          "be found.";
      break;
    case LockError::kGetLocksComplete:
      message = "INTERNAL DESIGN ERROR: DAV_GETLOCKS_COMPLETE is not yet supported";
      break;
    case LockError::kLockWithoutKey:
      message = "INTERNAL DESIGN ERROR: a lock without its record key was handed to the lockdb.";
      break;
    case LockError::kLocknullStat:
      message = apr_psprintf(pool, "Opened but could not stat file %s", detail.path);
      break;
    case LockError::kLocknullHuge:
      message = apr_psprintf(pool, "Opened but rejected huge file %s", detail.path);
      break;
    case LockError::kLocknullRead:
      message = apr_psprintf(pool, "Failure reading locknull file for %s", detail.path);
      break;
    case LockError::kLocknullRemove:
      message = apr_psprintf(pool, "Error removing %s", detail.path);
      break;
    case LockError::kLocknullOpenWrite:
      message = apr_psprintf(pool, "Error opening %s for writing", detail.path);
      break;
    case LockError::kLocknullWrite:
      message = apr_psprintf(pool, "Error writing %lu bytes to %s", detail.number, detail.path);
      break;
    case LockError::kLocknullAddLoad:
      message = "Could not load .locknull file.";
      break;
    case LockError::kLocknullAddSave:
      message = "Could not save .locknull file.";
      break;
    case LockError::kTimeoutPassed:
      status = HTTP_BAD_REQUEST;
      message = "The requested lock timeout ends before the lock could be made.";
      break;
  }
  if (prev != nullptr) return dav_push_error(pool, status, id, message, prev);
  return dav_new_error(pool, status, id, 0, message);
}

}  // namespace kiv::locks
