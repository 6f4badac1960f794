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
  const char* user;         // repository service account, presented over TCP
  const char* password;
  apr_size_t max_lock_owner;     // KIVMaxLockOwner: longest lock owner, in bytes; 0 = not set
  apr_int64_t max_lock_timeout;  // KIVMaxLockTimeout: longest lock timeout, seconds; 0 = not set
  int tree_id_set;               // KIVTreeId given (main server only)
  apr_uint64_t tree_id;          // its value: the tree's device number on every host
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

// What a lock may be: the longest owner (bytes of its XML) and the longest timeout granted.
struct LockLimits {
  static constexpr apr_size_t kDefaultMaxOwner = 16 * 1024;
  static constexpr apr_int64_t kDefaultMaxTimeout = 7 * 24 * 60 * 60;  // one week

  apr_size_t max_owner = kDefaultMaxOwner;
  apr_int64_t max_timeout = kDefaultMaxTimeout;
};

// The lock limits of server s: its directives, else the defaults.
LockLimits lock_limits(const server_rec* s);

}  // namespace kiv

#endif  // KIV_PROVIDER_SERVER_CONF_H_
