// Placeholder until locking lands.
#include "module/kiv_module.h"
extern "C" const dav_hooks_locks dav_kiv_hooks_locks = {};
