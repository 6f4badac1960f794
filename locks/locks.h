// Locking as the module frame sees it: the lock hook table, and the note by which a LOCK that
// created a resource tells the frame to answer 201.
#ifndef KIV_LOCKS_LOCKS_H_
#define KIV_LOCKS_LOCKS_H_

#include "common/host.h"

extern "C" {

// The provider's lock hooks (lock_hooks.cpp).
extern const dav_hooks_locks dav_kiv_hooks_locks;

}  // extern "C"

namespace kiv {

// A LOCK that created a resource (an empty document, or a lock-null resource where no LOCK
// request made it) answers 201 (Created), as a request that maps a URL does, where mod_dav
// answers 200 for every granted lock. The lock hooks note it on the request
// under this key; an output filter of the module frame sets the status.
inline constexpr char kLockCreatedNote[] = "kiv-lock-created";

}  // namespace kiv

#endif  // KIV_LOCKS_LOCKS_H_
