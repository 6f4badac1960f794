"""Debian's cadaver, driven command by command against the real server.

Each test runs a cadaver session through pipes and, between its commands, checks over HTTP and
on disk what the command did: cadaver's exit code and its "succeeded." say little on their own.
"""

import os
import re
import select
import shutil
import subprocess
import time

import pytest

from conftest import scratch_dir
from davclient import DAV_NS, lock_token, propfind_prop, responses

CADAVER = shutil.which("cadaver") or "/usr/bin/cadaver"
CUSTOM_NS = "http://webdav.org/cadaver/custom-properties/"
PROMPT = re.compile(rb"dav:(/[^\n]*)> $")
STEP_TIMEOUT = 60

pytestmark = pytest.mark.skipif(not os.path.exists(CADAVER), reason="cadaver is not installed")


class Cadaver:
    """One cadaver process reading commands from a pipe.

    cadaver echoes each command and prints its prompt after every command when its input is not
    a terminal, so the output of one command is what comes between two prompts. HOME points at a
    scratch directory so that no personal .cadaverrc or .netrc takes part.
    """

    def __init__(self, url, workdir, env=None):
        self.workdir = workdir
        environment = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": workdir,
                       "LANG": "C.UTF-8"}
        environment.update(env or {})
        self.proc = subprocess.Popen([CADAVER, url], cwd=workdir, env=environment,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.cwd = None
        self._read_to_prompt()

    def _read_to_prompt(self):
        buf = b""
        deadline = time.monotonic() + STEP_TIMEOUT
        fd = self.proc.stdout.fileno()
        while not PROMPT.search(buf):
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("cadaver gave no prompt within %ds; output: %r" %
                                     (STEP_TIMEOUT, buf[-2000:]))
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 65536)
                if not chunk:
                    raise AssertionError("cadaver ended; output: %r" % buf[-2000:])
                buf += chunk
        self.cwd = PROMPT.search(buf).group(1).decode("utf-8", "replace")
        return PROMPT.sub(b"", buf).decode("utf-8", "replace")

    def run(self, command):
        """Runs one command; its output without the echoed command and the next prompt."""
        self.proc.stdin.write(command.encode("utf-8") + b"\n")
        self.proc.stdin.flush()
        out = self._read_to_prompt()
        first, _, rest = out.partition("\n")
        assert first.strip() == command.strip(), "cadaver echoed %r for %r" % (first, command)
        return rest

    def ok(self, command):
        """Runs a command that must report success."""
        out = self.run(command)
        assert "succeeded." in out and "failed" not in out, "%s: %s" % (command, out)
        return out

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.close()
                self.proc.wait(STEP_TIMEOUT)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait(STEP_TIMEOUT)
        self.proc.stdout.close()


@pytest.fixture
def work():
    path = scratch_dir("kiv-cadaver-")
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.fixture
def cadaver(server, work):
    sessions = []

    def start(env=None):
        session = Cadaver(server.url + "/", work, env)
        sessions.append(session)
        return session

    yield start
    for session in sessions:
        session.close()


def local(work, name, content):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(content)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


def dead_prop(dav, path, name):
    """(status, text) of a cadaver custom property, through PROPFIND."""
    r = dav.propfind(path, propfind_prop((CUSTOM_NS, name)))
    assert r.status == 207, r
    status, element = next(iter(responses(r).values()))["{%s}%s" % (CUSTOM_NS, name)]
    return status, element.text


def locks_on(dav, path):
    """The lock tokens that lockdiscovery reports on path."""
    r = dav.propfind(path, propfind_prop((DAV_NS, "lockdiscovery")))
    assert r.status == 207, r
    return [e.text.strip() for e in r.xml().iter("{DAV:}href")
            if e.text and e.text.strip().startswith("opaquelocktoken:")]


def test_put_ls_get_and_cat_keep_every_byte(server, dav, cadaver, work):
    content = bytes(range(256)) * 1200 + b"\r\n\0end"
    local(work, "payload.bin", content)
    local(work, "note.txt", b"first line\nsecond line\n")
    c = cadaver()
    c.ok('put payload.bin "a b ü.bin"')
    assert read(os.path.join(server.repo, "a b ü.bin")) == content
    c.ok("put note.txt note.txt")
    listing = c.ok("ls")
    sizes = {m.group(1): int(m.group(2)) for m in
             re.finditer(r"^\s+(\S.*?)\s+(\d+)\s+\w{3}\s+\d+\s+[\d:]+$", listing, re.M)}
    assert sizes["a b ü.bin"] == len(content)
    assert sizes["note.txt"] == 23

    c.ok('get "a b ü.bin" back.bin')
    assert read(os.path.join(work, "back.bin")) == content
    assert "second line" in c.run("cat note.txt")
    assert dav.get("/a%20b%20%C3%BC.bin").body == content


def test_mkcol_move_and_rm_act_on_the_tree(server, dav, cadaver, work):
    local(work, "doc.txt", b"moving along")
    c = cadaver()
    c.ok("mkcol folder")
    assert os.path.isdir(os.path.join(server.repo, "folder"))
    r = dav.propfind("/folder/", propfind_prop((DAV_NS, "resourcetype")))
    assert r.xml().find(".//{DAV:}collection") is not None

    c.ok("put doc.txt doc.txt")
    inode = os.stat(os.path.join(server.repo, "doc.txt")).st_ino
    c.ok("move doc.txt folder/renamed.txt")
    assert not os.path.exists(os.path.join(server.repo, "doc.txt"))
    moved = os.path.join(server.repo, "folder", "renamed.txt")
    assert read(moved) == b"moving along"
    assert os.stat(moved).st_ino == inode, "a move within one file system is a rename"
    assert dav.get("/doc.txt").status == 404

    c.ok('move folder "other folder"')
    assert not os.path.exists(os.path.join(server.repo, "folder"))
    assert read(os.path.join(server.repo, "other folder", "renamed.txt")) == b"moving along"

    c.run('cd "other folder"')
    assert c.cwd == "/other folder/"
    c.ok("rm renamed.txt")
    assert not os.path.exists(os.path.join(server.repo, "other folder", "renamed.txt"))
    assert dav.get("/other%20folder/renamed.txt").status == 404
    c.run("cd /")
    c.ok('rmcol "other folder"')
    assert not os.path.exists(os.path.join(server.repo, "other folder"))


def test_propset_propget_propdel_and_properties_follow_a_move_and_a_copy(server, dav, cadaver, work):
    local(work, "p.txt", b"with properties")
    c = cadaver()
    c.ok("put p.txt p.txt")
    c.ok('propset p.txt colour "deep blue"')
    assert dead_prop(dav, "/p.txt", "colour") == (200, "deep blue")
    assert os.path.exists(os.path.join(server.repo, ".DAV", "p.txt")), "the property database"
    out = c.run("propget p.txt colour")
    assert "Value of colour is: deep blue" in out

    c.ok("mkcol pc")
    c.ok('propset pc owner "team kiv"')
    assert dead_prop(dav, "/pc/", "owner") == (200, "team kiv")
    assert os.path.exists(os.path.join(server.repo, "pc", ".DAV", ".state_for_dir"))

    c.ok("move p.txt pc/q.txt")
    assert "Value of colour is: deep blue" in c.run("propget pc/q.txt colour")
    assert not os.path.exists(os.path.join(server.repo, ".DAV", "p.txt"))

    # A copy of the collection has its own and its member's properties.
    c.ok("copy pc pc2")
    assert read(os.path.join(server.repo, "pc2", "q.txt")) == b"with properties"
    assert "Value of colour is: deep blue" in c.run("propget pc2/q.txt colour")
    assert dead_prop(dav, "/pc2/", "owner") == (200, "team kiv")

    c.ok("propdel pc/q.txt colour")
    assert dead_prop(dav, "/pc/q.txt", "colour")[0] == 404
    assert "colour" not in c.ok("propnames pc/q.txt")


def test_lock_guards_a_document_until_unlock(server, dav, cadaver, work):
    server.allow_errors(r"\[423, #0\]")
    local(work, "v1.txt", b"version one")
    local(work, "v2.txt", b"version two, longer")
    c = cadaver()
    c.ok("put v1.txt locked.txt")
    c.ok("lock locked.txt")
    shown = re.findall(r"Lock token <(opaquelocktoken:[^>]+)>", c.run("showlocks"))
    assert len(shown) == 1
    assert locks_on(dav, "/locked.txt") == shown

    # Others are kept out; cadaver sends its token and gets through.
    assert dav.put("/locked.txt", b"intruder").status == 423
    assert dav.delete("/locked.txt").status == 423
    c.ok("put v2.txt locked.txt")
    path = os.path.join(server.repo, "locked.txt")
    assert read(path) == b"version two, longer"

    c.ok("unlock locked.txt")
    assert locks_on(dav, "/locked.txt") == []
    assert dav.put("/locked.txt", b"anyone again").status == 204
    assert read(path) == b"anyone again"


def test_lock_on_a_collection_and_on_a_new_name(server, dav, cadaver, work):
    server.allow_errors(r"\[4(23|24), #0\]|Error\(s\) occurred on resources during the validation")
    local(work, "m.txt", b"member")
    c = cadaver()
    c.ok("mkcol lc")
    c.ok("lock lc")
    token = locks_on(dav, "/lc/")
    assert len(token) == 1
    refused = dav.put("/lc/outsider.txt", b"x")
    # The host answers for the locked parent with a multistatus that names it.
    assert refused.status == 207 and "423 Locked" in refused.text, refused
    assert not os.path.exists(os.path.join(server.repo, "lc", "outsider.txt"))
    c.ok("put m.txt lc/m.txt")
    assert read(os.path.join(server.repo, "lc", "m.txt")) == b"member"
    assert locks_on(dav, "/lc/m.txt") == token, "the member is under the depth-infinity lock"
    c.ok("unlock lc")
    assert locks_on(dav, "/lc/m.txt") == []

    # A lock on a name that does not exist yet creates an empty document there, locked.
    c.ok("lock reserved.txt")
    g = dav.get("/reserved.txt")
    assert (g.status, g.body) == (200, b"")
    assert not os.path.exists(os.path.join(server.repo, ".DAV", ".locknull"))
    assert dav.put("/reserved.txt", b"someone else").status == 423
    c.ok("put m.txt reserved.txt")
    assert read(os.path.join(server.repo, "reserved.txt")) == b"member"
    c.ok("unlock reserved.txt")
    assert locks_on(dav, "/reserved.txt") == []


def test_edit_locks_rewrites_in_place_and_unlocks(server, dav, cadaver, work):
    # The "editor" changes the text and moves the file's time on, which cadaver looks at to
    # decide whether there is anything to upload.
    editor = local(work, "editor.sh", b"#!/bin/sh\nsed -i 's/draft/final/' \"$1\" && "
                                      b"touch -d '+5 seconds' \"$1\"\n")
    os.chmod(editor, 0o755)
    assert dav.put("/memo.txt", b"a draft memo\n").status == 201
    path = os.path.join(server.repo, "memo.txt")
    inode = os.stat(path).st_ino
    c = cadaver(env={"EDITOR": editor})
    out = c.run("edit memo.txt")
    assert "Changes were made." in out and "Uploading changes" in out, out
    assert out.count("succeeded.") == 4, out  # lock, download, upload, unlock
    assert read(path) == b"a final memo\n"
    assert os.stat(path).st_ino == inode, "a replaced document keeps its inode"
    assert locks_on(dav, "/memo.txt") == []


def test_a_lock_taken_elsewhere_is_released_with_its_token(server, dav, cadaver, work):
    # cadaver asks for the token of a lock it does not hold; the next input line answers.
    assert dav.put("/theirs.txt", b"held").status == 201
    token = lock_token(dav.lock("/theirs.txt"))
    c = cadaver()
    c.proc.stdin.write(b"unlock theirs.txt\n%s\n" % token.encode())
    c.proc.stdin.flush()
    out = c._read_to_prompt()
    assert "succeeded." in out, out
    assert locks_on(dav, "/theirs.txt") == []
