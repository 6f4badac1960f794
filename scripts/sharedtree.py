"""One tree seen by two hosts, on one machine: a single-node GlusterFS volume mounted twice
through FUSE. The two mounts show the same files with the same inode numbers and different
device numbers, as two hosts of a shared file system do.

The volume is made for coherence, not speed: the performance translators that cache or delay
(quick-read, stat-prefetch, open-behind, write-behind, io-cache, read-ahead, readdir-ahead,
nl-cache) are off, and the mounts keep no attributes, entries or pages cached, so a write through
one mount is seen at once through the other.

Everything lives under one scratch directory: brick/, mount1/, mount2/, the logs, and
sharedtree.json, which records what was started so that tear-down (in this process or another)
stops exactly that, by PID: the two mount clients, the brick process, the volume, and glusterd if
this harness started it (a glusterd already running is used and left running). Runs on one
machine take turns (a lock in /run), since they share glusterd.

Needs root, /dev/fuse and Debian's glusterfs-server and glusterfs-client; where any is missing,
up() raises Unavailable saying which.

By hand (root):
    python3 scripts/sharedtree.py up DIR      sets up the volume, prints the two mounts
    python3 scripts/sharedtree.py down DIR    tears down what up left in DIR
"""

import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time

GLUSTERD = "/usr/sbin/glusterd"
GLUSTERFS = "/usr/sbin/glusterfs"
GLUSTER = "/usr/sbin/gluster"
# The CLI refuses 127.0.0.1 and localhost as a brick's host; the rest of 127/8 is loopback too.
BRICK_HOST = "127.0.0.2"
PERFORMANCE_OFF = ("quick-read", "stat-prefetch", "open-behind", "write-behind", "io-cache",
                   "read-ahead", "readdir-ahead", "nl-cache")
STRICT_MOUNT = ("--attribute-timeout=0", "--entry-timeout=0", "--negative-timeout=0",
                "--fopen-keep-cache=false")
GLUSTERD_STATE = "/var/lib/glusterd/vols"
GLUSTERD_RUN = "/var/run/gluster/vols"
TURN_LOCK = "/run/kiv-sharedtree.lock"
TURN_TIMEOUT = 600
CLI_TIMEOUT = 60
START_TIMEOUT = 30
STOP_TIMEOUT = 15


class Unavailable(Exception):
    """GlusterFS cannot run here; the message says why."""


def unavailable():
    """Why a shared tree cannot be set up on this machine, or None."""
    if os.geteuid() != 0:
        return "GlusterFS needs root (glusterd and FUSE mounts)"
    for path in (GLUSTERD, GLUSTERFS, GLUSTER):
        if not os.path.exists(path):
            return "%s is missing: install glusterfs-server and glusterfs-client" % path
    if not os.path.exists("/dev/fuse"):
        return "/dev/fuse is missing: no FUSE in this kernel or container"
    return None


def ours(pid, marker):
    """True while process pid runs with marker in its command line: a PID of a process that has
    ended may name another process by now."""
    if not pid:
        return False
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            argv = f.read().decode("utf-8", "replace")
        with open("/proc/%d/stat" % pid) as f:
            # A zombie has ended; only its parent has yet to hear of it.
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                return False
    except (OSError, IndexError):
        return False
    return marker in argv


def stop_pid(pid, marker, timeout=STOP_TIMEOUT):
    """SIGTERM, then SIGKILL after timeout, to pid while it is the process that marker names;
    True when it has gone."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if not ours(pid, marker):
            return True
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return True
        deadline = time.monotonic() + timeout
        while ours(pid, marker) and time.monotonic() < deadline:
            time.sleep(0.05)
    return not ours(pid, marker)


def children(pid):
    """The PIDs of the processes whose parent is pid."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, IndexError, ValueError):
            pass
    return found


def mounted(mountpoint):
    """Whether something is mounted at mountpoint, from the kernel's table: never a stat, which
    hangs on a FUSE mount whose client stopped answering."""
    target = os.path.abspath(mountpoint).encode()
    try:
        with open("/proc/self/mountinfo", "rb") as table:
            for line in table:
                # The fifth field; blanks and backslashes in it are written as octal escapes.
                if line.split(b" ")[4].decode("unicode_escape").encode("latin-1") == target:
                    return True
    except OSError:
        pass
    return False


def run_bounded(argv, timeout):
    """Runs argv; gives up on it after timeout (killed, not waited for: a process stuck in the
    kernel on a dead mount would hold the caller too)."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        try:
            proc.wait(timeout=1)
        except subprocess.TimeoutExpired:
            pass
        return None


def read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])
    except (OSError, IndexError, ValueError):
        return None


def wait_until(condition, timeout, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


class SharedTree:
    """A volume named uniquely for this run, its brick under scratch and two strict mounts."""

    def __init__(self, scratch, volume=None):
        self.scratch = os.path.abspath(scratch)
        self.brick = os.path.join(self.scratch, "brick")
        self.mounts = [os.path.join(self.scratch, "mount1"), os.path.join(self.scratch, "mount2")]
        self.volume = volume or "kiv%d_%s" % (os.getpid(), os.urandom(4).hex())
        self.state_file = os.path.join(self.scratch, "sharedtree.json")
        self.glusterd = None        # the PID of a glusterd this harness started
        self.created = False        # the volume exists
        self.clients = []           # PIDs of the mount clients
        self.bricks = []            # {"pid", "socket", "log"} of the volume's brick processes
        self._turn = None
        self.seconds_up = self.seconds_down = None

    # Setting up.

    def up(self):
        """Sets up the volume and both mounts; on any failure, tears down what it made and
        raises (Unavailable where GlusterFS cannot run here at all)."""
        reason = unavailable()
        if reason:
            raise Unavailable(reason)
        started = time.monotonic()
        os.makedirs(self.scratch, exist_ok=True)
        self._take_turn()
        try:
            self._start_glusterd()
            self._create_volume()
            for n, mountpoint in enumerate(self.mounts):
                self._mount(n, mountpoint)
        except BaseException:
            self.down()
            raise
        self.seconds_up = time.monotonic() - started
        return self

    def _take_turn(self):
        self._turn = open(TURN_LOCK, "a+")
        deadline = time.monotonic() + TURN_TIMEOUT
        while True:
            try:
                fcntl.flock(self._turn, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    self._turn.close()
                    self._turn = None
                    raise Unavailable("another shared tree held %s for %d s" %
                                      (TURN_LOCK, TURN_TIMEOUT))
                time.sleep(0.5)
        self._save()

    def _cli(self, *args, check=True):
        out = subprocess.run([GLUSTER, "--mode=script"] + list(args), stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=CLI_TIMEOUT)
        if check and out.returncode != 0:
            raise RuntimeError("gluster %s: %s%s" % (" ".join(args), out.stdout, out.stderr))
        return out

    def _glusterd_answers(self):
        try:
            return self._cli("peer", "status", check=False).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def _start_glusterd(self):
        if self._glusterd_answers():
            return  # someone else's: used, and left running
        pid_file = os.path.join(self.scratch, "glusterd.pid")
        out = subprocess.run([GLUSTERD, "-p", pid_file, "-l",
                              os.path.join(self.scratch, "glusterd.log"), "--log-level",
                              "WARNING"], stdin=subprocess.DEVNULL, capture_output=True,
                             text=True, timeout=START_TIMEOUT)
        # glusterd forks into the background; its pid file names the daemon.
        self.glusterd = wait_until(lambda: read_pid(pid_file), START_TIMEOUT)
        self._save()
        if out.returncode != 0 or not self.glusterd:
            raise Unavailable("glusterd did not start (exit status %d): %s" %
                              (out.returncode, out.stderr.strip()))
        if not wait_until(self._glusterd_answers, START_TIMEOUT, 0.1):
            raise Unavailable("glusterd does not answer; see %s/glusterd.log" % self.scratch)

    def _create_volume(self):
        os.makedirs(self.brick, exist_ok=True)
        # force: the brick is on the root file system, which the CLI otherwise refuses.
        self._cli("volume", "create", self.volume, "%s:%s" % (BRICK_HOST, self.brick), "force")
        self.created = True
        self._save()
        settings = []
        for option in PERFORMANCE_OFF:
            settings += ["performance." + option, "off"]
        self._cli("volume", "set", self.volume, *settings)
        self._cli("volume", "start", self.volume)
        self.bricks = self._brick_processes()
        self._save()

    def _brick_processes(self):
        """The brick processes of the volume, from glusterd's pid files, with the socket and
        log each was told to use (read from its command line)."""
        found = []
        directory = os.path.join(GLUSTERD_RUN, self.volume)
        for name in sorted(os.listdir(directory)) if os.path.isdir(directory) else []:
            pid = read_pid(os.path.join(directory, name))
            if not pid or not name.endswith(".pid"):
                continue
            brick = {"pid": pid, "socket": None, "log": None}
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv = f.read().decode("utf-8", "replace").split("\0")
            except OSError:
                argv = []
            for flag, key in (("-S", "socket"), ("-l", "log")):
                if flag in argv[:-1]:
                    brick[key] = argv[argv.index(flag) + 1]
            found.append(brick)
        return found

    def _mount(self, n, mountpoint):
        os.makedirs(mountpoint, exist_ok=True)
        pid_file = os.path.join(self.scratch, "mount%d.pid" % (n + 1))
        out = subprocess.run([GLUSTERFS, "--volfile-server=" + BRICK_HOST,
                              "--volfile-id=" + self.volume] + list(STRICT_MOUNT) +
                             ["--log-file=" + os.path.join(self.scratch, "mount%d.log" % (n + 1)),
                              "--pid-file=" + pid_file, mountpoint],
                             stdin=subprocess.DEVNULL, capture_output=True, text=True,
                             timeout=START_TIMEOUT)
        pid = wait_until(lambda: read_pid(pid_file), START_TIMEOUT)
        if pid:
            self.clients.append(pid)
            self._save()
        if out.returncode != 0 or not pid:
            raise Unavailable("the FUSE mount of %s was refused (exit status %d): %s" %
                              (self.volume, out.returncode, out.stderr.strip()))

        def ready():
            try:
                return mounted(mountpoint) and os.statvfs(mountpoint).f_blocks > 0
            except OSError:
                return False

        if not wait_until(ready, START_TIMEOUT, 0.1):
            raise RuntimeError("%s is not usable; see %s" % (mountpoint, self.scratch))

    # Tearing down.

    def down(self):
        """Stops and removes what up() made, in order, carrying on past failures; the list of
        what it could not undo (empty when nothing is left behind)."""
        started = time.monotonic()
        problems = []
        for mountpoint in self.mounts:
            problems += self._unmount(mountpoint)
        for pid in self.clients:
            if not stop_pid(pid, "--volfile-id=" + self.volume):
                problems.append("mount client %d does not stop" % pid)
        self.clients = []
        if self.created:
            problems += self._remove_volume()
        if self.glusterd:
            # Deleting a volume runs glusterd's hook scripts in the background: let them end.
            if not wait_until(lambda: not children(self.glusterd), STOP_TIMEOUT, 0.1):
                problems.append("hook scripts of glusterd still run: %s" %
                                children(self.glusterd))
            if stop_pid(self.glusterd, os.path.join(self.scratch, "glusterd.pid")):
                self.glusterd = None
            else:
                problems.append("glusterd %d does not stop" % self.glusterd)
        shutil.rmtree(self.brick, ignore_errors=True)
        for mountpoint in self.mounts:
            if not mounted(mountpoint) and os.path.isdir(mountpoint):
                try:
                    os.rmdir(mountpoint)
                except OSError as e:
                    problems.append("%s: %s" % (mountpoint, e))
        if problems:
            self._save()
        else:
            try:
                os.remove(self.state_file)
            except FileNotFoundError:
                pass
        if self._turn is not None:
            self._turn.close()
            self._turn = None
        self.seconds_down = time.monotonic() - started
        return problems

    def _unmount(self, mountpoint):
        if not mounted(mountpoint):
            return []
        for argv in (["umount", mountpoint], ["umount", "-l", mountpoint]):
            run_bounded(argv, STOP_TIMEOUT)
            if not mounted(mountpoint):
                return []
        return ["%s is still mounted" % mountpoint]

    def _remove_volume(self):
        problems = []
        if not self.bricks:
            self.bricks = self._brick_processes()
        if self._glusterd_answers():
            for args in (("volume", "stop", self.volume, "force"),
                         ("volume", "delete", self.volume)):
                try:
                    self._cli(*args, check=False)
                except subprocess.TimeoutExpired:
                    problems.append("gluster %s timed out" % " ".join(args))
        # Whatever glusterd could not do (it died, say) is done by hand: the brick processes
        # were started for this volume alone.
        for brick in self.bricks:
            if not stop_pid(brick["pid"], self.brick):
                problems.append("brick process %d does not stop" % brick["pid"])
            for key in ("socket", "log"):
                if brick[key]:
                    try:
                        os.remove(brick[key])
                    except OSError:
                        pass
        self.bricks = []
        for directory in (os.path.join(GLUSTERD_STATE, self.volume),
                          os.path.join(GLUSTERD_RUN, self.volume)):
            shutil.rmtree(directory, ignore_errors=True)
        if os.path.exists(os.path.join(GLUSTERD_STATE, self.volume)):
            problems.append("volume %s is still defined" % self.volume)
        else:
            self.created = False
        return problems

    # What was started, for a tear-down from another process.

    def _save(self):
        state = {"volume": self.volume, "glusterd": self.glusterd, "created": self.created,
                 "clients": self.clients, "bricks": self.bricks}
        with open(self.state_file + ".new", "w") as f:
            json.dump(state, f)
        os.replace(self.state_file + ".new", self.state_file)

    @classmethod
    def load(cls, scratch):
        """The SharedTree that up() left in scratch (None when there is nothing to undo)."""
        tree = cls(scratch)
        try:
            with open(tree.state_file) as f:
                state = json.load(f)
        except FileNotFoundError:
            return None
        tree.volume = state["volume"]
        tree.glusterd = state["glusterd"]
        tree.created = state["created"]
        tree.clients = state["clients"]
        tree.bricks = state["bricks"]
        return tree


def main(argv):
    if len(argv) != 3 or argv[1] not in ("up", "down"):
        print(__doc__.split("By hand")[1].strip(), file=sys.stderr)
        return 2
    if argv[1] == "up":
        tree = SharedTree(argv[2])
        try:
            tree.up()
        except (Unavailable, RuntimeError, OSError, subprocess.TimeoutExpired) as e:
            print("no shared tree: %s" % e, file=sys.stderr)
            return 1
        print("volume %s, mounted on %s and %s (%.1f s)" %
              (tree.volume, tree.mounts[0], tree.mounts[1], tree.seconds_up))
        return 0
    tree = SharedTree.load(argv[2])
    if tree is None:
        print("nothing to tear down in %s" % argv[2], file=sys.stderr)
        return 0
    problems = tree.down()
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
