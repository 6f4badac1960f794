"""Documents and collections over HTTP: PUT and GET, HEAD, validators, PROPFIND of the live
properties, the walker's order, and a repository service that goes away and comes back."""

import concurrent.futures
import hashlib
import html.parser
import http.client
import os
import re
import shutil
import socket
import time

import pytest

from conftest import start_server, wait_for
from davclient import PROPFIND_ALL, PROPFIND_NAMES, lock_token, propfind_prop, quote, responses

APACHE_PROPS = "http://apache.org/dav/props/"


def test_put_then_get_round_trips_bytes(dav):
    bodies = {
        "/empty.bin": b"",
        "/zeros.bin": b"a\x00b\x00\x00c" * 1000,
        "/big.bin": os.urandom(10 * 1024 * 1024),
    }
    for path, body in bodies.items():
        assert dav.put(path, body).status == 201
    for path, body in bodies.items():
        r = dav.get(path)
        assert r.status == 200
        assert r.body == body
        assert int(r.header("Content-Length")) == len(body)
        assert r.header("Accept-Ranges") == "bytes"


def validators(response):
    """ETag (weak or not: the host marks a tag weak within a second of the change) and
    Last-Modified of a response."""
    return response.header("ETag").replace("W/", "", 1), response.header("Last-Modified")


def test_put_replaces_and_head_matches_get(server, dav):
    # Each PUT answers with the validators of what it stored, as a HEAD afterwards does.
    created = dav.put("/doc.txt", b"first version")
    assert created.status == 201
    assert validators(created) == validators(dav.head("/doc.txt"))
    replaced = dav.put("/doc.txt", b"second")
    assert replaced.status == 204
    assert validators(replaced) == validators(dav.head("/doc.txt")) != validators(created)
    get = dav.get("/doc.txt")
    head = dav.head("/doc.txt")
    assert get.body == b"second"
    assert head.status == 200 and head.body == b""
    assert head.header("Content-Length") == "6"
    assert head.header("ETag") == get.header("ETag")
    with open(os.path.join(server.repo, "doc.txt"), "rb") as f:
        assert f.read() == b"second"


def test_trailing_slash_names_the_same_document(dav):
    dav.put("/slashy.txt", b"same")
    assert dav.get("/slashy.txt/").body == b"same"


def test_names_with_spaces_and_non_ascii(server, dav):
    name = "/a dir ü"
    assert dav.mkcol(quote(name)).status == 201
    path = name + "/größe & mehr.txt"
    assert dav.put(quote(path), "inhalt".encode()).status == 201
    assert dav.get(quote(path)).body == "inhalt".encode()
    assert os.path.exists(os.path.join(server.repo, "a dir ü", "größe & mehr.txt"))
    listing = responses(dav.propfind(quote(name), PROPFIND_ALL, depth="1"))
    assert path in listing


class IndexLinks(html.parser.HTMLParser):
    """The links of an index page: [(href, text)], the parser resolving character references."""

    def __init__(self):
        super().__init__()
        self.links = []
        self.href = None

    def handle_starttag(self, tag, attrs):
        if tag == "a":
            self.href = dict(attrs)["href"]

    def handle_data(self, data):
        if self.href is not None:
            self.links.append((self.href, data))
            self.href = None


def test_get_of_a_collection_is_an_index_of_its_members(server, dav):
    awkward = "a <b> & c #1 100% 'q\".txt"
    dav.mkcol(quote("/coll get"))
    for name, body in ((awkward, b"awkward"), ("plain.txt", b"plain"), ("z\u00fc.txt", b"zu")):
        assert dav.put(quote("/coll get/" + name), body).status == 201
    dav.mkcol(quote("/coll get/sub"))
    r = dav.get(quote("/coll get"))
    assert r.status == 200
    assert r.header("Content-Type") == "text/html; charset=utf-8"
    page = IndexLinks()
    page.feed(r.body.decode("utf-8"))
    texts = [text for _, text in page.links]
    assert texts == ["../", awkward, "plain.txt", "sub/", "z\u00fc.txt"]
    links = dict((text, href) for href, text in page.links)
    assert links["../"] == "/"
    assert links["sub/"] == quote("/coll get/sub/")
    # Every link, followed as a browser does, reaches its document.
    for name, body in ((awkward, b"awkward"), ("plain.txt", b"plain"), ("z\u00fc.txt", b"zu")):
        assert dav.get(links[name]).body == body, links[name]
    assert ".DAV" not in r.text and ".kivd" not in r.text
    head = dav.head(quote("/coll get/"))
    assert (head.status, head.body) == (200, b"")
    assert head.header("Content-Type") == "text/html; charset=utf-8"
    assert dav.get("/no/such/doc").status == 404
    assert dav.get("/missing.txt").status == 404


def test_concurrent_puts_each_store_their_own_body(server):
    def upload(i):
        client = server.dav()
        try:
            body = (("client %d " % i) * 5000).encode() + os.urandom(1000)
            for round_ in range(5):
                path = "/par-%d.bin" % i
                assert client.put(path, body + bytes([round_])).status in (201, 204)
            return path, body + bytes([4])
        finally:
            client.close()

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        results = list(pool.map(upload, range(16)))
    check = server.dav()
    for path, body in results:
        assert check.get(path).body == body
    check.close()


def test_broken_off_upload_keeps_the_stored_document(server, dav):
    server.allow_errors(r"(?i)error reading|timeout|partial|client")
    dav.put("/keep.txt", b"original content")
    logged = server.requests_logged("PUT /keep.txt HTTP/1.1")
    with socket.create_connection((server.http_host, server.http_port), timeout=10) as s:
        s.sendall(b"PUT /keep.txt HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" +
                  b"partial" * 10)
    assert wait_for(lambda: server.requests_logged("PUT /keep.txt HTTP/1.1") > logged)
    assert dav.get("/keep.txt").body == b"original content"


def test_failed_store_is_an_error(server, dav):
    server.allow_errors(r"Could not store the document in the repository")
    dav.mkcol("/readonly")
    os.chmod(os.path.join(server.repo, "readonly"), 0o555)
    try:
        r = dav.put("/readonly/new.txt", b"x")
        assert r.status == 500
        assert server.log_has("Could not store the document in the repository.")
        assert dav.get("/readonly/new.txt").status == 404
    finally:
        os.chmod(os.path.join(server.repo, "readonly"), 0o755)


def test_failed_fetch_is_an_error_not_an_empty_document(server, dav):
    server.allow_errors(r"Could not fetch resource information|"
                        r"Could not look the resource up in the repository")
    dav.put("/secret.txt", b"hidden")
    path = os.path.join(server.repo, "secret.txt")
    os.chmod(path, 0)
    try:
        r = dav.get("/secret.txt")
        assert r.status == 500
        # The lookup that brings the document along finds it unreadable.
        assert server.log_has("Could not look the resource up in the repository.")
    finally:
        os.chmod(path, 0o644)
    assert dav.get("/secret.txt").body == b"hidden"


def props_of(dav, path, body=PROPFIND_ALL, depth="0"):
    r = dav.propfind(quote(path), body, depth=depth)
    assert r.status == 207, r
    return responses(r)


def prop_names_in_order(response_xml, href):
    for resp in response_xml.findall("{DAV:}response"):
        if resp.find("{DAV:}href").text.rstrip("/") == quote(href).rstrip("/"):
            names = []
            for propstat in resp.findall("{DAV:}propstat"):
                names += [p.tag for p in propstat.find("{DAV:}prop")]
            return names
    raise AssertionError("no response for %s" % href)


def test_live_properties_of_a_document(server, dav):
    dav.put("/props.txt", b"12345")
    r = dav.propfind("/props.txt", PROPFIND_ALL)
    names = prop_names_in_order(r.xml(), "/props.txt")
    live = [n for n in names if n in ("{DAV:}creationdate", "{DAV:}getcontentlength",
                                      "{DAV:}getlastmodified", "{DAV:}getetag")]
    assert live == ["{DAV:}creationdate", "{DAV:}getcontentlength", "{DAV:}getlastmodified",
                    "{DAV:}getetag"]
    assert "{%s}executable" % APACHE_PROPS not in names
    props = responses(r)["/props.txt"]
    assert props["{DAV:}getcontentlength"][1].text == "5"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", props["{DAV:}creationdate"][1].text)
    assert re.fullmatch(r"[A-Z][a-z]{2}, \d\d [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d GMT",
                        props["{DAV:}getlastmodified"][1].text)
    st = os.stat(os.path.join(server.repo, "props.txt"))
    assert props["{DAV:}getetag"][1].text == '"%x-%x-%x"' % (
        st.st_ino, st.st_size, st.st_mtime_ns // 1000)

    named = props_of(dav, "/props.txt", propfind_prop((APACHE_PROPS, "executable")))
    assert named["/props.txt"]["{%s}executable" % APACHE_PROPS][1].text == "F"
    os.chmod(os.path.join(server.repo, "props.txt"), 0o744)
    named = props_of(dav, "/props.txt", propfind_prop((APACHE_PROPS, "executable")))
    assert named["/props.txt"]["{%s}executable" % APACHE_PROPS][1].text == "T"

    names_only = props_of(dav, "/props.txt", PROPFIND_NAMES)["/props.txt"]
    assert names_only["{DAV:}getetag"][1].text is None
    assert "{DAV:}getcontentlength" in names_only
    # The quota of the repository's file system: named by propname, given when asked for.
    quota = ("{DAV:}quota-available-bytes", "{DAV:}quota-used-bytes")
    assert all(q in names_only and q not in props for q in quota)
    before = os.statvfs(server.repo)
    asked = props_of(dav, "/props.txt", propfind_prop(*(("DAV:", q[6:]) for q in quota)))
    after = os.statvfs(server.repo)
    available, used = (int(asked["/props.txt"][q][1].text) for q in quota)
    for value, measure in ((available, lambda st: st.f_bavail * st.f_frsize),
                           (used, lambda st: (st.f_blocks - st.f_bfree) * st.f_frsize)):
        low, high = sorted((measure(before), measure(after)))
        assert low - before.f_frsize <= value <= high + before.f_frsize, (value, low, high)


def test_live_properties_of_a_collection(dav):
    dav.mkcol("/pcoll")
    props = props_of(dav, "/pcoll")["/pcoll/"]
    assert "{DAV:}getcontentlength" not in props
    assert "{DAV:}creationdate" in props and "{DAV:}getetag" in props
    named = props_of(dav, "/pcoll", propfind_prop((APACHE_PROPS, "executable"),
                                                  ("DAV:", "getcontentlength")))["/pcoll/"]
    assert named["{%s}executable" % APACHE_PROPS][0] == 404
    assert named["{DAV:}getcontentlength"][0] == 404


def test_depth_one_lists_members_that_describe_themselves(dav):
    dav.mkcol("/walk")
    dav.put("/walk/b.txt", b"bb")
    dav.put("/walk/a.txt", b"a")
    dav.mkcol("/walk/c")
    dav.put("/walk/c/deep.txt", b"deeper")
    r = dav.propfind("/walk", PROPFIND_ALL, depth="1")
    hrefs = [e.text for e in r.xml().iter("{DAV:}href")]
    assert hrefs == ["/walk/", "/walk/a.txt", "/walk/b.txt", "/walk/c/"]
    listing = responses(r)
    assert listing["/walk/a.txt"]["{DAV:}getcontentlength"][1].text == "1"
    assert listing["/walk/b.txt"]["{DAV:}getcontentlength"][1].text == "2"
    assert "{DAV:}getcontentlength" not in listing["/walk/c/"]
    etags = {listing[h]["{DAV:}getetag"][1].text for h in listing}
    assert len(etags) == 4
    depth0 = dav.propfind("/walk", PROPFIND_ALL, depth="0")
    assert [e.text for e in depth0.xml().iter("{DAV:}href")] == ["/walk/"]
    doc = dav.propfind("/walk/a.txt", PROPFIND_ALL, depth="1")
    assert [e.text for e in doc.xml().iter("{DAV:}href")] == ["/walk/a.txt"]


def test_validators_are_stable_and_conditional_requests_work(dav):
    dav.put("/cond.txt", b"v1")
    # The host marks the tag of a file changed within the last second weak.
    assert wait_for(lambda: not dav.head("/cond.txt").header("ETag").startswith("W/"), 10)
    head1 = dav.head("/cond.txt")
    head2 = dav.head("/cond.txt")
    etag = head1.header("ETag")
    assert etag == head2.header("ETag")
    assert head1.header("Last-Modified") == head2.header("Last-Modified")
    getetag = responses(dav.propfind("/cond.txt"))["/cond.txt"]["{DAV:}getetag"][1].text
    assert etag == getetag
    assert dav.get("/cond.txt", headers={"If-None-Match": etag}).status == 304
    assert dav.put("/cond.txt", b"v2", headers={"If-Match": etag}).status == 204
    assert dav.put("/cond.txt", b"v3", headers={"If-Match": etag}).status == 412
    assert dav.get("/cond.txt").body == b"v2"


def test_executable_cannot_be_patched(server, dav):
    server.allow_errors(r"Property is read-only")
    dav.put("/exec.txt", b"x")
    body = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:A="%s"><D:set><D:prop>'
            '<A:executable>T</A:executable></D:prop></D:set></D:propertyupdate>' % APACHE_PROPS)
    r = dav.proppatch("/exec.txt", body)
    assert r.status == 207
    assert responses(r)["/exec.txt"]["{%s}executable" % APACHE_PROPS][0] == 409


def data_listing(server):
    """Every file and directory of the data directory (the logs, the run directory with the
    service's socket, and the PID files aside) with its size and modification time."""
    listing = {}
    for root, dirs, files in os.walk(server.data):
        rel = os.path.relpath(root, server.data)
        if rel.split(os.sep)[0] in ("logs", "run"):
            continue
        for name in dirs + files:
            if rel == "." and (name.endswith(".pid") or name in ("logs", "run")):
                continue
            st = os.lstat(os.path.join(root, name))
            listing[os.path.join(rel, name)] = (st.st_size, st.st_mtime_ns)
    return listing


def test_put_below_a_missing_collection_conflicts_and_stores_nothing(server, dav):
    server.allow_errors(r"its parent collection does not exist|destination's parent collection|"
                        r"Could not MOVE")
    dav.put("/mover.txt", b"m")
    before = data_listing(server)
    r = dav.put("/no-such-dir/x.txt", b"x")
    assert r.status == 409
    assert dav.move("/mover.txt", "/no-such-dir/y.txt").status == 409
    assert dav.get("/no-such-dir/x.txt").status == 404
    assert data_listing(server) == before


def test_service_down_then_back(server, dav):
    server.allow_errors(r"document repository is unavailable|Could not fetch resource information|"
                        r"KIV10003")
    dav.mkcol("/kept")
    dav.put("/survivor.txt", b"still here")
    large = b"still here, and larger " * 4096  # beyond what comes inline: handed over open
    dav.put("/survivor.bin", large)
    lock = dav.lock("/kept")
    assert lock.status == 200
    before = data_listing(server)
    apache_pid = server.httpd.pid
    proppatch = ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:x="urn:x"><D:set>'
                 '<D:prop><x:p>v</x:p></D:prop></D:set></D:propertyupdate>')
    requests = [("GET", lambda: dav.get("/survivor.txt")),
                ("GET", lambda: dav.get("/survivor.bin")),
                ("HEAD", lambda: dav.head("/survivor.txt")),
                ("PUT", lambda: dav.put("/while-down.txt", b"x")),
                ("PUT", lambda: dav.put("/survivor.txt", b"replaced")),
                ("PROPFIND", lambda: dav.propfind("/", PROPFIND_ALL, depth="1")),
                ("PROPPATCH", lambda: dav.proppatch("/survivor.txt", proppatch)),
                ("MKCOL", lambda: dav.mkcol("/new-coll")),
                ("MOVE", lambda: dav.move("/survivor.txt", "/moved.txt")),
                ("DELETE", lambda: dav.delete("/kept")),
                ("LOCK", lambda: dav.lock("/survivor.txt"))]
    # Fetched before the outage, a document is kept by the server; kept, it must still not be
    # answered while the service is down.
    assert [dav.get("/survivor.txt").body for _ in range(4)] == [b"still here"] * 4
    assert [dav.get("/survivor.bin").body for _ in range(4)] == [large] * 4
    server.stop_service()
    try:
        for method, send in requests:
            started = time.monotonic()
            r = send()
            assert (method, r.status) == (method, 503), r
            assert r.header("Retry-After") == "5", method
            assert time.monotonic() - started < 2, method
        assert dav.request("OPTIONS", "/survivor.txt").status == 200
        assert data_listing(server) == before
    finally:
        server.start_service()
    assert dav.get("/survivor.txt").body == b"still here"
    # Nor is a kept document answered once its file changed behind the service's back.
    assert dav.get("/survivor.bin").body == large
    for name, body in (("survivor.txt", b"STILL HERE"), ("survivor.bin", large.upper())):
        with open(os.path.join(server.repo, name), "r+b") as f:
            f.write(body)
        assert [dav.get("/" + name).body for _ in range(4)] == [body] * 4
    assert dav.put("/after.txt", b"back").status == 201
    assert dav.proppatch("/after.txt", proppatch).status == 207
    assert dav.propfind("/after.txt").status == 207
    assert dav.mkcol("/after-coll").status == 201
    assert dav.move("/after.txt", "/after-coll/after.txt").status == 201
    relock = dav.lock("/survivor.txt")
    assert relock.status == 200
    assert dav.unlock("/survivor.txt", lock_token(relock)).status == 204
    assert dav.delete("/after-coll").status == 204
    assert server.httpd.poll() is None and server.httpd.pid == apache_pid
    assert dav.head("/survivor.txt").status == 200
    # One line for the outage and one for the recovery, in each process that saw them.
    def pids_logging(number):
        return [re.search(r"\[pid (\d+)", line).group(1) for line in server.new_log_lines()
                if number in line]
    lost, back = pids_logging("KIV10003"), pids_logging("KIV10004")
    assert lost and len(set(lost)) == len(lost)
    assert back and len(set(back)) == len(back) and set(back) <= set(lost)


# ---- Documents of several GiB: streamed both ways, ranges fetched alone, memory bounded ----

BLOCK = 1 << 20
HUGE_BLOCKS = int(os.environ.get("KIV_HUGE_MIB", "4096"))  # a 4 GiB document by default
GROWTH_BOUND = 32 << 20  # bytes of RSS one transfer may add to a process
ZERO_BLOCK = bytes(BLOCK)


def huge_block(i, mark=b"v1"):
    """Block i of a sparse-ish document: every 256th block and the last hold real bytes (their
    number and mark), the rest are zeros that the service need not write."""
    if i % 256 == 0 or i == HUGE_BLOCKS - 1:
        return (mark + b"%06d" % i) * (BLOCK // 8)
    return ZERO_BLOCK


def rss(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1)) * 1024


def growth_during(server, work):
    """Runs work(); its result, and how far the RSS of Apache's children or of the service rose
    above where it started meanwhile (sampled every 20 ms)."""
    pids = server.httpd_child_pids() + [server.service.pid]
    start = {pid: rss(pid) for pid in pids}
    peak = dict(start)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        future = pool.submit(work)
        while not future.done():
            peak = {pid: max(peak[pid], rss(pid)) for pid in pids}
            time.sleep(0.02)
    return future.result(), max(peak[pid] - start[pid] for pid in pids)


def put_huge(server, path, blocks=HUGE_BLOCKS, mark=b"v1", digest=None, stop_after=None):
    """PUTs the huge document block by block on a connection of its own; with stop_after the
    body breaks off after that many blocks. The status, or None without an answer."""
    conn = http.client.HTTPConnection(server.http_host, server.http_port, timeout=120)
    try:
        conn.putrequest("PUT", path)
        conn.putheader("Content-Length", str(blocks * BLOCK))
        conn.endheaders()
        for i in range(blocks if stop_after is None else stop_after):
            block = huge_block(i, mark)
            if digest is not None:
                digest.update(block)
            conn.send(block)
        if stop_after is not None:
            return None
        r = conn.getresponse()
        r.read()
        return r.status
    except (ConnectionError, http.client.HTTPException):
        return None  # the server gave up on the body and closed
    finally:
        conn.close()


def get_digest(server, path, headers=None):
    """GETs path a block at a time: (status, ETag, bytes read, sha256 hex)."""
    conn = http.client.HTTPConnection(server.http_host, server.http_port, timeout=120)
    try:
        conn.request("GET", path, headers=headers or {})
        r = conn.getresponse()
        digest, got = hashlib.sha256(), 0
        for chunk in iter(lambda: r.read(BLOCK), b""):
            digest.update(chunk)
            got += len(chunk)
        return r.status, r.getheader("ETag"), got, digest.hexdigest()
    finally:
        conn.close()


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


@pytest.fixture(scope="module")
def tcp_server():
    s = start_server(service_transport="tcp")
    yield s
    s.stop()
    shutil.rmtree(s.data, ignore_errors=True)  # a 4 GiB document


@pytest.fixture(params=["unix", "tcp"])
def any_transport(request, server):
    """The server over the service's Unix socket (the document handed over open), and one over
    TCP (the document read in chunks)."""
    return server if request.param == "unix" else request.getfixturevalue("tcp_server")


def test_huge_document_streams_both_ways_in_bounded_memory(any_transport):
    server = any_transport
    server.allow_errors(r"An error occurred while reading the request body")  # broken off
    size = HUGE_BLOCKS * BLOCK
    digest = hashlib.sha256()
    status, growth = growth_during(server, lambda: put_huge(server, "/huge.bin", digest=digest))
    assert status == 201 and growth <= GROWTH_BOUND
    (status, etag, got, hexdigest), growth = growth_during(
        server, lambda: get_digest(server, "/huge.bin"))
    assert (status, got, hexdigest) == (200, size, digest.hexdigest())
    assert growth <= GROWTH_BOUND

    # Ranges: the first and the last byte, the last MiB, several at once, If-Range.
    dav = server.dav()
    last = huge_block(HUGE_BLOCKS - 1)
    r, growth = growth_during(server, lambda: dav.get("/huge.bin",
                                                      headers={"Range": "bytes=-%d" % BLOCK}))
    assert (r.status, r.body) == (206, last) and growth <= GROWTH_BOUND
    r = dav.get("/huge.bin", headers={"Range": "bytes=0-0"})
    assert (r.status, r.body, r.header("Content-Range")) == (206, b"v", "bytes 0-0/%d" % size)
    r = dav.get("/huge.bin", headers={"Range": "bytes=0-1,%d-%d" % (256 * BLOCK, 256 * BLOCK + 7)})
    assert r.status == 206 and r.header("Content-Type").startswith("multipart/byteranges")
    assert b"v1" in r.body and b"v1000256" in r.body
    assert dav.get("/huge.bin", headers={"Range": "bytes=%d-" % size}).status == 416
    r = dav.get("/huge.bin", headers={"Range": "bytes=-1", "If-Range": etag.replace("W/", "")})
    assert (r.status, r.body) == (206, last[-1:])
    dav.put("/small.txt", b"a small one")
    r = dav.get("/small.txt", headers={"Range": "bytes=-1", "If-Range": '"another"'})
    assert (r.status, r.body) == (200, b"a small one")

    # Eight transfers at once, each a range in its own eighth of the document.
    def eighth(k):
        lo = k * size // 8
        return get_digest(server, "/huge.bin", {"Range": "bytes=%d-%d" % (lo, lo + size // 32 - 1)})

    def eight():
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            return list(pool.map(eighth, range(8)))

    results, growth = growth_during(server, eight)
    assert [(status, got) for status, _, got, _ in results] == [(206, size // 32)] * 8
    assert growth <= 8 * GROWTH_BOUND

    # A body broken off stores nothing: the document stays whole.
    assert put_huge(server, "/huge.bin", mark=b"v2", stop_after=HUGE_BLOCKS // 8) is None
    assert file_digest(os.path.join(server.repo, "huge.bin")) == digest.hexdigest()


def test_service_killed_mid_upload_keeps_the_old_document_whole(server):
    server.allow_errors(r"document repository is unavailable|KIV10003|Could not store")
    digest = hashlib.sha256()
    assert put_huge(server, "/killed.bin", blocks=512, digest=digest) == 201
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        upload = pool.submit(put_huge, server, "/killed.bin", blocks=2048, mark=b"v2")
        time.sleep(0.5)  # the new body well under way
        server.kill_service()
        assert upload.result() != 201
    server.start_service()
    assert file_digest(os.path.join(server.repo, "killed.bin")) == digest.hexdigest()
    assert server.dav().get("/killed.bin", headers={"Range": "bytes=0-1"}).body == b"v1"
