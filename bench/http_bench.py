"""HTTP benchmarks of a WebDAV server with wrk: one command, a markdown table of the figures.

By default it starts this project (scripts/run's settings, in a scratch data directory, on free
ports), creates the test data through HTTP, and runs each workload at each connection count.
With --url it measures a server that is already running instead (any WebDAV server: the data is
created the same way). bench/compare runs these workloads against this project, nginx and
lighttpd side by side.

    /usr/bin/python3 bench/http_bench.py [--duration 10] [--runs 1] [--connections 1,16]
                                         [--workloads get_1k,...] [--out results.md]
"""

import argparse
import http.client
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "scripts"))

from kivserver import KivServer  # noqa: E402

WRK = "/usr/bin/wrk"
LUA = os.path.join(HERE, "wrk")

# name: (description, path, lua script or None, script arguments)
WORKLOADS = {
    "get_1k": ("GET 1 KiB", "/bench/1k.bin", None, []),
    "get_1m": ("GET 1 MiB", "/bench/1m.bin", None, []),
    "put_4k": ("PUT 4 KiB", "/bench", "put.lua", ["/bench/put"]),
    "propfind_d1": ("PROPFIND Depth 1, 100 members", "/bench/c100/", "propfind.lua",
                    ["/bench/c100/", "1"]),
    "propfind_d0": ("PROPFIND Depth 0, 5 dead properties", "/bench/props5.txt", "propfind.lua",
                    ["/bench/props5.txt", "0"]),
    "proppatch": ("PROPPATCH one property", "/bench/patched.txt", "proppatch.lua",
                  ["/bench/patched.txt"]),
    "lock_unlock": ("LOCK+UNLOCK", "/bench/locks", "lock_unlock.lua", ["/bench/locks"]),
}

# The LOCK+UNLOCK workload locks documents of its own set in each run: a run that wrk stops
# between a LOCK and its UNLOCK leaves the lock held until it times out, and the next run on the
# same documents would only see 423 Locked.
LOCK_DOCS = 64  # documents per set: one per connection


def lock_set(index):
    return "/bench/locks/s%d" % index


def ok(status):
    return 200 <= status < 300


class Http:
    def __init__(self, host, port):
        self.conn = http.client.HTTPConnection(host, port, timeout=60)

    def exchange(self, method, path, body=None, headers=None):
        """Status, body."""
        self.conn.request(method, path, body=body, headers=headers or {})
        r = self.conn.getresponse()
        return r.status, r.read()

    def request(self, method, path, body=None, headers=None):
        return self.exchange(method, path, body, headers)[0]

    def close(self):
        self.conn.close()


def propset_body(props):
    return ('<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:b="urn:bench">'
            '<D:set><D:prop>%s</D:prop></D:set></D:propertyupdate>' % props)


def create_data(host, port, lock_sets=1):
    """The same test data in any WebDAV server, created through HTTP.

    Collections are named with a trailing "/", which every server accepts. Fails on any answer
    that is not 2xx, except PROPPATCH: a server without dead properties refuses it, and the
    result says so ({"dead_properties": False}).
    """
    h = Http(host, port)

    def must(method, path, body=None, headers=None):
        status = h.request(method, path, body, headers)
        if not ok(status):
            raise RuntimeError("%s %s answered %d while creating the test data" %
                               (method, path, status))

    def proppatch(path, prop):
        """Sets one property; whether the server kept it (207 with 200 for it, or 2xx without
        a body, as lighttpd answers)."""
        status, body = h.exchange("PROPPATCH", path, propset_body(prop),
                                  {"Content-Type": "application/xml"})
        if status == 207:
            statuses = re.findall(rb"HTTP/1\.\d (\d{3})", body)
            return statuses != [] and all(c == b"200" for c in statuses)
        return ok(status)

    for path in ("/bench/", "/bench/c100/", "/bench/put/", "/bench/locks/"):
        must("MKCOL", path)
    must("PUT", "/bench/1k.bin", os.urandom(1024))
    must("PUT", "/bench/1m.bin", os.urandom(1024 * 1024))
    must("PUT", "/bench/patched.txt", b"patched")
    must("PUT", "/bench/props5.txt", b"five properties")
    # One request per property: lighttpd keeps only the first of several set in one request.
    dead = all([proppatch("/bench/props5.txt", "<b:p%d>value %d</b:p%d>" % (i, i, i))
                for i in range(5)])
    for i in range(100):
        path = "/bench/c100/member-%03d.txt" % i
        must("PUT", path, b"member %d" % i)
        if dead:
            dead = proppatch(path, "<b:tag>%d</b:tag>" % i)
    for k in range(lock_sets):
        must("MKCOL", lock_set(k) + "/")
        for i in range(1, LOCK_DOCS + 1):
            must("PUT", "%s/doc-%d.txt" % (lock_set(k), i), b"lock me")
    h.close()
    return {"dead_properties": dead}


def to_ms(value):
    number, unit = re.fullmatch(r"([\d.]+)(us|ms|s|m)", value).groups()
    return float(number) * {"us": 0.001, "ms": 1.0, "s": 1000.0, "m": 60000.0}[unit]


def run_wrk(url, workload, connections, duration, script_args=None):
    """One wrk run; requests/s, median and p99 latency (ms), requests, non-2xx answers (wrk
    counts statuses of 400 and above) and socket errors."""
    _, path, script, args = WORKLOADS[workload]
    if script_args is not None:
        args = script_args
    threads = min(connections, 2)
    if workload == "lock_unlock":
        threads = connections  # one connection per thread: each keeps its own token
    argv = [WRK, "-t%d" % threads, "-c%d" % connections, "-d%ds" % duration, "--latency",
            "--timeout", "30s"]
    if script:
        argv += ["-s", os.path.join(LUA, script)]
    argv.append(url + path)
    if script:
        argv += ["--"] + args
    out = subprocess.run(argv, capture_output=True, text=True, check=True,
                         timeout=duration + 60).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p50 = to_ms(re.search(r"\s50%\s+(\S+)", out).group(1))
    p99 = to_ms(re.search(r"\s99%\s+(\S+)", out).group(1))
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    sockets = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)",
                        out)
    return {"rps": rps, "p50": p50, "p99": p99, "requests": requests,
            "non2xx": int(errors.group(1)) if errors else 0,
            "socket_errors": sum(int(n) for n in sockets.groups()) if sockets else 0}


def wrk_args(workload, index):
    """Script arguments of run number index (counted over the whole session) of a workload."""
    if workload == "lock_unlock":
        return [lock_set(index)]
    return None


def median_run(results):
    """The run of median requests/s, with the error counts of all runs added up."""
    by_rps = sorted(results, key=lambda r: r["rps"])
    best = dict(by_rps[len(by_rps) // 2])
    best["runs"] = [r["rps"] for r in results]
    best["non2xx"] = sum(r["non2xx"] for r in results)
    best["socket_errors"] = sum(r["socket_errors"] for r in results)
    return best


def table(rows):
    lines = ["| workload | conns | requests/s | median latency (ms) | p99 latency (ms) | non-2xx |",
             "|---|---|---|---|---|---|"]
    for workload, connections, r in rows:
        lines.append("| %s | %d | %s | %.2f | %.2f | %d |" % (
            WORKLOADS[workload][0], connections, "{:,.0f}".format(r["rps"]), r["p50"], r["p99"],
            r["non2xx"]))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--url", help="measure a running server instead of starting this one")
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--connections", default="1,16")
    parser.add_argument("--workloads", default=",".join(WORKLOADS))
    parser.add_argument("--build", default=os.environ.get("KIV_BUILD_DIR",
                                                          os.path.join(TOP, "build")))
    parser.add_argument("--service-args", default="", help="extra options for kivd")
    parser.add_argument("--out")
    args = parser.parse_args()

    server = None
    data = None
    if args.url:
        url = args.url.rstrip("/")
    else:
        data = tempfile.mkdtemp(prefix="kiv-bench-")
        os.chmod(data, 0o755)
        server = KivServer(data, os.path.join(args.build, "module", "mod_dav_kiv.so"),
                           os.path.join(args.build, "service", "kivd"),
                           service_args=args.service_args.split())
        server.start()
        url = server.url
    try:
        parsed = urllib.parse.urlparse(url)
        connection_counts = [int(c) for c in args.connections.split(",")]
        create_data(parsed.hostname, parsed.port or 80,
                    lock_sets=args.runs * len(connection_counts))
        rows = []
        for workload in args.workloads.split(","):
            run_index = 0
            for connections in connection_counts:
                runs = []
                for _ in range(args.runs):
                    runs.append(run_wrk(url, workload, connections, args.duration,
                                        wrk_args(workload, run_index)))
                    run_index += 1
                rows.append((workload, connections, median_run(runs)))
                print("%-14s c=%-3d %10.0f req/s  p50 %.2f ms  p99 %.2f ms" % (
                    workload, connections, rows[-1][2]["rps"], rows[-1][2]["p50"],
                    rows[-1][2]["p99"]), flush=True)
        text = table(rows)
        print(text)
        if args.out:
            with open(args.out, "w") as f:
                f.write(text + "\n")
    finally:
        if server is not None:
            server.stop()
            shutil.rmtree(data, ignore_errors=True)


if __name__ == "__main__":
    main()
