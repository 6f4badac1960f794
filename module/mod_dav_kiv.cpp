// The module record, hook registration and start-up of the repository provider.
//
// The provider registers under the name "filesystem", so that a location with "Dav filesystem"
// routes its WebDAV requests through the three hook tables below. At start-up the real
// repository is installed and pointed at the main server's configured address and port. Every
// 503 of the provider's requests carries Retry-After, every 5xx is logged with its URI, and every
// request that mod_dav leaves alone is refused (405) rather than served from the tree.
#include <apr_lib.h>

#include <cstring>
#include <string>

#include "common/guard.h"
#include "common/host.h"
#include "common/tree_id.h"
#include "dbm/dbm_cache.h"
#include "locks/locks.h"
#include "module/config.h"
#include "propdb/propdb.h"
#include "provider/log.h"
#include "provider/repository.h"
#include "provider/server_conf.h"
#include "repository/repository.h"

extern "C" {
APLOG_USE_MODULE(dav_kiv);
}

namespace {

constexpr const char* kPostConfigMarker = "dav_apache2hook_post_config_kiv";

const dav_provider dav_kiv_provider = {
    &dav_kiv_hooks_repository,
    &dav_kiv_hooks_propdb,
    &dav_kiv_hooks_locks,
    nullptr,  // no versioning
    nullptr,  // no bindings
    nullptr,  // no search
    nullptr,  // no context
};

// Seconds a client is asked to wait before it tries again after a 503.
constexpr const char* kRetryAfterSeconds = "5";

// Installs the real repository, points it at the configured address and port with the configured
// user and password (which a service over TCP may ask for), and logs what its probe found.
void connect_repository_service(server_rec* s, const dav_kiv_server_conf* conf) {
  kiv::Repository& repository = kiv::service_repository();
  kiv::Repository::install(&repository);
  kiv::log_to(s);
  repository.set_credentials(conf->user, conf->password);
  const std::string address(conf->address);
  const kiv::Status status = repository.connect(address, conf->port);
  // An address "unix:/path" names a socket, where the port plays no part.
  const std::string where =
      address.compare(0, 5, "unix:") == 0 ? address : address + ":" + std::to_string(conf->port);
  if (status.ok()) {
    ap_log_error(APLOG_MARK, APLOG_NOTICE, 0, s, KIVLOGNO(10001) "repository service at %s answers",
                 where.c_str());
  } else {
    ap_log_error(APLOG_MARK, APLOG_WARNING, 0, s,
                 KIVLOGNO(10002) "repository service at %s does not answer (%s); requests that "
                                 "need it answer 503 until it does",
                 where.c_str(), status.name());
  }
}

// True when this provider serves the request.
bool provider_serves(request_rec* r) {
  return r->handler != nullptr && dav_get_provider(r) == &dav_kiv_provider;
}

// The scheme of this provider's lock tokens.
constexpr char kTokenScheme[] = "opaquelocktoken:";

// The methods a location of this provider answers, as the Allow header of a 405 names them.
void allow_provider_methods(request_rec* r) {
  ap_allow_methods(r, REPLACE_ALLOW, "OPTIONS", "GET", "PUT", "DELETE", "PROPFIND", "PROPPATCH",
                   "MKCOL", "COPY", "MOVE", "LOCK", "UNLOCK", nullptr);
  // HEAD has no method number of its own: it goes in the list of other methods, which the
  // header names when the mask says there are some.
  ap_method_list_add(r->allowed_methods, "HEAD");
  r->allowed_methods->method_mask |= AP_METHOD_BIT << M_INVALID;
}

}  // namespace

extern "C" {

namespace {

// The server reads its configuration twice at start-up: the first pass only leaves a marker in
// the process pool; every later pass (the second reading and each restart) connects the client.
int dav_kiv_post_config(apr_pool_t* /*pconf*/, apr_pool_t* /*plog*/, apr_pool_t* /*ptemp*/,
                        server_rec* s) noexcept {
  void* marker = nullptr;
  apr_pool_t* process_pool = s->process->pool;
  apr_pool_userdata_get(&marker, kPostConfigMarker, process_pool);
  if (marker == nullptr) {
    apr_pool_userdata_set(reinterpret_cast<const void*>(1), kPostConfigMarker,
                          apr_pool_cleanup_null, process_pool);
    return OK;
  }
  const dav_kiv_server_conf* conf = kiv::server_conf(s);
  // The identity of files on every host of a shared tree; read images are off then.
  if (conf->tree_id_set) {
    kiv::set_tree_id(conf->tree_id);
  } else {
    kiv::clear_tree_id();
  }
  // The change counters of the DBM read images are shared by all children forked from here.
  kiv::dbm_cache_enable(process_pool);
  kiv::guarded_void([&] { connect_repository_service(s, conf); });
  return OK;
}

// Every 503 of this provider is a service that cannot serve now (the repository service is down
// or busy): the error response tells the client when to try again. The hooks that make the error
// have no request record at hand; the response they lead to does. Fills the insert_error_filter
// hook, which runs while the server builds an error response.
void dav_kiv_insert_retry_after(request_rec* r) noexcept {
  if (r->status == HTTP_SERVICE_UNAVAILABLE && provider_serves(r)) {
    apr_table_setn(r->err_headers_out, "Retry-After", kRetryAfterSeconds);
  }
}

// Logs every 5xx answer of this provider with its method and URI. mod_dav has logged the error
// records themselves (at level error, without the URI) by then; this line names the request they
// belong to. Fills the log_transaction hook.
int dav_kiv_log_server_error(request_rec* r) noexcept {
  if (r->status < HTTP_INTERNAL_SERVER_ERROR || !provider_serves(r)) return DECLINED;
  ap_log_rerror(APLOG_MARK, APLOG_WARNING, 0, r, KIVLOGNO(10020) "%s %s answered %d", r->method,
                ap_escape_logitem(r->pool, r->uri), r->status);
  return DECLINED;
}

// A LOCK that created a resource answers 201: mod_dav sets 200 for every granted lock
// after the lock hooks have run, so the status is changed on the response's way out, before its
// head is written.
constexpr char kLockStatusFilter[] = "KIV_LOCK_STATUS";

apr_status_t dav_kiv_lock_status_filter(ap_filter_t* f, apr_bucket_brigade* bb) noexcept {
  request_rec* r = f->r;
  if (r->status == HTTP_OK && apr_table_get(r->notes, kiv::kLockCreatedNote) != nullptr) {
    r->status = HTTP_CREATED;
    r->status_line = nullptr;
  }
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

void dav_kiv_insert_lock_status_filter(request_rec* r) noexcept {
  if (r->method_number == M_LOCK)
    ap_add_output_filter(kLockStatusFilter, nullptr, r, r->connection);
}

// UNLOCK names its lock in Lock-Token as a Coded-URL, "<opaquelocktoken:...>"; some clients (the
// npm webdav library) send the bare token, which mod_dav refuses with 400. A bare token of this
// provider's scheme can only mean the one thing, so it gets its brackets before mod_dav reads the
// header; anything else is left for mod_dav to judge. Fills the fixups hook, which runs after the
// location's configuration is known and before mod_dav handles the request.
int dav_kiv_bracket_bare_lock_token(request_rec* r) noexcept {
  if (r->method_number != M_UNLOCK || dav_get_provider(r) != &dav_kiv_provider) return DECLINED;
  const char* token = apr_table_get(r->headers_in, "Lock-Token");
  if (token == nullptr) return DECLINED;
  while (apr_isspace(*token)) ++token;
  if (std::strncmp(token, kTokenScheme, sizeof(kTokenScheme) - 1) == 0) {
    apr_table_setn(r->headers_in, "Lock-Token", apr_pstrcat(r->pool, "<", token, ">", nullptr));
  }
  return DECLINED;
}

// Every request of a location this provider serves that mod_dav does not answer (POST, a method
// mod_dav does not know, a request without a version) is answered 405 with the methods the
// location allows. Otherwise the core's handler would answer it from the file that the URI maps
// to: the repository's own tree, raw, whatever the repository service would let through. Fills
// the handler hook, after mod_dav's handler and every other module's, before the core's.
int dav_kiv_refuse_other_methods(request_rec* r) noexcept {
  if (dav_get_provider(r) != &dav_kiv_provider) return DECLINED;
  kiv::guarded_void([&] { allow_provider_methods(r); });
  return HTTP_METHOD_NOT_ALLOWED;
}

void dav_kiv_register_hooks(apr_pool_t* p) noexcept {
  dav_hook_gather_propsets(dav_kiv_gather_propsets, nullptr, nullptr, APR_HOOK_MIDDLE);
  dav_hook_find_liveprop(dav_kiv_find_liveprop, nullptr, nullptr, APR_HOOK_MIDDLE);
  dav_hook_insert_all_liveprops(dav_kiv_insert_all_liveprops, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_post_config(dav_kiv_post_config, nullptr, nullptr, APR_HOOK_MIDDLE);
  // A partial PUT, and a MOVE or COPY onto a collection holding the source, are refused early.
  dav_hook_method_precondition(dav_kiv_method_precondition, nullptr, nullptr, APR_HOOK_MIDDLE);
  // A LOCK that created a resource answers 201.
  ap_register_output_filter(kLockStatusFilter, dav_kiv_lock_status_filter, nullptr,
                            AP_FTYPE_RESOURCE);
  ap_hook_insert_filter(dav_kiv_insert_lock_status_filter, nullptr, nullptr, APR_HOOK_MIDDLE);
  // UNLOCK with a bare lock token is taken as if the token were bracketed.
  ap_hook_fixups(dav_kiv_bracket_bare_lock_token, nullptr, nullptr, APR_HOOK_MIDDLE);
  // A 503 tells when to try again; every 5xx is logged with its URI.
  ap_hook_insert_error_filter(dav_kiv_insert_retry_after, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_log_transaction(dav_kiv_log_server_error, nullptr, nullptr, APR_HOOK_MIDDLE);
  // Nothing of the tree is served raw: what mod_dav leaves is refused.
  ap_hook_handler(dav_kiv_refuse_other_methods, nullptr, nullptr, APR_HOOK_LAST);
  dav_register_liveprop_group(p, &dav_kiv_liveprop_group);
  dav_register_provider(p, "filesystem", &dav_kiv_provider);
}

}  // namespace

// The one symbol the module exports.
__attribute__((visibility("default"))) module AP_MODULE_DECLARE_DATA dav_kiv_module = {
    MODULE_MAGIC_NUMBER_MAJOR,
    MODULE_MAGIC_NUMBER_MINOR,
    -1,                 // module index, assigned by the server
    "mod_dav_kiv.cpp",  // the module's name: its source file
    nullptr,            // dynamic load handle, set by the server
    nullptr,            // next module, set by the server
    MODULE_MAGIC_COOKIE,
    nullptr,  // rewrite_args
    nullptr,  // no per-directory configuration
    nullptr,  // nothing to merge per directory
    dav_kiv_create_server_config,
    dav_kiv_merge_server_config,
    dav_kiv_cmds,
    dav_kiv_register_hooks,
    AP_MODULE_FLAG_NONE,
};

}  // extern "C"
