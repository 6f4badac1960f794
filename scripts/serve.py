"""Runs the repository service and Apache with the module in the foreground (see scripts/run).

The service is supervised: when it exits, one line on stderr says how, and it is started again
after a pause that doubles from 0.5 s up to 5 s while it keeps failing, and falls back to 0.5 s
once it has run for a while. Apache keeps running meanwhile: requests that need the service fail
until it is back, and the module reconnects by itself. service.pid in the data directory names
the running service (it is absent while the service is down).

SIGTERM or SIGINT (Ctrl-C) stop both, exit status 0. When Apache exits, the service is stopped
too, exit status 1.
"""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kivserver import KivServer  # noqa: E402

FIRST_DELAY = 0.5
MAX_DELAY = 5.0
# A service that ran this long before it exited is restarted after FIRST_DELAY again.
SETTLED_AFTER = 30.0
POLL = 0.1


def how_it_ended(returncode):
    if returncode >= 0:
        return "exit status %d" % returncode
    try:
        return "signal %s" % signal.Signals(-returncode).name
    except ValueError:
        return "signal %d" % -returncode


class Supervisor:
    """Restarts the service of a started KivServer whenever it has exited."""

    def __init__(self, server):
        self.server = server
        self.delay = FIRST_DELAY
        self.started = time.monotonic()
        self.restart_at = None

    def check(self):
        """One look at the service: notes an exit, or starts it again when its pause is over."""
        now = time.monotonic()
        service = self.server.service
        if service is not None and service.poll() is not None:
            if now - self.started >= SETTLED_AFTER:
                self.delay = FIRST_DELAY
            self.server.stop_service()
            self.pause(now, "repository service (pid %d) exited (%s)" %
                       (service.pid, how_it_ended(service.returncode)))
        elif service is None and self.restart_at is not None and now >= self.restart_at:
            self.restart_at = None
            self.started = now
            try:
                self.server.spawn_service()
            except OSError as e:
                self.pause(now, "repository service could not be started: %s" % e)

    def pause(self, now, what):
        print("%s; starting it again in %.1f s (log: %s)" % (what, self.delay,
                                                             self.server.service_log),
              file=sys.stderr, flush=True)
        self.restart_at = now + self.delay
        self.delay = min(self.delay * 2, MAX_DELAY)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", required=True)
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--service-port", type=int, required=True)
    parser.add_argument("--service-transport", choices=("unix", "tcp", "both"), default="unix",
                        help="where the service listens: its socket run/kivd.sock in the data "
                             "directory (the default), the TCP port, or both")
    parser.add_argument("--module", required=True)
    parser.add_argument("--kivd", required=True)
    parser.add_argument("--repo", help="the repository directory (default: DATA/repo)")
    parser.add_argument("--lockdb", help="the lock database (default: DATA/lockdb)")
    parser.add_argument("--tree-id", type=int,
                        help="the id of a tree shared with other pairs (KIVTreeId, kivd --tree-id)")
    parser.add_argument("--host-id", help="this pair's name among them (kivd --host-id)")
    args = parser.parse_args()

    server = KivServer(args.data, args.module, args.kivd, http_port=args.http_port,
                       service_port=args.service_port,
                       service_transport=args.service_transport, repo=args.repo,
                       lockdb=args.lockdb, tree_id=args.tree_id, host_id=args.host_id)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))
    try:
        server.start()
    except (OSError, RuntimeError) as e:
        print("cannot start: %s" % e, file=sys.stderr)
        server.stop()
        return 1
    # In the foreground, the process started is Apache's parent.
    print("WebDAV at %s/ (repository %s, service on %s, httpd pid %d)" %
          (server.url, server.repo, server.service_address, server.httpd.pid), flush=True)
    supervisor = Supervisor(server)
    try:
        while not stopping:
            if server.httpd.poll() is not None:
                print("httpd exited; see %s" % server.error_log, file=sys.stderr)
                break
            supervisor.check()
            time.sleep(POLL)
    finally:
        server.stop()
    return 0 if stopping else 1


if __name__ == "__main__":
    sys.exit(main())
