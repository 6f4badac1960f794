"""Two server pairs (Apache with the module, and a repository service each) over one tree on a
GlusterFS volume that this machine mounts twice, as two hosts of a shared file system would
(scripts/sharedtree.py): each pair serves the tree and the lock database through its own mount,
with one tree id and a host id each. What one pair does, the other sees at once: locks,
lock-made documents, properties, documents whole under concurrent writes and moves, and the
soak's model with its clients spread over both pairs (KIV_SHARED_SOAK_SECONDS, default 20).

Where GlusterFS cannot run (no root, no FUSE, packages missing), the tests skip and say why.
"""

import os
import shutil
import threading
import time

import pytest

from conftest import scratch_dir, start_server
from davclient import PROPFIND_ALL, lock_token, responses
from sharedtree import SharedTree, Unavailable, unavailable
from soak import EXPECTED_ERRORS, Soak, summary

pytestmark = pytest.mark.skipif(unavailable() is not None, reason=str(unavailable()))

PROPPATCH = ('<?xml version="1.0" encoding="utf-8"?>'
             '<D:propertyupdate xmlns:D="DAV:" xmlns:S="urn:shared"><D:set><D:prop>'
             '<S:note>%d</S:note></D:prop></D:set></D:propertyupdate>')


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


TREE_ID = 16
SOAK_SECONDS = float(os.environ.get("KIV_SHARED_SOAK_SECONDS", "20"))


@pytest.fixture(scope="module")
def pairs(shared):
    """Pair A on the first mount, pair B on the second; own data directories, ports and
    journals, one tree id, and one lock database in the shared file system."""
    servers = []
    try:
        for mount, host in zip(shared.mounts, ("a", "b")):
            servers.append(start_server(repo=os.path.join(mount, "repo"),
                                        lockdb=os.path.join(mount, "locks", "lockdb"),
                                        tree_id=TREE_ID, host_id=host))
        yield servers
    finally:
        for s in servers:
            s.stop()
            shutil.rmtree(s.data, ignore_errors=True)


@pytest.fixture
def clients(pairs):
    """A client of each pair; afterwards neither error log may hold an unexpected line."""
    for s in pairs:
        s.mark_log()
    davs = [s.dav() for s in pairs]
    yield davs
    for d in davs:
        d.close()
    for s in pairs:
        assert s.unexpected_log_lines() == []


def test_a_document_put_through_one_pair_is_read_through_the_other(pairs, clients):
    a, b = pairs
    da, db = clients
    assert da.put("/shared.txt", b"written through A").status == 201
    assert db.get("/shared.txt").body == b"written through A"
    # Two hosts of one tree: the same file, the same inode, another device.
    sa = os.stat(os.path.join(a.repo, "shared.txt"))
    sb = os.stat(os.path.join(b.repo, "shared.txt"))
    assert sa.st_ino == sb.st_ino and sa.st_dev != sb.st_dev

    assert db.put("/shared.txt", b"rewritten through B").status == 204
    assert da.get("/shared.txt").body == b"rewritten through B"
    # Each service keeps a journal of its own.
    private = os.path.join(a.repo, ".kivd")
    assert {"journal-a", "journal-b"} <= set(os.listdir(private))


def test_locks_and_properties_set_through_one_pair_hold_through_the_other(pairs, clients):
    for s in pairs:
        s.allow_errors(r"[Ll]ock|locked|failed precondition")
    da, db = clients
    assert da.put("/locked.txt", b"v0").status == 201
    for n in range(3):
        token = lock_token(da.lock("/locked.txt"))
        assert db.put("/locked.txt", b"no token").status == 423
        assert db.put("/locked.txt", b"v1", {"If": "(<%s>)" % token}).status == 204
        assert db.unlock("/locked.txt", token).status == 204
        assert da.put("/locked.txt", b"v2").status == 204
        # Properties, written through either pair, read at once through the other.
        writer, reader = (da, db) if n % 2 == 0 else (db, da)
        assert writer.proppatch("/locked.txt", PROPPATCH % n).status == 207
        got = responses(reader.propfind("/locked.txt", PROPFIND_ALL))["/locked.txt"]
        assert got["{urn:shared}note"][1].text == str(n)

    # A LOCK of a new name through A makes a locked empty document that B lists, locked.
    token = lock_token(da.lock("/made-by-lock.txt"))
    listing = responses(db.propfind("/", PROPFIND_ALL, depth="1"))
    assert token in "".join(listing["/made-by-lock.txt"]["{DAV:}lockdiscovery"][1].itertext())
    assert db.delete("/made-by-lock.txt").status == 423
    assert db.unlock("/made-by-lock.txt", token).status == 204
    assert db.delete("/made-by-lock.txt").status == 204


def test_concurrent_puts_of_one_document_end_whole(clients):
    # Sizes on both sides of what a journal record holds itself; a mix shows in the bytes.
    assert clients[0].put("/race.bin", b"start").status == 201
    for size_a, size_b in ((300 << 10, 700 << 10), (3000, 5000)) * 4:
        bodies = [b"A" * size_a, b"B" * size_b]
        threads = [threading.Thread(target=lambda d, b: statuses.append(d.put("/race.bin", b)),
                                    args=(d, b)) for d, b in zip(clients, bodies)]
        statuses = []
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert [s.status for s in statuses] == [204, 204]
        got = [d.get("/race.bin").body for d in clients]
        assert got[0] == got[1] and got[0] in bodies, (len(got[0]), got[0][:4], got[0][-4:])


def test_a_collection_moved_through_one_pair_loses_no_write_through_the_other(pairs, clients):
    pairs[1].allow_errors(r"parent collection does not exist")
    da, db = clients
    assert da.mkcol("/moving").status == 201
    acknowledged = []
    moved = threading.Event()

    def writer():  # through B, into the collection wherever it is at the time
        for n in range(400):
            if moved.is_set():
                break
            parents = ("/moving", "/moved")
            if any(db.put("%s/w%d" % (c, n), b"%d" % n).status == 201 for c in parents):
                acknowledged.append(n)

    t = threading.Thread(target=writer)
    t.start()
    for src, dst in (("/moving", "/moved"), ("/moved", "/moving")) * 3:
        time.sleep(0.2)
        assert da.move(src, dst).status == 201
    moved.set()
    t.join(120)
    assert acknowledged
    for n in acknowledged:
        assert da.get("/moving/w%d" % n).body == b"%d" % n, n


def test_soak_over_both_pairs_keeps_the_model(pairs, clients):
    for s in pairs:
        s.allow_errors(EXPECTED_ERRORS)
    soak = Soak(pairs[0], clients=8, servers=pairs)
    report = soak.run(SOAK_SECONDS)
    text = summary(report, SOAK_SECONDS, 8)
    print("seed %d, over two pairs\n%s" % (soak.seed, text))
    assert report.ops > 0 and report.discrepancy_count == 0, text
