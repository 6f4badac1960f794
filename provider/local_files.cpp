// File information of local paths beneath the document root, and the refusal of a path that
// would leave it or pass through a symbolic link.
#include "provider/local_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "common/beneath.h"
#include "common/file_io.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "provider/log.h"
#include "provider/resource.h"

extern "C" {
APLOG_USE_MODULE(dav_kiv);
}

namespace kiv {

namespace {

constexpr struct {
  mode_t mode;
  apr_fileperms_t perm;
} kBits[] = {
    {S_ISUID, APR_FPROT_USETID},   {S_IRUSR, APR_FPROT_UREAD},    {S_IWUSR, APR_FPROT_UWRITE},
    {S_IXUSR, APR_FPROT_UEXECUTE}, {S_ISGID, APR_FPROT_GSETID},   {S_IRGRP, APR_FPROT_GREAD},
    {S_IWGRP, APR_FPROT_GWRITE},   {S_IXGRP, APR_FPROT_GEXECUTE}, {S_ISVTX, APR_FPROT_WSTICKY},
    {S_IROTH, APR_FPROT_WREAD},    {S_IWOTH, APR_FPROT_WWRITE},   {S_IXOTH, APR_FPROT_WEXECUTE},
};

apr_filetype_e type_of(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return APR_REG;
    case S_IFDIR:
      return APR_DIR;
    case S_IFCHR:
      return APR_CHR;
    case S_IFBLK:
      return APR_BLK;
    case S_IFIFO:
      return APR_PIPE;
    case S_IFLNK:
      return APR_LNK;
    case S_IFSOCK:
      return APR_SOCK;
    default:
      return APR_UNKFILE;
  }
}

apr_time_t time_of(const struct timespec& t) {
  return apr_time_from_sec(t.tv_sec) + t.tv_nsec / 1000;
}

}  // namespace

apr_fileperms_t perms_from_mode(mode_t mode) {
  apr_fileperms_t perms = 0;
  for (const auto& bit : kBits) {
    if ((mode & bit.mode) != 0) perms |= bit.perm;
  }
  return perms;
}

mode_t mode_from_perms(apr_fileperms_t perms) {
  mode_t mode = 0;
  for (const auto& bit : kBits) {
    if ((perms & bit.perm) != 0) mode |= bit.mode;
  }
  return mode;
}

const char* tree_root(const dav_resource* resource) {
  const char* root = resource->info->root;
  return root != nullptr ? root : "/";
}

void finfo_from_stat(apr_pool_t* pool, const struct stat& st, apr_finfo_t* finfo) {
  std::memset(finfo, 0, sizeof *finfo);
  finfo->pool = pool;
  finfo->valid = APR_FINFO_MIN | APR_FINFO_IDENT | APR_FINFO_NLINK | APR_FINFO_OWNER |
                 APR_FINFO_PROT | APR_FINFO_CSIZE;
  finfo->protection = perms_from_mode(st.st_mode);
  finfo->filetype = type_of(st.st_mode);
  finfo->user = st.st_uid;
  finfo->group = st.st_gid;
  finfo->size = st.st_size;
  finfo->csize = static_cast<apr_off_t>(st.st_blocks) * 512;
  finfo->device = st.st_dev;
  finfo->inode = st.st_ino;
  finfo->nlink = static_cast<apr_int32_t>(st.st_nlink);
  finfo->atime = time_of(st.st_atim);
  finfo->mtime = time_of(st.st_mtim);
  finfo->ctime = time_of(st.st_ctim);
}

LocalFile local_stat(apr_pool_t* pool, const char* root, const char* path, apr_finfo_t* finfo) {
  struct stat st;
  const int error = stat_in_tree(root, path, &st);
  if (error != 0) {
    std::memset(finfo, 0, sizeof *finfo);
    return path_refused(error) ? LocalFile::kRefused : LocalFile::kMissing;
  }
  finfo_from_stat(pool, st, finfo);
  return LocalFile::kFound;
}

LocalFile lookup_stat(apr_pool_t* pool, const char* root, const char* path, apr_finfo_t* finfo) {
  std::memset(finfo, 0, sizeof *finfo);
  std::string_view rel;
  if (!path_below(root, path, &rel)) return LocalFile::kRefused;
  const int root_fd = root_descriptor(root);
  if (root_fd < 0) return LocalFile::kMissing;
  // The directory that holds the resource, and the resource's name in it ("." for the root).
  const std::size_t slash = rel.rfind('/');
  const std::string name(rel.empty() ? "." : std::string(base_name(rel)));
  UniqueFd parent;
  int dir = root_fd;  // also for a name right below the root: no need to open the root again
  if (slash != std::string_view::npos) {
    parent = open_beneath(root_fd, rel.substr(0, slash), O_PATH | O_DIRECTORY);
    if (!parent.valid()) return path_refused(errno) ? LocalFile::kRefused : LocalFile::kMissing;
    dir = parent.get();
  }
  struct stat st;
  const int found = stat_entry(dir, name.c_str(), &st);
  if (found == ELOOP) return LocalFile::kRefused;
  struct stat state;
  const std::string state_dir(kStateDirName);
  if (stat_entry(dir, state_dir.c_str(), &state) == ELOOP) return LocalFile::kRefused;
  if (found == 0 && S_ISDIR(st.st_mode) && !rel.empty() &&
      stat_entry(dir, (name + "/" + state_dir).c_str(), &state) == ELOOP) {
    return LocalFile::kRefused;
  }
  if (found != 0) return LocalFile::kMissing;
  finfo_from_stat(pool, st, finfo);
  return LocalFile::kFound;
}

LocalFile entry_stat(apr_pool_t* pool, int dir, const char* name, apr_finfo_t* finfo) {
  struct stat st;
  const int found = stat_entry(dir, name, &st);
  if (found != 0) {
    std::memset(finfo, 0, sizeof *finfo);
    return found == ELOOP ? LocalFile::kRefused : LocalFile::kMissing;
  }
  finfo_from_stat(pool, st, finfo);
  return LocalFile::kFound;
}

dav_error* refused_path_error(apr_pool_t* pool, const char* path) {
  if (server_rec* s = log_server()) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s,
                 KIVLOGNO(10030) "refused to use %s: a symbolic link lies on its way, or it "
                                 "leads out of the document root",
                 path);
  }
  return dav_new_error(pool, HTTP_FORBIDDEN, 0, 0,
                       "The server refuses to use this resource's local files: a symbolic link "
                       "lies on their way, or they lie outside the document root.");
}

}  // namespace kiv
