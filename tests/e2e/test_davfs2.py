"""Debian's davfs2 mounting the server as a file system, driven with everyday commands: `cp -r` of
a tree of a few thousand small files, unmount (davfs2 uploads what it still holds), remount and
`diff -r`; then `sed -i`, a new file renamed before davfs2 uploaded it, and `rm -r` of a subtree.
Every step is checked over HTTP as well, not only through the mount.

davfs2 runs with its shipped settings (locks on: it LOCKs every new name and uploads it some
seconds later) from a configuration file of its own in the scratch directory; buf_size 64 is
needed on kernels from 6.16 to list a directory at all. Mounting needs root and /dev/fuse: where
either is missing, or the kernel refuses the mount, the tests skip and say why.

KIV_DAVFS2_RUNS=3 repeats the copy, unmount and remount that many times (each onto a fresh
mount and cache), for checking by hand that no run loses a file.
"""

import hashlib
import os
import random
import re
import shutil
import subprocess
import time
import types

import pytest

from conftest import scratch_dir, wait_for
from davclient import DAV_NS, propfind_prop, quote, responses

MOUNT_DAVFS = shutil.which("mount.davfs") or "/sbin/mount.davfs"
RUNS = int(os.environ.get("KIV_DAVFS2_RUNS", "1"))
MOUNT_TIMEOUT = 60
COPY_TIMEOUT = 600
# Unmounting waits for davfs2 to upload every file it still holds.
UMOUNT_TIMEOUT = 600
STEP_TIMEOUT = 60
# davfs2 uploads a closed file after delay_upload (10 s by default).
UPLOAD_WAIT = 90

# What davfs2's requests make the module log on the way.
DAVFS2_ERRORS = r"has no outstanding locks|\[423, #0\]|failed precondition"


def refusal():
    """Why davfs2 cannot be mounted here, or None."""
    if os.geteuid() != 0:
        return "mounting davfs2 needs root (CI runs as root)"
    if not os.path.exists(MOUNT_DAVFS):
        return "davfs2 is not installed (scripts/install-deps installs it)"
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is missing: no FUSE in this kernel or container"
    return None


pytestmark = pytest.mark.skipif(refusal() is not None, reason=str(refusal()))


class Davfs2:
    """One davfs2 mount of url with a configuration, cache and secrets file of its own under
    workdir. The daemon that mount.davfs leaves behind runs as the davfs2 account."""

    def __init__(self, url, workdir):
        self.url = url + "/"
        self.workdir = workdir
        self.mountpoint = os.path.join(workdir, "mnt")
        self.cache = os.path.join(workdir, "cache")
        self.config = os.path.join(workdir, "davfs2.conf")
        secrets = os.path.join(workdir, "secrets")
        os.makedirs(self.mountpoint, exist_ok=True)
        os.makedirs(self.cache, exist_ok=True)
        # davfs2 insists on its cache directory's owner and mode, as in /var/cache/davfs2.
        shutil.chown(self.cache, "root", "davfs2")
        os.chmod(self.cache, 0o775)
        with open(secrets, "w") as f:
            f.write("# no credentials: the test server asks for none\n")
        os.chmod(secrets, 0o600)
        with open(self.config, "w") as f:
            f.write("buf_size 64\n"
                    "cache_dir %s\n"
                    "secrets %s\n"
                    "ask_auth 0\n" % (self.cache, secrets))
        self.daemon = None

    @property
    def pid_file(self):
        return "/var/run/mount.davfs/%s.pid" % self.mountpoint.strip("/").replace("/", "-")

    def mounted(self):
        return os.path.ismount(self.mountpoint)

    def mount(self):
        out = subprocess.run([MOUNT_DAVFS, "-o", "conf=" + self.config, self.url, self.mountpoint],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=MOUNT_TIMEOUT)
        if out.returncode != 0:
            if re.search(r"fuse|not permitted|permission denied", out.stderr, re.I):
                pytest.skip("the davfs2 mount was refused: %s" % out.stderr.strip())
            raise AssertionError("mount.davfs failed: %s" % out.stderr.strip())
        # The daemon writes its pid file after mount.davfs has returned.
        self.daemon = wait_for(self._pid_from_file, STEP_TIMEOUT)
        assert self.daemon, "davfs2 wrote no %s" % self.pid_file
        return self.mountpoint

    def _pid_from_file(self):
        try:
            with open(self.pid_file) as f:
                return int(f.read().split()[0])
        except (FileNotFoundError, IndexError, ValueError):
            return None

    def unmount(self):
        """Unmounts, which returns once davfs2 has uploaded everything; the seconds it took."""
        started = time.monotonic()
        out = subprocess.run(["umount", self.mountpoint], stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=UMOUNT_TIMEOUT)
        assert out.returncode == 0, "umount: %s" % out.stderr.strip()
        assert wait_for(lambda: not self.daemon_alive(), STEP_TIMEOUT), "davfs2 did not exit"
        self.daemon = None
        return time.monotonic() - started

    def daemon_alive(self):
        if self.daemon is None:
            return False
        try:
            os.kill(self.daemon, 0)
        except ProcessLookupError:
            return False
        return True

    def close(self):
        """Leaves no mount and no daemon behind, whatever state the test left them in."""
        if self.mounted():
            try:
                subprocess.run(["umount", self.mountpoint], stdin=subprocess.DEVNULL,
                               capture_output=True, timeout=UMOUNT_TIMEOUT)
            except subprocess.TimeoutExpired:
                pass
        if self.mounted():
            # Without davfs2's helper (-i), lazily: the daemon is stopped below.
            subprocess.run(["umount", "-i", "-l", self.mountpoint], capture_output=True,
                           timeout=STEP_TIMEOUT)
        if self.daemon_alive():
            os.kill(self.daemon, 15)
            if not wait_for(lambda: not self.daemon_alive(), 10):
                os.kill(self.daemon, 9)
        self.daemon = None

    def lost_and_found(self):
        path = os.path.join(self.mountpoint, "lost+found")
        return sorted(os.listdir(path)) if os.path.isdir(path) else []


def sh(*argv, cwd=None):
    """Runs a command with a bound; its CompletedProcess."""
    return subprocess.run(list(argv), cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=COPY_TIMEOUT)


def make_tree(top):
    """2,130 small files: three flat directories of 600 (davfs2 takes a while to fill each, so
    it looks at them again while it still holds files not uploaded), 300 over 50 nested
    directories, and a few awkward names. {relative path: sha256}."""
    rng = random.Random(20261208)
    files = {}

    def write(rel, content):
        path = os.path.join(top, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        files[rel] = hashlib.sha256(content).hexdigest()

    for d in range(3):
        for i in range(600):
            write("flat%d/f%03d.txt" % (d, i), rng.randbytes(rng.choice((0, rng.randint(1, 4096)))))
    for i in range(300):
        write("nested/a%d/b%d/n%03d.dat" % (i % 10, i // 10 % 5, i),
              rng.randbytes(rng.randint(1, 3000)))
    for name in ("a b.txt", "ü ñ.txt", "hash#1.txt", "per%25cent.txt", "semi;colon.txt",
                 "plus+and&amp.txt", "quote'.txt", "brackets[1].txt", "日本語.txt",
                 "trail .txt"):
        write("odd names/" + name, name.encode("utf-8"))
    for i in range(20):
        write("many/deep/er/still/x%02d.txt" % i, b"x" * i)
    return files


def server_files(dav, top):
    """{relative path: sha256} of the documents under the collection top, found by walking
    PROPFIND Depth 1 listings (what a client sees) and read with GET."""
    found = {}
    pending = [top.rstrip("/") + "/"]
    while pending:
        collection = pending.pop()
        r = dav.propfind(quote(collection), propfind_prop((DAV_NS, "resourcetype")), depth="1")
        assert r.status == 207, (collection, r)
        for href, props in responses(r).items():
            path = re.sub(r"^https?://[^/]*", "", href)
            if path.rstrip("/") == collection.rstrip("/"):
                continue
            status, element = props["{DAV:}resourcetype"]
            if element.find("{DAV:}collection") is not None:
                pending.append(path.rstrip("/") + "/")
                continue
            g = dav.get(quote(path))
            assert g.status == 200, (path, g)
            found[os.path.relpath(path, top)] = hashlib.sha256(g.body).hexdigest()
    return found


def differences(expected, got):
    """What got lacks, changed or added against expected, in a line; empty when they agree."""
    gone = sorted(set(expected) - set(got))
    changed = sorted(p for p in expected if p in got and got[p] != expected[p])
    extra = sorted(set(got) - set(expected))
    if not (gone or changed or extra):
        return ""
    return "%d of %d missing %s, %d changed %s, %d extra %s" % (
        len(gone), len(expected), gone[:5], len(changed), changed[:5], len(extra), extra[:5])


@pytest.fixture(scope="module")
def work():
    path = scratch_dir("kiv-davfs2-")
    mounts = []
    yield path, mounts
    for m in mounts:
        m.close()
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="module")
def tree(work):
    top = os.path.join(work[0], "tree")
    return top, make_tree(top)


def new_mount(server, work, name):
    m = Davfs2(server.url, os.path.join(work[0], name))
    work[1].append(m)
    return m


@pytest.fixture(scope="module", params=range(RUNS), ids="run{}".format)
def copied(request, server, work, tree):
    """One run: a fresh mount, `cp -r` of the tree onto it, unmount. Failures are recorded for
    the tests to judge, not raised here."""
    c = types.SimpleNamespace()
    c.mount = new_mount(server, work, "run%d" % request.param)
    c.dest = "tree%d" % request.param
    mnt = c.mount.mount()
    server.mark_log()
    server.allow_errors(DAVFS2_ERRORS)
    started = time.monotonic()
    c.cp = sh("cp", "-r", tree[0], os.path.join(mnt, c.dest))
    c.copy_seconds = time.monotonic() - started
    c.unmount_seconds = c.mount.unmount()
    c.log = server.unexpected_log_lines()
    print("davfs2 run %d: cp -r %.1f s, umount %.1f s" %
          (request.param, c.copy_seconds, c.unmount_seconds))
    return c


def test_cp_r_of_a_tree_and_unmount_succeed(copied):
    assert copied.cp.returncode == 0, copied.cp.stderr[-2000:]
    assert copied.log == [], "\n".join(copied.log[:20])


def test_every_copied_file_is_on_the_server(server, dav, copied, tree):
    server.allow_errors(DAVFS2_ERRORS)
    got = server_files(dav, "/" + copied.dest)
    problems = differences(tree[1], got)
    assert not problems, problems


def test_a_remount_shows_the_same_tree_and_nothing_lost(server, copied, tree):
    server.allow_errors(DAVFS2_ERRORS)
    mnt = copied.mount.mount()
    try:
        lost = copied.mount.lost_and_found()
        out = sh("diff", "-r", tree[0], os.path.join(mnt, copied.dest))
    finally:
        copied.mount.unmount()
    assert len(lost) == 0, "%d files in davfs2's lost+found: %s" % (len(lost), lost[:5])
    assert out.returncode == 0, "diff -r: %s" % out.stdout[-2000:]


SUBTREE_FILES = 30


@pytest.fixture(scope="module")
def edits(server, work):
    """A mount over a collection that the server already holds: a document to edit in place and
    a subtree to remove."""
    dav = server.dav()
    assert dav.mkcol("/edits").status == 201
    assert dav.put("/edits/doc.txt", b"a draft\nof a memo\n").status == 201
    for d in ("sub", "sub/a", "sub/a/b", "sub/c"):
        assert dav.mkcol("/edits/" + d).status == 201
    for i in range(SUBTREE_FILES):
        d = ("sub", "sub/a", "sub/a/b", "sub/c")[i % 4]
        assert dav.put("/edits/%s/s%02d.txt" % (d, i), b"s%d" % i).status == 201
    dav.close()
    m = new_mount(server, work, "edits")
    return os.path.join(m.mount(), "edits")


def test_sed_in_place_rewrites_a_document(server, dav, edits):
    # sed writes a new file beside the document and renames it over the document.
    server.allow_errors(DAVFS2_ERRORS)
    out = sh("sed", "-i", "s/draft/final/", os.path.join(edits, "doc.txt"))
    assert out.returncode == 0, "sed -i: %s" % out.stderr.strip()
    assert wait_for(lambda: dav.get("/edits/doc.txt").body == b"a final\nof a memo\n",
                    UPLOAD_WAIT), dav.get("/edits/doc.txt")
    names = set(server_files(dav, "/edits")) - {"doc.txt"}
    assert all(n.startswith("sub/") for n in names), "sed's temporary file stayed: %s" % names


def test_a_new_file_renamed_before_its_upload_arrives_under_the_new_name(server, dav, edits):
    server.allow_errors(DAVFS2_ERRORS)
    with open(os.path.join(edits, "new"), "w") as f:
        f.write("hello\n")
    out = sh("mv", "new", "new2", cwd=edits)
    assert out.returncode == 0, "mv: %s" % out.stderr.strip()
    assert wait_for(lambda: dav.get("/edits/new2").body == b"hello\n", UPLOAD_WAIT), \
        dav.get("/edits/new2")
    assert dav.get("/edits/new").status == 404


def test_rm_r_removes_a_subtree_on_the_server(server, dav, edits):
    server.allow_errors(DAVFS2_ERRORS)
    assert len(os.listdir(os.path.join(edits, "sub", "a", "b"))) == len(range(2, SUBTREE_FILES, 4))
    out = sh("rm", "-r", os.path.join(edits, "sub"))
    assert out.returncode == 0, "rm -r: %s" % out.stderr.strip()
    assert dav.propfind("/edits/sub/").status == 404
    assert not os.path.exists(os.path.join(server.repo, "edits", "sub"))
    assert dav.get("/edits/doc.txt").status == 200
