"""What a shared tree costs and what a second host gives: the same wrk workloads against one pair
over local disk, one pair over a single-node GlusterFS volume (scripts/sharedtree.py: strict
mounts, performance translators off), and two pairs over that volume at once, each through its
own mount with its own clients (their requests/s added up). The pairs over GlusterFS run with a
tree id (KIVTreeId, kivd --tree-id) and a host id each; "local, tree id" is one pair over local
disk with a tree id, which turns the per-process read images off, to show what they are worth.

Needs root and GlusterFS (as scripts/sharedtree.py); wrk.

    /usr/bin/python3 bench/sharedtree_bench.py [--duration 10] [--runs 1] [--connections 16]
                                               [--workloads put_4k,propfind_d1,lock_unlock]
                                               [--out results.md]
"""

import argparse
import os
import shutil
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "scripts"))
sys.path.insert(0, HERE)

from http_bench import WORKLOADS, Http, create_data, median_run, run_wrk  # noqa: E402
from kivserver import KivServer  # noqa: E402
from sharedtree import SharedTree, unavailable  # noqa: E402

TREE_ID = 1
# Each pair's own documents and lock sets, so that the pairs measure their own work, not waits
# for each other's locks.
PUT_PREFIX = "/bench/put-%s"
LOCK_PREFIX = "/bench/locks/%s"
LOCK_DOCS = 64


def prepare_pair_data(server, tag, lock_sets):
    """The documents that the workloads of one pair write and lock, beside create_data's."""
    h = Http(server.http_host, server.http_port)
    try:
        for path in [PUT_PREFIX % tag + "/"] + ["%s%d/" % (LOCK_PREFIX % tag, k)
                                                for k in range(lock_sets)]:
            assert 200 <= h.request("MKCOL", path) < 300, path
        for k in range(lock_sets):
            for i in range(1, LOCK_DOCS + 1):
                path = "%s%d/doc-%d.txt" % (LOCK_PREFIX % tag, k, i)
                assert 200 <= h.request("PUT", path, b"lock me") < 300, path
    finally:
        h.close()


def script_args(workload, tag, index):
    if workload == "put_4k":
        return [PUT_PREFIX % tag]
    if workload == "lock_unlock":
        return ["%s%d" % (LOCK_PREFIX % tag, index)]
    return None


def measure(pairs, workload, connections, duration, runs, first_set):
    """Requests/s of the workload, the pairs driven at once (added up), median of runs."""
    per_run = []
    for run in range(runs):
        results = [None] * len(pairs)

        def drive(i):
            results[i] = run_wrk(pairs[i].url, workload, connections, duration,
                                 script_args(workload, pairs[i].tag, first_set + run))

        threads = [threading.Thread(target=drive, args=(i,)) for i in range(len(pairs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        per_run.append({"rps": sum(r["rps"] for r in results),
                        "p50": max(r["p50"] for r in results),
                        "p99": max(r["p99"] for r in results),
                        "requests": sum(r["requests"] for r in results),
                        "non2xx": sum(r["non2xx"] for r in results),
                        "socket_errors": sum(r["socket_errors"] for r in results)})
    return median_run(per_run)


def start_pair(build, data, tag, **kwargs):
    server = KivServer(data, os.path.join(build, "module", "mod_dav_kiv.so"),
                       os.path.join(build, "service", "kivd"), **kwargs)
    server.tag = tag
    server.start()
    return server


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--duration", type=int, default=10)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--connections", type=int, default=16, help="per pair")
    parser.add_argument("--workloads", default="put_4k,propfind_d1,lock_unlock")
    parser.add_argument("--build", default=os.environ.get("KIV_BUILD_DIR",
                                                          os.path.join(TOP, "build")))
    parser.add_argument("--shared-only", action="store_true", help="no pair over local disk")
    parser.add_argument("--out")
    args = parser.parse_args()
    if unavailable() is not None:
        sys.exit("GlusterFS cannot run here: %s" % unavailable())
    workloads = args.workloads.split(",")

    scratch = tempfile.mkdtemp(prefix="kiv-shared-bench-")
    os.chmod(scratch, 0o755)
    tree = SharedTree(os.path.join(scratch, "tree"))
    servers = []
    tree_up = False
    columns = {}  # setting -> {workload: result}
    try:
        def run_setting(name, pairs, create=True):
            if create:
                create_data(pairs[0].http_host, pairs[0].http_port)
            for s in pairs:
                prepare_pair_data(s, s.tag, args.runs)
            columns[name] = {}
            for w in workloads:
                columns[name][w] = measure(pairs, w, args.connections, args.duration, args.runs,
                                           0)
                print("%-22s %-12s %8.0f req/s" % (name, w, columns[name][w]["rps"]),
                      flush=True)

        local = (("one pair, local disk", None, "local"),
                 ("one pair, local, tree id", TREE_ID, "local-tree-id"))
        for name, tree_id, data in local if not args.shared_only else ():
            s = start_pair(args.build, os.path.join(scratch, data), "a", tree_id=tree_id)
            servers.append(s)
            run_setting(name, [s])
            s.stop()

        tree.up()
        tree_up = True
        mounts = tree.mounts
        pairs = []
        for mount, tag in zip(mounts, ("a", "b")):
            pairs.append(start_pair(args.build, os.path.join(scratch, "pair-" + tag), tag,
                                    repo=os.path.join(mount, "repo"),
                                    lockdb=os.path.join(mount, "locks", "lockdb"),
                                    tree_id=TREE_ID, host_id=tag))
            servers.append(pairs[-1])
        run_setting("one pair, GlusterFS", pairs[:1])
        # The same data; documents and lock sets of their own (a run that wrk stops between a
        # LOCK and its UNLOCK leaves its document locked).
        for s in pairs:
            s.tag += "2"
        run_setting("two pairs, GlusterFS", pairs, create=False)
    finally:
        for s in servers:
            s.stop()
        problems = tree.down() if tree_up else []
        if not problems:
            shutil.rmtree(scratch, ignore_errors=True)
        else:
            print("left behind in %s: %s" % (scratch, problems))

    names = list(columns)
    lines = ["| workload (%d connections per pair) | %s |" % (args.connections,
                                                           " | ".join(names)),
             "|---|" + "---|" * len(names)]
    for w in workloads:
        lines.append("| %s | %s |" % (WORKLOADS[w][0], " | ".join(
            "{:,.0f}".format(columns[n][w]["rps"]) + (" (%d non-2xx)" % columns[n][w]["non2xx"]
                                                      if columns[n][w]["non2xx"] else "")
            for n in names)))
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
