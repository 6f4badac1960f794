"""Two server pairs (Apache with the module, and a repository service each) over one tree on a
GlusterFS volume that this machine mounts twice, as two hosts of a shared file system would
(scripts/sharedtree.py): each pair serves the tree and the lock database through its own mount.

Where GlusterFS cannot run (no root, no FUSE, packages missing), the tests skip and say why.
"""

import os
import shutil

import pytest

from conftest import scratch_dir, start_server
from sharedtree import SharedTree, Unavailable, unavailable

pytestmark = pytest.mark.skipif(unavailable() is not None, reason=str(unavailable()))


@pytest.fixture(scope="module")
def shared():
    scratch = scratch_dir("kiv-shared-")
    tree = SharedTree(scratch)
    try:
        tree.up()
    except Unavailable as e:
        shutil.rmtree(scratch, ignore_errors=True)
        pytest.skip(str(e))
    print("shared tree %s up in %.1f s" % (tree.volume, tree.seconds_up))
    yield tree
    problems = tree.down()
    print("shared tree %s down in %.1f s" % (tree.volume, tree.seconds_down))
    if not problems:
        shutil.rmtree(scratch, ignore_errors=True)
    assert problems == [], "left behind in %s" % scratch


@pytest.fixture(scope="module")
def pairs(shared):
    """Pair A on the first mount, pair B on the second; own data directories and ports."""
    servers = []
    try:
        for mount in shared.mounts:
            servers.append(start_server(repo=os.path.join(mount, "repo"),
                                        lockdb=os.path.join(mount, "locks", "lockdb")))
        yield servers
    finally:
        for s in servers:
            s.stop()
            shutil.rmtree(s.data, ignore_errors=True)


def test_a_document_put_through_one_pair_is_read_through_the_other(pairs):
    a, b = pairs
    for s in pairs:
        s.mark_log()
    da, db = a.dav(), b.dav()
    assert da.put("/shared.txt", b"written through A").status == 201
    assert db.get("/shared.txt").body == b"written through A"
    # Two hosts of one tree: the same file, the same inode, another device.
    sa = os.stat(os.path.join(a.repo, "shared.txt"))
    sb = os.stat(os.path.join(b.repo, "shared.txt"))
    assert sa.st_ino == sb.st_ino and sa.st_dev != sb.st_dev

    assert db.put("/shared.txt", b"rewritten through B").status == 204
    assert da.get("/shared.txt").body == b"rewritten through B"
    da.close()
    db.close()
    for s in pairs:
        assert s.unexpected_log_lines() == []
