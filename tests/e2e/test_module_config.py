"""The module loads into the installed Apache, its directives are accepted where they belong and
refused elsewhere with the server's own messages, and KIVParam decides which service it reaches."""

import os
import shutil
import socket
import subprocess
import time

import pytest

from conftest import KIVD, MODULE, GuardedServer, scratch_dir
from kivserver import APACHE_BIN, APACHE_MODULES, free_port

BASE_CONF = """\
ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
ErrorLog "{root}/error.log"
DefaultRuntimeDir "{root}"
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule dav_module {modules}/mod_dav.so
LoadModule dav_kiv_module {module}
DocumentRoot "{root}"
{body}
"""


def syntax_check(body):
    """Runs `apache2 -t` on a configuration with the module loaded; (exit code, output)."""
    root = scratch_dir("kiv-conf-")
    try:
        path = os.path.join(root, "httpd.conf")
        with open(path, "w") as f:
            f.write(BASE_CONF.format(root=root, port=free_port(), modules=APACHE_MODULES,
                                     module=MODULE, body=body))
        out = subprocess.run([APACHE_BIN, "-t", "-f", path], capture_output=True, text=True,
                             timeout=30)
        return out.returncode, out.stdout + out.stderr
    finally:
        shutil.rmtree(root, ignore_errors=True)


def test_directives_accepted_in_main_server_and_virtual_host():
    code, out = syntax_check("""
DAVLockDB lockdb
KIVParam 127.0.0.1 8090 admin secret
KIVIndexes Off
<VirtualHost 127.0.0.1:*>
    DAVLockDB /tmp/other-lockdb
    KIVParam "127.0.0.1" 9000
    KIVIndexes on
    <Location />
        Dav filesystem
    </Location>
</VirtualHost>
<Location />
    Dav filesystem
</Location>
""")
    assert code == 0, out
    assert "Syntax OK" in out


@pytest.mark.parametrize("body, message", [
    ("<Directory />\nDAVLockDB /tmp/x\n</Directory>", "DAVLockDB not allowed in <Directory> context"),
    ("<Location />\nKIVParam 127.0.0.1 8090\n</Location>", "KIVParam not allowed in <Location> context"),
    ("DAVLockDB", "DAVLockDB takes one argument, specify a lock database"),
    ("DAVLockDB a b", "DAVLockDB takes one argument, specify a lock database"),
    ("KIVIndexes maybe", "KIVIndexes must be On or Off"),
    ("<Location />\nKIVIndexes Off\n</Location>", "KIVIndexes not allowed in <Location> context"),
])
def test_misplaced_or_malformed_directive_is_refused(body, message):
    code, out = syntax_check(body)
    assert code != 0
    assert message in out


def port_is_free(port):
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def reaches_service(server):
    """True when a document stored through the server lands in the repository."""
    dav = server.dav()
    try:
        r = dav.put("/probe.txt", b"probe")
        return r.status in (201, 204) and dav.get("/probe.txt").body == b"probe"
    finally:
        dav.close()


def run_with(kivparam, service_port, extra_conf=""):
    data = scratch_dir()
    server = GuardedServer(data, MODULE, KIVD, service_port=service_port, kivparam=kivparam,
                           extra_conf=extra_conf, service_transport="tcp")
    try:
        server.start()
        return reaches_service(server), server
    except Exception:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)
        raise


def stop(server):
    server.stop()
    shutil.rmtree(server.data, ignore_errors=True)


@pytest.mark.parametrize("kivparam", [
    "",                           # no KIVParam at all: 127.0.0.1 8090
    "KIVParam 127.0.0.1",         # only the address
    "KIVParam 127.0.0.1 0",
    'KIVParam 127.0.0.1 ""',
    "KIVParam 127.0.0.1 abc",
])
def test_missing_or_unusable_port_means_8090(kivparam):
    if not port_is_free(8090):
        pytest.skip("port 8090 is in use")
    reached, server = run_with(kivparam, 8090)
    try:
        assert reached
    finally:
        stop(server)


def test_configured_port_and_quoted_address_are_used():
    port = free_port()
    reached, server = run_with('KIVParam "127.0.0.1" %d admin pw' % port, port)
    try:
        assert reached
    finally:
        stop(server)


def test_unreachable_service_address_fails_requests_not_the_server():
    port = free_port()
    # A quoted address with a blank is taken whole, blank included, and reaches nothing.
    reached, server = run_with('KIVParam "127.0.0. 1" %d' % port, port)
    try:
        server.allow_errors(r"document repository is unavailable|"
                            r"Could not fetch resource information|KIV10003")
        assert not reached
        assert server.log_has("KIV10002")
        dav = server.dav()
        started = time.monotonic()
        assert dav.get("/anything").status == 503
        assert time.monotonic() - started < 10
        assert server.httpd.poll() is None
        dav.close()
    finally:
        stop(server)


def test_virtual_host_kivparam_does_not_change_the_connection_and_its_kivindexes_counts():
    port = free_port()
    vhost = """
<VirtualHost 127.0.0.1:*>
    ServerName vhost.test
    KIVParam 127.0.0.1 1
    KIVIndexes Off
    DocumentRoot "{repo}"
    <Location />
        Dav filesystem
    </Location>
</VirtualHost>
"""
    data = scratch_dir()
    server = GuardedServer(data, MODULE, KIVD, service_port=port)
    server.extra_conf = vhost.format(repo=server.repo)
    try:
        server.start()
        dav = server.dav()
        r = dav.put("/via-vhost.txt", b"v", headers={"Host": "vhost.test"})
        assert r.status == 201
        assert dav.get("/via-vhost.txt", headers={"Host": "vhost.test"}).body == b"v"
        # Its KIVIndexes Off keeps the index page of a collection out.
        assert dav.mkcol("/listed", headers={"Host": "vhost.test"}).status == 201
        assert dav.get("/listed", headers={"Host": "vhost.test"}).status == 409
        dav.close()
    finally:
        stop(server)

