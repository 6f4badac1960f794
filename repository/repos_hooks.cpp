// The provider's repository hook table. The hooks live in the files of this directory:
// resource.cpp (lookup), stream.cpp (GET and PUT), namespace_ops.cpp (MKCOL, COPY, MOVE,
// DELETE), walker.cpp and liveprops.cpp (entity tags).
#include "common/host.h"

#include "module/kiv_module.h"
#include "repository/repository.h"

extern "C" {

const dav_hooks_repository dav_kiv_hooks_repository = {
    1,  // the provider answers GET itself: mod_dav calls set_headers and deliver
    dav_kiv_get_resource,
    dav_kiv_get_parent_resource,
    dav_kiv_is_same_resource,
    dav_kiv_is_parent_resource,
    dav_kiv_open_stream,
    dav_kiv_close_stream,
    dav_kiv_write_stream,
    dav_kiv_seek_stream,
    dav_kiv_set_headers,
    dav_kiv_deliver,
    dav_kiv_create_collection,
    dav_kiv_copy_resource,
    dav_kiv_move_resource,
    dav_kiv_remove_resource,
    dav_kiv_walk_hook,
    dav_kiv_getetag,
    nullptr,  // no context
    nullptr,  // get_request_rec: the private record holds no request
    dav_kiv_resource_pathname,
};

}  // extern "C"
