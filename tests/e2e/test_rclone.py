"""Debian's rclone, through its WebDAV backend, against the real server: a tree of a few hundred
small files and a few large ones goes up, is listed and checked, and comes back byte for byte;
syncs rewrite, shrink and delete; moves and copies stay on the server; interrupted uploads leave
nothing torn; parallel transfers that create one collection at once all hear what rclone expects.

Every rclone run has its retries turned off, so that a request that fails once fails the test
instead of being hidden by a second attempt.
"""

import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import threading

import pytest

from conftest import scratch_dir, wait_for
from davclient import Dav

RCLONE = shutil.which("rclone") or "/usr/bin/rclone"
RUN_TIMEOUT = 180
# rclone creates missing parents by trying the deepest collection first, from parallel transfers.
MKCOL_PARENT = r"Unable to create collection: the (parent collection does not exist|name was taken)"
ABORTED_BODY = r"An error occurred while reading the request body"

needs_rclone = pytest.mark.skipif(not os.path.exists(RCLONE), reason="rclone is not installed")


class Rclone:
    """rclone with a generated configuration holding one remote, "kiv:", for the server."""

    def __init__(self, url, workdir):
        self.workdir = workdir
        self.config = os.path.join(workdir, "rclone.conf")
        with open(self.config, "w") as f:
            f.write("[kiv]\ntype = webdav\nurl = %s/\nvendor = other\n" % url)
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": workdir,
                    "XDG_CACHE_HOME": os.path.join(workdir, "cache"), "LANG": "C.UTF-8"}

    def argv(self, *args):
        return [RCLONE, "--config", self.config, "--retries", "1", "--low-level-retries", "1",
                "--contimeout", "10s", "--timeout", "60s"] + list(args)

    def run(self, *args, check=True):
        out = subprocess.run(self.argv(*args), cwd=self.workdir, env=self.env,
                             capture_output=True, text=True, timeout=RUN_TIMEOUT)
        if check:
            assert out.returncode == 0, "rclone %s: %s" % (" ".join(args), out.stderr[-3000:])
        return out

    def start(self, *args, stderr=subprocess.DEVNULL):
        return subprocess.Popen(self.argv(*args), cwd=self.workdir, env=self.env,
                                stdout=subprocess.DEVNULL, stderr=stderr)


@pytest.fixture(scope="module")
def work():
    path = scratch_dir("kiv-rclone-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture(scope="module")
def rclone(server, work):
    return Rclone(server.url, work)


def write(path, content):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(content)


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def snapshot(top):
    """{relative path: sha256} of the files and {relative path} of the directories under top,
    leaving out the module's and the service's own state."""
    files, dirs = {}, set()
    for root, dirnames, filenames in os.walk(top):
        dirnames[:] = [d for d in dirnames if d != ".DAV" and not d.startswith(".kivd")]
        rel = os.path.relpath(root, top)
        if rel != ".":
            dirs.add(rel)
        for name in filenames:
            assert not name.startswith(".kivd"), "a temporary file was left behind: %s" % name
            files[os.path.normpath(os.path.join(rel, name))] = digest(os.path.join(root, name))
    return files, dirs


AWKWARD_NAMES = ["a b.txt", "percent%20.txt", "hash#1.txt", "q?mark.txt", "plus+and&amp.txt",
                 "semi;colon.txt", "quote'\"s.txt", "ü ñ é.txt", "日本語.txt", "brackets[1].txt",
                 "at@x.txt", "eq=1,2.txt", " lead.txt", "trail .txt", "%2F.txt", "lt<gt>.txt"]


@pytest.fixture(scope="module")
def tree(work):
    """A local tree: 300 small files (some empty) over 36 directories, awkward names, and three
    large files of 20 to 40 MiB."""
    top = os.path.join(work, "tree")
    rng = random.Random(20261208)
    for i in range(300):
        write(os.path.join(top, "d%02d" % (i % 12), "s%d" % (i % 3), "f%03d.dat" % i),
              rng.randbytes(rng.choice((0, 1, rng.randint(2, 8192)))))
    for name in AWKWARD_NAMES:
        write(os.path.join(top, "odd names", "ü sub", name), name.encode("utf-8"))
    for name, mib in (("twenty.bin", 20), ("thirty b.bin", 30), ("forty ü.bin", 40)):
        write(os.path.join(top, "large", name), rng.randbytes(mib << 20))
    return top


@needs_rclone
def test_tree_goes_up_lists_checks_and_comes_back_byte_for_byte(server, rclone, tree, work):
    server.allow_errors(MKCOL_PARENT)
    rclone.run("copy", tree, "kiv:tree", "--transfers", "4", "--checkers", "8")
    local_files, local_dirs = snapshot(tree)
    assert len(local_files) == 300 + len(AWKWARD_NAMES) + 3
    assert snapshot(os.path.join(server.repo, "tree")) == (local_files, local_dirs)

    listed = json.loads(rclone.run("lsjson", "-R", "kiv:tree").stdout)
    sizes = {e["Path"]: e["Size"] for e in listed if not e["IsDir"]}
    assert sizes == {p: os.path.getsize(os.path.join(tree, p)) for p in local_files}
    assert {e["Path"] for e in listed if e["IsDir"]} == local_dirs

    # No hash is common to both sides, so the check reads every document back.
    check = rclone.run("check", "--download", tree, "kiv:tree")
    assert "0 differences found" in check.stderr
    assert "%d matching files" % len(local_files) in check.stderr

    down = os.path.join(work, "down")
    rclone.run("copy", "kiv:tree", down, "--transfers", "4")
    assert snapshot(down) == (local_files, local_dirs)

    # A second upload finds everything in place and sends nothing.
    again = rclone.run("copy", tree, "kiv:tree", "-v")
    assert "Copied" not in again.stderr, again.stderr[-2000:]

    # The free and used space of the repository's file system; others write to it meanwhile.
    about = json.loads(rclone.run("about", "kiv:", "--json").stdout)
    st = os.statvfs(server.repo)
    assert abs(about["free"] - st.f_bavail * st.f_frsize) < 64 << 20, about
    assert abs(about["used"] - (st.f_blocks - st.f_bfree) * st.f_frsize) < 64 << 20, about


@needs_rclone
def test_sync_rewrites_shrinks_grows_and_deletes(server, rclone, work):
    server.allow_errors(MKCOL_PARENT)
    top = os.path.join(work, "mirror")
    rng = random.Random(7)
    write(os.path.join(top, "shrinks.bin"), rng.randbytes(5 << 20))
    write(os.path.join(top, "grows.txt"), b"short")
    write(os.path.join(top, "kept", "same.txt"), b"unchanged")
    write(os.path.join(top, "kept", "goes.txt"), b"deleted later")
    for i in range(20):
        write(os.path.join(top, "gone", "deep", "g%02d.txt" % i), b"x" * i)
    rclone.run("sync", top, "kiv:mirror")
    remote = os.path.join(server.repo, "mirror")
    assert snapshot(remote) == snapshot(top)
    inode = os.stat(os.path.join(remote, "shrinks.bin")).st_ino

    write(os.path.join(top, "shrinks.bin"), b"now short")
    write(os.path.join(top, "grows.txt"), rng.randbytes(300000))
    os.remove(os.path.join(top, "kept", "goes.txt"))
    shutil.rmtree(os.path.join(top, "gone"))
    write(os.path.join(top, "new", "arrived.txt"), b"fresh")
    rclone.run("sync", top, "kiv:mirror")

    assert snapshot(remote) == snapshot(top)
    assert os.stat(os.path.join(remote, "shrinks.bin")).st_ino == inode, \
        "a replaced document is rewritten in place"
    assert not os.path.exists(os.path.join(remote, "gone"))
    assert "0 differences found" in rclone.run("check", "--download", top, "kiv:mirror").stderr


@needs_rclone
def test_moves_stay_on_the_server(server, rclone, work):
    server.allow_errors(MKCOL_PARENT)
    top = os.path.join(work, "moves")
    write(os.path.join(top, "doc.txt"), b"a document")
    for i in range(5):
        write(os.path.join(top, "folder", "m%d.txt" % i), b"member %d" % i)
    rclone.run("copy", top, "kiv:moves")
    remote = os.path.join(server.repo, "moves")
    doc_inode = os.stat(os.path.join(remote, "doc.txt")).st_ino
    dir_inode = os.stat(os.path.join(remote, "folder")).st_ino

    rclone.run("moveto", "kiv:moves/doc.txt", "kiv:moves/folder/renamed doc.txt")
    rclone.run("moveto", "kiv:moves/folder", "kiv:moves/renamed folder")
    # Same inodes: the server renamed them; nothing went down and up again.
    moved_doc = os.path.join(remote, "renamed folder", "renamed doc.txt")
    assert os.stat(moved_doc).st_ino == doc_inode
    assert os.stat(os.path.join(remote, "renamed folder")).st_ino == dir_inode
    with open(moved_doc, "rb") as f:
        assert f.read() == b"a document"
    assert sorted(os.listdir(remote)) == ["renamed folder"]
    assert len(os.listdir(os.path.join(remote, "renamed folder"))) == 6

    rclone.run("purge", "kiv:moves/renamed folder")
    assert os.listdir(remote) == []


@needs_rclone
def test_server_side_copies_stay_on_the_server(server, rclone, work):
    server.allow_errors(MKCOL_PARENT)
    write(os.path.join(work, "single", "c.txt"), b"copy me")
    rclone.run("copy", os.path.join(work, "single"), "kiv:single")
    # The remote's vendor is "other": rclone copies within it by COPY, not down and up again.
    rclone.run("copyto", "kiv:single/c.txt", "kiv:single/copy.txt")
    with open(os.path.join(server.repo, "single", "copy.txt"), "rb") as f:
        assert f.read() == b"copy me"
    assert server.requests_logged("COPY /single/c.txt HTTP/1.1") == 1
    assert server.requests_logged("GET /single/c.txt HTTP/1.1") == 0


def wait_for_log(server, text, count):
    """Waits until the error log holds count lines with text since the test began."""
    return wait_for(lambda: sum(text in line for line in server.new_log_lines()) >= count)


def interrupt_upload(rclone, source, target):
    """Starts a slow upload and kills rclone once it reports a tenth of the body sent."""
    progress = os.path.join(rclone.workdir, "progress.log")
    with open(progress, "wb") as log:
        proc = rclone.start("copyto", "--bwlimit", "4M", "--stats", "200ms", "--stats-one-line",
                            "-v", source, target, stderr=log)
    def a_tenth_sent():
        assert proc.poll() is None, "the upload ended before it could be interrupted"
        with open(progress, errors="replace") as f:
            return max([int(p) for p in re.findall(r" (\d+)%,", f.read())] or [0]) >= 10

    try:
        assert wait_for(a_tenth_sent, 30, 0.1), "rclone reported no progress"
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
        proc.wait(30)


@needs_rclone
def test_interrupted_uploads_leave_nothing_torn(server, rclone, tree):
    server.allow_errors(ABORTED_BODY + "|" + MKCOL_PARENT)
    large = os.path.join(tree, "large", "forty ü.bin")
    rclone.run("mkdir", "kiv:cut")
    cut = os.path.join(server.repo, "cut")

    interrupt_upload(rclone, large, "kiv:cut/new.bin")
    assert wait_for_log(server, ABORTED_BODY, 1)
    assert not os.path.exists(os.path.join(cut, "new.bin"))

    old = os.path.join(cut, "old.bin")
    write(os.path.join(rclone.workdir, "old.bin"), b"the old content")
    rclone.run("copyto", os.path.join(rclone.workdir, "old.bin"), "kiv:cut/old.bin")
    inode = os.stat(old).st_ino
    interrupt_upload(rclone, large, "kiv:cut/old.bin")
    assert wait_for_log(server, ABORTED_BODY, 2)
    with open(old, "rb") as f:
        assert f.read() == b"the old content"
    assert os.stat(old).st_ino == inode
    # No temporary file of the service is left beside them.
    assert [n for n in os.listdir(cut) if n != ".DAV"] == ["old.bin"]


def test_parallel_mkcol_of_one_new_collection_answers_405_to_the_late_ones(server):
    # rclone's parallel transfers each create the collections they upload into, the deepest
    # first, climbing up on 409 and coming down again. A MKCOL that finds its name taken by the
    # time it runs must hear that the URL is mapped (405), as when it was taken before; one whose
    # parent appeared meanwhile must create the collection. Neither may hear 403.
    server.allow_errors(r"\[40[59], #0\]")
    results = []

    def make_path(segments, barrier):
        client = Dav(server.http_host, server.http_port)
        try:
            barrier.wait(10)
            depth = len(segments)
            steps = 0
            while depth <= len(segments) and steps < 20:
                steps += 1
                path = "/" + "/".join(segments[:depth])
                status = client.mkcol(path).status
                results.append((path, status))
                if status == 409 and depth > 1:
                    depth -= 1
                else:
                    depth += 1
        finally:
            client.close()

    for round_ in range(12):
        segments = ["race-%02d" % round_, "b", "c"]
        barrier = threading.Barrier(6)
        threads = [threading.Thread(target=make_path, args=(segments, barrier))
                   for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        assert os.path.isdir(os.path.join(server.repo, *segments))
    by_path = {}
    for path, status in results:
        by_path.setdefault(path, []).append(status)
    assert len(by_path) == 36
    for path, statuses in by_path.items():
        assert statuses.count(201) == 1, (path, statuses)
        assert set(statuses) <= {201, 405, 409}, (path, statuses)
