"""Debian's litmus (all suites: basic, copymove, props, locks, http) against the real server.

litmus_expected.txt lists every litmus test with pass, or fail and the reason it cannot pass by
design. A test listed as pass that does not pass fails this test; so does a test that litmus no
longer runs, or a new one."""

import os
import re
import subprocess

import pytest

EXPECTED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "litmus_expected.txt")


def expected_results():
    results = {}
    with open(EXPECTED) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            suite, number, name, result = line.split(None, 4)[:4]
            results[(suite, int(number), name)] = result
    return results


def parse(output):
    """{(suite, number, name): "pass" | "fail" | "skip"} from litmus's report."""
    names = {"pass": "pass", "FAIL": "fail", "SKIPPED": "skip"}
    results = {}
    suite = None
    current = None
    for line in output.splitlines():
        m = re.match(r"-> running `(\w+)'", line)
        if m:
            suite = m.group(1)
            continue
        # A test's line may carry warnings; its result then follows on a line of dots.
        m = re.match(r"\s*(\d+)\.\s+(\w+)\.*\s*(pass|FAIL|SKIPPED)?", line)
        if m:
            current = (suite, int(m.group(1)), m.group(2))
            if m.group(3):
                results[current] = names[m.group(3)]
            continue
        m = re.match(r"\s+\.+\s*(pass|FAIL|SKIPPED)", line)
        if m and current is not None and current not in results:
            results[current] = names[m.group(1)]
    return results


def test_litmus(server, dav, tmp_path):
    server.allow_errors(r".")  # litmus provokes every error path on purpose
    assert dav.mkcol("/litmus-root").status == 201
    out = subprocess.run(["litmus", "-k", server.url + "/litmus-root/"], capture_output=True,
                         text=True, timeout=600, cwd=str(tmp_path))
    results = parse(out.stdout)
    expected = expected_results()
    counts = {}
    for (suite, _, _), result in results.items():
        passed, total = counts.get(suite, (0, 0))
        counts[suite] = (passed + (result == "pass"), total + 1)
    print("litmus:", ", ".join("%s %d/%d" % (s, p, t) for s, (p, t) in counts.items()))

    problems = []
    for key, want in expected.items():
        got = results.get(key)
        if got is None:
            problems.append("%s %d %s: not run" % key)
        elif want == "pass" and got != "pass":
            problems.append("%s %d %s: %s" % (key + (got,)))
    for key in results:
        if key not in expected:
            problems.append("%s %d %s: not in litmus_expected.txt" % key)
    if problems:
        pytest.fail("litmus:\n" + "\n".join(problems) + "\n\n" + out.stdout[-6000:])
