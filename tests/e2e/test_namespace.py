"""MKCOL, MOVE, DELETE and COPY over HTTP, with the dead properties that travel with documents."""

import os
import re
import shutil
import subprocess

import pytest

from davclient import lock_token, propfind_prop, responses

NS = "urn:kiv-test"


def set_prop(dav, path, name, value):
    body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:t="%s"><D:set><D:prop>'
            '<t:%s>%s</t:%s></D:prop></D:set></D:propertyupdate>' % (NS, name, value, name))
    r = dav.proppatch(path, body)
    assert r.status == 207, r
    return r


def get_prop(dav, path, name):
    r = dav.propfind(path, propfind_prop((NS, name)))
    if r.status != 207:
        return None
    for props in responses(r).values():
        status, elem = props["{%s}%s" % (NS, name)]
        return elem.text if status == 200 else None


@pytest.fixture
def tree(server):
    """A fresh top-level collection per test."""
    name = "t%d" % tree.counter
    tree.counter += 1
    dav = server.dav()
    assert dav.mkcol("/" + name).status == 201
    dav.close()
    return "/" + name


tree.counter = 0


def test_mkcol_creates_and_refuses(server, dav, tree):
    assert dav.mkcol(tree + "/new").status == 201
    assert os.path.isdir(os.path.join(server.repo, tree[1:], "new"))
    server.allow_errors(r"Unable to create collection")
    assert dav.mkcol(tree + "/new").status == 405
    assert dav.mkcol(tree + "/missing/child").status == 409

    parent = os.path.join(server.repo, tree[1:])
    os.chmod(parent, 0o555)
    try:
        assert dav.mkcol(tree + "/refused").status == 403
        assert server.log_has("Unable to create collection.")
    finally:
        os.chmod(parent, 0o755)
    assert dav.propfind(tree + "/refused").status == 404


def test_move_document_carries_its_properties(server, dav, tree):
    dav.put(tree + "/a.txt", b"moving")
    set_prop(dav, tree + "/a.txt", "color", "blue")
    assert dav.move(tree + "/a.txt", tree + "/b.txt").status == 201
    assert dav.get(tree + "/a.txt").status == 404
    assert dav.get(tree + "/b.txt").body == b"moving"
    assert get_prop(dav, tree + "/b.txt", "color") == "blue"
    # A new document at the old name does not inherit the moved one's properties.
    dav.put(tree + "/a.txt", b"new")
    assert get_prop(dav, tree + "/a.txt", "color") is None


def test_move_onto_existing_destination(dav, tree):
    dav.put(tree + "/src.txt", b"source")
    dav.put(tree + "/dst.txt", b"destination")
    assert dav.move(tree + "/src.txt", tree + "/dst.txt", overwrite=False).status == 412
    assert dav.get(tree + "/dst.txt").body == b"destination"
    assert dav.move(tree + "/src.txt", tree + "/dst.txt", overwrite=True).status == 204
    assert dav.get(tree + "/dst.txt").body == b"source"
    assert dav.get(tree + "/src.txt").status == 404


def test_move_collection_keeps_members_and_their_properties(dav, tree):
    dav.mkcol(tree + "/c")
    dav.mkcol(tree + "/c/sub")
    dav.put(tree + "/c/sub/doc.txt", b"deep")
    set_prop(dav, tree + "/c/sub/doc.txt", "tag", "x1")
    set_prop(dav, tree + "/c", "owner", "me")
    assert dav.move(tree + "/c", tree + "/d").status == 201
    assert dav.get(tree + "/d/sub/doc.txt").body == b"deep"
    assert get_prop(dav, tree + "/d/sub/doc.txt", "tag") == "x1"
    assert get_prop(dav, tree + "/d", "owner") == "me"
    assert dav.propfind(tree + "/c").status == 404


def test_move_back_when_properties_cannot_follow(server, dav, tree):
    server.allow_errors(r"State directory is actually a file|The resource was moved|"
                        r"Could not MOVE")
    dav.mkcol(tree + "/target")
    dav.put(tree + "/p.txt", b"p")
    set_prop(dav, tree + "/p.txt", "k", "v")
    # A plain file where the destination's state directory belongs stops the properties.
    with open(os.path.join(server.repo, tree[1:], "target", ".DAV"), "w") as f:
        f.write("in the way")
    r = dav.move(tree + "/p.txt", tree + "/target/p.txt")
    assert r.status == 500
    assert server.log_has("The resource was moved back to its original location")
    assert dav.get(tree + "/p.txt").body == b"p"
    assert get_prop(dav, tree + "/p.txt", "k") == "v"


@pytest.fixture
def other_device(server, tree):
    """A directory of the repository on a file system of its own (tmpfs), or skip."""
    path = os.path.join(server.repo, tree[1:], "mnt")
    os.makedirs(path)
    if os.geteuid() != 0:
        pytest.skip("mounting a second file system needs root")
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m,mode=0755", "tmpfs", path],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount tmpfs here")
    if server.account is not None:
        shutil.chown(path, server.account, server.account)
    yield tree + "/mnt"
    subprocess.run(["umount", "-l", path], check=False)


def test_move_across_devices_goes_through_the_repository(server, dav, tree, other_device):
    dav.put(tree + "/far.txt", b"travels")
    set_prop(dav, tree + "/far.txt", "trip", "long")
    assert dav.move(tree + "/far.txt", other_device + "/far.txt").status == 201
    assert dav.get(other_device + "/far.txt").body == b"travels"
    assert dav.get(tree + "/far.txt").status == 404
    assert get_prop(dav, other_device + "/far.txt", "trip") == "long"
    dav.put(tree + "/far.txt", b"again")
    assert get_prop(dav, tree + "/far.txt", "trip") is None


def test_failed_repository_move_is_an_error(server, dav, tree, other_device):
    server.allow_errors(r"Could not move the resource in the repository|Could not MOVE")
    dav.put(tree + "/stuck.txt", b"stays")
    mnt = os.path.join(server.repo, other_device[1:])
    os.chmod(mnt, 0o555)
    try:
        assert dav.move(tree + "/stuck.txt", other_device + "/stuck.txt").status == 500
        assert server.log_has("Could not move the resource in the repository.")
    finally:
        os.chmod(mnt, 0o755)
    assert dav.get(tree + "/stuck.txt").body == b"stays"


def test_delete_document_removes_its_properties(server, dav, tree):
    dav.put(tree + "/gone.txt", b"bye")
    set_prop(dav, tree + "/gone.txt", "p", "1")
    state = os.path.join(server.repo, tree[1:], ".DAV", "gone.txt")
    assert os.path.exists(state)
    assert dav.delete(tree + "/gone.txt").status == 204
    assert not os.path.exists(state)
    assert dav.get(tree + "/gone.txt").status == 404


def test_delete_refused_by_the_repository_keeps_the_state(server, dav, tree):
    server.allow_errors(r"Could not DELETE")
    dav.mkcol(tree + "/ro")
    dav.put(tree + "/ro/kept.txt", b"kept")
    set_prop(dav, tree + "/ro/kept.txt", "p", "1")
    ro = os.path.join(server.repo, tree[1:], "ro")
    os.chmod(ro, 0o555)
    try:
        assert dav.delete(tree + "/ro/kept.txt").status == 403
    finally:
        os.chmod(ro, 0o755)
    assert dav.get(tree + "/ro/kept.txt").body == b"kept"
    assert get_prop(dav, tree + "/ro/kept.txt", "p") == "1"


def test_delete_collection_with_nested_members(server, dav, tree):
    dav.mkcol(tree + "/n")
    dav.mkcol(tree + "/n/a")
    dav.mkcol(tree + "/n/a/b")
    dav.put(tree + "/n/a/b/leaf.txt", b"leaf")
    dav.put(tree + "/n/top.txt", b"top")
    set_prop(dav, tree + "/n/a", "x", "y")
    assert dav.delete(tree + "/n").status == 204
    assert not os.path.exists(os.path.join(server.repo, tree[1:], "n"))
    assert dav.propfind(tree + "/n").status == 404


def test_delete_collection_with_one_undeletable_member(server, dav, tree):
    server.allow_errors(r"Could not DELETE|Error\(s\) occurred in some resources")
    dav.mkcol(tree + "/m")
    dav.put(tree + "/m/one.txt", b"1")
    dav.put(tree + "/m/two.txt", b"2")
    dav.mkcol(tree + "/m/locked")
    dav.put(tree + "/m/locked/stuck.txt", b"stuck")
    locked = os.path.join(server.repo, tree[1:], "m", "locked")
    os.chmod(locked, 0o555)
    try:
        r = dav.delete(tree + "/m")
    finally:
        os.chmod(locked, 0o755)
    assert r.status == 207
    failed = {href: props.get("status") for href, props in responses(r).items()}
    assert failed == {tree + "/m/locked/stuck.txt": 403}
    assert dav.get(tree + "/m/one.txt").status == 404
    assert dav.get(tree + "/m/two.txt").status == 404
    assert dav.get(tree + "/m/locked/stuck.txt").body == b"stuck"


def test_copy_carries_the_dead_properties_but_no_locks(server, dav, tree):
    server.allow_errors(r"Could not MOVE/COPY|Error\(s\) occurred in some resources|"
                        r"The repository refuses to copy")
    c = tree + "/c"
    dav.mkcol(c)
    dav.mkcol(c + "/sub")
    props = {"": "top", "/a.txt": "pa", "/sub": "ps", "/sub/b.txt": "pb"}
    for rel, value in props.items():
        if rel.endswith(".txt"):
            dav.put(c + rel, b"content")
        set_prop(dav, c + rel, "tag", value)
    dav.put(tree + "/old.txt", b"old")
    set_prop(dav, tree + "/old.txt", "mine", "yes")
    token = lock_token(dav.lock(c, depth="infinity"))

    assert dav.copy(c, tree + "/d").status == 201
    assert dav.copy(c + "/a.txt", tree + "/old.txt").status == 204
    for rel, value in props.items():
        assert get_prop(dav, tree + "/d" + rel, "tag") == value, rel
    assert (get_prop(dav, tree + "/old.txt", "tag"), get_prop(dav, tree + "/old.txt", "mine")) \
        == ("pa", None)
    assert dav.put(tree + "/d/sub/b.txt", b"changed").status == 204  # the lock stayed behind
    assert dav.unlock(c, token).status == 204
    assert dav.copy(c, c + "/inside", headers={"Depth": "0"}).status == 403

    # A member the service cannot read is left out and named; the others are copied.
    unreadable = os.path.join(server.repo, tree[1:], "c", "sub", "b.txt")
    os.chmod(unreadable, 0)
    try:
        r = dav.copy(c, tree + "/f")
    finally:
        os.chmod(unreadable, 0o644)
    assert r.status == 207
    assert {h: p.get("status") for h, p in responses(r).items()} == {tree + "/f/sub/b.txt": 500}
    assert get_prop(dav, tree + "/f/sub", "tag") == "ps"
    assert dav.get(tree + "/f/sub/b.txt").status == 404


def proc_counter(pid, name):
    """VmHWM (KiB) from /proc/PID/status, or rchar from /proc/PID/io."""
    with open("/proc/%d/%s" % (pid, "status" if name == "VmHWM" else "io")) as f:
        return int(re.search(name + r":\s+(\d+)", f.read()).group(1))


def test_copy_of_a_large_document_stays_in_the_service(server, dav, tree):
    size = 1 << 30
    big = os.path.join(server.repo, tree[1:], "big.bin")
    with open(big, "wb") as f:
        f.truncate(size)
        f.seek(size // 3)
        f.write(b"marks")
    pids = server.httpd_child_pids() + [server.service.pid]
    for pid in pids:
        with open("/proc/%d/clear_refs" % pid, "w") as f:
            f.write("5")  # the peak RSS starts again from the current one
    before = {pid: (proc_counter(pid, "VmHWM"), proc_counter(pid, "rchar")) for pid in pids}
    assert dav.copy(tree + "/big.bin", tree + "/big copy.bin").status == 201
    for pid in pids:
        assert proc_counter(pid, "VmHWM") - before[pid][0] < 32 << 10, pid
    # The bytes did not come up the service's socket: no Apache child read them.
    assert sum(proc_counter(pid, "rchar") - before[pid][1] for pid in pids[:-1]) < 32 << 20
    with open(os.path.join(server.repo, tree[1:], "big copy.bin"), "rb") as f:
        f.seek(size // 3)
        assert f.read(5) == b"marks" and f.seek(0, os.SEEK_END) == size
    os.remove(f.name)
    os.remove(big)
