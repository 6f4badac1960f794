// Reading the per-server configuration record.
#include "provider/server_conf.h"

namespace kiv {

dav_kiv_server_conf* server_conf(const server_rec* s) {
  return static_cast<dav_kiv_server_conf*>(ap_get_module_config(s->module_config, &dav_kiv_module));
}

const char* dav_kiv_lockdb_path(const request_rec* r) {
  return server_conf(r->server)->lockdb_path;
}

bool collection_indexes(const request_rec* r) {
  return server_conf(r->server)->indexes != kIndexesOff;
}

LockLimits lock_limits(const server_rec* s) {
  LockLimits limits;
  const dav_kiv_server_conf* conf = s != nullptr ? server_conf(s) : nullptr;
  if (conf == nullptr) return limits;
  if (conf->max_lock_owner != 0) limits.max_owner = conf->max_lock_owner;
  if (conf->max_lock_timeout != 0) limits.max_timeout = conf->max_lock_timeout;
  return limits;
}

}  // namespace kiv
