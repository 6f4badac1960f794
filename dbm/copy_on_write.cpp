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
const char* work_path_of(apr_pool_t* p, std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
  std::string work(path.substr(0, name_at));
  work += kPrivatePrefix;
  work += "-dbm-";
  work += path.substr(name_at);
  return pool_copy(p, work);
}

// Copies the file at from to to (created or truncated, with from's permissions).
bool copy_file(const char* from, const char* to) {
  const UniqueFd in(::open(from, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  struct stat st;
  if (::fstat(in.get(), &st) != 0) return false;
  UniqueFd out(
      ::open(to, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, st.st_mode & 07777));
  if (!out.valid()) return false;
  const bool copied = copy_contents(in.get(), out.get());
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
  dbm_used_names(db->pool, db->path, &first, &second);
  if (second != nullptr) {
    db->in_place = true;
    return open_dbm(db->pool, db->path, false, &db->dbm);
  }
  const char* work = work_path_of(db->pool, db->path);
  if (file_state(db->path) == FileState::kMissing) {
    if (::unlink(work) != 0 && errno != ENOENT) return APR_FROM_OS_ERROR(errno);
  } else if (!copy_file(db->path, work)) {
    const int error = errno != 0 ? errno : EIO;
    ::unlink(work);
    return APR_FROM_OS_ERROR(error);
  }
  const apr_status_t status = open_dbm(db->pool, work, false, &db->dbm);
  if (status != APR_SUCCESS) {
    ::unlink(work);
    return status;
  }
  db->work_path = work;
  return APR_SUCCESS;
}

void finish_work_copy(DbmFile* db) noexcept {
  if (db->work_path == nullptr) return;
  // The copy replaces the file only when the DBM library wrote it whole (a full disk leaves it
  // short); otherwise the file stays as it was before this request.
  if (!db->changed || file_state(db->work_path) != FileState::kWhole ||
      ::rename(db->work_path, db->path) != 0) {
    ::unlink(db->work_path);
  }
  db->work_path = nullptr;
}

}  // namespace kiv
