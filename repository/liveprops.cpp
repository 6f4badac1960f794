// Live properties: the values the provider computes from a resource's file information rather
// than stores - creationdate, getcontentlength, getetag, getlastmodified of "DAV:" and
// executable of the Apache properties namespace - and the entity tag; and the quota of the
// repository's file system, quota-available-bytes and quota-used-bytes of "DAV:". The
// live-property hook table and group are at the bottom, with the mod_dav hooks that find and list
// the properties.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

#include "common/beneath.h"
#include "common/guard.h"
#include "common/host_util.h"
#include "provider/local_files.h"
#include "provider/resource.h"
#include "repository/repository.h"
#include "repository/repository_internal.h"

namespace kiv::repository {

namespace {

const char* const dav_kiv_namespace_uris[] = {
    "DAV:", "http://apache.org/dav/props/",
    nullptr,  // end of the table
};

constexpr int kPropidExecutable = 1;
constexpr int kPropidQuotaAvailable = 2;
constexpr int kPropidQuotaUsed = 3;
constexpr apr_size_t kTimeBufSize = 30;  // the longest value, an RFC 1123 date, is 29 characters

constexpr const char* kExecutableTooLong =
    "The 'executable' property expects a single character, valued 'T' or 'F'. The value "
    "submitted has too many characters.";

const dav_liveprop_spec dav_kiv_props[] = {
    {0, "creationdate", DAV_PROPID_creationdate, 0},
    {0, "getcontentlength", DAV_PROPID_getcontentlength, 0},
    {0, "getetag", DAV_PROPID_getetag, 0},
    {0, "getlastmodified", DAV_PROPID_getlastmodified, 0},
    {1, "executable", kPropidExecutable, 0},
    {0, "quota-available-bytes", kPropidQuotaAvailable, 0},
    {0, "quota-used-bytes", kPropidQuotaUsed, 0},
    {0, nullptr, 0, 0},  // end of the table
};

dav_error* conflict(const dav_resource* resource, const char* message) {
  return error(resource->pool, HTTP_CONFLICT, message);
}

// The quota of the file system that holds path, as the account of this process sees it (the
// repository service runs as the same account), formatted into buf (kTimeBufSize bytes): the
// bytes it may still write (available) or the bytes in use on the whole file system. Null when
// the file system cannot tell, or path cannot be reached beneath root without a symbolic link.
const char* quota_of(const char* root, const char* path, bool available, char* buf) {
  const UniqueFd file = open_in_tree(root, path, O_PATH);
  struct statvfs fs;
  if (!file.valid() || fstatvfs(file.get(), &fs) != 0) return nullptr;
  const apr_uint64_t blocks = available ? fs.f_bavail : fs.f_blocks - fs.f_bfree;
  apr_snprintf(buf, kTimeBufSize, "%" APR_UINT64_T_FMT, blocks * fs.f_frsize);
  return buf;
}

// The value of a live property of resource, formatted into buf (kTimeBufSize bytes) or a static
// or pooled string; null when the property has no value here.
const char* value_of(const dav_resource* resource, int propid, char* buf) {
  const apr_finfo_t& finfo = resource->info->finfo;
  switch (propid) {
    case DAV_PROPID_creationdate:
      dav_kiv_format_time(DAV_STYLE_ISO8601, finfo.ctime, buf);
      return buf;
    case DAV_PROPID_getcontentlength:
      if (resource->collection) return nullptr;
      apr_snprintf(buf, kTimeBufSize, "%" APR_INT64_T_FMT, static_cast<apr_int64_t>(finfo.size));
      return buf;
    case DAV_PROPID_getetag:
      return getetag(resource);
    case DAV_PROPID_getlastmodified:
      dav_kiv_format_time(DAV_STYLE_RFC822, finfo.mtime, buf);
      return buf;
    case kPropidExecutable:
      if (resource->collection || (finfo.valid & APR_FINFO_UPROT) == 0) return nullptr;
      return (finfo.protection & APR_UEXECUTE) ? "T" : "F";
    case kPropidQuotaAvailable:
    case kPropidQuotaUsed:
      return quota_of(tree_root(resource), resource->info->pathname,
                      propid == kPropidQuotaAvailable, buf);
    default:
      return nullptr;
  }
}

// The one text node of an executable value, or an error: none, two, or one of more than one
// character.
dav_error* executable_text(const dav_resource* resource, const apr_xml_elem* elem,
                           const apr_text** value) {
  const apr_text* leading = elem->first_cdata.first;
  const apr_text* trailing =
      elem->first_child != nullptr ? elem->first_child->following_cdata.first : nullptr;
  if (leading == nullptr && trailing == nullptr) {
    return conflict(resource,
                    "The 'executable' property expects a single character, valued 'T' or 'F'. "
                    "There was no value submitted.");
  }
  if (leading != nullptr && trailing != nullptr) return conflict(resource, kExecutableTooLong);
  *value = leading != nullptr ? leading : trailing;
  if ((*value)->next != nullptr || std::strlen((*value)->text) != 1) {
    return conflict(resource, kExecutableTooLong);
  }
  return nullptr;
}

// Sets the owner-execute bit of the resource's local file as executable says; message is the
// error's text when it cannot be set.
dav_error* set_executable(const dav_resource* resource, bool executable, const char* message) {
  dav_resource_private* info = resource->info;
  apr_fileperms_t perms = info->finfo.protection & ~APR_UEXECUTE;
  if (executable) perms |= APR_UEXECUTE;
  // Changed through a descriptor of the file itself, reached beneath the root.
  const UniqueFd file = open_in_tree(tree_root(resource), info->pathname, O_RDONLY);
  if (!file.valid() && path_refused(errno)) {
    return refused_path_error(resource->pool, info->pathname);
  }
  if (!file.valid() || ::fchmod(file.get(), mode_from_perms(perms)) != 0) {
    return error(resource->pool, HTTP_INTERNAL_SERVER_ERROR, message);
  }
  info->finfo.protection = perms;
  return nullptr;
}

}  // namespace

int dav_kiv_format_time(int style, apr_time_t t, char* buf) {
  apr_time_exp_t tms;
  apr_time_exp_gmt(&tms, t);
  if (style == DAV_STYLE_ISO8601) {
    return apr_snprintf(buf, kTimeBufSize, "%.4d-%.2d-%.2dT%.2d:%.2d:%.2dZ", tms.tm_year + 1900,
                        tms.tm_mon + 1, tms.tm_mday, tms.tm_hour, tms.tm_min, tms.tm_sec);
  }
  // An HTTP date has a four-digit year, early years with leading zeros as in the ISO form.
  return apr_snprintf(buf, kTimeBufSize, "%s, %.2d %s %.4d %.2d:%.2d:%.2d GMT",
                      apr_day_snames[tms.tm_wday], tms.tm_mday, apr_month_snames[tms.tm_mon],
                      tms.tm_year + 1900, tms.tm_hour, tms.tm_min, tms.tm_sec);
}

const char* getetag(const dav_resource* resource) {
  if (!resource->exists) return "";
  const apr_finfo_t& finfo = resource->info->finfo;
  if (finfo.filetype != APR_NOFILE) {
    return apr_psprintf(
        resource->pool,
        "\"%" APR_UINT64_T_HEX_FMT "-%" APR_UINT64_T_HEX_FMT "-%" APR_UINT64_T_HEX_FMT "\"",
        static_cast<apr_uint64_t>(finfo.inode), static_cast<apr_uint64_t>(finfo.size),
        static_cast<apr_uint64_t>(finfo.mtime));
  }
  return apr_psprintf(resource->pool, "\"%" APR_UINT64_T_HEX_FMT "\"",
                      static_cast<apr_uint64_t>(finfo.mtime));
}

// Appends the live property propid of resource to phdr as insert_prop asks, from the resource's
// pool. Answers the insert mode, or DAV_PROP_INSERT_NOTDEF when the property has no value here.
dav_prop_insert insert_prop(const dav_resource* resource, int propid, dav_prop_insert what,
                            apr_text_header* phdr) {
  if (!resource->exists) return DAV_PROP_INSERT_NOTDEF;
  char buf[kTimeBufSize];
  const char* value = value_of(resource, propid, buf);
  if (value == nullptr) return DAV_PROP_INSERT_NOTDEF;

  const dav_liveprop_spec* info = nullptr;
  const long global_ns = dav_get_liveprop_info(propid, &dav_kiv_liveprop_group, &info);
  const char* text;
  if (what == DAV_PROP_INSERT_VALUE) {
    text = apr_psprintf(resource->pool, "<lp%ld:%s>%s</lp%ld:%s>\n", global_ns, info->name, value,
                        global_ns, info->name);
  } else if (what == DAV_PROP_INSERT_NAME) {
    text = apr_psprintf(resource->pool, "<lp%ld:%s/>\n", global_ns, info->name);
  } else {
    text = apr_psprintf(resource->pool,
                        "<D:supported-live-property D:name=\"%s\" D:namespace=\"%s\"/>\n",
                        info->name, dav_kiv_namespace_uris[info->ns]);
  }
  apr_text_append(resource->pool, phdr, text);
  return what;
}

// Every live property of this provider is read-only.
int is_writable(int propid) {
  const dav_liveprop_spec* info = nullptr;
  dav_get_liveprop_info(propid, &dav_kiv_liveprop_group, &info);
  return info != nullptr ? info->is_writable : 0;
}

// Checks a new value of executable ("T" or "F"). The context carries the requested value itself:
// non-null for true, null for false. Other properties go to the dead property store.
dav_error* patch_validate(const dav_resource* resource, const apr_xml_elem* elem, int operation,
                          void** context, int* defer_to_dead) {
  const auto* priv = static_cast<const dav_elem_private*>(elem->priv);
  if (priv == nullptr || priv->propid != kPropidExecutable) {
    *defer_to_dead = 1;
    return nullptr;
  }
  if (operation == DAV_PROP_OP_DELETE) {
    return conflict(resource, "The 'executable' property cannot be removed.");
  }
  const apr_text* value = nullptr;
  if (dav_error* err = executable_text(resource, elem, &value)) return err;
  if (value->text[0] == 'T') {
    *context = reinterpret_cast<void*>(1);
  } else if (value->text[0] == 'F') {
    *context = nullptr;
  } else {
    return conflict(resource,
                    "The 'executable' property expects a single character, valued 'T' or 'F'. "
                    "The value submitted is invalid.");
  }
  return nullptr;
}

// Sets or clears the owner-execute bit of the local file. The rollback context carries the
// previous value (non-null for true) and is left alone when nothing changed.
dav_error* patch_exec(const dav_resource* resource, void* context,
                      dav_liveprop_rollback** rollback_ctx) {
  const bool previous = (resource->info->finfo.protection & APR_UEXECUTE) != 0;
  const bool requested = context != nullptr;
  if (previous == requested) return nullptr;
  if (dav_error* err = set_executable(
          resource, requested, "Could not set the executable flag of the target resource.")) {
    return err;
  }
  *rollback_ctx = previous ? reinterpret_cast<dav_liveprop_rollback*>(1) : nullptr;
  return nullptr;
}

// Puts the owner-execute bit back as the rollback context says.
dav_error* patch_rollback(const dav_resource* resource, dav_liveprop_rollback* rollback_ctx) {
  return set_executable(resource, rollback_ctx != nullptr,
                        "After a failure occurred, the resource's executable flag could not be "
                        "restored.");
}

}  // namespace kiv::repository

namespace repository = kiv::repository;

extern "C" {

namespace {

// Fills the insert_prop slot of the live-property hooks (see repository::insert_prop).
dav_prop_insert dav_kiv_insert_prop(const dav_resource* resource, int propid, dav_prop_insert what,
                                    apr_text_header* phdr) noexcept {
  return kiv::guarded_value(DAV_PROP_INSERT_NOTDEF,
                            [&] { return repository::insert_prop(resource, propid, what, phdr); });
}

// Fills the is_writable slot.
int dav_kiv_is_writable(const dav_resource* /*resource*/, int propid) noexcept {
  return repository::is_writable(propid);
}

// Fills the patch_validate slot.
dav_error* dav_kiv_patch_validate(const dav_resource* resource, const apr_xml_elem* elem,
                                  int operation, void** context, int* defer_to_dead) noexcept {
  return kiv::guarded(resource->pool, [&] {
    return repository::patch_validate(resource, elem, operation, context, defer_to_dead);
  });
}

// Fills the patch_exec slot.
dav_error* dav_kiv_patch_exec(const dav_resource* resource, const apr_xml_elem* /*elem*/,
                              int /*operation*/, void* context,
                              dav_liveprop_rollback** rollback_ctx) noexcept {
  return kiv::guarded(resource->pool,
                      [&] { return repository::patch_exec(resource, context, rollback_ctx); });
}

// Fills the patch_commit slot: nothing to finish, the bit was set by patch_exec.
void dav_kiv_patch_commit(const dav_resource* /*resource*/, int /*operation*/, void* /*context*/,
                          dav_liveprop_rollback* /*rollback_ctx*/) noexcept {}

// Fills the patch_rollback slot.
dav_error* dav_kiv_patch_rollback(const dav_resource* resource, int /*operation*/,
                                  void* /*context*/, dav_liveprop_rollback* rollback_ctx) noexcept {
  return kiv::guarded(resource->pool,
                      [&] { return repository::patch_rollback(resource, rollback_ctx); });
}

}  // namespace

// No property sets of its own to announce.
void dav_kiv_gather_propsets(apr_array_header_t* /*uris*/) noexcept {}

// The property id of a live property of this provider's resources, 0 for none.
int dav_kiv_find_liveprop(const dav_resource* resource, const char* ns_uri, const char* name,
                          const dav_hooks_liveprop** hooks) noexcept {
  if (resource->hooks != &dav_kiv_hooks_repository) return 0;
  return dav_do_find_liveprop(ns_uri, name, &dav_kiv_liveprop_group, hooks);
}

// Every live property that allprop lists (executable is not among them); a listing of names
// (propname) also names the quota, whose values cost a look at the file system and are given only
// when asked for.
void dav_kiv_insert_all_liveprops(request_rec* /*r*/, const dav_resource* resource,
                                  dav_prop_insert what, apr_text_header* phdr) noexcept {
  if (resource->hooks != &dav_kiv_hooks_repository || !resource->exists) return;
  dav_kiv_insert_prop(resource, DAV_PROPID_creationdate, what, phdr);
  dav_kiv_insert_prop(resource, DAV_PROPID_getcontentlength, what, phdr);
  dav_kiv_insert_prop(resource, DAV_PROPID_getlastmodified, what, phdr);
  dav_kiv_insert_prop(resource, DAV_PROPID_getetag, what, phdr);
  if (what != DAV_PROP_INSERT_VALUE) {
    dav_kiv_insert_prop(resource, repository::kPropidQuotaAvailable, what, phdr);
    dav_kiv_insert_prop(resource, repository::kPropidQuotaUsed, what, phdr);
  }
}

namespace {

const dav_hooks_liveprop dav_kiv_hooks_liveprop = {
    dav_kiv_insert_prop,
    dav_kiv_is_writable,
    repository::dav_kiv_namespace_uris,
    dav_kiv_patch_validate,
    dav_kiv_patch_exec,
    dav_kiv_patch_commit,
    dav_kiv_patch_rollback,
    nullptr,  // ctx: the hooks need no context of their own
};

}  // namespace

const dav_liveprop_group dav_kiv_liveprop_group = {
    repository::dav_kiv_props,
    repository::dav_kiv_namespace_uris,
    &dav_kiv_hooks_liveprop,
};

}  // extern "C"
