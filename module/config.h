// What crosses the files of the module frame: the configuration functions and directives that
// the module record names (config.cpp).
#ifndef KIV_MODULE_CONFIG_H_
#define KIV_MODULE_CONFIG_H_

#include "common/host.h"

extern "C" {

// Fill the create- and merge-per-server-configuration slots of the module record.
void* dav_kiv_create_server_config(apr_pool_t* p, server_rec* s) noexcept;
void* dav_kiv_merge_server_config(apr_pool_t* p, void* base, void* overrides) noexcept;

// The command table (DAVLockDB, KIVParam, KIVIndexes, KIVMaxLockOwner, KIVMaxLockTimeout,
// KIVTreeId).
extern const command_rec dav_kiv_cmds[];

}  // extern "C"

#endif  // KIV_MODULE_CONFIG_H_
