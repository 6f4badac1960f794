"""Runs the repository service and Apache with the module in the foreground (see scripts/run)."""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kivserver import KivServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--data", required=True)
    parser.add_argument("--http-port", type=int, required=True)
    parser.add_argument("--service-port", type=int, required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--kivd", required=True)
    args = parser.parse_args()

    server = KivServer(args.data, args.module, args.kivd, http_port=args.http_port,
                       service_port=args.service_port)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(True))
    server.start()
    with open(os.path.join(server.data, "httpd.pid")) as f:
        httpd_pid = f.read().strip()
    print("WebDAV at %s/ (repository %s, service on %s:%d, httpd pid %s)" %
          (server.url, server.repo, server.service_host, server.service_port, httpd_pid),
          flush=True)
    try:
        while not stopping:
            if server.httpd.poll() is not None:
                print("httpd exited; see %s" % server.error_log, file=sys.stderr)
                break
            if server.service.poll() is not None:
                print("repository service exited; see %s" % server.service_log, file=sys.stderr)
                break
            time.sleep(0.2)
    finally:
        server.stop()
    return 0 if stopping else 1


if __name__ == "__main__":
    sys.exit(main())
