#!/usr/bin/python3
"""From a metric line to a person's tool: how long a raise takes to reach a webhook receiver
directly (a webhook outlet) and through a real alert router (an alert router outlet, the router's
group_wait 0, each alert its own group).

Starts a private RabbitMQ node (the bus the daemon publishes on first), the alert router
(prometheus-alertmanager) on loopback, a receiver (an HTTP server in this process that both the
daemon's webhook outlet and the router post to) and queltd with both outlets. Loads --alerts
rulesets, one metric each, then sends one raising line per metric through POST /test/input at
--rate lines a second; each line's latency is the time from its request to the arrival of the
webhook post, and of the router's notification, that name its metric. Reports p50, p99 and max.

Run from the repository root after building queltd:
    /usr/bin/python3 bench/outlet_latency.py [--alerts 300] [--rate 50]
It sends traffic only to 127.0.0.1 and stops by itself.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

from certs import make_pki  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402
from test_notify import ALERTMANAGER, Receiver, Router, line, start_daemon  # noqa: E402


def percentiles(values):
    values = sorted(values)
    if not values:
        return "none arrived"
    pick = lambda q: values[min(len(values) - 1, int(q * len(values)))]  # noqa: E731
    return f"p50 {pick(0.5) * 1000:.1f} ms, p99 {pick(0.99) * 1000:.1f} ms, max {values[-1] * 1000:.1f} ms"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--alerts", type=int, default=300)
    ap.add_argument("--rate", type=float, default=50.0)
    args = ap.parse_args()
    if ALERTMANAGER is None:
        sys.exit("prometheus-alertmanager is not installed")
    os.environ.setdefault("QUELTD_BIN", os.path.join(SOURCE_DIR, "build", "src", "queltd"))
    work = tempfile.mkdtemp(prefix="queltd-outlet-latency-")
    rabbit = router = daemon = None
    receiver = Receiver().start()
    try:
        pki = make_pki(os.path.join(work, "pki"))
        rabbit = RabbitNode(os.path.join(work, "bus"))
        rabbit.start()
        router = Router(os.path.join(work, "router"), receiver).start()
        notify = (f'<notify><alertmanager url="http://127.0.0.1:{router.port}"/>'
                  f'<webhook url="http://127.0.0.1:{receiver.port}/hook" format="compact"/></notify>')
        daemon, rest = start_daemon(os.path.join(work, "daemon"), pki, rabbit.port, notify)
        names = [f"lat.m{i}" for i in range(args.alerts)]
        rulesets = [{"event_criteria_id": 1 + i, "account_id": 7, "check_uuid": "11111111-2222-3333-4444-555555555555",
                     "metric_name": n, "metric_type": "numeric",
                     "rules": [{"criteria": "max value", "severity": 2, "value": "0"}]} for i, n in enumerate(names)]
        assert rest.post("/rulesets", rulesets).json()["errors"] == 0
        sent = {}
        t = int(time.time())
        for i, n in enumerate(names):
            due = time.monotonic() + 1.0 / args.rate
            sent[n] = time.monotonic()
            rest.post("/test/input", line(n, t, "5"))
            time.sleep(max(0.0, due - time.monotonic()))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if len(receiver.bodies("/hook")) >= len(names) and \
                    sum(len(b["alerts"]) for b in receiver.bodies("/router")) >= len(names):
                break
            time.sleep(0.2)
        direct, routed = [], []
        with receiver.lock:
            posts = list(zip(receiver.posts, receiver.times))
        for (path, _, body), at in posts:
            doc = json.loads(body)
            if path == "/hook":
                direct.append(at - sent[doc["labels"]["metric"]])
            elif path == "/router":
                routed += [at - sent[a["labels"]["metric"]] for a in doc["alerts"] if a["status"] == "firing"]
        print(f"{len(names)} raises at {args.rate:g}/s")
        print(f"  webhook outlet:        {len(direct)} arrived, {percentiles(direct)}")
        print(f"  through the router:    {len(routed)} arrived, {percentiles(routed)}")
    finally:
        if daemon:
            daemon.stop()
        if router:
            router.stop()
        receiver.stop()
        if rabbit:
            rabbit.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
