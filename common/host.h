// The host's headers as this C++ code includes them. mod_dav's error record has a member named
// "namespace", a C++ keyword, so mod_dav.h is read with that member renamed to dav_namespace.
// Include this header instead of mod_dav.h, and before any C++ standard header would matter:
// the rename is undone right after mod_dav.h.
#ifndef KIV_COMMON_HOST_H_
#define KIV_COMMON_HOST_H_

#include <httpd.h>  // first: the other server headers rely on it

#include <apr_buckets.h>
#include <apr_dbm.h>
#include <apr_file_info.h>
#include <apr_hash.h>
#include <apr_pools.h>
#include <apr_strings.h>
#include <apr_xml.h>
#include <http_config.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <http_request.h>
#include <util_filter.h>

#define namespace dav_namespace
#include <mod_dav.h>
#undef namespace

#endif  // KIV_COMMON_HOST_H_
