// The repository as the module frame sees it: its hook table, its live-property group and the
// mod_dav hooks that the frame registers for it.
#ifndef KIV_REPOSITORY_REPOSITORY_H_
#define KIV_REPOSITORY_REPOSITORY_H_

#include "common/host.h"

extern "C" {

// The provider's repository hooks (repos_hooks.cpp).
extern const dav_hooks_repository dav_kiv_hooks_repository;

// The live-property group: creationdate, getcontentlength, getetag, getlastmodified,
// quota-available-bytes and quota-used-bytes of "DAV:" and executable of the Apache properties
// namespace (liveprops.cpp).
extern const dav_liveprop_group dav_kiv_liveprop_group;

// mod_dav's live-property hooks (liveprops.cpp).
void dav_kiv_gather_propsets(apr_array_header_t* uris) noexcept;
int dav_kiv_find_liveprop(const dav_resource* resource, const char* ns_uri, const char* name,
                          const dav_hooks_liveprop** hooks) noexcept;
void dav_kiv_insert_all_liveprops(request_rec* r, const dav_resource* resource,
                                  dav_prop_insert what, apr_text_header* phdr) noexcept;

// mod_dav's method-precondition hook: refuses COPY, a PUT with Content-Range, and a MOVE onto a
// collection that holds its source, before mod_dav acts on the request or reads a body
// (repos_hooks.cpp).
int dav_kiv_method_precondition(request_rec* r, dav_resource* src, const dav_resource* dst,
                                const apr_xml_doc* doc, dav_error** err) noexcept;

}  // extern "C"

#endif  // KIV_REPOSITORY_REPOSITORY_H_
