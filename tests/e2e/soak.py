"""Soak: concurrent clients drive a real server with a random mix of WebDAV requests while a
model records what must be true; afterwards every document, dead property, lock, lock-null list
(there must be none: a LOCK of a new name creates an empty document) and DBM file is checked
against it.

How the model stays exact under concurrency:
- Each client owns a subtree (/soak/cN) where it alone creates, writes, moves, deletes, locks and
  unlocks. Requests there are sequential, so the model knows the status every request must get
  and the state it must leave.
- The shared area (/soak/shared) sees only operations whose outcomes commute or are recorded as
  they are acknowledged: PUTs of self-identifying versions (the final content must be one that no
  later-started acknowledged PUT superseded), one dead property per client, shared locks whose
  tokens each client tracks for itself, exclusive locks whose holding intervals must never
  overlap, and new names of one client each in a common directory, which a LOCK creates.

Use as a module (Soak(server).run(seconds)) or as a script that starts its own server:

    python3 tests/e2e/soak.py --minutes 10          (KIV_BUILD_DIR names the build)
"""

import argparse
import hashlib
import os
import random
import re
import struct
import sys
import threading
import time
import urllib.parse
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dbmfile  # noqa: E402
from davclient import PROPFIND_ALL, Dav, lock_token, responses  # noqa: E402

NS = "urn:soak"
SHARED_NS = "urn:soak:shared"
ROOT = "/soak"
SHARED = ROOT + "/shared"
SHARED_DOCS = ["%s/d%d" % (SHARED, i) for i in range(6)]
SHARED_LOCKED = ["%s/s%d" % (SHARED, i) for i in range(3)]
EXCLUSIVE = ["%s/x%d" % (SHARED, i) for i in range(2)]
TIMEOUT = "Second-3600"
MAX_REPORTED = 200

# Error-log lines that the statuses the soak expects (423, 424, 409, 412, 405, 404, and 500 for a
# PUT into a missing collection) bring with them.
EXPECTED_ERRORS = (r"locked|[Ll]ock|failed precondition|could not be completed|"
                   r"Unable to create collection|Destination|[Oo]verwrite|"
                   r"does not exist|No such|not found|Could not MOVE|parent|"
                   r"Could not store the document in the repository|error occurred on another")


# --- self-identifying content -------------------------------------------------------------------

def versioned_body(tag, size):
    """Content that names its version throughout and ends in a checksum of the rest, so that a
    torn or mixed document shows: "<tag>" repeated to size bytes, then "|sha256:" and the digest."""
    unit = ("<%s>" % tag).encode()
    body = (unit * (size // len(unit) + 1))[:max(size, len(unit))]
    return body + b"|sha256:" + hashlib.sha256(body).hexdigest().encode()


def body_version(data):
    """The tag of content made by versioned_body, or None when it is torn, mixed or foreign."""
    body, sep, digest = data.rpartition(b"|sha256:")
    if not sep or hashlib.sha256(body).hexdigest().encode() != digest:
        return None
    m = re.match(rb"<([^<>]+)>", body)
    if m is None:
        return None
    unit = m.group(0)
    expected = (unit * (len(body) // len(unit) + 1))[:len(body)]
    return m.group(1).decode() if body == expected else None


# --- helpers --------------------------------------------------------------------------------------

def xml_text(value):
    return value.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def proppatch_body(ns, sets=None, removes=()):
    parts = []
    if sets:
        parts.append("<D:set><D:prop>%s</D:prop></D:set>" % "".join(
            "<p:%s>%s</p:%s>" % (k, xml_text(v), k) for k, v in sets.items()))
    if removes:
        parts.append("<D:remove><D:prop>%s</D:prop></D:remove>" % "".join(
            "<p:%s/>" % k for k in removes))
    return ('<?xml version="1.0" encoding="utf-8"?><D:propertyupdate xmlns:D="DAV:" '
            'xmlns:p="%s">%s</D:propertyupdate>' % (ns, "".join(parts)))


def propstat_codes(response):
    return [int(re.search(r" (\d{3})", s.text).group(1))
            for s in response.xml().iter("{DAV:}status")]


def dead_props(props, prefix=NS):
    """{ "{ns}name": text } of the dead properties in the soak's namespaces."""
    out = {}
    for tag, value in props.items():
        if tag == "status" or not tag.startswith("{" + prefix):
            continue
        status, elem = value
        if status == 200:
            out[tag] = elem.text or ""
    return out


def active_tokens(props):
    entry = props.get("{DAV:}lockdiscovery")
    if entry is None or entry[0] != 200:
        return set()
    return {a.find("{DAV:}locktoken/{DAV:}href").text.strip()
            for a in entry[1].iter("{DAV:}activelock")}


def random_value(rng):
    return rng.choice(["", "x", "a&b<c>", "ü-%d" % rng.randrange(1000),
                       "v" * rng.randrange(1, 300), "line\nbreak"])


def identity_key(path, tree_id=None):
    """The lock database's key of the file at path; a tree id stands for its device number."""
    st = os.stat(path)
    dev = st.st_dev if tree_id is None else tree_id
    folded = (dev & 0xFFFFFFFF) ^ (dev >> 32)
    return b"\x0a" + struct.pack("<QI", st.st_ino, folded)


class Node:
    __slots__ = ("collection", "content", "props")

    def __init__(self, collection, content=None, props=None):
        self.collection = collection
        self.content = content
        self.props = dict(props or {})


class Report:
    """Operation counts and discrepancies, shared by all clients."""

    def __init__(self):
        self.mu = threading.Lock()
        self.ops = 0
        self.by_method = {}
        self.discrepancies = []
        self.discrepancy_count = 0

    def count(self, method):
        with self.mu:
            self.ops += 1
            self.by_method[method] = self.by_method.get(method, 0) + 1

    def fail(self, text):
        with self.mu:
            self.discrepancy_count += 1
            if len(self.discrepancies) < MAX_REPORTED:
                self.discrepancies.append(text)


class SharedState:
    """What the clients record about the shared area as their requests are acknowledged."""

    def __init__(self):
        self.mu = threading.Lock()
        # doc -> [(tag, start, end, acknowledged)]
        self.puts = {d: [] for d in SHARED_DOCS + SHARED_LOCKED}
        # doc -> [(client, token, acquired, released or None)]
        self.exclusive = {d: [] for d in EXCLUSIVE}

    def put_attempt(self, doc, tag, start, end, acknowledged):
        with self.mu:
            self.puts[doc].append((tag, start, end, acknowledged))

    def put_done(self, doc, tag, end, acknowledged, unknown):
        """Records the answer to an attempt; a refused one (4xx) can no longer be the content."""
        with self.mu:
            puts = self.puts[doc]
            for i, p in enumerate(puts):
                if p[0] == tag:
                    if acknowledged:
                        puts[i] = (tag, p[1], end, True)
                    elif not unknown:
                        puts[i] = (tag, p[1], p[2], False, "refused")
                    break

    def attempted(self, doc):
        with self.mu:
            return {p[0] for p in self.puts[doc]}

    def allowed_final(self, doc):
        """Versions the document may hold at the end: an acknowledged PUT that no acknowledged PUT
        started after it ended, or any PUT whose outcome is unknown or failed after it."""
        with self.mu:
            puts = list(self.puts[doc])
        acked = [p for p in puts if p[3]]
        allowed = set()
        for p in puts:
            tag, start, end = p[:3]
            if len(p) > 4 or any(q[1] > end for q in acked):
                continue
            allowed.add(tag)
        return allowed


class Client(threading.Thread):
    def __init__(self, soak, index, seed, deadline):
        super().__init__(name="soak-client-%d" % index, daemon=True)
        self.soak = soak
        self.index = index
        self.rng = random.Random(seed)
        self.deadline = deadline
        self.home = "%s/c%d" % (ROOT, index)
        self.nodes = {self.home: Node(True)}
        self.locks = {}      # document -> token (exclusive, depth 0)
        self.shared_props = {d: {} for d in SHARED_DOCS + SHARED_LOCKED}
        self.shared_tokens = {d: set() for d in SHARED_LOCKED}
        self.exclusive = {}  # doc -> (token, index into SharedState.exclusive[doc])
        self.shared_new = {}  # path in the shared area that this client's LOCK created -> token
        self.shared_made = set()  # every such path, locked or not: documents from then on
        self.seq = 0
        # Over several pairs that serve one tree, the clients take turns: any pair may serve any
        # request, as behind a load balancer without sticky sessions.
        self.server = soak.servers[index % len(soak.servers)]
        self.dav = self.server.dav()
        self.dav.timeout = soak.request_timeout
        self.broken = False

    # -- bookkeeping -------------------------------------------------------------------------------

    def req(self, method, path, body=None, headers=None):
        self.soak.report.count(method)
        return self.dav.request(method, urllib.parse.quote(path, safe="/"), body, headers)

    def expect(self, what, r, *statuses):
        if r.status not in statuses:
            self.soak.report.fail("c%d %s: status %d, expected %s: %s" % (
                self.index, what, r.status, "/".join(map(str, statuses)), r.body[:200]))
            return False
        return True

    def tag(self):
        self.seq += 1
        return "c%d-%d" % (self.index, self.seq)

    def docs(self):
        return [p for p, n in self.nodes.items() if not n.collection]

    def collections(self):
        return [p for p, n in self.nodes.items() if n.collection]

    def subtree(self, path):
        return [p for p in self.nodes if p == path or p.startswith(path + "/")]

    def locked_below(self, path):
        return any(p == path or p.startswith(path + "/") for p in self.locks)

    def new_name(self, parent, prefix):
        taken = set(self.nodes)
        for _ in range(8):
            name = "%s/%s%d" % (parent, prefix, self.rng.randrange(6))
            if name not in taken:
                return name
        return None

    def depth(self, path):
        return path[len(self.home):].count("/")

    def if_header(self, path, token):
        """A tagged If header: an untagged list would apply to the parent as well."""
        return {"If": "<%s%s> (<%s>)" % (self.server.url,
                                         urllib.parse.quote(path, safe="/"), token)}

    # -- the loop ----------------------------------------------------------------------------------

    def run(self):
        ops = [(self.op_put, 18), (self.op_get, 12), (self.op_proppatch, 12),
               (self.op_propfind, 8), (self.op_mkcol, 6), (self.op_move, 7), (self.op_delete, 7),
               (self.op_lock, 7), (self.op_unlock, 7), (self.op_shared_put, 6),
               (self.op_shared_get, 5), (self.op_shared_prop, 5), (self.op_shared_lock, 5),
               (self.op_exclusive, 4), (self.op_shared_new_lock, 3)]
        funcs = [f for f, _ in ops]
        weights = [w for _, w in ops]
        try:
            while time.monotonic() < self.deadline:
                self.rng.choices(funcs, weights)[0]()
        except Exception as e:  # a timeout or a dropped connection leaves the model unsure
            self.broken = True
            self.soak.report.fail("c%d: request failed: %r" % (self.index, e))
        finally:
            self.dav.close()

    # -- own subtree -------------------------------------------------------------------------------

    def op_put(self):
        rng = self.rng
        choice = rng.random()
        if choice < 0.55 and self.docs():
            path = rng.choice(self.docs())
        elif choice < 0.6:
            path = self.home + "/missing%d/f" % rng.randrange(3)
        else:
            parent = rng.choice(self.collections())
            path = self.new_name(parent, "f")
            if path is None:
                return
        token = self.locks.get(path)
        send_token = token is not None and rng.random() < 0.85
        headers = self.if_header(path, token) if send_token else None
        content = versioned_body(self.tag(), rng.choice([0, 10, 100, 4000, 70000]))
        r = self.req("PUT", path, content, headers)
        parent = path.rsplit("/", 1)[0]
        if parent not in self.nodes:
            # The store is refused by the service; the module cannot tell why.
            self.expect("PUT %s" % path, r, 409, 500)
        elif token is not None and not send_token:
            self.expect("PUT %s (locked, no token)" % path, r, 423)
        elif path in self.nodes:
            if self.expect("PUT %s" % path, r, 204):
                self.nodes[path].content = content
        else:
            if self.expect("PUT %s" % path, r, 201):
                self.nodes[path] = Node(False, content)

    def op_get(self):
        rng = self.rng
        if rng.random() < 0.85 and self.docs():
            path = rng.choice(self.docs())
        else:
            path = self.home + "/absent%d" % rng.randrange(3)
        r = self.req("GET", path)
        node = self.nodes.get(path)
        if node is None:
            self.expect("GET %s" % path, r, 404)
        elif self.expect("GET %s" % path, r, 200) and r.body != node.content:
            self.soak.report.fail("c%d GET %s: %d bytes (version %s), model has version %s" % (
                self.index, path, len(r.body), body_version(r.body), body_version(node.content)))

    def op_proppatch(self):
        rng = self.rng
        path = rng.choice(list(self.nodes))
        node = self.nodes[path]
        sets = {"p%d" % rng.randrange(5): random_value(rng) for _ in range(rng.randrange(1, 4))}
        removes = []
        if node.props and rng.random() < 0.4:
            removes = [rng.choice(list(node.props)).split("}")[1]]
            sets = {k: v for k, v in sets.items() if k not in removes}
        token = self.locks.get(path)
        send_token = token is not None and rng.random() < 0.85
        r = self.req("PROPPATCH", path, proppatch_body(NS, sets, removes),
                     dict({"Content-Type": "application/xml"},
                          **(self.if_header(path, token) if send_token else {})))
        if token is not None and not send_token:
            self.expect("PROPPATCH %s (locked, no token)" % path, r, 423)
            return
        if self.expect("PROPPATCH %s" % path, r, 207):
            codes = propstat_codes(r)
            if any(c != 200 for c in codes):
                self.soak.report.fail("c%d PROPPATCH %s: propstat %s" % (self.index, path, codes))
                return
            for k in removes:
                node.props.pop("{%s}%s" % (NS, k), None)
            for k, v in sets.items():
                node.props["{%s}%s" % (NS, k)] = v.replace("\r", "")

    def check_listing(self, path, listing):
        """Compares a depth-1 PROPFIND of one of our collections with the model."""
        expected = {p for p in self.nodes if p.rsplit("/", 1)[0] == path} | {path}
        got = {h.rstrip("/") for h in listing}
        if got != expected:
            self.soak.report.fail("c%d PROPFIND %s: members %s, model %s" % (
                self.index, path, sorted(got ^ expected), sorted(expected)))
            return
        for href, props in listing.items():
            p = href.rstrip("/")
            node = self.nodes[p]
            if dead_props(props) != node.props:
                self.soak.report.fail("c%d PROPFIND %s: properties %s, model %s" % (
                    self.index, p, dead_props(props), node.props))
            expected_tokens = {self.locks[p]} if p in self.locks else set()
            if active_tokens(props) != expected_tokens:
                self.soak.report.fail("c%d PROPFIND %s: locks %s, model %s" % (
                    self.index, p, active_tokens(props), expected_tokens))

    def op_propfind(self):
        path = self.rng.choice(self.collections())
        r = self.req("PROPFIND", path, PROPFIND_ALL,
                     {"Depth": "1", "Content-Type": "application/xml"})
        if self.expect("PROPFIND %s" % path, r, 207):
            self.check_listing(path, responses(r))

    def op_mkcol(self):
        rng = self.rng
        parents = [c for c in self.collections() if self.depth(c) < 3]
        choice = rng.random()
        if choice < 0.1:
            path = self.home + "/missing%d/k" % rng.randrange(3)
        elif choice < 0.2 and len(self.nodes) > 1:
            path = rng.choice([p for p in self.nodes if p != self.home])
        else:
            path = self.new_name(rng.choice(parents), "k")
            if path is None:
                return
        r = self.req("MKCOL", path)
        if path in self.nodes:
            self.expect("MKCOL %s (exists)" % path, r, 405)
        elif path.rsplit("/", 1)[0] not in self.nodes:
            self.expect("MKCOL %s (no parent)" % path, r, 409)
        elif self.expect("MKCOL %s" % path, r, 201):
            self.nodes[path] = Node(True)

    def op_move(self):
        rng = self.rng
        sources = [p for p in self.nodes if p != self.home]
        if not sources:
            return
        src = rng.choice(sources)
        node = self.nodes[src]
        if rng.random() < 0.25 and not node.collection:
            targets = [d for d in self.docs() if d != src and d not in self.locks]
            if not targets:
                return
            dst = rng.choice(targets)
            overwrite = rng.random() < 0.7
        else:
            parents = [c for c in self.collections()
                       if c != src and not c.startswith(src + "/")]
            dst = self.new_name(rng.choice(parents), "m")
            if dst is None:
                return
            overwrite = rng.random() < 0.5
        r = self.req("MOVE", src, headers={
            "Destination": self.server.url + urllib.parse.quote(dst, safe="/"),
            "Overwrite": "T" if overwrite else "F"})
        existed = dst in self.nodes
        if self.locked_below(src):
            # An existing destination without Overwrite is refused before locks are looked at.
            codes = (412,) if existed and not overwrite else (423, 424, 207)
            self.expect("MOVE %s (locked)" % src, r, *codes)
            return
        if existed and not overwrite:
            self.expect("MOVE %s -> %s (exists)" % (src, dst), r, 412)
            return
        if not self.expect("MOVE %s -> %s" % (src, dst), r, 204 if existed else 201):
            return
        if existed:
            del self.nodes[dst]
        for p in self.subtree(src):
            self.nodes[dst + p[len(src):]] = self.nodes.pop(p)

    def op_delete(self):
        rng = self.rng
        candidates = [p for p in self.nodes if p != self.home]
        if rng.random() < 0.1 or not candidates:
            path = self.home + "/absent%d" % rng.randrange(3)
        else:
            path = rng.choice(candidates)
        token = self.locks.get(path)
        send_token = token is not None and rng.random() < 0.7
        r = self.req("DELETE", path, headers=self.if_header(path, token) if send_token else None)
        if path not in self.nodes:
            self.expect("DELETE %s (absent)" % path, r, 404)
            return
        below = [p for p in self.subtree(path) if p in self.locks]
        if below and not (below == [path] and send_token):
            # mod_dav answers a locked member of a collection with a multistatus.
            self.expect("DELETE %s (locked)" % path, r, 423, 424, 207)
            return
        if self.expect("DELETE %s" % path, r, 204):
            for p in self.subtree(path):
                del self.nodes[p]
            self.locks.pop(path, None)

    def op_lock(self):
        rng = self.rng
        choice = rng.random()
        if choice < 0.5 and self.docs():
            path = rng.choice(self.docs())
        elif choice < 0.65 and self.locks:
            # Refresh a lock we hold.
            path, token = rng.choice(list(self.locks.items()))
            r = self.req("LOCK", path, headers=dict(self.if_header(path, token), Timeout=TIMEOUT))
            self.expect("LOCK refresh %s" % path, r, 200)
            return
        else:
            parent = rng.choice(self.collections())
            path = self.new_name(parent, "n")
            if path is None:
                return
        r = self.dav_lock(path, "exclusive")
        if path in self.locks:
            self.expect("LOCK %s (locked)" % path, r, 423)
        elif path in self.nodes:
            if self.expect("LOCK %s" % path, r, 200):
                self.locks[path] = lock_token(r)
        elif self.expect("LOCK %s (new)" % path, r, 201):
            # The lock created an empty document.
            self.nodes[path] = Node(False, b"")
            self.locks[path] = lock_token(r)

    def dav_lock(self, path, scope):
        body = ('<?xml version="1.0" encoding="utf-8"?>'
                '<D:lockinfo xmlns:D="DAV:"><D:lockscope><D:%s/></D:lockscope>'
                '<D:locktype><D:write/></D:locktype><D:owner>c%d</D:owner></D:lockinfo>'
                % (scope, self.index))
        return self.req("LOCK", path, body, {"Depth": "0", "Timeout": TIMEOUT,
                                             "Content-Type": "application/xml"})

    def op_unlock(self):
        rng = self.rng
        held = list(self.locks.items())
        choice = rng.random()
        if choice < 0.15 and self.docs():
            path = rng.choice(self.docs())
            r = self.req("UNLOCK", path)  # no Lock-Token header
            self.expect("UNLOCK %s without a token" % path, r, 400)
            return
        if choice < 0.3 and held:
            path = rng.choice(held)[0]
            bogus = "opaquelocktoken:%08x-0000-4000-8000-%012x" % (
                rng.randrange(1 << 32), rng.randrange(1 << 48))
            r = self.req("UNLOCK", path, headers={"Lock-Token": "<%s>" % bogus})
            self.expect("UNLOCK %s with a foreign token" % path, r, 400, 409)
            return
        if not held:
            return
        path, token = rng.choice(held)
        r = self.req("UNLOCK", path, headers={"Lock-Token": "<%s>" % token})
        if self.expect("UNLOCK %s" % path, r, 204):
            self.locks.pop(path, None)

    # -- shared area -------------------------------------------------------------------------------

    def op_shared_put(self):
        rng = self.rng
        doc = rng.choice(SHARED_DOCS + SHARED_LOCKED)
        tokens = self.shared_tokens.get(doc)
        token = next(iter(tokens)) if tokens else None
        tag = self.tag()
        content = versioned_body(tag, rng.choice([50, 3000, 40000]))
        start = time.monotonic()
        # Readers may see the version before the answer comes: it counts as attempted from now.
        self.soak.shared.put_attempt(doc, tag, start, float("inf"), False)
        r = self.req("PUT", doc, content, self.if_header(doc, token) if token else None)
        end = time.monotonic()
        ok = r.status == 204
        if doc in SHARED_DOCS or token is not None:
            self.expect("PUT %s" % doc, r, 204)
        else:
            # Others may hold shared locks on it.
            self.expect("PUT %s" % doc, r, 204, 423)
        self.soak.shared.put_done(doc, tag, end, ok, unknown=r.status >= 500)

    def op_shared_get(self):
        doc = self.rng.choice(SHARED_DOCS + SHARED_LOCKED)
        r = self.req("GET", doc)
        if not self.expect("GET %s" % doc, r, 200):
            return
        version = body_version(r.body)
        if version is None or version not in self.soak.shared.attempted(doc):
            self.soak.report.fail("c%d GET %s: torn or unknown content (%d bytes, version %s)" % (
                self.index, doc, len(r.body), version))

    def op_shared_prop(self):
        rng = self.rng
        doc = rng.choice(SHARED_DOCS + SHARED_LOCKED)
        name = "c%d" % self.index
        tokens = self.shared_tokens.get(doc)
        token = next(iter(tokens)) if tokens else None
        remove = rng.random() < 0.2 and self.shared_props[doc]
        body = (proppatch_body(SHARED_NS, removes=[name]) if remove else
                proppatch_body(SHARED_NS, {name: random_value(rng)}))
        value = None if remove else re.search(r"<p:c\d+>(.*)</p:c\d+>", body, re.S).group(1)
        r = self.req("PROPPATCH", doc, body, dict({"Content-Type": "application/xml"},
                                                  **(self.if_header(doc, token) if token else {})))
        if doc in SHARED_DOCS or token is not None:
            if not self.expect("PROPPATCH %s" % doc, r, 207):
                return
        elif not self.expect("PROPPATCH %s" % doc, r, 207, 423) or r.status == 423:
            return
        if any(c != 200 for c in propstat_codes(r)):
            self.soak.report.fail("c%d PROPPATCH %s: %s" % (self.index, doc, r.body[:300]))
            return
        key = "{%s}%s" % (SHARED_NS, name)
        if remove:
            self.shared_props[doc].pop(key, None)
        else:
            self.shared_props[doc][key] = ET.fromstring("<v>%s</v>" % value).text or ""

    def op_shared_lock(self):
        rng = self.rng
        doc = rng.choice(SHARED_LOCKED)
        held = self.shared_tokens[doc]
        if held and rng.random() < 0.5:
            token = rng.choice(sorted(held))
            r = self.req("UNLOCK", doc, headers={"Lock-Token": "<%s>" % token})
            if self.expect("UNLOCK %s (shared)" % doc, r, 204):
                held.discard(token)
        elif held and rng.random() < 0.3:
            token = rng.choice(sorted(held))
            r = self.req("LOCK", doc, headers=dict(self.if_header(doc, token), Timeout=TIMEOUT))
            self.expect("LOCK refresh %s (shared)" % doc, r, 200)
        elif len(held) < 3:
            r = self.dav_lock(doc, "shared")
            if self.expect("LOCK %s (shared)" % doc, r, 200):
                held.add(lock_token(r))

    def op_exclusive(self):
        doc = self.rng.choice(EXCLUSIVE)
        shared = self.soak.shared
        if doc in self.exclusive:
            token, slot = self.exclusive.pop(doc)
            released = time.monotonic()
            with shared.mu:
                c, t, acquired, _ = shared.exclusive[doc][slot]
                shared.exclusive[doc][slot] = (c, t, acquired, released)
            r = self.req("UNLOCK", doc, headers={"Lock-Token": "<%s>" % token})
            self.expect("UNLOCK %s (exclusive)" % doc, r, 204)
            return
        r = self.dav_lock(doc, "exclusive")
        if not self.expect("LOCK %s (exclusive)" % doc, r, 200, 423) or r.status != 200:
            return
        acquired = time.monotonic()
        token = lock_token(r)
        with shared.mu:
            shared.exclusive[doc].append((self.index, token, acquired, None))
            self.exclusive[doc] = (token, len(shared.exclusive[doc]) - 1)

    def op_shared_new_lock(self):
        rng = self.rng
        if self.shared_new and rng.random() < 0.5:
            path, token = rng.choice(list(self.shared_new.items()))
            r = self.req("UNLOCK", path, headers={"Lock-Token": "<%s>" % token})
            if self.expect("UNLOCK %s (shared, new)" % path, r, 204):
                del self.shared_new[path]
            return
        path = "%s/n-c%d-%d" % (SHARED, self.index, rng.randrange(4))
        r = self.dav_lock(path, "exclusive")
        if path in self.shared_new:
            self.expect("LOCK %s (locked)" % path, r, 423)
        elif self.expect("LOCK %s" % path, r, 200 if path in self.shared_made else 201):
            self.shared_new[path] = lock_token(r)
            self.shared_made.add(path)


class Soak:
    """Drives server (a KivServer) from `clients` threads for a while, then checks everything.
    With servers (pairs over one shared tree, server among them), the clients are spread over
    them; the checks go through server."""

    def __init__(self, server, clients=16, seed=None, request_timeout=60, servers=None):
        self.server = server
        self.servers = list(servers or [server])
        self.clients_count = clients
        self.seed = seed if seed is not None else random.randrange(1 << 30)
        self.request_timeout = request_timeout
        self.report = Report()
        self.shared = SharedState()
        self.clients = []

    def setup(self):
        dav = self.server.dav()
        try:
            for path in (ROOT, SHARED):
                r = dav.mkcol(path)
                assert r.status == 201, (path, r)
            for i in range(self.clients_count):
                assert dav.mkcol("%s/c%d" % (ROOT, i)).status == 201
            for doc in SHARED_DOCS + SHARED_LOCKED + EXCLUSIVE:
                tag = "init-%s" % doc.rsplit("/", 1)[1]
                start = time.monotonic()
                assert dav.put(doc, versioned_body(tag, 100)).status == 201
                if doc in self.shared.puts:
                    self.shared.put_attempt(doc, tag, start, time.monotonic(), True)
        finally:
            dav.close()

    def run(self, seconds):
        """Runs the soak; returns the Report with every discrepancy found."""
        self.setup()
        deadline = time.monotonic() + seconds
        self.clients = [Client(self, i, self.seed * 1000 + i, deadline)
                        for i in range(self.clients_count)]
        for c in self.clients:
            c.start()
        for c in self.clients:
            c.join(seconds + 10 * self.request_timeout)
            if c.is_alive():
                self.report.fail("c%d did not finish: a request hangs" % c.index)
        self.check()
        return self.report

    # -- the final check ---------------------------------------------------------------------------

    def fail(self, text):
        self.report.fail("final: " + text)

    def check(self):
        dav = self.server.dav()
        dav.timeout = self.request_timeout
        try:
            self.check_tree(dav)
            self.check_shared(dav)
            self.check_exclusive()
            self.check_lock_database()
            self.check_dbm_files()
        finally:
            dav.close()

    def walk(self, dav):
        """{path: props} of every resource below ROOT, by depth-1 PROPFINDs."""
        found = {}
        pending = [ROOT]
        while pending:
            path = pending.pop()
            r = dav.request("PROPFIND", urllib.parse.quote(path, safe="/") + "/", PROPFIND_ALL,
                            {"Depth": "1", "Content-Type": "application/xml"})
            if r.status != 207:
                self.fail("PROPFIND %s: %d" % (path, r.status))
                continue
            for href, props in responses(r).items():
                p = href.rstrip("/")
                found[p] = props
                rt = props.get("{DAV:}resourcetype")
                is_col = rt is not None and rt[1].find("{DAV:}collection") is not None
                if is_col and p != path:
                    pending.append(p)
        return found

    def check_tree(self, dav):
        found = self.walk(dav)
        expected = {ROOT: None, SHARED: None}
        for doc in SHARED_DOCS + SHARED_LOCKED + EXCLUSIVE:
            expected[doc] = None
        for c in self.clients:
            for p in c.shared_made:
                expected[p] = None
        for c in self.clients:
            if c.broken:
                # Its model is unsure; only what lies outside its subtree is checked.
                for p in [p for p in found if p == c.home or p.startswith(c.home + "/")]:
                    expected[p] = None
                continue
            for p, node in c.nodes.items():
                expected[p] = (c, node)
        for p in sorted(set(found) ^ set(expected)):
            self.fail("%s %s" % (p, "should not exist" if p in found else "is missing"))
        for p, entry in expected.items():
            if entry is None or p not in found:
                continue
            c, node = entry
            props = found[p]
            if dead_props(props) != node.props:
                self.fail("%s: properties %s, model %s" % (p, dead_props(props), node.props))
            want = {c.locks[p]} if p in c.locks else set()
            if active_tokens(props) != want:
                self.fail("%s: locks %s, model %s" % (p, active_tokens(props), want))
            if not node.collection:
                r = dav.get(urllib.parse.quote(p, safe="/"))
                if r.status != 200 or r.body != node.content:
                    self.fail("%s: GET %d, %d bytes version %s, model version %s" % (
                        p, r.status, len(r.body), body_version(r.body),
                        body_version(node.content)))
        # Lock-null lists, read from disk: there are none, as every LOCK of a new name created
        # its document.
        for d in {p for p in expected if expected[p] is None or expected[p][1].collection}:
            file = os.path.join(self.server.repo, d.lstrip("/"), ".DAV", ".locknull")
            if os.path.exists(file):
                with open(file, "rb") as f:
                    self.fail("%s: lock-null list %r" % (d, f.read()[:200]))

    def check_shared(self, dav):
        for doc in SHARED_DOCS + SHARED_LOCKED:
            r = dav.get(urllib.parse.quote(doc, safe="/"))
            version = body_version(r.body) if r.status == 200 else None
            allowed = self.shared.allowed_final(doc)
            if version not in allowed:
                self.fail("%s: holds version %s, allowed %s" % (doc, version, sorted(allowed)))
            r = dav.propfind(doc, PROPFIND_ALL)
            props = responses(r).get(doc, {})
            want = {}
            for c in self.clients:
                want.update(c.shared_props[doc])
            got = dead_props(props, SHARED_NS)
            if got != want:
                self.fail("%s: shared properties %s, model %s" % (doc, got, want))
            if doc in SHARED_LOCKED:
                tokens = set()
                for c in self.clients:
                    tokens |= c.shared_tokens[doc]
                if active_tokens(props) != tokens:
                    self.fail("%s: shared locks %s, model %s" % (doc, active_tokens(props),
                                                                 tokens))
        for doc in EXCLUSIVE:
            r = dav.propfind(doc, PROPFIND_ALL)
            tokens = active_tokens(responses(r).get(doc, {}))
            want = {c.exclusive[doc][0] for c in self.clients if doc in c.exclusive}
            if tokens != want:
                self.fail("%s: exclusive locks %s, model %s" % (doc, tokens, want))

    def check_exclusive(self):
        for doc, holds in self.shared.exclusive.items():
            for i, a in enumerate(holds):
                for b in holds[i + 1:]:
                    a_end = a[3] if a[3] is not None else float("inf")
                    b_end = b[3] if b[3] is not None else float("inf")
                    if a[2] < b_end and b[2] < a_end:
                        self.fail("%s: c%d and c%d held the exclusive lock at once" % (
                            doc, a[0], b[0]))

    def check_lock_database(self):
        try:
            records = dbmfile.read(self.server.lockdb)
        except Exception as e:
            self.fail("lock database unreadable: %r" % e)
            return
        want_ids = set()
        repo = self.server.repo
        tree_id = getattr(self.server, "tree_id", None)
        for c in self.clients:
            if c.broken:
                continue
            for p in list(c.locks) + list(c.shared_new):
                want_ids.add(identity_key(os.path.join(repo, p.lstrip("/")), tree_id))
        for doc in SHARED_LOCKED + EXCLUSIVE:
            if any(c.shared_tokens.get(doc) or doc in c.exclusive for c in self.clients):
                want_ids.add(identity_key(os.path.join(repo, doc.lstrip("/")), tree_id))
        names = {k for k in records if k[:1] == b"\x0b"}
        ids = {k for k in records if k[:1] == b"\x0a"}
        if not any(c.broken for c in self.clients):
            # Name keys belong to lock-null resources, which no LOCK makes any more.
            for k in sorted(names):
                self.fail("lock database: name key %r is stale" % k)
            for k in sorted(ids - want_ids):
                self.fail("lock database: record %s of no locked resource: %r" % (
                    k.hex(), records[k][:40]))
        for k in sorted(want_ids - ids):
            self.fail("lock database: no record %s for a locked resource" % k.hex())

    def check_dbm_files(self):
        for top, dirs, files in os.walk(self.server.repo):
            if os.path.basename(top) != ".DAV":
                continue
            for name in files:
                # The lock-null list, and the copy a writer killed mid-write may leave behind.
                if name == ".locknull" or name.startswith(".kivd"):
                    continue
                path = os.path.join(top, name)
                try:
                    dbmfile.read(path)
                except Exception as e:
                    self.fail("property database %s unreadable: %r" % (path, e))
                resource = os.path.dirname(top) if name == ".state_for_dir" else \
                    os.path.join(os.path.dirname(top), name)
                if not os.path.exists(resource):
                    self.fail("property database %s outlives its resource" % path)


def summary(report, seconds, clients):
    lines = ["soak: %d clients, %.0f s, %d operations (%.0f/s), %d discrepancies" % (
        clients, seconds, report.ops, report.ops / max(seconds, 1), report.discrepancy_count)]
    lines.append("  by method: " + ", ".join("%s %d" % kv for kv in sorted(report.by_method.items())))
    lines.extend("  " + d for d in report.discrepancies[:50])
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float,
                        default=float(os.environ.get("KIV_SOAK_MINUTES", "1")))
    parser.add_argument("--clients", type=int, default=16)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--keep", action="store_true", help="keep the data directory")
    args = parser.parse_args(argv)

    source = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
    build = os.environ.get("KIV_BUILD_DIR") or os.path.join(source, "build")
    sys.path.insert(0, os.path.join(source, "scripts"))
    import shutil
    import tempfile
    from kivserver import KivServer

    class Server(KivServer):
        def dav(self):
            return Dav(self.http_host, self.http_port)

    data = tempfile.mkdtemp(prefix="kiv-soak-")
    os.chmod(data, 0o755)
    server = Server(data, os.path.join(build, "module", "mod_dav_kiv.so"),
                    os.path.join(build, "service", "kivd"))
    try:
        server.start()
        soak = Soak(server, clients=args.clients, seed=args.seed)
        started = time.monotonic()
        report = soak.run(args.minutes * 60)
        print("seed %d" % soak.seed)
        print(summary(report, time.monotonic() - started, args.clients))
        crashes = []
        if os.path.exists(server.error_log):
            with open(server.error_log, errors="replace") as f:
                crashes = [l for l in f if re.search(r"Segmentation fault|exit signal|AH00052", l)]
        for line in crashes[:10]:
            print("  crash: " + line.rstrip())
        return 0 if report.discrepancy_count == 0 and not crashes else 1
    finally:
        server.stop()
        if args.keep:
            print("data kept in %s" % data)
        else:
            shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
