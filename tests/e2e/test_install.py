"""`cmake --install` into a staging directory (DESTDIR), never into the system: the files land
where Debian's Apache, a2enmod and systemd look for them, agree with each other, are accepted by
`apache2 -t` and `systemd-analyze verify`, and, started as installed, serve WebDAV."""

import os
import re
import shlex
import shutil
import subprocess

import pytest

from conftest import BUILD_DIR, MODULE, GuardedServer, scratch_dir
from kivserver import APACHE_BIN, free_port

CMAKE = shutil.which("cmake") or "/usr/bin/cmake"
A2ENMOD = shutil.which("a2enmod") or "/usr/sbin/a2enmod"
A2ENSITE = shutil.which("a2ensite") or "/usr/sbin/a2ensite"
APACHE_ENVVARS = "/etc/apache2/envvars"
DEBIAN_DAV_LOAD = "/etc/apache2/mods-available/dav.load"
STATE_DIR = "/var/lib/kiv"
SOCKET = "/run/kiv/kivd.sock"

pytestmark = pytest.mark.skipif(not os.path.exists(MODULE), reason="the module is not built")


def apxs(name):
    return subprocess.run([shutil.which("apxs") or "/usr/bin/apxs", "-q", name], capture_output=True, text=True, check=True,
                          timeout=30).stdout.strip()


LIBEXECDIR = apxs("LIBEXECDIR")
CONFDIR = apxs("SYSCONFDIR")


def cmake_install(destdir, *args):
    assert destdir and os.path.isabs(destdir) and destdir != "/"
    out = subprocess.run([CMAKE, "--install", BUILD_DIR] + list(args), capture_output=True,
                         text=True, timeout=120, env=dict(os.environ, DESTDIR=destdir))
    assert out.returncode == 0, out.stdout + out.stderr
    return out.stdout


class Staged:
    """One staging directory that an install went into."""

    def __init__(self, root):
        self.root = root

    def path(self, installed):
        return os.path.join(self.root, installed.lstrip("/"))

    def read(self, installed):
        with open(self.path(installed)) as f:
            return f.read()

    @property
    def unit_path(self):
        return "/usr/local/lib/systemd/system/kivd.service"

    def unit(self):
        return parse_unit(self.read(self.unit_path))

    def settings(self):
        return parse_env_file(self.read("/etc/default/kivd"))


def parse_unit(text):
    """{section: {key: [values]}} of a systemd unit."""
    sections, current = {}, None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
            continue
        key, _, value = line.partition("=")
        current.setdefault(key.strip(), []).append(value.strip())
    return sections


def parse_env_file(text):
    values = {}
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            key, _, value = line.partition("=")
            values[key.strip()] = value.strip().strip("\"'")
    return values


def unit_environment(unit, settings):
    """The environment the service gets: the unit's defaults, then its settings file."""
    env = {}
    for value in unit["Service"].get("Environment", []):
        for word in shlex.split(value):
            key, _, v = word.partition("=")
            env[key] = v
    env.update(settings)
    return env


def expand_exec(command, env):
    """systemd's expansion of an Exec line: ${X} is one word, $X splits into words."""
    argv = []
    for word in shlex.split(command):
        whole = re.fullmatch(r"\$([A-Za-z_][A-Za-z0-9_]*)", word)
        if whole:
            argv.extend(env.get(whole.group(1), "").split())
        else:
            argv.append(re.sub(r"\$\{([A-Za-z_][A-Za-z0-9_]*)\}",
                               lambda m: env.get(m.group(1), ""), word))
    return argv


def run_user():
    with open(APACHE_ENVVARS) as f:
        return re.search(r"^export APACHE_RUN_USER=(\S+)$", f.read(), re.M).group(1)


@pytest.fixture(scope="module")
def staged():
    root = scratch_dir("kiv-install-")
    cmake_install(os.path.join(root, "stage"))
    yield Staged(os.path.join(root, "stage"))
    shutil.rmtree(root, ignore_errors=True)


def header_block(text):
    """The leading comment lines of a file: all that a2enmod reads for Depends and Conflicts."""
    lines = []
    for line in text.splitlines():
        if not re.match(r"^\s*(#.*)?$", line):
            break
        lines.append(line)
    return lines


def test_files_land_where_debian_looks_and_name_each_other(staged):
    kivd = staged.path("/usr/local/sbin/kivd")
    assert os.access(kivd, os.X_OK)
    usage = subprocess.run([kivd, "--help"], capture_output=True, text=True, timeout=30)
    assert usage.returncode == 0 and "--root DIR" in usage.stdout

    module = LIBEXECDIR + "/mod_dav_kiv.so"
    assert os.path.isfile(staged.path(module))

    load = staged.read(CONFDIR + "/mods-available/dav_kiv.load")
    header = header_block(load)
    assert "# Depends: dav" in header and "# Conflicts: dav_fs" in header
    loads = re.findall(r"^\s*LoadModule\s+(\S+)\s+(\S+)\s*$", load, re.M)
    assert loads == [("dav_module", LIBEXECDIR + "/mod_dav.so"), ("dav_kiv_module", module)]
    # mod_dav is loaded only where Debian's dav.load has not loaded it already.
    assert re.search(r"<IfModule !mod_dav\.c>\s*LoadModule dav_module ", load)

    unit = staged.unit()
    service = unit["Service"]
    exec_start = shlex.split(service["ExecStart"][0])
    assert exec_start[0] == "/usr/local/sbin/kivd"
    assert service["User"] == [run_user()], "the service runs as Apache's workers do"
    assert service["EnvironmentFile"] == ["-/etc/default/kivd"]
    assert unit["Install"]["WantedBy"] == ["multi-user.target"]

    # The supported deployment: the site's document root is the service's root, and KIVParam
    # names the socket the service listens on, in its private runtime directory.
    settings = staged.settings()
    env = unit_environment(unit, settings)
    argv = expand_exec(service["ExecStart"][0], env)
    assert argv[argv.index("--root") + 1] == settings["KIVD_ROOT"]
    site = staged.read(CONFDIR + "/sites-available/kiv-dav.conf")
    assert re.search(r"^\s*DocumentRoot\s+(\S+)", site, re.M).group(1) == settings["KIVD_ROOT"]
    assert re.search(r"<Directory\s+([^>]+)>", site).group(1) == settings["KIVD_ROOT"]
    conf = staged.read(CONFDIR + "/mods-available/dav_kiv.conf")
    address = re.search(r"^\s*KIVParam\s+(\S+)", conf, re.M).group(1)
    assert address == "unix:" + argv[argv.index("--socket") + 1] == "unix:" + SOCKET
    assert service["RuntimeDirectory"] == ["kiv"] and service["UMask"] == ["0027"]
    lockdb = re.search(r"^\s*DAVLockDB\s+(\S+)", conf, re.M).group(1)
    assert lockdb.startswith(STATE_DIR + "/")
    assert "StateDirectory=" + os.path.basename(STATE_DIR) in staged.read(staged.unit_path)

    # Nothing staged loads another DAV provider.
    for top, _, names in os.walk(staged.root):
        for name in names:
            if name.endswith((".load", ".conf")):
                with open(os.path.join(top, name)) as f:
                    assert not re.search(r"^\s*LoadModule\s+\S+\s+\S*mod_dav_(fs|lock)",
                                         f.read(), re.M), name


def test_the_unit_passes_systemd_analyze_verify(staged, tmp_path):
    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        pytest.skip("systemd-analyze is not installed")
    # The staged copy, with the paths it names pointed into the staging directory.
    text = staged.read(staged.unit_path)
    text = text.replace("/usr/local/sbin/kivd", staged.path("/usr/local/sbin/kivd"))
    text = text.replace("/etc/default/kivd", staged.path("/etc/default/kivd"))
    unit = tmp_path / "kivd.service"
    unit.write_text(text)
    out = subprocess.run([analyze, "verify", str(unit)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0 and out.stdout + out.stderr == "", out.stdout + out.stderr


def enable_in_copy(staged, target):
    """A copy of the staged Apache configuration directory, with Debian's dav.load beside ours,
    in which a2enmod and a2ensite enable the module and the site. Returns the directory."""
    confdir = os.path.join(target, "apache2")
    shutil.copytree(staged.path(CONFDIR), confdir)
    shutil.copy(DEBIAN_DAV_LOAD, os.path.join(confdir, "mods-available"))
    for sub in ("mods-enabled", "sites-enabled"):
        os.makedirs(os.path.join(confdir, sub), exist_ok=True)
    open(os.path.join(confdir, "envvars"), "w").close()
    env = dict(os.environ, APACHE_CONFDIR=confdir,
               APACHE_STATE_DIRECTORY=os.path.join(target, "a2state"))
    for argv in ([A2ENMOD, "dav_kiv"], [A2ENSITE, "kiv-dav"]):
        out = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=60)
        assert out.returncode == 0, out.stdout + out.stderr
    return confdir


def point_at(confdir, staged, state, http_port, service_socket):
    """Rewrites the enabled files' system paths and ports to the test's own."""
    for sub in ("mods-available", "sites-available"):
        for name in os.listdir(os.path.join(confdir, sub)):
            path = os.path.join(confdir, sub, name)
            with open(path) as f:
                text = f.read()
            text = text.replace(LIBEXECDIR + "/mod_dav_kiv.so",
                                staged.path(LIBEXECDIR + "/mod_dav_kiv.so"))
            text = text.replace(STATE_DIR, state)
            text = text.replace("<VirtualHost *:80>", "<VirtualHost *:%d>" % http_port)
            text = text.replace("unix:" + SOCKET, "unix:" + service_socket)
            with open(path, "w") as f:
                f.write(text)


BASE_CONF = """\
ServerRoot "{root}"
ServerName 127.0.0.1
Listen 127.0.0.1:{port}
PidFile "{root}/httpd.pid"
ErrorLog "{root}/logs/error.log"
LogLevel warn
DefaultRuntimeDir "{root}/run"
Mutex file:{root}/run default
Define APACHE_LOG_DIR {root}/logs
{account}
LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule dir_module {modules}/mod_dir.so
LogFormat "%h %l %u %t \\"%r\\" %>s %O" combined
<Directory />
    AllowOverride None
    Require all denied
</Directory>
# As Debian's apache2.conf does.
IncludeOptional {confdir}/mods-enabled/*.load
IncludeOptional {confdir}/mods-enabled/*.conf
IncludeOptional {confdir}/sites-enabled/*.conf
"""


def base_conf(root, port, confdir, account=""):
    return BASE_CONF.format(root=root, port=port, confdir=confdir, account=account,
                            modules=LIBEXECDIR)


def test_a2enmod_enables_module_and_dav_and_apache_accepts_the_files(staged, tmp_path):
    confdir = enable_in_copy(staged, str(tmp_path))
    enabled = sorted(os.listdir(os.path.join(confdir, "mods-enabled")))
    assert enabled == ["dav.load", "dav_kiv.conf", "dav_kiv.load"]
    assert os.listdir(os.path.join(confdir, "sites-enabled")) == ["kiv-dav.conf"]

    port = free_port()
    point_at(confdir, staged, str(tmp_path / "state"), port, str(tmp_path / "kivd.sock"))
    for sub in ("logs", "run", "state/repo"):
        os.makedirs(tmp_path / sub)
    conf = tmp_path / "httpd.conf"
    conf.write_text(base_conf(str(tmp_path), port, confdir))
    out = subprocess.run([APACHE_BIN, "-t", "-f", str(conf)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0 and "Syntax OK" in out.stderr, out.stderr
    assert "AH" not in out.stderr, "no warnings: %s" % out.stderr

    # The .load on its own (without Debian's dav.load) loads mod_dav too.
    conf.write_text(base_conf(str(tmp_path), port, confdir).replace(
        "mods-enabled/*.load", "mods-enabled/dav_kiv.load"))
    out = subprocess.run([APACHE_BIN, "-t", "-f", str(conf)], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr


class InstalledServer(GuardedServer):
    """Apache with the enabled staged files and kivd started as the unit's ExecStart says."""

    def __init__(self, data, staged):
        super().__init__(data, MODULE, staged.path("/usr/local/sbin/kivd"))
        self.staged = staged
        self.confdir = enable_in_copy(staged, data)
        point_at(self.confdir, staged, data, self.http_port, self.service_socket)

    def httpd_conf(self):
        account = ""
        if self.account is not None:
            account = "User %s\nGroup %s" % (self.account, self.account)
        return base_conf(self.data, self.http_port, self.confdir, account)

    def service_argv(self):
        unit = self.staged.unit()
        settings = self.staged.settings()
        settings.update(KIVD_ROOT=self.repo, KIVD_SOCKET=self.service_socket)
        argv = expand_exec(unit["Service"]["ExecStart"][0], unit_environment(unit, settings))
        assert argv[0] == "/usr/local/sbin/kivd"
        return [self.kivd] + argv[1:]


@pytest.fixture(scope="module")
def server(staged):
    data = scratch_dir()
    s = InstalledServer(data, staged)
    try:
        s.start()
        yield s
    finally:
        s.stop()
        shutil.rmtree(data, ignore_errors=True)


def test_installed_files_serve_webdav(server, dav):
    assert dav.put("/hello.txt", b"installed").status == 201
    with open(os.path.join(server.repo, "hello.txt"), "rb") as f:
        assert f.read() == b"installed"
    assert dav.get("/hello.txt").body == b"installed"
    assert dav.mkcol("/folder").status == 201
    # mod_dir stays out of the way: no slash redirect for a collection named without one.
    r = dav.propfind("/folder", depth="0")
    assert r.status == 207, r
    r = dav.proppatch("/hello.txt", '<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" '
                      'xmlns:x="urn:x"><D:set><D:prop><x:a>1</x:a></D:prop></D:set>'
                      '</D:propertyupdate>')
    assert r.status == 207 and "200 OK" in r.text, r
    assert os.path.exists(os.path.join(server.repo, ".DAV", "hello.txt"))
    r = dav.lock("/hello.txt")
    assert r.status == 200, r
    assert any(n.startswith("lockdb") for n in os.listdir(server.data)), "DAVLockDB as shipped"


def test_reinstall_keeps_edited_settings_and_refreshes_the_rest(tmp_path):
    stage = str(tmp_path / "stage")
    cmake_install(stage)
    staged = Staged(stage)
    defaults = staged.path("/etc/default/kivd")
    with open(defaults, "a") as f:
        f.write("KIVD_PORT=9999\n")
    edited = staged.read("/etc/default/kivd")
    load = staged.path(CONFDIR + "/mods-available/dav_kiv.load")
    with open(load, "w") as f:
        f.write("stale\n")

    out = cmake_install(stage)
    assert staged.read("/etc/default/kivd") == edited
    assert "KIVD_PORT=9999" not in staged.read("/etc/default/kivd.dist")
    assert "Keeping: " in out
    assert "LoadModule dav_kiv_module" in staged.read(CONFDIR + "/mods-available/dav_kiv.load")
    # Unchanged settings files are left as they are, without a .dist beside them.
    assert not os.path.exists(staged.path(CONFDIR + "/mods-available/dav_kiv.conf.dist"))


def test_install_prefix_reaches_the_unit(tmp_path):
    stage = str(tmp_path / "stage")
    cmake_install(stage, "--prefix", "/opt/kiv")
    staged = Staged(stage)
    assert os.access(staged.path("/opt/kiv/sbin/kivd"), os.X_OK)
    unit = parse_unit(staged.read("/opt/kiv/lib/systemd/system/kivd.service"))
    assert shlex.split(unit["Service"]["ExecStart"][0])[0] == "/opt/kiv/sbin/kivd"
    # The server's module directory does not move with the prefix.
    assert os.path.isfile(staged.path(LIBEXECDIR + "/mod_dav_kiv.so"))
