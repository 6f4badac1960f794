// Placeholder until the repository hooks land.
#include "module/kiv_module.h"
extern "C" {
const dav_hooks_repository dav_kiv_hooks_repository = {};
const dav_liveprop_group dav_kiv_liveprop_group = {};
void dav_kiv_gather_propsets(apr_array_header_t*) {}
int dav_kiv_find_liveprop(const dav_resource*, const char*, const char*, const dav_hooks_liveprop**) { return 0; }
void dav_kiv_insert_all_liveprops(request_rec*, const dav_resource*, dav_prop_insert, apr_text_header*) {}
}
