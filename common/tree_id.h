// The identity of a file on every host of a shared tree. A file is known by its device and inode
// numbers; on a file system that several hosts mount (GlusterFS, CephFS, NFS) the inode number of
// a file is the same on every host, but each host numbers the mount's device as it likes. A tree
// id, configured alike on every host of one tree (KIVTreeId in the module, --tree-id in the
// service), stands in for the device number wherever a device number is kept or compared beyond
// one process: the keys of the lock database and the service's journal records. Unset, the device
// number stays, so that what a single host has stored keeps its meaning.
//
// Process-wide; set once at start-up, before any use. Thread-safe.
#ifndef KIV_COMMON_TREE_ID_H_
#define KIV_COMMON_TREE_ID_H_

#include <cstdint>

namespace kiv {

// Makes id the device number of every file from now on (set), or the files' own again (clear).
void set_tree_id(std::uint64_t id);
void clear_tree_id();

// Whether a tree id is set: the tree may be shared with other hosts.
bool tree_id_set();

// The device number to keep for a file whose own is device: the tree id when set, else device.
std::uint64_t identity_device(std::uint64_t device);

}  // namespace kiv

#endif  // KIV_COMMON_TREE_ID_H_
