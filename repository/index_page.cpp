// GET of a collection: an index page of the members that the repository service lists, sent down
// the output filters in pieces as it is made, so that a collection of any size costs a bounded
// amount of memory beyond its listing. Reserved names never appear (the service does not list
// them; the page leaves them out as well).
#include <fcntl.h>

#include <string>
#include <vector>

#include "common/beneath.h"
#include "common/host_util.h"
#include "common/names.h"
#include "common/unique_fd.h"
#include "provider/local_files.h"
#include "provider/repository.h"
#include "provider/resource.h"
#include "repository/collection_index.h"
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

// The page goes down the filters whenever this much of it is made.
constexpr std::size_t kPieceSize = 16 * 1024;

// The last segment of a listed member's URI, without a trailing "/".
std::string_view member_name(std::string_view uri) {
  if (uri.size() > 1 && uri.back() == '/') uri.remove_suffix(1);
  const std::size_t slash = uri.rfind('/');
  return slash == std::string_view::npos ? uri : uri.substr(slash + 1);
}

// Passes the text made so far down the filters (which take their own copy of it), the end of the
// response after it when last, and empties text.
dav_error* pass(const dav_resource* resource, ap_filter_t* output, apr_bucket_brigade* bb,
                std::string* text, bool last) {
  apr_brigade_write(bb, nullptr, nullptr, text->data(), text->size());
  if (last) APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(output->c->bucket_alloc));
  const apr_status_t status = ap_pass_brigade(output, bb);
  apr_brigade_cleanup(bb);
  text->clear();
  if (status != APR_SUCCESS) {
    return error(resource->pool, HTTP_FORBIDDEN, "Could not write contents to filter.");
  }
  return nullptr;
}

}  // namespace

dav_error* deliver_index(const dav_resource* resource, ap_filter_t* output) {
  std::string uri = resource->uri;
  if (uri.empty() || uri.back() != '/') uri += '/';
  std::vector<RepositoryEntry> members;
  const Status status = Repository::current().list_members(uri, &members);
  if (!status.ok()) return service_error(resource->pool, ServiceOp::kList, status);

  std::string dirpath = resource->info->pathname;
  if (dirpath.empty() || dirpath.back() != '/') dirpath += '/';
  apr_bucket_brigade* bb = apr_brigade_create(resource->pool, output->c->bucket_alloc);
  std::string page;
  page.reserve(2 * kPieceSize);
  append_index_head(&page, uri);
  // The members' files are looked at in their directory, reached beneath the document root
  // without symbolic links; a member that is itself a link (or a directory that cannot be reached
  // so) gets no size and no time.
  const UniqueFd dir = open_in_tree(tree_root(resource), dirpath, O_PATH | O_DIRECTORY);
  for (const RepositoryEntry& member : members) {
    IndexRow row;
    row.name = member_name(member.uri);
    if (row.name.empty() || is_reserved_name(row.name)) continue;
    row.collection = member.collection;
    apr_finfo_t finfo;
    char modified[30];
    if (dir.valid() && entry_stat(resource->pool, dir.get(), std::string(row.name).c_str(),
                                  &finfo) == LocalFile::kFound) {
      row.size = finfo.size;
      row.modified = std::string_view(modified, static_cast<std::size_t>(dav_kiv_format_time(
                                                    DAV_STYLE_ISO8601, finfo.mtime, modified)));
    }
    append_index_row(&page, uri, row);
    if (page.size() >= kPieceSize) {
      if (dav_error* err = pass(resource, output, bb, &page, false)) return err;
    }
  }
  append_index_tail(&page);
  return pass(resource, output, bb, &page, true);
}

}  // namespace kiv::repository
