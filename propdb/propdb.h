// The dead-property store as the module frame sees it: the property database hook table.
#ifndef KIV_PROPDB_PROPDB_H_
#define KIV_PROPDB_PROPDB_H_

#include "common/host.h"

extern "C" {

// The provider's property database hooks (propdb_hooks.cpp).
extern const dav_hooks_propdb dav_kiv_hooks_propdb;

}  // extern "C"

#endif  // KIV_PROPDB_PROPDB_H_
