// What the module frame offers the other subsystems: the module record, the server
// configuration and the provider's hook tables, which each subsystem defines.
#ifndef KIV_MODULE_KIV_MODULE_H_
#define KIV_MODULE_KIV_MODULE_H_

#include "common/host.h"

extern "C" {

extern module AP_MODULE_DECLARE_DATA dav_kiv_module;

// Per-server configuration, one per server (the main server and each virtual host), allocated
// zero-filled from the configuration pool; all strings are copies in that pool.
struct dav_kiv_server_conf {
  const char* lockdb_path;  // absolute lock database path, or null when none is configured
  const char* address;      // repository service address
  apr_uint32_t port;        // repository service port
  const char* user;         // repository service account (held, never sent)
  const char* password;
};

void* dav_kiv_create_server_config(apr_pool_t* p, server_rec* s);
void* dav_kiv_merge_server_config(apr_pool_t* p, void* base, void* overrides);

// The lock database path of the request's server, or null.
const char* dav_kiv_lockdb_path(const request_rec* r);

// The command table (DAVLockDB, KIVParam).
extern const command_rec dav_kiv_cmds[];

// Hook tables, each defined at the bottom of the subsystem that implements it.
extern const dav_hooks_repository dav_kiv_hooks_repository;
extern const dav_hooks_propdb dav_kiv_hooks_propdb;
extern const dav_hooks_locks dav_kiv_hooks_locks;
extern const dav_liveprop_group dav_kiv_liveprop_group;

// The host's live-property hooks (registered with mod_dav at start-up).
void dav_kiv_gather_propsets(apr_array_header_t* uris);
int dav_kiv_find_liveprop(const dav_resource* resource, const char* ns_uri, const char* name,
                          const dav_hooks_liveprop** hooks);
void dav_kiv_insert_all_liveprops(request_rec* r, const dav_resource* resource,
                                  dav_prop_insert what, apr_text_header* phdr);

// mod_dav's method-precondition hook: refuses COPY early (registered at start-up).
int dav_kiv_method_precondition(request_rec* r, dav_resource* src, const dav_resource* dst,
                                const apr_xml_doc* doc, dav_error** err);

}  // extern "C"

#endif  // KIV_MODULE_KIV_MODULE_H_
