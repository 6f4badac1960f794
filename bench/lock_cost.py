"""What the lock check costs a plain PUT and PROPFIND: the same wrk workloads against this project
without a lock database, with an empty one, and with locks present (on other documents, and a
depth-infinity lock on an unrelated collection), each in a fresh scratch data directory.

    /usr/bin/python3 bench/lock_cost.py [--duration 10] [--connections 1,16] [--build DIR]
"""

import argparse
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "scripts"))
sys.path.insert(0, HERE)

import http_bench  # noqa: E402
from kivserver import KivServer  # noqa: E402

LOCKINFO = ('<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/>'
            '</D:lockscope><D:locktype><D:write/></D:locktype><D:owner>bench</D:owner>'
            '</D:lockinfo>')


def take_locks(host, port, documents):
    """Locks `documents` other documents and one unrelated collection (depth infinity)."""
    h = http_bench.Http(host, port)

    def request(method, path, body=None, headers=None):
        status = h.request(method, path, body, headers)
        if not http_bench.ok(status):
            raise RuntimeError("%s %s: %d" % (method, path, status))

    request("MKCOL", "/locked/")
    request("MKCOL", "/locked/tree/")
    for i in range(documents):
        request("PUT", "/locked/doc-%d.txt" % i, b"locked")
        request("LOCK", "/locked/doc-%d.txt" % i, LOCKINFO,
                {"Content-Type": "application/xml", "Timeout": "Second-3600"})
    request("LOCK", "/locked/tree/", LOCKINFO,
            {"Content-Type": "application/xml", "Timeout": "Second-3600", "Depth": "infinity"})
    h.close()


def measure(build, setting, connections, duration):
    data = tempfile.mkdtemp(prefix="kiv-lockcost-")
    os.chmod(data, 0o755)
    server = KivServer(data, os.path.join(build, "module", "mod_dav_kiv.so"),
                       os.path.join(build, "service", "kivd"),
                       lockdb_line="" if setting == "no DAVLockDB" else None)
    server.start()
    try:
        http_bench.create_data(server.http_host, server.http_port)
        if setting == "locks present":
            take_locks(server.http_host, server.http_port, 200)
        rows = []
        for workload in ("put_4k", "propfind_d0"):
            for c in connections:
                r = http_bench.run_wrk(server.url, workload, c, duration)
                rows.append((workload, c, r))
        return rows
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--connections", default="1,16")
    parser.add_argument("--build", default=os.environ.get(
        "KIV_BUILD_DIR", os.path.join(os.path.dirname(HERE), "build")))
    args = parser.parse_args()
    connections = [int(c) for c in args.connections.split(",")]
    print("| setting | workload | conns | requests/s | median (ms) | p99 (ms) | non-2xx |")
    print("|---|---|---|---|---|---|---|")
    for setting in ("no DAVLockDB", "empty lock database", "locks present"):
        for workload, c, r in measure(args.build, setting, connections, args.duration):
            print("| %s | %s | %d | %s | %.2f | %.2f | %d |" % (
                setting, http_bench.WORKLOADS[workload][0], c, "{:,.0f}".format(r["rps"]),
                r["p50"], r["p99"], r["non2xx"]), flush=True)


if __name__ == "__main__":
    main()
