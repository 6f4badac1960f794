"""Fixtures of the end-to-end tests: a real Apache with the module and a real repository service,
started in a scratch directory on free loopback ports, stopped by PID afterwards.

After every test the server's error log is read: a crash, or an error line that the test did not
announce with server.allow_errors(pattern), fails the test.
"""

import os
import re
import shutil
import sys
import tempfile
import time

import pytest

SOURCE_DIR = os.environ.get("KIV_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD_DIR = os.environ.get("KIV_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
MODULE = os.path.join(BUILD_DIR, "module", "mod_dav_kiv.so")
KIVD = os.path.join(BUILD_DIR, "service", "kivd")

sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from kivserver import KivServer  # noqa: E402
from davclient import Dav  # noqa: E402

# Lines of the error log that always mean a fault, whatever the test announced.
CRASH = re.compile(r"Segmentation fault|exit signal|AH00052|AH00060|double free|terminate called|"
                   r"AddressSanitizer|stack smashing")
ERROR = re.compile(r":(error|crit|alert|emerg)\]")
THREAD = re.compile(r"\[pid \d+:tid \d+\]")
PUT_CONTEXT = re.compile(r"\[dav:error\].* Unable to PUT new contents for ")


def wait_for(condition, timeout=30, interval=0.05):
    """Calls condition until it gives a true value, which is returned, or until timeout seconds
    have passed (its last value is returned). The bound guards against a hang, not a slow machine:
    keep it generous."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def scratch_dir(prefix="kiv-e2e-"):
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    return path


class GuardedServer(KivServer):
    """A KivServer whose error log the test fixture watches."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._allowed = []
        self._allowed_crashes = []
        self._log_offset = 0

    def allow_errors(self, pattern):
        """Announces error-log lines (a regular expression) that the current test provokes."""
        self._allowed.append(re.compile(pattern))

    def allow_crashes(self, pattern):
        """Announces crash lines (a regular expression) that the test causes itself, such as
        the parent's report of a child the test killed."""
        self._allowed_crashes.append(re.compile(pattern))

    def mark_log(self):
        self._allowed = []
        self._allowed_crashes = []
        self._log_offset = os.path.getsize(self.error_log) if os.path.exists(self.error_log) else 0

    def new_log_lines(self):
        if not os.path.exists(self.error_log):
            return []
        with open(self.error_log, errors="replace") as log:
            log.seek(self._log_offset)
            return log.read().splitlines()

    def log_has(self, text):
        """True when the error log got a line holding text since the test began."""
        return any(text in line for line in self.new_log_lines())

    def requests_logged(self, request_line):
        """How many requests the access log holds with request_line ("PUT /a HTTP/1.1"): Apache
        logs a request once it is done with it."""
        with open(os.path.join(self.data, "logs", "access.log"), errors="replace") as log:
            return log.read().count('"%s"' % request_line)

    def unexpected_log_lines(self):
        bad = []
        lines = self.new_log_lines()
        for i, line in enumerate(lines):
            if CRASH.search(line):
                if not any(p.search(line) for p in self._allowed_crashes):
                    bad.append(line)
            elif ERROR.search(line) and not any(p.search(line) for p in self._allowed):
                # mod_dav's line that a PUT could not begin comes with the module's reason on
                # the same thread's next line, which is what a test announces. Other threads'
                # lines may come between, as many as failed at that moment.
                thread = THREAD.search(line)
                reason = next((later for later in lines[i + 1:]
                               if thread and thread.group(0) in later), None)
                if PUT_CONTEXT.search(line) and reason is not None and any(
                        p.search(reason) for p in self._allowed):
                    continue
                bad.append(line)
        return bad

    def dav(self, **kwargs):
        return Dav(self.http_host, self.http_port, **kwargs)


def start_server(**kwargs):
    data = scratch_dir()
    server = GuardedServer(data, MODULE, KIVD, **kwargs)
    try:
        server.start()
    except Exception:
        server.stop()
        raise
    return server


@pytest.fixture(scope="module")
def server():
    s = start_server()
    yield s
    s.stop()
    shutil.rmtree(s.data, ignore_errors=True)


@pytest.fixture
def dav(server):
    client = server.dav()
    yield client
    client.close()


@pytest.fixture(autouse=True)
def _watch_error_log(request):
    if "server" not in request.fixturenames:
        yield
        return
    srv = request.getfixturevalue("server")
    srv.mark_log()
    yield
    bad = srv.unexpected_log_lines()
    if bad:
        pytest.fail("unexpected lines in the server's error log:\n" + "\n".join(bad[:20]))
