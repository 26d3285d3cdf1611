#!/usr/bin/python3
"""GET /alerts with many raised streams, end to end: a private RabbitMQ node (so that every raise
is announced), the real daemon, one pattern ruleset and N metrics raised through POST /test/input
(plain HTTP on loopback). Then GET /alerts is timed with several queries (first page, a filter
that matches nothing, a deep cursor, limit 1000), and the daemon's resident memory is read before
and after a burst of listings: the selection keeps one page, so the peak should not move with N.

    QUELTD_BIN=build/src/queltd /usr/bin/python3 bench/alerts_rest.py [streams]
"""
import os
import statistics
import sys
import tempfile
import time

import requests

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from conftest import Daemon, base_config, free_port, wait_for  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402

UUID = "11111111-2222-3333-4444-555555555555"


def rss_kib(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
    work = tempfile.mkdtemp(prefix="alerts-bench-")
    node = RabbitNode(os.path.join(work, "rabbit"))
    node.start()
    rest = free_port()
    config = base_config(mq_port=node.port, extra=(
        f'<listeners max_body="67108864"><listener type="http" address="127.0.0.1" port="{rest}"'
        ' insecure="loopback"/></listeners>')).replace(
        "<heartbeat>10</heartbeat>",
        '<heartbeat>10</heartbeat><exchange name="vask.alerts" type="topic" durable="true"/>')
    daemon = Daemon(work, config).start().wait_initialized()
    base = f"http://127.0.0.1:{rest}"
    s = requests.Session()
    try:
        wait_for(lambda: "queltd ready for data." in daemon.log(), 30, what="bus")
        r = s.post(base + "/rulesets", json=[{
            "event_criteria_id": 1, "account_id": 7, "check_uuid": UUID, "metric_pattern": r"^load\.",
            "metric_type": "numeric", "rules": [
                {"criteria": "max value", "severity": 1, "value": "90"},
                {"criteria": "max value", "severity": 2, "value": "50"},
                {"criteria": "max value", "severity": 3, "value": "10"}]}])
        assert r.json()["errors"] == 0, r.text
        t0 = time.monotonic()
        batch = 20000
        for start in range(0, count, batch):
            lines = "".join(
                f"M\tb1\t1700000000.{i % 1000:03d}\tweb{i % 50}`mod`c_7_9`{UUID}\tload.{i}\tn\t{20 + i % 80}\n"
                for i in range(start, min(count, start + batch)))
            r = s.post(base + "/test/input", data=lines, timeout=120)
            assert r.json()["trash"] == 0, r.text
        wait_for(lambda: s.get(base + "/alerts?limit=1").json()["matched"] >= count, 300, 0.5,
                 what="every stream announced")
        print(f"{count} streams raised in {time.monotonic() - t0:.1f} s")

        pid = daemon.proc.pid
        rss_before = rss_kib(pid, "VmRSS")
        queries = {
            "first page (limit 100)": "/alerts",
            "severity 1, limit 100": "/alerts?severity=1",
            "q matching nothing": "/alerts?q=nothing-here",
            "limit 1000": "/alerts?limit=1000",
        }
        deep = s.get(base + "/alerts?limit=1000").json()["next"]
        queries["page after 1000 rows"] = "/alerts?after=" + requests.utils.quote(deep, safe="")
        for what, path in queries.items():
            times = []
            for _ in range(15):
                t = time.monotonic()
                r = s.get(base + path, timeout=60)
                times.append((time.monotonic() - t) * 1000)
                assert r.status_code == 200
            doc = r.json()
            print(f"{what:28s} median {statistics.median(times):7.1f} ms  max {max(times):7.1f} ms"
                  f"  rows {doc['count']:5d}  matched {doc['matched']}  body {len(r.content)} B")
        rss_after = rss_kib(pid, "VmRSS")
        print(f"resident memory: {rss_before} KiB before the listings, {rss_after} KiB after"
              f" ({rss_after - rss_before:+d} KiB); peak {rss_kib(pid, 'VmHWM')} KiB")
    finally:
        daemon.stop()
        node.stop()


if __name__ == "__main__":
    main()
