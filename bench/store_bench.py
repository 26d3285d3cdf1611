#!/usr/bin/python3
"""The store's costs through the real daemon, store on against store off (A/B, alternating runs):

1. POST /rulesets of --rulesets definitions (10,000): the time to the reply, which with the store
   on means every definition is on disk.
2. Lines through the intake while every line flips its stream's severity (the worst case for the
   store: every line is an announced state the store queues): alerts confirmed by the bus per
   second for a burst of --burst lines over --streams rulesets.
3. A restart from a store holding --stored-rulesets rulesets (100,000) and --states stream states
   (1,000,000, every one raised): the time from the start of the process until it is initialized,
   and the store's own "loaded in" figure from the log.

Starts a private RabbitMQ node and queltd processes on loopback only; stops by itself. Prints the
load average beside every figure: figures from a shared machine are noisy.
    /usr/bin/python3 bench/store_bench.py [--runs 3]
"""
import argparse
import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, HERE)

import requests  # noqa: E402

from alert_latency import EXCHANGE, UUID, blast, free_port, line, wait_confirmed  # noqa: E402
from certs import make_pki  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


class Daemon:
    def __init__(self, workdir, pki, mq_port, binary, store, wait_bus=True):
        os.makedirs(workdir, exist_ok=True)
        self.rest_port, self.line_port, self.pki = free_port(), free_port(), pki
        orvane = '<orvane><store file="queltd.db"/></orvane>' if store else ""
        config = f"""<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs><log name="debug" disabled="true"/></logs>
  <listeners>
    <listener type="http" address="127.0.0.1" port="{self.rest_port}" certificate_file="{pki.server_crt}"
              key_file="{pki.server_key}" ca_file="{pki.ca}"/>
    <metrics address="127.0.0.1" port="{self.line_port}"/>
  </listeners>
  <modules><module name="amqp" backoff_max_ms="1000"/></modules>
  <network><mq><host>127.0.0.1</host><port>{mq_port}</port><heartbeat>30</heartbeat>
    <exchange name="{EXCHANGE}" type="topic" durable="true"/></mq></network>
  {orvane}
</queltd>
"""
        path = os.path.join(workdir, "queltd.conf")
        with open(path, "w") as f:
            f.write(config)
        self.log_path = os.path.join(workdir, "stderr.log")
        self.stderr = open(self.log_path, "wb")
        self.started = time.monotonic()
        self.proc = subprocess.Popen([binary, "-D", "-D", "-c", path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.stderr, cwd=workdir)
        self.initialized = self.wait_log("queltd initialized", 300)
        if wait_bus:
            self.wait_log("queltd ready for data.", 60)

    def wait_log(self, text, timeout):
        deadline = time.monotonic() + timeout
        while text not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"queltd: no '{text}':\n{self.log()[-3000:]}")
            time.sleep(0.01)
        return time.monotonic()

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def post(self, path, body):
        return requests.post(f"https://127.0.0.1:{self.rest_port}{path}", data=body,
                             cert=self.pki.client, verify=self.pki.ca, timeout=300)

    def stats(self):
        return requests.get(f"https://127.0.0.1:{self.rest_port}/stats.json?format=simple",
                            cert=self.pki.client, verify=self.pki.ca, timeout=10).json()

    def confirmed(self):
        return self.stats()["tovi"]["amqp"]["confirmed"]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(60)
        self.stderr.close()


def rulesets(first, count, prefix):
    return [{"event_criteria_id": first + i, "account_id": 7, "check_uuid": UUID,
             "metric_name": f"{prefix}.{i}", "metric_type": "numeric",
             "rules": [{"criteria": "max value", "severity": 2, "value": "0"}]}
            for i in range(count)]


def post_and_intake(scratch, pki, node, binary, store, args, run):
    d = Daemon(os.path.join(scratch, f"ab-{run}-{int(store)}"), pki, node.port, binary, store)
    try:
        body = json.dumps(rulesets(100000, args.rulesets, "post"))
        t0 = time.monotonic()
        r = d.post("/rulesets", body)
        post_s = time.monotonic() - t0
        assert r.json() == {"rulesets": args.rulesets, "errors": 0}, r.text
        assert d.post("/rulesets", json.dumps(rulesets(1, args.streams, "lat"))).status_code == 200
        base = d.confirmed()
        blast(d.line_port, 0, args.streams, args.streams)
        wait_confirmed(d, base + args.streams)
        burst = args.burst - args.burst % (2 * args.streams)
        base = d.confirmed()
        start = blast(d.line_port, args.streams, burst, args.streams)
        end = wait_confirmed(d, base + burst, timeout=600)
        rate = burst / (end - start)
        # The writer batches about once a second: wait for its queue to drain before counting.
        deadline = time.monotonic() + 30
        while store and time.monotonic() < deadline:
            st = d.stats().get("store", {})
            if st.get("queue_depth", 0) == 0 and st.get("states_written", 0) >= args.streams + burst:
                break
            time.sleep(0.2)
        written = d.stats().get("store", {}).get("states_written", 0)
        return post_s, rate, written
    finally:
        d.stop()


def make_store(path, n_rulesets, n_states):
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode=WAL")
    db.executescript(
        "CREATE TABLE definitions(kind INTEGER NOT NULL, id INTEGER NOT NULL, json TEXT NOT NULL,"
        " source INTEGER NOT NULL, origin TEXT NOT NULL DEFAULT '', updated_ms INTEGER NOT NULL,"
        " PRIMARY KEY(kind, id)) WITHOUT ROWID;"
        "CREATE TABLE streams(ecid INTEGER NOT NULL, signature BLOB NOT NULL, sev INTEGER NOT NULL,"
        " rule INTEGER NOT NULL, ms INTEGER NOT NULL, value TEXT, PRIMARY KEY(ecid, signature))"
        " WITHOUT ROWID;")
    db.executemany("INSERT INTO definitions VALUES(0, ?, ?, 1, '', 0)",
                   ((r["event_criteria_id"], json.dumps(r)) for r in rulesets(1, n_rulesets, "stored")))
    per = max(1, n_states // n_rulesets)
    db.executemany("INSERT INTO streams VALUES(?, ?, 2, 0, 1700000000000, '1')",
                   ((1 + i // per, f"{UUID}`stored.{i // per}|ST[s:{i % per}]".encode())
                    for i in range(n_states)))
    db.commit()
    db.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--rulesets", type=int, default=10000)
    ap.add_argument("--streams", type=int, default=1000)
    ap.add_argument("--burst", type=int, default=50000)
    ap.add_argument("--stored-rulesets", type=int, default=100000)
    ap.add_argument("--states", type=int, default=1000000)
    ap.add_argument("--restart-only", action="store_true", help="skip the A/B runs")
    ap.add_argument("--binary", default=os.environ.get("QUELTD_BIN", os.path.join(SOURCE_DIR, "build", "src", "queltd")))
    args = ap.parse_args()

    scratch = tempfile.mkdtemp(prefix="queltd-store-bench-")
    node = RabbitNode(os.path.join(scratch, "rabbit")).start()
    try:
        pki = make_pki(os.path.join(scratch, "pki"))
        for run in range(0 if args.restart_only else args.runs):
            for store in (False, True):
                post_s, rate, written = post_and_intake(scratch, pki, node, args.binary, store, args, run)
                print(f"run {run} store {'on ' if store else 'off'}: POST of {args.rulesets} rulesets "
                      f"{post_s:.3f} s; flipping lines {rate:,.0f} alerts/s (states written {written}); "
                      f"load {loadavg()}", flush=True)

        workdir = os.path.join(scratch, "restart")
        os.makedirs(workdir)
        t0 = time.monotonic()
        make_store(os.path.join(workdir, "queltd.db"), args.stored_rulesets, args.states)
        print(f"store of {args.stored_rulesets} rulesets and {args.states} states made in "
              f"{time.monotonic() - t0:.1f} s", flush=True)
        for run in range(args.runs):
            d = Daemon(workdir, pki, node.port, args.binary, True, wait_bus=False)
            took = d.initialized - d.started
            m = re.search(r"(\d+) rulesets, \d+ maintenance windows and (\d+) raised streams loaded "
                          r"in ([0-9.]+)s", d.log())
            d.stop()
            print(f"restart {run}: initialized {took:.2f} s after the start; the store's load: "
                  f"{m.group(0) if m else 'not found'}; load {loadavg()}", flush=True)
    finally:
        node.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
