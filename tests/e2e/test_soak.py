"""The soak in its short form: 16 clients for KIV_SOAK_SECONDS (default 30) against a server of
its own, then every document, dead property, lock, lock-null list and DBM file checked against
the model. Longer runs: python3 tests/e2e/soak.py --minutes N."""

import os

from soak import EXPECTED_ERRORS, Soak, summary

SECONDS = float(os.environ.get("KIV_SOAK_SECONDS", "30"))


def test_soak_keeps_the_model(server):
    server.allow_errors(EXPECTED_ERRORS)
    soak = Soak(server, clients=16)
    report = soak.run(SECONDS)
    text = summary(report, SECONDS, 16)
    print("seed %d\n%s" % (soak.seed, text))
    assert report.ops > 0
    assert report.discrepancy_count == 0, text
    assert server.httpd.poll() is None and server.service.poll() is None
