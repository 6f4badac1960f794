"""Crashes and restarts: the repository service killed in the middle of PUT storms and restarted
under load, Apache's children killed in the middle of LOCK/PROPPATCH storms, and a repository on
a full disk. Afterwards nothing acknowledged is lost and nothing stored is torn.

Knobs for longer runs: KIV_CRASH_KILLS (service kills, default 100), KIV_CRASH_CHILD_KILLS
(Apache child kills, default 20), KIV_CRASH_RESTARTS (service restarts under load, default 3).
"""

import http.client
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.parse

import pytest

import dbmfile
from conftest import KIVD, MODULE, SOURCE_DIR, GuardedServer, scratch_dir, wait_for
from davclient import PROPFIND_ALL, Dav, responses
from kivserver import free_port
from soak import active_tokens, body_version, proppatch_body, versioned_body

KILLS = int(os.environ.get("KIV_CRASH_KILLS", "100"))
CHILD_KILLS = int(os.environ.get("KIV_CRASH_CHILD_KILLS", "20"))
RESTARTS = int(os.environ.get("KIV_CRASH_RESTARTS", "3"))
NS = "urn:crash"
OK = (200, 201, 204, 207)


class Outcome:
    """An attempted write: its version and whether a success status came back (None: the
    connection broke, so the server may or may not have done it)."""

    def __init__(self, value):
        self.value = value
        self.acked = None


def one_shot(server, method, path, body=None, headers=None, timeout=30):
    """One request on a connection of its own, never retried: (status, body), or (None, b"")
    when the connection broke before an answer came."""
    conn = http.client.HTTPConnection(server.http_host, server.http_port, timeout=timeout)
    try:
        conn.request(method, urllib.parse.quote(path, safe="/"), body=body,
                     headers=dict(headers or {}, Connection="close"))
        r = conn.getresponse()
        return r.status, r.read(), r
    except (ConnectionError, http.client.HTTPException):
        return None, b"", None
    finally:
        conn.close()


def allowed_final(history):
    """Versions a sequentially written item may hold: the last acknowledged one or any attempted
    after it (an unanswered or failed write may still have happened)."""
    last_ack = max((i for i, o in enumerate(history) if o.acked), default=-1)
    return {o.value for o in history[max(last_ack, 0):]}


def journal_records(server):
    journal = os.path.join(server.repo, ".kivd", "journal")
    return sorted(os.listdir(journal)) if os.path.isdir(journal) else []


def test_service_killed_in_put_storms_keeps_every_document_whole(server):
    server.allow_errors(r"Could not store the document in the repository|"
                        r"Could not read the document from the repository|"
                        r"Unable to deliver content|document repository is unavailable|"
                        r"Could not fetch resource information|KIV10003")
    dav = server.dav()
    assert dav.mkcol("/storm").status == 201
    writers = 8
    docs = {}
    for w in range(writers):
        for j in range(3):
            path = "/storm/w%d-%d" % (w, j)
            first = Outcome("w%d-%d-0" % (w, j))
            assert dav.put(path, versioned_body(first.value, 1000)).status == 201
            first.acked = True
            docs[path] = [first]
    dav.close()
    created = {}  # documents first made during the storm: path -> history
    stop = threading.Event()
    torn = []
    puts = [0]

    def writer(w):
        rng = random.Random(w)
        client = server.dav(timeout=30)
        n = 0
        try:
            while not stop.is_set():
                n += 1
                if rng.random() < 0.15:
                    path = "/storm/w%d-new%d" % (w, n)
                    history = created.setdefault(path, [])
                else:
                    path = "/storm/w%d-%d" % (w, rng.randrange(3))
                    history = docs[path]
                if rng.random() < 0.2 and history:
                    try:
                        r = client.get(path)
                    except (ConnectionError, http.client.HTTPException):
                        client.close()
                        continue
                    if r.status == 200 and body_version(r.body) is None:
                        torn.append((path, len(r.body)))
                    continue
                attempt = Outcome("%s-%d" % (path.rsplit("/", 1)[1], n))
                history.append(attempt)
                size = rng.choice([0, 700, 40000, 300000])
                try:
                    r = client.put(path, versioned_body(attempt.value, size))
                    attempt.acked = r.status in (201, 204)
                    puts[0] += 1
                except (ConnectionError, http.client.HTTPException):
                    client.close()
        finally:
            client.close()

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(writers)]
    for t in threads:
        t.start()
    rng = random.Random(7)
    kills = 0
    try:
        for _ in range(KILLS):
            time.sleep(rng.uniform(0.01, 0.3))
            server.kill_service()
            kills += 1
            time.sleep(rng.uniform(0, 0.05))
            server.start_service()
    finally:
        stop.set()
        for t in threads:
            t.join(60)
        if server.service is None:
            server.start_service()
    assert kills == KILLS and puts[0] > KILLS
    print("%d kills, %d PUTs" % (kills, puts[0]))

    # One more kill at rest, so that the start-up roll-forward has had its say as well.
    server.kill_service()
    server.start_service()
    # Records kept after a rewrite that failed half-way are completed and gone; only the reused
    # per-stripe slots stay.
    assert [n for n in journal_records(server) if not n.startswith("slot-")] == []
    dav = server.dav()
    acked = 0
    for path, history in list(docs.items()) + list(created.items()):
        allowed = allowed_final(history)
        acked += sum(1 for o in history if o.acked)
        r = dav.get(path)
        with open(os.path.join(server.repo, path.lstrip("/")), "rb") if r.status == 200 \
                else open(os.devnull, "rb") as f:
            on_disk = f.read()
        if r.status == 404:
            assert not any(o.acked for o in history), (path, "acknowledged, then lost")
            continue
        assert r.status == 200, (path, r)
        assert r.body == on_disk
        version = body_version(r.body)
        assert version is not None, (path, "torn", len(r.body))
        assert version in allowed, (path, version, sorted(allowed))
    dav.close()
    assert torn == []
    assert acked > KILLS


def test_service_restarted_under_load_without_restarting_apache(server):
    server.allow_errors(r"Could not store the document in the repository|"
                        r"Could not read the document from the repository|"
                        r"Unable to deliver content|document repository is unavailable|"
                        r"Could not fetch resource information|KIV10003")
    dav = server.dav()
    assert dav.mkcol("/restart").status == 201
    for i in range(4):
        assert dav.put("/restart/d%d" % i, b"initial").status == 201
    dav.close()
    apache_pid = server.httpd.pid
    clients = 4
    events = []  # (client, start, end, method, status)
    stop = threading.Event()

    def client(i):
        rng = random.Random(i)
        c = server.dav(timeout=10)
        try:
            while not stop.is_set():
                method = rng.choice(["GET", "PUT", "PROPFIND"])
                start = time.monotonic()
                try:
                    if method == "GET":
                        status = c.get("/restart/d%d" % i).status
                    elif method == "PUT":
                        status = c.put("/restart/d%d" % i, b"v%f" % start).status
                    else:
                        status = c.propfind("/restart/d%d" % i, PROPFIND_ALL).status
                except (ConnectionError, http.client.HTTPException) as e:
                    status = repr(e)
                    c.close()
                events.append((i, start, time.monotonic(), method, status))
                time.sleep(0.01)
        finally:
            c.close()

    def since_first_success(i, after, before=float("inf")):
        """Client i's requests between after and before, from its first success on."""
        mine = [e for e in list(events) if e[0] == i and e[1] > after and e[2] < before]
        first = next((k for k, e in enumerate(mine) if e[4] in OK), len(mine))
        return mine[first:]

    def every_client_settled(after):
        return all(len(since_first_success(i, after)) >= 4 for i in range(clients))

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    for t in threads:
        t.start()
    windows = []
    try:
        up = 0.0
        for _ in range(RESTARTS):
            assert wait_for(lambda: every_client_settled(up)), "no success after a start"
            stopping = time.monotonic()
            server.stop_service()
            down = time.monotonic()
            assert wait_for(lambda: {e[0] for e in list(events) if e[1] > down + 0.05} ==
                            set(range(clients))), "a client made no request during the outage"
            up = time.monotonic()
            server.start_service()
            windows.append((stopping, down, up))
        assert wait_for(lambda: every_client_settled(up)), "no success after the last start"
    finally:
        stop.set()
        for t in threads:
            t.join(30)
    assert server.httpd.poll() is None and server.httpd.pid == apache_pid
    assert all(isinstance(e[4], int) for e in events), "the server dropped a connection"
    for n, (stopping, down, up) in enumerate(windows):
        during = [e for e in events if e[1] > down + 0.05 and e[2] < up]
        assert all(e[4] == 503 for e in during), [e for e in during if e[4] != 503][:5]
        # Once a client's request succeeded after a start, all of its requests succeed.
        next_stop = windows[n + 1][0] if n + 1 < len(windows) else float("inf")
        for i in range(clients):
            failed = [e for e in since_first_success(i, up, next_stop) if e[4] not in OK]
            assert not failed, failed[:5]


def test_run_restarts_a_killed_service_while_apache_keeps_answering():
    root = scratch_dir()
    data, http_port, service_port = os.path.join(root, "data"), free_port(), free_port()
    with open(os.path.join(root, "serve.log"), "wb") as log:
        serve = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "scripts", "serve.py"), "--data", data,
             "--http-port", str(http_port), "--service-port", str(service_port), "--module",
             MODULE, "--kivd", KIVD], stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True)
    dav = Dav("127.0.0.1", http_port)

    def service_pid():
        """The live process that service.pid names, if any."""
        try:
            with open(os.path.join(data, "service.pid")) as f:
                pid = int(f.read())
            os.kill(pid, 0)
            return pid
        except (OSError, ValueError):
            return None

    def restarted():
        assert dav.request("OPTIONS", "/").status == 200
        return service_pid() if service_pid() != killed else None

    def serve_log():
        with open(os.path.join(root, "serve.log"), errors="replace") as f:
            return f.read()

    try:
        wait_for(lambda: serve.poll() is not None or "WebDAV at" in serve_log(), 60)
        up = re.search(r"WebDAV at .*httpd pid (\d+)", serve_log())
        assert up, serve_log()
        killed = service_pid()
        os.kill(killed, signal.SIGKILL)
        new_pid = wait_for(restarted, 5)
        assert new_pid, "no new service within 5 s"
        assert wait_for(lambda: dav.put("/back.txt", b"back").status in (201, 204))
        assert dav.get("/back.txt").body == b"back"
        serve.send_signal(signal.SIGTERM)
        assert serve.wait(60) == 0
        for pid in (int(up.group(1)), new_pid):
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)
        assert "(pid %d) exited (signal SIGKILL)" % killed in serve_log()
    finally:
        dav.close()
        if serve.poll() is None:
            serve.send_signal(signal.SIGTERM)
            serve.wait(60)
        shutil.rmtree(root, ignore_errors=True)


def test_apache_children_killed_in_lock_and_proppatch_storms_lose_nothing(server):
    server.allow_errors(r"[Ll]ock|could not be completed|property database|Could not open")
    dav = server.dav()
    assert dav.mkcol("/kids").status == 201
    workers = 8
    docs = ["/kids/d%d" % i for i in range(workers * 2)]
    for d in docs:
        assert dav.put(d, b"doc").status == 201
    dav.close()
    props = {}      # (doc, name) -> [Outcome]
    held = {d: set() for d in docs}          # acknowledged and not unlocked
    unsure_locks = {d: 0 for d in docs}      # LOCKs whose answer never came
    unsure_unlocks = {d: set() for d in docs}
    stop = threading.Event()
    counts = {"PROPPATCH": 0, "LOCK": 0, "UNLOCK": 0}

    def tagged_if(doc, token):
        return {"If": "<%s%s> (<%s>)" % (server.url, doc, token)}

    def worker(w):
        rng = random.Random(100 + w)
        mine = docs[2 * w:2 * w + 2]
        n = 0
        while not stop.is_set():
            n += 1
            doc = rng.choice(mine)
            token = next(iter(held[doc]), None)
            op = rng.random()
            if op < 0.5:
                name = "p%d" % rng.randrange(4)
                attempt = Outcome("w%d-%d" % (w, n))
                props.setdefault((doc, name), []).append(attempt)
                status, body, _ = one_shot(server, "PROPPATCH", doc,
                                           proppatch_body(NS, {name: attempt.value}),
                                           dict({"Content-Type": "application/xml"},
                                                **(tagged_if(doc, token) if token else {})))
                if status is not None:
                    attempt.acked = status == 207 and b"200 OK" in body and b" 500 " not in body
                counts["PROPPATCH"] += 1
            elif op < 0.8 or not held[doc]:
                body = ('<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:shared/>'
                        '</D:lockscope><D:locktype><D:write/></D:locktype><D:owner>w%d</D:owner>'
                        '</D:lockinfo>' % w)
                status, _, r = one_shot(server, "LOCK", doc, body,
                                        {"Timeout": "Second-3600", "Depth": "0",
                                         "Content-Type": "application/xml"})
                if status == 200:
                    held[doc].add(r.getheader("Lock-Token").strip("<>"))
                elif status is None:
                    unsure_locks[doc] += 1
                counts["LOCK"] += 1
            else:
                token = rng.choice(sorted(held[doc]))
                status, _, _ = one_shot(server, "UNLOCK", doc,
                                        headers={"Lock-Token": "<%s>" % token})
                if status == 204:
                    held[doc].discard(token)
                elif status is None:
                    held[doc].discard(token)
                    unsure_unlocks[doc].add(token)
                counts["UNLOCK"] += 1

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(workers)]
    for t in threads:
        t.start()
    rng = random.Random(11)
    killed = []
    try:
        while len(killed) < CHILD_KILLS:
            time.sleep(rng.uniform(0.05, 0.4))
            children = server.httpd_child_pids()
            if not children:
                continue
            pid = rng.choice(children)
            try:
                os.kill(pid, signal.SIGKILL)
                killed.append(pid)
            except ProcessLookupError:
                pass
        time.sleep(0.5)
    finally:
        stop.set()
        for t in threads:
            t.join(120)
    server.allow_crashes(r"AH00052: child pid (%s) exit signal Killed \(9\)" %
                         "|".join(map(str, killed)))
    print("%d children killed, requests: %s" % (len(killed), counts))
    assert server.httpd.poll() is None
    assert wait_for(lambda: one_shot(server, "PROPFIND", "/kids", PROPFIND_ALL,
                                     {"Depth": "0"})[0] == 207, 20)

    # Every database opens and reads back whole, on disk and through the server: a writer changes
    # a copy and renames it into place, so a child killed while the DBM library writes leaves the
    # file as it was (and its unfinished copy beside it, under a private name).
    dbmfile.read(server.lockdb)
    state = os.path.join(server.repo, "kids", ".DAV")
    for name in os.listdir(state):
        if name != ".locknull" and not name.startswith(".kivd"):
            dbmfile.read(os.path.join(state, name))
    dav = server.dav()
    for doc in docs:
        r = dav.propfind(doc, PROPFIND_ALL)
        assert r.status == 207, (doc, r)
        found = responses(r)[doc]
        for (d, name), history in props.items():
            if d != doc:
                continue
            entry = found.get("{%s}%s" % (NS, name))
            value = entry[1].text if entry and entry[0] == 200 else None
            allowed = allowed_final(history)
            if not any(o.acked for o in history):
                allowed.add(None)
            assert value in allowed, (doc, name, value, sorted(map(str, allowed)))
        tokens = active_tokens(found)
        assert held[doc] <= tokens, (doc, "acknowledged locks lost", held[doc] - tokens)
        extra = tokens - held[doc] - unsure_unlocks[doc]
        assert len(extra) <= unsure_locks[doc], (doc, extra)
    dav.close()


def _mount_tmpfs(path, size, account):
    import pwd
    entry = pwd.getpwnam(account) if account else None
    options = "size=%s,mode=0755" % size
    if entry:
        options += ",uid=%d,gid=%d" % (entry.pw_uid, entry.pw_gid)
    return subprocess.run(["mount", "-t", "tmpfs", "-o", options, "kiv-full-disk", path],
                          capture_output=True).returncode == 0


def _free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def _fill(path, leave):
    """Grows the filler file until only about `leave` bytes are free on the file system."""
    filler = os.path.join(path, ".kivd-filler")
    with open(filler, "ab") as f:
        while True:
            free = _free_bytes(path)
            if free <= leave:
                break
            try:
                f.write(b"\0" * min(free - leave, 1 << 20))
                f.flush()
            except OSError:
                break
    return filler


@pytest.fixture
def full_disk_server():
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    data = scratch_dir()
    server = GuardedServer(data, MODULE, KIVD)
    server.prepare()
    if not _mount_tmpfs(server.repo, "8m", server.account):
        shutil.rmtree(data, ignore_errors=True)
        pytest.skip("mount -t tmpfs was refused")
    try:
        server.start_service()
        server.start_httpd()
        server.mark_log()
        yield server
        bad = server.unexpected_log_lines()
        if bad:
            pytest.fail("unexpected lines in the server's error log:\n" + "\n".join(bad[:20]))
    finally:
        server.stop()
        if subprocess.run(["umount", server.repo], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", server.repo], capture_output=True)
        shutil.rmtree(data, ignore_errors=True)


def test_proppatch_on_a_full_disk_is_refused_instead_of_reported_stored(full_disk_server):
    # The DBM library writes its pages when the database closes, where a failure is lost: the
    # change was answered "200 OK", never stored, and the half-written database then made the
    # next reader spin for ever.
    server = full_disk_server
    server.allow_errors(r"free space|property|Could not|could not be completed|"
                        r"No space left|BDB|unable to flush")
    dav = server.dav(timeout=20)
    assert dav.put("/doc", b"doc").status == 201
    assert dav.proppatch("/doc", proppatch_body(NS, {"keep": "me"})).status == 207
    filler = _fill(server.repo, 0)
    r = dav.proppatch("/doc", proppatch_body(NS, {"big": "v" * 30000}))
    assert r.status >= 500 or (r.status == 207 and b" 200 OK" not in r.body), r.body[-300:]
    found = responses(dav.propfind("/doc", PROPFIND_ALL))["/doc"]
    assert found["{%s}keep" % NS][1].text == "me" and "{%s}big" % NS not in found
    dbmfile.read(os.path.join(server.repo, ".DAV", "doc"))
    os.remove(filler)
    assert dav.proppatch("/doc", proppatch_body(NS, {"big": "v" * 30000})).status == 207
    found = responses(dav.propfind("/doc", PROPFIND_ALL))["/doc"]
    assert found["{%s}big" % NS][1].text == "v" * 30000
    dav.close()


def test_replacing_a_document_on_a_full_disk_keeps_it_whole(full_disk_server):
    # Room for the journal record but not for the longer content: the rewrite in place stopped
    # half-way, the PUT answered 500, and the document held the new start on the old rest. A PUT
    # refused for want of space answers 507.
    server = full_disk_server
    server.allow_errors(r"no space left for this request")
    dav = server.dav()
    old = versioned_body("old", 100000)
    assert dav.put("/doc", old).status == 201
    refused = 0
    for leave in range(180000, 330000, 16384):
        filler = _fill(server.repo, leave)
        new = versioned_body("new-%d" % leave, 200000)
        status = dav.put("/doc", new).status
        assert status in (204, 507)
        refused += status == 507
        r = dav.get("/doc")
        assert r.body == (new if status == 204 else old), (leave, status, body_version(r.body))
        os.remove(filler)
        assert dav.put("/doc", old).status == 204
    assert refused
    dav.close()


def test_full_disk_refuses_writes_and_damages_nothing(full_disk_server):
    server = full_disk_server
    server.allow_errors(r"Could not store the document|property database|[Cc]ould not|"
                        r"No space left|no space left|Unable to create collection|lock")
    dav = server.dav()
    assert dav.mkcol("/full").status == 201
    baseline = {}
    for i in range(6):
        path = "/full/d%d" % i
        baseline[path] = versioned_body("base-%d" % i, 100000)
        assert dav.put(path, baseline[path]).status == 201
        assert dav.proppatch(path, proppatch_body(NS, {"keep": "value-%d" % i})).status == 207
    assert dav.proppatch("/full", proppatch_body(NS, {"keep": "collection"})).status == 207

    def check_baseline():
        for path, content in baseline.items():
            r = dav.get(path)
            assert r.status == 200 and r.body == content, (path, r.status, body_version(r.body))
            with open(os.path.join(server.repo, path.lstrip("/")), "rb") as f:
                assert f.read() == content, (path, "on disk")
            r = dav.propfind(path, PROPFIND_ALL)
            prop = responses(r)[path].get("{%s}keep" % NS)
            assert prop and prop[1].text == "value-%s" % path[-1], (path, r.body[:300])
        state = os.path.join(server.repo, "full", ".DAV")
        for name in os.listdir(state):
            if name != ".locknull" and not name.startswith(".kivd"):
                dbmfile.read(os.path.join(state, name))

    # Each level of free space leaves room for some steps of a write and not for others: the
    # journal record, the rewrite in place, a new temporary file, a property database page.
    filler = None
    refused = 0
    for leave in (0, 8192, 60000, 150000, 250000, 400000):
        filler = _fill(server.repo, leave)
        for i, path in enumerate(baseline):
            new = versioned_body("new-%d-%d" % (leave, i), [50000, 200000, 300000][i % 3])
            r = dav.put(path, new)
            if r.status in (200, 201, 204):
                baseline[path] = new  # there was room after all
            else:
                assert r.status >= 500, (path, r)
                refused += 1
            r = dav.put("/full/new-%d-%d" % (leave, i), versioned_body("x", 200000))
            assert r.status in (201, 500, 507), r
            if r.status == 201:
                assert dav.delete("/full/new-%d-%d" % (leave, i)).status == 204
            r = dav.proppatch(path, proppatch_body(NS, {"big%d" % leave: "v" * 30000}))
            assert r.status in (207, 500, 507), r
            if r.status == 207 and b" 200 OK" in r.body:
                dav.proppatch(path, proppatch_body(NS, removes=["big%d" % leave]))
        check_baseline()
        os.remove(filler)
    assert refused > 0, "the disk never filled"

    # With space back, everything works again.
    for i, path in enumerate(baseline):
        baseline[path] = versioned_body("after-%d" % i, 120000)
        assert dav.put(path, baseline[path]).status == 204
        assert dav.proppatch(path, proppatch_body(NS, {"more": "yes"})).status == 207
    assert dav.put("/full/fresh", b"fresh").status == 201
    check_baseline()
    dav.close()
