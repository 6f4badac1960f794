// The copy a writer changes. A writer never lets the DBM library at the file itself: its first
// write copies the file beside it, the DBM library changes the copy, and the close renames the
// copy over the file when it was written whole. A process killed while the DBM library writes
// leaves the file as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "common/file_io.h"
#include "common/host_util.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "dbm/dbm_internal.h"
#include "dbm/state_dir.h"

namespace kiv {

namespace {

// The copy a writer changes: beside the file, under a name that starts with the prefix the
// repository reserves for private files, so that it can never be the database of a document.
// One writer at a time holds the directory's lock, so one name per database serves.
const char* work_name_of(apr_pool_t* p, std::string_view name) {
  std::string work(kPrivatePrefix);
  work += "-dbm-";
  work += name;
  return pool_copy(p, work);
}

// Copies the file from to to in the directory open at dir (to created or truncated, never
// followed), with from's permissions less any for others.
bool copy_file(int dir, const char* from, const char* to) {
  const UniqueFd in(::openat(dir, from, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.valid()) return false;
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return false;
  UniqueFd out(::openat(dir, to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                        st.st_mode & kStateFileMode));
  if (!out.valid()) return false;
  // The mode of a copy left by an earlier writer stays as it was made: set it now.
  const bool copied =
      ::fchmod(out.get(), st.st_mode & kStateFileMode) == 0 && copy_contents(in.get(), out.get());
  return out.close() && copied;
}

}  // namespace

apr_status_t open_for_write(DbmFile* db) {
  if (db->work_path != nullptr || (db->dbm != nullptr && db->in_place)) return APR_SUCCESS;
  if (db->dbm != nullptr) {
    apr_dbm_close(db->dbm);
    db->dbm = nullptr;
  }
  const char* first = nullptr;
  const char* second = nullptr;
  dbm_used_names(db->pool, db->name, &first, &second);
  if (second != nullptr) {
    db->in_place = true;
    return open_dbm(db->pool, db->library_path(db->name), false, &db->dbm);
  }
  const int dir = db->lock.fd();
  const char* work = work_name_of(db->pool, db->name);
  if (file_state(dir, db->name) == FileState::kMissing) {
    if (::unlinkat(dir, work, 0) != 0 && errno != ENOENT) return APR_FROM_OS_ERROR(errno);
  } else if (!copy_file(dir, db->name, work)) {
    const int error = errno != 0 ? errno : EIO;
    ::unlinkat(dir, work, 0);
    return APR_FROM_OS_ERROR(error);
  }
  const apr_status_t status = open_dbm(db->pool, db->library_path(work), false, &db->dbm);
  if (status != APR_SUCCESS) {
    ::unlinkat(dir, work, 0);
    return status;
  }
  db->work_path = work;
  return APR_SUCCESS;
}

void finish_work_copy(DbmFile* db) noexcept {
  if (db->work_path == nullptr) return;
  const int dir = db->lock.fd();
  // The copy replaces the file only when the DBM library wrote it whole (a full disk leaves it
  // short); otherwise the file stays as it was before this request.
  if (!db->changed || file_state(dir, db->work_path) != FileState::kWhole ||
      ::renameat(dir, db->work_path, dir, db->name) != 0) {
    ::unlinkat(dir, db->work_path, 0);
  }
  db->work_path = nullptr;
}

}  // namespace kiv
