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

}  // namespace kiv
