// Server configuration of the module: the per-server record, its merge, and the directives
// DAVLockDB, KIVParam, KIVIndexes, KIVMaxLockOwner, KIVMaxLockTimeout and KIVTreeId.
#include "module/config.h"

#include <cerrno>
#include <cstdlib>

#include "common/host.h"
#include "provider/server_conf.h"

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1";
constexpr apr_uint32_t kDefaultPort = 8090;
constexpr const char* kDefaultUser = "admin";
constexpr const char* kDefaultPassword = "739150";

// The largest values the lock-limit directives take: an owner of 1 GiB, a timeout of 100 years.
constexpr apr_int64_t kMaxLockOwnerLimit = apr_int64_t{1} << 30;
constexpr apr_int64_t kMaxLockTimeoutLimit = apr_int64_t{100} * 366 * 24 * 60 * 60;

// The command table stores every handler under one untyped pointer type; the server calls each
// back with the argument list that its TAKE1, RAW_ARGS or FLAG kind implies.
template <typename Handler>
cmd_func as_cmd_func(Handler handler) {
  return reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(handler));
}

}  // namespace

extern "C" {

// Fills the create-per-server-configuration slot of the module record. The record and its
// strings come from p, the configuration pool.
void* dav_kiv_create_server_config(apr_pool_t* p, server_rec* /*s*/) noexcept {
  auto* conf = static_cast<dav_kiv_server_conf*>(apr_pcalloc(p, sizeof(dav_kiv_server_conf)));
  conf->address = apr_pstrdup(p, kDefaultAddress);
  conf->port = kDefaultPort;
  conf->user = apr_pstrdup(p, kDefaultUser);
  conf->password = apr_pstrdup(p, kDefaultPassword);
  return conf;
}

// Fills the merge-per-server-configuration slot. A merged record only carries the lock database
// path, the index setting and the lock limits: the repository service connection is always made
// from the main server's record.
void* dav_kiv_merge_server_config(apr_pool_t* p, void* base, void* overrides) noexcept {
  const auto* parent = static_cast<const dav_kiv_server_conf*>(base);
  const auto* child = static_cast<const dav_kiv_server_conf*>(overrides);
  auto* merged = static_cast<dav_kiv_server_conf*>(apr_pcalloc(p, sizeof(dav_kiv_server_conf)));
  merged->lockdb_path = child->lockdb_path ? child->lockdb_path : parent->lockdb_path;
  merged->indexes = child->indexes != 0 ? child->indexes : parent->indexes;
  merged->max_lock_owner = child->max_lock_owner ? child->max_lock_owner : parent->max_lock_owner;
  merged->max_lock_timeout =
      child->max_lock_timeout ? child->max_lock_timeout : parent->max_lock_timeout;
  return merged;
}

namespace {

// DAVLockDB path: resolved against ServerRoot; an absolute path stays as it is.
const char* dav_kiv_cmd_davlockdb(cmd_parms* cmd, void* /*dirconf*/, const char* arg1) {
  dav_kiv_server_conf* conf = kiv::server_conf(cmd->server);
  conf->lockdb_path = ap_server_root_relative(cmd->pool, arg1);
  if (conf->lockdb_path == nullptr) {
    return apr_pstrcat(cmd->pool, "Invalid DAVLockDB path ", arg1, nullptr);
  }
  return nullptr;
}

// KIVParam ip port user pwd: four words in the server's quoting rules; a port that converts to 0
// (missing, empty, not a number, "0") stands for the default port. Never fails.
const char* dav_kiv_cmd_kivparam(cmd_parms* cmd, void* /*dirconf*/, const char* args) {
  dav_kiv_server_conf* conf = kiv::server_conf(cmd->server);
  const char* address = ap_getword_conf(cmd->pool, &args);
  const char* port = ap_getword_conf(cmd->pool, &args);
  const char* user = ap_getword_conf(cmd->pool, &args);
  const char* password = ap_getword_conf(cmd->pool, &args);
  conf->address = apr_pstrdup(cmd->pool, address);
  conf->user = apr_pstrdup(cmd->pool, user);
  conf->password = apr_pstrdup(cmd->pool, password);
  const int converted = std::atoi(port);
  conf->port = converted == 0 ? kDefaultPort : static_cast<apr_uint32_t>(converted);
  return nullptr;
}

// KIVIndexes On|Off: whether a GET of a collection answers with an index page of its members
// (On, the default) or with 409 (Off).
const char* dav_kiv_cmd_kivindexes(cmd_parms* cmd, void* /*dirconf*/, int on) {
  kiv::server_conf(cmd->server)->indexes = on ? kiv::kIndexesOn : kiv::kIndexesOff;
  return nullptr;
}

// A positive whole number of at most limit, with an optional K or M (1024-fold) suffix when
// suffixes is set; 0 for anything else.
apr_int64_t positive_number(const char* word, bool suffixes, apr_int64_t limit) {
  char* end = nullptr;
  errno = 0;
  const apr_int64_t value = apr_strtoi64(word, &end, 10);
  if (errno != 0 || end == word || value <= 0 || *word == '+' || *word == '-') return 0;
  apr_int64_t scale = 1;
  if (suffixes && (*end == 'K' || *end == 'k')) {
    scale = 1024;
    ++end;
  } else if (suffixes && (*end == 'M' || *end == 'm')) {
    scale = 1024 * 1024;
    ++end;
  }
  if (*end != '\0' || value > limit / scale) return 0;
  return value * scale;
}

// KIVMaxLockOwner BYTES: the longest lock owner a LOCK may give (the XML of its owner element).
const char* dav_kiv_cmd_max_lock_owner(cmd_parms* cmd, void* /*dirconf*/, const char* arg) {
  const apr_int64_t bytes = positive_number(arg, true, kMaxLockOwnerLimit);
  if (bytes == 0) {
    return apr_pstrcat(cmd->pool, "KIVMaxLockOwner takes a number of bytes from 1 to 1G: ", arg,
                       nullptr);
  }
  kiv::server_conf(cmd->server)->max_lock_owner = static_cast<apr_size_t>(bytes);
  return nullptr;
}

// KIVMaxLockTimeout SECONDS: the longest lock timeout granted; Infinite is granted as this.
const char* dav_kiv_cmd_max_lock_timeout(cmd_parms* cmd, void* /*dirconf*/, const char* arg) {
  const apr_int64_t seconds = positive_number(arg, false, kMaxLockTimeoutLimit);
  if (seconds == 0) {
    return apr_pstrcat(cmd->pool, "KIVMaxLockTimeout takes a number of seconds from 1 to ",
                       apr_ltoa(cmd->pool, static_cast<long>(kMaxLockTimeoutLimit)), ": ", arg,
                       nullptr);
  }
  kiv::server_conf(cmd->server)->max_lock_timeout = seconds;
  return nullptr;
}

// KIVTreeId N: the tree is shared by several hosts, and N (a decimal number, the same on every
// host of the tree) stands for its device number wherever a file's identity is kept. Server-wide.
const char* dav_kiv_cmd_tree_id(cmd_parms* cmd, void* /*dirconf*/, const char* arg) {
  if (const char* err = ap_check_cmd_context(cmd, GLOBAL_ONLY)) return err;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(arg, &end, 10);
  if (errno != 0 || end == arg || *end != '\0' || *arg < '0' || *arg > '9') {
    return apr_pstrcat(cmd->pool, "KIVTreeId takes a decimal number from 0 to 2^64-1: ", arg,
                       nullptr);
  }
  dav_kiv_server_conf* conf = kiv::server_conf(cmd->server);
  conf->tree_id_set = 1;
  conf->tree_id = static_cast<apr_uint64_t>(value);
  return nullptr;
}

}  // namespace

const command_rec dav_kiv_cmds[] = {
    AP_INIT_TAKE1("DAVLockDB", as_cmd_func(dav_kiv_cmd_davlockdb), nullptr, RSRC_CONF,
                  "specify a lock database"),
    AP_INIT_RAW_ARGS("KIVParam", as_cmd_func(dav_kiv_cmd_kivparam), nullptr, RSRC_CONF,
                     "Set parameters for kiv module,format: ip port user pwd"),
    AP_INIT_FLAG("KIVIndexes", as_cmd_func(dav_kiv_cmd_kivindexes), nullptr, RSRC_CONF,
                 "whether GET of a collection lists its members (On) or answers 409 (Off)"),
    AP_INIT_TAKE1("KIVMaxLockOwner", as_cmd_func(dav_kiv_cmd_max_lock_owner), nullptr, RSRC_CONF,
                  "the longest lock owner accepted, in bytes (K and M suffixes; default 16K)"),
    AP_INIT_TAKE1("KIVMaxLockTimeout", as_cmd_func(dav_kiv_cmd_max_lock_timeout), nullptr,
                  RSRC_CONF, "the longest lock timeout granted, in seconds (default 604800)"),
    AP_INIT_TAKE1("KIVTreeId", as_cmd_func(dav_kiv_cmd_tree_id), nullptr, RSRC_CONF,
                  "the id of a tree shared by several hosts, the same on each (a number)"),
    {nullptr, nullptr, nullptr, 0, RAW_ARGS, nullptr},  // end of the table
};

}  // extern "C"
