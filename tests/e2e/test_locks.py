"""Locks over HTTP: LOCK, discovery, refresh, UNLOCK, what a lock protects, the empty documents
that a LOCK of an unmapped URL creates, lock-null resources written before, expiry, the bytes of
the lock database, damaged records and many clients at once."""

import concurrent.futures
import os
import shutil
import struct
import time
import xml.etree.ElementTree as ET

import pytest

import dbmfile
from conftest import KIVD, MODULE, GuardedServer, scratch_dir, wait_for
from davclient import PROPFIND_ALL, lock_token, responses

NS_PATCH = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:t="urn:t"><D:set>'
            '<D:prop><t:k>v</t:k></D:prop></D:set></D:propertyupdate>')


def if_header(token):
    return {"If": "(<%s>)" % token}


def tagged_if(server, path, token):
    """An If header whose list applies to path only (a tagged list)."""
    return {"If": "<%s%s> (<%s>)" % (server.url, path, token)}


def discovered_locks(dav, path):
    r = dav.propfind(path, PROPFIND_ALL)
    assert r.status == 207, r
    root = r.xml()
    return [a for a in root.iter("{DAV:}activelock")]


def token_bytes(token):
    return bytes.fromhex(token[len("opaquelocktoken:"):].replace("-", ""))


def identity_key(path):
    st = os.stat(path)
    dev = st.st_dev
    folded = (dev & 0xFFFFFFFF) ^ (dev >> 32)
    return b"\x0a" + struct.pack("<QI", st.st_ino, folded)


@pytest.fixture
def fresh(server, dav):
    fresh.n += 1
    base = "/l%d" % fresh.n
    assert dav.mkcol(base).status == 201
    return base


fresh.n = 0


def test_lock_discover_refresh_unlock(server, dav, fresh):
    doc = fresh + "/doc.txt"
    dav.put(doc, b"x")
    r = dav.lock(doc, owner="alice", timeout="Second-300")
    assert r.status == 200
    token = lock_token(r)
    assert token.startswith("opaquelocktoken:") and len(token) == 52
    (active,) = discovered_locks(dav, doc)
    assert active.find("{DAV:}lockscope/{DAV:}exclusive") is not None
    assert active.find("{DAV:}depth").text == "0"
    assert "alice" in "".join(active.find("{DAV:}owner").itertext())
    assert active.find("{DAV:}locktoken/{DAV:}href").text == token

    r = dav.request("LOCK", doc, headers={"If": "(<%s>)" % token, "Timeout": "Second-1000"})
    assert r.status == 200
    assert "Second-1000" in r.text or "Second-999" in r.text
    assert dav.unlock(doc, token).status == 204
    assert discovered_locks(dav, doc) == []
    # A bare token, as some clients send it, is taken as the Coded-URL it stands for.
    token = lock_token(dav.lock(doc))
    assert dav.request("UNLOCK", doc, headers={"Lock-Token": " " + token}).status == 204
    assert discovered_locks(dav, doc) == []


def test_shared_locks_coexist_and_exclusive_excludes(server, dav, fresh):
    server.allow_errors(r"prevent|locked|failed precondition")
    doc = fresh + "/shared.txt"
    dav.put(doc, b"x")
    t1 = lock_token(dav.lock(doc, scope="shared", owner="a"))
    t2 = lock_token(dav.lock(doc, scope="shared", owner="b"))
    assert t1 and t2 and t1 != t2
    assert len(discovered_locks(dav, doc)) == 2
    assert dav.lock(doc, scope="exclusive").status == 423
    dav.unlock(doc, t1)
    dav.unlock(doc, t2)
    assert dav.lock(doc, scope="exclusive").status == 200


def test_lock_protects_every_write(server, dav, fresh):
    server.allow_errors(r"locked|failed precondition|could not be completed")
    doc = fresh + "/guarded.txt"
    dav.put(doc, b"v1")
    token = lock_token(dav.lock(doc))
    assert dav.put(doc, b"v2").status == 423
    assert dav.proppatch(doc, NS_PATCH).status == 423
    assert dav.move(doc, fresh + "/moved.txt").status == 423
    assert dav.delete(doc).status == 423
    # A copy is not locked, and cannot replace the locked document.
    assert dav.copy(doc, fresh + "/copy.txt").status == 201
    assert dav.put(fresh + "/copy.txt", b"free").status == 204
    assert dav.copy(fresh + "/copy.txt", doc).status == 423
    assert dav.get(doc).body == b"v1"

    assert dav.put(doc, b"v2", headers=if_header(token)).status == 204
    assert dav.proppatch(doc, NS_PATCH, headers=if_header(token)).status == 207
    # Replacing the document kept its file, so the lock is still there.
    assert dav.put(doc, b"v3").status == 423
    assert dav.delete(doc, headers=tagged_if(server, doc, token)).status == 204


def test_depth_infinity_lock_reaches_two_levels_down(server, dav, fresh):
    server.allow_errors(r"locked|failed precondition")
    dav.mkcol(fresh + "/a")
    dav.mkcol(fresh + "/a/b")
    deep = fresh + "/a/b/deep.txt"
    dav.put(deep, b"deep")
    r = dav.lock(fresh + "/a", depth="infinity")
    assert r.status == 200
    token = lock_token(r)
    assert dav.put(deep, b"changed").status == 423
    assert len(discovered_locks(dav, deep)) == 1
    # A document created inside the locked collection inherits the lock.
    assert dav.put(fresh + "/a/b/new.txt", b"n",
                   headers=tagged_if(server, fresh + "/a/b", token)).status == 201
    assert dav.put(fresh + "/a/b/new.txt", b"m").status == 423
    (inherited,) = discovered_locks(dav, fresh + "/a/b/new.txt")
    assert inherited.find("{DAV:}locktoken/{DAV:}href").text == token
    assert dav.unlock(fresh + "/a", token).status == 204
    assert dav.put(deep, b"changed").status == 204


def test_lock_of_an_unmapped_url_creates_a_locked_empty_document(server, dav, fresh):
    server.allow_errors(r"already locked|failed precondition|parent resource|\[423, #0\]")
    # A lock that maps a URL creates an empty document: 201, where a lock on what exists is 200.
    r = dav.lock(fresh + "/new.txt")
    assert r.status == 201
    token = lock_token(r)
    path = os.path.join(server.repo, fresh[1:], "new.txt")
    assert os.path.getsize(path) == 0
    g = dav.get(fresh + "/new.txt")
    assert (g.status, g.body) == (200, b"")
    assert not os.path.exists(os.path.join(server.repo, fresh[1:], ".DAV", ".locknull"))
    assert identity_key(path) in dbmfile.read(server.lockdb)
    listed = responses(dav.propfind(fresh + "/", PROPFIND_ALL, depth="1"))
    assert token in ET.tostring(listed[fresh + "/new.txt"]["{DAV:}lockdiscovery"][1]).decode()
    assert dav.lock(fresh + "/new.txt", scope="shared").status == 423
    refresh = dav.request("LOCK", fresh + "/new.txt",
                          headers={"If": "(<%s>)" % token, "Timeout": "Second-900"})
    assert refresh.status == 200

    # The lock holder writes, renames and removes it like any document; it outlives its lock.
    assert dav.put(fresh + "/new.txt", b"x").status == 423
    assert dav.put(fresh + "/new.txt", b"real", headers=if_header(token)).status == 204
    moved = dav.move(fresh + "/new.txt", fresh + "/renamed.txt",
                     headers=tagged_if(server, fresh + "/new.txt", token))
    assert moved.status == 201
    assert dav.get(fresh + "/renamed.txt").body == b"real"
    token = lock_token(dav.lock(fresh + "/kept.txt"))
    assert dav.unlock(fresh + "/kept.txt", token).status == 204
    assert dav.get(fresh + "/kept.txt").status == 200
    token = lock_token(dav.lock(fresh + "/gone.txt"))
    assert dav.delete(fresh + "/gone.txt",
                      headers=tagged_if(server, fresh + "/gone.txt", token)).status == 204
    assert dav.get(fresh + "/gone.txt").status == 404
    assert identity_key(os.path.join(server.repo, fresh[1:], "kept.txt")) \
        not in dbmfile.read(server.lockdb)

    # No parent collection: nothing is created and nothing locked.
    assert dav.lock(fresh + "/none/x.txt").status == 409
    assert not os.path.exists(os.path.join(server.repo, fresh[1:], "none"))

    # A second shared lock finds the document there: 200.
    first = dav.lock(fresh + "/shared.txt", scope="shared")
    second = dav.lock(fresh + "/shared.txt", scope="shared")
    assert (first.status, second.status) == (201, 200)

    # Under a collection's depth-infinity lock, the new document is a member the lock reaches.
    dav.mkcol(fresh + "/c")
    outer = lock_token(dav.lock(fresh + "/c", scope="shared", depth="infinity"))
    inner = lock_token(dav.lock(fresh + "/c/in.txt", scope="shared",
                                headers=tagged_if(server, fresh + "/c", outer)))
    assert dav.unlock(fresh + "/c/in.txt", inner).status == 204
    assert dav.put(fresh + "/c/in.txt", b"x").status == 423
    assert dav.unlock(fresh + "/c", outer).status == 204
    assert dav.put(fresh + "/c/in.txt", b"x").status == 204


def test_lock_null_resources_written_before_are_members_and_honoured(server, dav, fresh):
    # Lock-null resources as the lock subsystem once made them: a record under the name key of
    # the path and the name in its directory's lock-null list, with no document; one exclusive,
    # one shared.
    server.allow_errors(r"already locked|failed precondition|\[423, #0\]")
    token = "opaquelocktoken:0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
    shared = "opaquelocktoken:1f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
    directory = os.path.join(server.repo, fresh[1:])

    def name_key(name):
        return b"\x0b" + os.path.join(directory, name).encode() + b"\x00"

    def direct(scope, tok):
        return (b"\x01" + struct.pack("<bbHiq", scope, 1, 0, 0, int(time.time()) + 600)
                + token_bytes(tok) + b"<D:href>old</D:href>\x00\x00")

    records = dbmfile.read(server.lockdb) if os.path.exists(server.lockdb) else {}
    records[name_key("old.txt")] = direct(1, token)
    records[name_key("shared.txt")] = direct(2, shared)
    if os.path.exists(server.lockdb):
        os.remove(server.lockdb)
    dbmfile.write(server.lockdb, records)
    os.makedirs(os.path.join(directory, ".DAV"), exist_ok=True)
    locknull = os.path.join(directory, ".DAV", ".locknull")
    with open(locknull, "wb") as f:
        f.write(b"old.txt\x00shared.txt\x00")
    if server.account:
        for p in (server.lockdb, os.path.join(directory, ".DAV"), locknull):
            shutil.chown(p, server.account, server.account)

    # Listed among the members, with their locks and no resource type; no document behind them.
    listed = responses(dav.propfind(fresh + "/", PROPFIND_ALL, depth="1"))
    props = listed[fresh + "/old.txt"]
    assert token in ET.tostring(props["{DAV:}lockdiscovery"][1]).decode()
    assert len(props["{DAV:}resourcetype"][1]) == 0
    assert "{DAV:}getcontentlength" not in props
    assert fresh + "/shared.txt" in listed
    assert dav.get(fresh + "/old.txt").status == 404
    assert dav.put(fresh + "/old.txt", b"x").status == 423
    assert dav.lock(fresh + "/old.txt", scope="shared").status == 423

    # Its lock holder's PUT creates the document, which keeps the lock under its new key.
    assert dav.put(fresh + "/old.txt", b"real", headers=if_header(token)).status == 201
    with open(locknull, "rb") as f:
        assert f.read() == b"shared.txt\x00"
    records = dbmfile.read(server.lockdb)
    assert name_key("old.txt") not in records
    assert identity_key(os.path.join(directory, "old.txt")) in records
    assert dav.put(fresh + "/old.txt", b"x").status == 423
    assert dav.unlock(fresh + "/old.txt", token).status == 204

    # A new shared lock creates the other's document and carries the earlier lock over to it.
    r = dav.lock(fresh + "/shared.txt", scope="shared")
    assert r.status == 201
    second = lock_token(r)
    assert dav.get(fresh + "/shared.txt").status == 200
    assert not os.path.exists(locknull)
    tokens = [a.find("{DAV:}locktoken/{DAV:}href").text
              for a in discovered_locks(dav, fresh + "/shared.txt")]
    assert sorted(tokens) == sorted([shared, second])
    assert name_key("shared.txt") not in dbmfile.read(server.lockdb)


def test_record_bytes_of_direct_and_indirect_entries(server, dav, fresh):
    coll = fresh + "/rec"
    dav.mkcol(coll)
    dav.put(coll + "/member.txt", b"m")
    before = int(time.time())
    token = lock_token(dav.lock(coll, owner="bytes", depth="infinity", timeout="Second-600"))
    records = dbmfile.read(server.lockdb)
    coll_key = identity_key(os.path.join(server.repo, coll[1:]))
    direct = records[coll_key]
    assert direct[0] == 0x01
    scope, type_, reserved, depth, timeout = struct.unpack("<bbHiq", direct[1:17])
    assert (scope, type_, reserved, depth) == (1, 1, 0, 0x7FFFFFFF)
    assert before + 600 <= timeout <= int(time.time()) + 600
    assert direct[17:33] == token_bytes(token)
    owner, auth_user, rest = direct[33:].split(b"\x00", 2)
    assert b"bytes" in owner and auth_user == b"" and rest == b""

    indirect = records[identity_key(os.path.join(server.repo, coll[1:], "member.txt"))]
    assert indirect[0] == 0x02
    assert indirect[1:17] == token_bytes(token)
    timeout_i, key_len = struct.unpack("<qI", indirect[17:29])
    assert timeout_i == timeout
    assert indirect[29:] == coll_key and key_len == len(coll_key)
    dav.unlock(coll, token)


@pytest.mark.parametrize("value, offset, tag", [
    (b"\x00", 0, "00"),
    (None, None, "07"),
    (b"\x80", 0, "ffffff80"),
])
def test_corrupt_record_is_refused(server, dav, fresh, value, offset, tag):
    server.allow_errors(r"corrupt|Could not|lock database|could not be queried")
    doc = fresh + "/corrupt.txt"
    dav.put(doc, b"x")
    key = identity_key(os.path.join(server.repo, fresh[1:], "corrupt.txt"))
    if value is None:
        # Two good entries, then a third with an unknown tag.
        dav.lock(doc, scope="shared")
        dav.lock(doc, scope="shared")
        value = dbmfile.read(server.lockdb)[key] + b"\x07"
        offset = len(value) - 1
    records = dbmfile.read(server.lockdb) if os.path.exists(server.lockdb) else {}
    records[key] = value
    os.remove(server.lockdb)
    dbmfile.write(server.lockdb, records)
    if server.account:
        shutil.chown(server.lockdb, server.account, server.account)
    r = dav.lock(doc, scope="shared")
    assert r.status == 500
    assert server.log_has("The lock database was found to be corrupt. offset %d, c=%s"
                          % (offset, tag))
    del records[key]
    os.remove(server.lockdb)
    dbmfile.write(server.lockdb, records)
    if server.account:
        shutil.chown(server.lockdb, server.account, server.account)
    assert dav.lock(doc).status == 200


def test_expired_lock_no_longer_protects(server, dav, fresh):
    doc = fresh + "/brief.txt"
    dav.put(doc, b"x")
    server.allow_errors(r"locked|failed precondition")
    assert dav.lock(doc, timeout="Second-1").status == 200
    assert wait_for(lambda: dav.put(doc, b"y").status == 204, 10, interval=0.2)
    assert discovered_locks(dav, doc) == []
    assert dav.lock(doc).status == 200


def test_many_clients_lock_and_unlock_at_once(server, fresh):
    docs = ["%s/c%d.txt" % (fresh, i) for i in range(8)]
    setup = server.dav()
    for d in docs:
        setup.put(d, b"x")
    setup.close()

    def worker(w):
        client = server.dav()
        held = []
        try:
            for i in range(15):
                d = docs[(w + i) % len(docs)]
                r = client.lock(d, scope="shared", owner="w%d" % w)
                assert r.status == 200, r
                t = lock_token(r)
                assert client.request("LOCK", d, headers={"If": "(<%s>)" % t,
                                                          "Timeout": "Second-900"}).status == 200
                if i % 3 == 0:
                    held.append((d, t))
                else:
                    assert client.unlock(d, t).status == 204
            return held
        finally:
            client.close()

    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        held = [h for hs in pool.map(worker, range(12)) for h in hs]
    check = server.dav()
    for d in docs:
        tokens = {a.find("{DAV:}locktoken/{DAV:}href").text for a in discovered_locks(check, d)}
        assert tokens == {t for doc, t in held if doc == d}
    check.close()
    dbmfile.read(server.lockdb)


def test_without_a_lock_database_locks_fail_and_the_rest_works():
    data = scratch_dir()
    server = GuardedServer(data, MODULE, KIVD, lockdb_line="")
    try:
        server.start()
        server.mark_log()
        server.allow_errors(r"A lock database was not specified|lock")
        dav = server.dav()
        dav.put("/plain.txt", b"plain")
        assert dav.lock("/plain.txt").status == 500
        assert server.log_has("A lock database was not specified with the DAVLockDB directive.")
        assert dav.get("/plain.txt").body == b"plain"
        assert dav.propfind("/plain.txt", PROPFIND_ALL).status == 207
        dav.close()
        assert not server.unexpected_log_lines()
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)


def test_lock_database_path_relative_absolute_and_per_virtual_host():
    data = scratch_dir()
    vhost = """
<VirtualHost 127.0.0.1:*>
    ServerName inherits.test
    DocumentRoot "{repo}"
    <Location />
        Dav filesystem
    </Location>
</VirtualHost>
<VirtualHost 127.0.0.1:*>
    ServerName own.test
    DAVLockDB "{data}/vhost-locks/db"
    DocumentRoot "{repo}"
    <Location />
        Dav filesystem
    </Location>
</VirtualHost>
"""
    server = GuardedServer(data, MODULE, KIVD, lockdb_line="DAVLockDB main-locks/db")
    server.extra_conf = vhost.format(repo=server.repo, data=server.data)
    try:
        server.prepare()
        for sub in ("main-locks", "vhost-locks"):
            os.makedirs(os.path.join(data, sub))
            if server.account:
                shutil.chown(os.path.join(data, sub), server.account, server.account)
        server.start_service()
        server.start_httpd()
        dav = server.dav()
        dav.put("/a.txt", b"a", headers={"Host": "inherits.test"})
        assert dav.lock("/a.txt", headers={"Host": "inherits.test"}).status == 200
        assert os.path.exists(os.path.join(data, "main-locks", "db"))
        assert not os.path.exists(os.path.join(data, "vhost-locks", "db"))
        dav.put("/b.txt", b"b", headers={"Host": "own.test"})
        assert dav.lock("/b.txt", headers={"Host": "own.test"}).status == 200
        assert os.path.exists(os.path.join(data, "vhost-locks", "db"))
        dav.close()
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)
