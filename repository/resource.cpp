// Resource lookup: the description mod_dav gets for every resource a request touches.
//
// A resource has two identities. Its URI names it in the repository service, which alone decides
// whether it exists and whether it is a collection. Its local path name comes from the server's
// own URI-to-file mapping and must lie beneath the document root; dead properties, lock keys and
// lock-null lists hang off that path and its file information.
#include "provider/resource.h"

#include <sys/file.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "common/file_io.h"
#include "common/host_util.h"
#include "common/names.h"
#include "provider/local_files.h"
#include "provider/repository.h"
#include "repository/kept_documents.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"
#include "wire/protocol.h"

namespace kiv::repository {

namespace {

// The key under which a request pool holds its request.
constexpr char kRequestKey[] = "kiv-request";

dav_resource_private* new_info(apr_pool_t* pool) {
  return static_cast<dav_resource_private*>(apr_pcalloc(pool, sizeof(dav_resource_private)));
}

// Closes a document descriptor that a lookup brought along, and with it releases its flock. A
// pool cleanup; cannot throw.
extern "C" apr_status_t close_descriptor(void* fd) noexcept {
  ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)));
  return APR_SUCCESS;
}

// Describes the document resource from what its lookup found, for the whole request: the
// validators, the length and the body of a GET all come from this one version.
void describe_document(request_rec* r, dav_resource* resource, DocumentStat* found) {
  auto* document = static_cast<dav_kiv_document*>(apr_pcalloc(r->pool, sizeof(dav_kiv_document)));
  document->attributes = found->attributes;
  if (found->body == DocumentStat::Body::kDescriptor) {
    const int fd = found->descriptor.release();
    apr_pool_cleanup_register(r->pool, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)),
                              close_descriptor, apr_pool_cleanup_null);
    // The core sends a file with sendfile only when the file says it may, as EnableSendfile says.
    const auto* core =
        static_cast<const core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
    apr_os_file_t os_file = fd;
    apr_os_file_put(&document->file, &os_file,
                    APR_FOPEN_READ | AP_SENDFILE_ENABLED(core->enable_sendfile), r->pool);
  } else if (found->body == DocumentStat::Body::kContent) {
    document->content = static_cast<const char*>(
        apr_pmemdup(r->pool, found->content.data(), found->content.size()));
    document->has_content = true;
  }
  take_attributes(found->attributes, &resource->info->finfo);
  resource->info->document = document;
}

// Whether what a lookup found can be sent: a document handed over open only under a shared flock,
// taken (waiting up to wait_ms) before its version is checked, and held until the pool's cleanup
// closes the descriptor, after the response went out.
bool ready_to_send(DocumentStat* found, int wait_ms) {
  if (found->body != DocumentStat::Body::kDescriptor) return true;
  return flock_within(found->descriptor.get(), LOCK_SH, wait_ms) &&
         descriptor_unchanged(found->descriptor.get(), found->attributes);
}

// Describes the resource from what its lookup found.
dav_error* found_resource(request_rec* r, dav_resource* resource, DocumentStat* found) {
  resource->collection = found->entry.collection ? 1 : 0;
  // A GET or HEAD answers validators and a length: the service's, of the version it sends.
  // Other methods keep the local file's description, from which lock keys come.
  if (r->method_number == M_GET && !found->entry.collection && found->has_attributes) {
    describe_document(r, resource, found);
  }
  return nullptr;
}

// Asks the repository service whether resource->uri exists and whether it is a collection, in
// one round trip that for a GET also brings along what the delivery needs. A name the service
// refuses, or one below a document, names nothing. A service that cannot answer is an error
// (503 when it cannot be reached): a resource it knows must never look missing to a client that
// would act on that. Only OPTIONS, which changes and tells nothing of the content, then
// describes the resource from its local file.
dav_error* look_up(request_rec* r, dav_resource* resource) {
  const unsigned want = r->method_number == M_GET && !r->header_only ? kWantDelivery : kWantNothing;
  Repository& repository = Repository::current();
  const apr_finfo_t& local = resource->info->finfo;
  const std::string uri(resource->uri);
  DocumentStat found;
  // A document that has not changed since a GET fetched it is answered as it was then; one kept
  // open is sent as one handed over is.
  std::uint64_t generation = 0;
  bool steady = false;
  const bool may_keep = r->method_number == M_GET && local.filetype == APR_REG &&
                        repository.generation(&generation, &steady);
  if (may_keep && find_kept(uri, generation, local, want == kWantDelivery, &found) &&
      ready_to_send(&found, 0)) {
    return found_resource(r, resource, &found);
  }
  Status status;
  // A rewrite that committed between the lookup and the flock means another lookup.
  for (int attempt = 0;; ++attempt) {
    status = repository.stat(uri, want, &found);
    if (!status.ok() || ready_to_send(&found, kiv::proto::kDocumentBusyWaitMs)) break;
    if (attempt == 2) {
      status = Status(Reason::kBusy);
      break;
    }
  }
  if (status.ok()) {
    std::uint64_t after = 0;
    bool still = false;
    if (may_keep && steady && want == kWantDelivery && repository.generation(&after, &still) &&
        still && after == generation) {
      keep(uri, generation, local, found);
    }
    return found_resource(r, resource, &found);
  }
  switch (status.reason()) {
    case Reason::kNotFound:
    case Reason::kRefusedName:
    case Reason::kNotCollection:
      resource->exists = 0;
      return nullptr;
    default:
      break;
  }
  if (r->method_number == M_OPTIONS) {
    const apr_finfo_t& finfo = resource->info->finfo;
    resource->exists = finfo.filetype == APR_NOFILE ? 0 : 1;
    resource->collection = finfo.filetype == APR_DIR ? 1 : 0;
    return nullptr;
  }
  return service_error(r->pool, ServiceOp::kLookup, status);
}

}  // namespace

void take_attributes(const DocumentAttributes& a, apr_finfo_t* finfo) {
  finfo->valid |= APR_FINFO_TYPE | APR_FINFO_SIZE | APR_FINFO_MTIME | APR_FINFO_CTIME |
                  APR_FINFO_INODE | APR_FINFO_DEV;
  finfo->filetype = APR_REG;
  finfo->size = static_cast<apr_off_t>(a.size);
  finfo->mtime = static_cast<apr_time_t>(a.mtime_ns / 1000);
  finfo->ctime = static_cast<apr_time_t>(a.ctime_ns / 1000);
  finfo->inode = static_cast<apr_ino_t>(a.inode);
  finfo->device = static_cast<apr_dev_t>(a.device);
}

char* strip_one_trailing_slash(apr_pool_t* pool, const char* path) {
  char* copy = apr_pstrdup(pool, path);
  const std::size_t len = std::strlen(copy);
  if (len > 1 && copy[len - 1] == '/') copy[len - 1] = '\0';
  return copy;
}

request_rec* request_of(apr_pool_t* pool) {
  void* data = nullptr;
  apr_pool_userdata_get(&data, kRequestKey, pool);
  return static_cast<request_rec*>(data);
}

dav_error* get_resource(request_rec* r, dav_resource** result) {
  apr_pool_userdata_setn(r, kRequestKey, nullptr, r->pool);
  // The repository's own state and the service's private files are nobody's resources: no
  // method may read, create, lock or change them under these names.
  if (has_reserved_segment(r->uri)) {
    return error(r->pool, HTTP_FORBIDDEN, "The name is reserved for the repository's own state.");
  }
  dav_resource_private* info = new_info(r->pool);
  info->pool = r->pool;
  info->root = ap_document_root(r);
  info->pathname = strip_one_trailing_slash(
      r->pool, apr_pstrcat(r->pool, r->filename, r->path_info ? r->path_info : "", nullptr));
  // The local file is looked at beneath the document root, never through a symbolic link: a
  // resource whose path (or state directory) has one is refused whatever the method.
  if (lookup_stat(r->pool, info->root, info->pathname, &info->finfo) == LocalFile::kRefused) {
    return refused_path_error(r->pool, info->pathname);
  }
  // Where a local file exists its own time is the resource's modification time, so validators
  // change exactly when the file does; only a resource without a local file carries the time of
  // its lookup.
  if (info->finfo.filetype == APR_NOFILE) info->finfo.mtime = apr_time_now();

  auto* resource = static_cast<dav_resource*>(apr_pcalloc(r->pool, sizeof(dav_resource)));
  resource->type = DAV_RESOURCE_TYPE_REGULAR;
  resource->info = info;
  resource->hooks = &dav_kiv_hooks_repository;
  resource->pool = r->pool;
  resource->uri = strip_one_trailing_slash(r->pool, r->uri);
  resource->exists = 1;
  if (dav_error* err = look_up(r, resource)) return err;
  *result = resource;
  return nullptr;
}

dav_error* get_parent_resource(const dav_resource* resource, dav_resource** parent) {
  const dav_resource_private* child = resource->info;
  if (resource->uri != nullptr && std::strcmp(resource->uri, "/") == 0) return nullptr;
  apr_status_t status;
  if (!has_parent_below_root(child->pool, child->pathname, &status)) return nullptr;

  dav_resource_private* info = new_info(child->pool);
  info->pool = child->pool;
  info->root = child->root;
  info->pathname =
      strip_one_trailing_slash(child->pool, ap_make_dirstr_parent(child->pool, child->pathname));

  auto* result = static_cast<dav_resource*>(apr_pcalloc(child->pool, sizeof(dav_resource)));
  result->info = info;
  result->collection = 1;
  result->hooks = &dav_kiv_hooks_repository;
  result->pool = resource->pool;
  if (resource->uri != nullptr) {
    result->uri =
        strip_one_trailing_slash(child->pool, ap_make_dirstr_parent(child->pool, resource->uri));
  }
  switch (local_stat(child->pool, tree_root(resource), info->pathname, &info->finfo)) {
    case LocalFile::kFound:
      result->exists = 1;
      break;
    case LocalFile::kMissing:
      break;
    case LocalFile::kRefused:
      return refused_path_error(child->pool, info->pathname);
  }
  *parent = result;
  return nullptr;
}

int is_same_resource(const dav_resource* res1, const dav_resource* res2) {
  if (res1->hooks != res2->hooks) return 0;
  const dav_resource_private* a = res1->info;
  const dav_resource_private* b = res2->info;
  if (a->finfo.filetype != APR_NOFILE && b->finfo.filetype != APR_NOFILE &&
      (a->finfo.valid & b->finfo.valid & APR_FINFO_INODE) != 0) {
    return a->finfo.inode == b->finfo.inode ? 1 : 0;
  }
  return std::strcmp(a->pathname, b->pathname) == 0 ? 1 : 0;
}

int is_parent_resource(const dav_resource* res1, const dav_resource* res2) {
  if (res1->hooks != res2->hooks) return 0;
  const char* ancestor = res1->info->pathname;
  const char* descendant = res2->info->pathname;
  const std::size_t len = std::strlen(ancestor);
  return std::strlen(descendant) > len && std::strncmp(ancestor, descendant, len) == 0 &&
                 descendant[len] == '/'
             ? 1
             : 0;
}

}  // namespace kiv::repository
