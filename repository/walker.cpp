// The resource walker: visits a resource and the members that the repository service lists for
// it, calling mod_dav's callback once for each (PROPFIND with depth, LOCK and UNLOCK over a
// collection, DELETE of a collection).
//
// Order is prefix: a collection, then each of its members; at depth infinity a member collection's
// own members follow it directly. Every member describes itself: its own URI, collection flag,
// local path name (the parent's path name + "/" + the member's last URI segment) and the file
// information of that path.
//
// A walk that asks for lock-null resources (PROPFIND, LOCK and UNLOCK of a collection) also visits,
// after a collection's members, the names in that collection's lock-null list that the service
// does not list: resources that do not exist, each a member of its parent until its last lock
// ends, so that clients see the names they have locked.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/beneath.h"
#include "common/file_io.h"
#include "common/host_util.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "provider/local_files.h"
#include "provider/locknull_list.h"
#include "provider/repository.h"
#include "provider/resource.h"
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

// One walk; lives on the stack of the walk call. The callback gets the same walk_resource and the
// same current description at every call, rewritten in place between calls.
struct dav_kiv_walker_context {
  const dav_walk_params* params;
  bool locknull;  // the walk visits lock-null resources too
  dav_walk_resource walk_resource;
  dav_resource current;
  dav_resource_private current_info;
  dav_buffer path_buffer;  // current's path name
  dav_buffer uri_buffer;   // current's URI; a collection's ends in "/"
};

// Appends "/" to the text in buffer unless it ends in one already.
void end_with_slash(apr_pool_t* pool, dav_buffer* buffer) {
  if (buffer->cur_len == 0 || buffer->buf[buffer->cur_len - 1] != '/') {
    dav_buffer_append(pool, buffer, "/");
  }
}

// The member's last URI segment, without a trailing "/".
std::string last_segment(const std::string& uri) {
  std::string path = uri;
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Points current at a member of the collection whose path name is parent_path, whose directory
// is open at parent_dir (invalid when it has none). A member that is a symbolic link is refused.
dav_error* describe_member(dav_kiv_walker_context* ctx, const std::string& parent_path,
                           int parent_dir, const RepositoryEntry& member) {
  apr_pool_t* pool = ctx->params->pool;
  std::string path = parent_path;
  if (path.empty() || path.back() != '/') path += '/';
  const std::string name = last_segment(member.uri);
  path += name;
  ctx->path_buffer.cur_len = 0;
  dav_buffer_init(pool, &ctx->path_buffer, path.c_str());
  ctx->current_info.pathname = ctx->path_buffer.buf;

  apr_finfo_t& finfo = ctx->current_info.finfo;
  const LocalFile found =
      parent_dir >= 0 ? entry_stat(pool, parent_dir, name.c_str(), &finfo)
                      : local_stat(pool, tree_root(&ctx->current), ctx->path_buffer.buf, &finfo);
  switch (found) {
    case LocalFile::kFound:
      break;
    case LocalFile::kMissing:
      finfo.mtime = apr_time_now();
      break;
    case LocalFile::kRefused:
      return refused_path_error(pool, ctx->path_buffer.buf);
  }

  ctx->uri_buffer.cur_len = 0;
  dav_buffer_init(pool, &ctx->uri_buffer, member.uri.c_str());
  ctx->current.uri = ctx->uri_buffer.buf;
  ctx->current.exists = 1;
  ctx->current.collection = member.collection ? 1 : 0;
  return nullptr;
}

// Points current at the lock-null resource name of the collection whose path name is
// parent_path and whose URI (ending in "/") is parent_uri: a document that does not exist, with
// no local file.
void describe_locknull(dav_kiv_walker_context* ctx, const std::string& parent_path,
                       const std::string& parent_uri, std::string_view name) {
  apr_pool_t* pool = ctx->params->pool;
  std::string path = parent_path;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  ctx->path_buffer.cur_len = 0;
  dav_buffer_init(pool, &ctx->path_buffer, path.c_str());
  ctx->current_info.pathname = ctx->path_buffer.buf;
  std::memset(&ctx->current_info.finfo, 0, sizeof(ctx->current_info.finfo));

  const std::string uri = parent_uri + std::string(name);
  ctx->uri_buffer.cur_len = 0;
  dav_buffer_init(pool, &ctx->uri_buffer, uri.c_str());
  ctx->current.uri = ctx->uri_buffer.buf;
  ctx->current.exists = 0;
  ctx->current.collection = 0;
}

// The lock-null list of the directory dirpath (beneath root), whole, into *list; a directory
// without one has an empty list. A list that exists and cannot be read is an error (500), and one
// whose path passes through a symbolic link is refused (403), from pool.
dav_error* read_locknull_list(apr_pool_t* pool, const char* root, const char* dirpath,
                              std::string* list) {
  // Far beyond any list that locks make; a bigger file is damaged, and is not read into memory.
  constexpr off_t kMaxListSize = 16 << 20;
  list->clear();
  const std::string file_path = locknull_read_path(dirpath);
  const UniqueFd file = open_in_tree(root, file_path, O_RDONLY);
  if (!file.valid()) {
    if (path_refused(errno)) return refused_path_error(pool, file_path.c_str());
    return nullptr;
  }
  struct stat st;
  if (::fstat(file.get(), &st) == 0 && st.st_size >= 0 && st.st_size <= kMaxListSize) {
    list->resize(static_cast<std::size_t>(st.st_size));
    if (list->empty() || pread_full(file.get(), list->data(), list->size(), 0) ==
                             static_cast<ssize_t>(list->size())) {
      return nullptr;
    }
  }
  list->clear();
  return error(pool, HTTP_INTERNAL_SERVER_ERROR,
               apr_pstrcat(pool, "Could not read the lock-null list ", file_path.c_str(), nullptr));
}

// Visits the lock-null resources of the collection whose path name is parent_path and whose URI
// (ending in "/") is parent_uri: each name of its list once, in list order, unless the service
// listed a member of that name (one of listed) or the name is not one a member can have.
dav_error* walk_locknull_members(dav_kiv_walker_context* ctx, const std::string& parent_path,
                                 const std::string& parent_uri,
                                 const std::vector<std::string>& listed) {
  std::string list;
  if (dav_error* err = read_locknull_list(ctx->params->pool, tree_root(&ctx->current),
                                          parent_path.c_str(), &list)) {
    return err;
  }
  std::set<std::string_view> seen(listed.begin(), listed.end());
  for (std::string_view name : locknull_names(list)) {
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
        is_reserved_name(name) || !seen.insert(name).second) {
      continue;
    }
    describe_locknull(ctx, parent_path, parent_uri, name);
    if (dav_error* err = ctx->params->func(&ctx->walk_resource, DAV_CALLTYPE_MEMBER)) return err;
  }
  return nullptr;
}

// Visits the members of the collection that current describes; at depth infinity also the
// members of member collections, each right after its collection; then, when the walk asks for
// them, the collection's lock-null resources. A collection that is gone (or became a document)
// since it was listed has no members; a service that cannot list is an error.
dav_error* walk_members(dav_kiv_walker_context* ctx, int depth) {
  const std::string parent_path = ctx->current_info.pathname;
  const std::string parent_uri = ctx->uri_buffer.buf;
  // The members' files are looked at relative to their directory, reached once beneath the root.
  const UniqueFd parent_dir =
      open_in_tree(tree_root(&ctx->current), parent_path, O_PATH | O_DIRECTORY);
  if (!parent_dir.valid() && path_refused(errno)) {
    return refused_path_error(ctx->params->pool, parent_path.c_str());
  }
  std::vector<RepositoryEntry> members;
  const Status status = Repository::current().list_members(parent_uri, &members);
  if (!status.ok() && status.reason() != Reason::kNotFound &&
      status.reason() != Reason::kNotCollection) {
    return service_error(ctx->params->pool, ServiceOp::kList, status);
  }
  std::vector<std::string> names;  // the members' names, for the lock-null resources
  if (ctx->locknull) names.reserve(members.size());
  for (const RepositoryEntry& member : members) {
    if (dav_error* err = describe_member(ctx, parent_path, parent_dir.get(), member)) return err;
    if (ctx->locknull) names.push_back(last_segment(member.uri));
    if (dav_error* err = ctx->params->func(&ctx->walk_resource, DAV_CALLTYPE_MEMBER)) return err;
    if (member.collection && depth == DAV_INFINITY) {
      end_with_slash(ctx->params->pool, &ctx->uri_buffer);
      ctx->current.uri = ctx->uri_buffer.buf;
      if (dav_error* err = walk_members(ctx, depth)) return err;
    }
  }
  if (!ctx->locknull) return nullptr;
  return walk_locknull_members(ctx, parent_path, parent_uri, names);
}

// Visits the root, then its members when the depth and its kind call for it.
dav_error* dav_kiv_walk_level(dav_kiv_walker_context* ctx, int depth) {
  const bool collection = ctx->current.collection != 0;
  if (dav_error* err = ctx->params->func(
          &ctx->walk_resource, collection ? DAV_CALLTYPE_COLLECTION : DAV_CALLTYPE_MEMBER)) {
    return err;
  }
  if (depth == 0 || !collection) return nullptr;
  return walk_members(ctx, depth);
}

}  // namespace

dav_error* dav_kiv_walk(const dav_walk_params* params, int depth, dav_response** response) {
  if ((params->walk_type & DAV_WALKTYPE_LOCKNULL) != 0 && params->lockdb == nullptr) {
    return error(params->pool, HTTP_INTERNAL_SERVER_ERROR,
                 "DESIGN ERROR: walker called to walk locknull resources, but a lockdb was "
                 "not provided.");
  }
  dav_kiv_walker_context ctx{};
  ctx.params = params;
  ctx.locknull = (params->walk_type & DAV_WALKTYPE_LOCKNULL) != 0;
  ctx.walk_resource.walk_ctx = params->walk_ctx;
  ctx.walk_resource.pool = params->pool;
  ctx.current = *params->root;
  ctx.current.pool = params->pool;
  ctx.current.info = &ctx.current_info;
  ctx.current_info = *params->root->info;

  dav_buffer_init(params->pool, &ctx.path_buffer, params->root->info->pathname);
  ctx.current_info.pathname = ctx.path_buffer.buf;
  dav_buffer_init(params->pool, &ctx.uri_buffer, params->root->uri);
  if (ctx.current.collection) end_with_slash(params->pool, &ctx.uri_buffer);
  ctx.current.uri = ctx.uri_buffer.buf;

  ctx.walk_resource.resource = &ctx.current;
  dav_error* err = dav_kiv_walk_level(&ctx, depth);
  *response = ctx.walk_resource.response;
  return err;
}

}  // namespace kiv::repository
