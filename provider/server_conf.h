// The module's per-server configuration record, as every subsystem reads it. The module frame
// (module/) fills it from the directives and defines the module record; the lock database reads
// its path here.
#ifndef KIV_PROVIDER_SERVER_CONF_H_
#define KIV_PROVIDER_SERVER_CONF_H_

#include "common/host.h"

extern "C" {

// The module record, defined by the module frame; its index finds the configuration below.
extern module AP_MODULE_DECLARE_DATA dav_kiv_module;

}  // extern "C"

// Per-server configuration, one per server (the main server and each virtual host), allocated
// zero-filled from the configuration pool; all strings are copies in that pool.
struct dav_kiv_server_conf {
  const char* lockdb_path;  // absolute lock database path, or null when none is configured
  int indexes;              // KIVIndexes: kiv::kIndexesOn, kIndexesOff, or 0 when not set
  const char* address;      // repository service address
  apr_uint32_t port;        // repository service port
  const char* user;         // repository service account (held, never sent)
  const char* password;
};

namespace kiv {

// The values of dav_kiv_server_conf::indexes that a KIVIndexes directive sets.
inline constexpr int kIndexesOn = 1;
inline constexpr int kIndexesOff = 2;

// The configuration record of server s; it lives as long as the configuration pool.
dav_kiv_server_conf* server_conf(const server_rec* s);

// The lock database path of the request's server, or null.
const char* dav_kiv_lockdb_path(const request_rec* r);

// Whether a GET of a collection answers with an index page of its members on the request's
// server (KIVIndexes, On unless set Off).
bool collection_indexes(const request_rec* r);

}  // namespace kiv

#endif  // KIV_PROVIDER_SERVER_CONF_H_
