// What crosses the files of the lock subsystem: the lock database handle, keys, in-memory lock
// entries, and the lock-null list operations.
#ifndef KIV_LOCKS_LOCKS_H_
#define KIV_LOCKS_LOCKS_H_

#include <apr_dbm.h>
#include <apr_uuid.h>
#include <httpd.h>
#include "module/dav_host.h"

#include "propdb/propdb.h"

extern "C" {

struct dav_locktoken {
  apr_uuid_t uuid;
};

}  // extern "C"

#endif  // KIV_LOCKS_LOCKS_H_
