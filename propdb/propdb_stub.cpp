// Placeholder until the property database lands.
#include "module/kiv_module.h"
extern "C" const dav_hooks_propdb dav_kiv_hooks_propdb = {};
