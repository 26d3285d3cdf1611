#!/usr/bin/python3
"""Memory under metric-name churn, and alert delay during bursts of sweeping messages, through the
real daemon (2 loop threads) and a private RabbitMQ node.

1. churn: a pattern ruleset with a 1 s window and cull_seconds 1 sees --rounds rounds of --names
   new metric names each (one line per name, written to the line listener); after each round the
   daemon culls every stream, and the resident set size (VmRSS) is read once the culled streams'
   metric states are gone. Reports RSS after each round; flat means names seen once are not kept.
2. sweeps: --streams raised streams (a pattern ruleset), then --lines_per_s lines a second that
   flip 100 exact rulesets (every line one alert) for --seconds, while --messages sweeping
   messages arrive on the bus in the first second ("vask_maintenance remove" for the streams'
   broker and "event_last_known_state purge all", alternating). Reports the delay from a line's
   write to its alert's arrival at a consumer (p50, p99, max), and the sweeps the daemon started
   and joined.

Run from the repository root after building queltd:
    /usr/bin/python3 bench/state_churn.py [churn|sweeps|both] [--names 100000] [--rounds 10]
It sends traffic only to 127.0.0.1 and stops by itself.
"""
import argparse
import multiprocessing
import os
import shutil
import socket
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))
sys.path.insert(0, HERE)

import pika  # noqa: E402

from alert_latency import Daemon, alert_queue, alert_seq, percentile  # noqa: E402
from certs import make_pki  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402

UUID = "11111111-2222-3333-4444-555555555555"
RULES = "vask.rules"
EVENT = "net.orvane.ombra.OmbraEvent\t"


class BusDaemon(Daemon):
    """The benchmark daemon of alert_latency, with a queue on the rules exchange for sweeping
    messages."""

    def __init__(self, workdir, pki, mq_port, binary):
        super().__init__(workdir, pki, mq_port, binary, mq_extra=f"""
    <exchange name="{RULES}" type="topic" durable="true"/>
    <queue name="" durable="false" exclusive="true" auto_delete="true">
      <binding exchange="{RULES}" routing_key="#"/></queue>""")

    def rss_mib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for row in f:
                if row.startswith("VmRSS:"):
                    return int(row.split()[1]) / 1024.0
        return 0.0


def write_lines(port, data):
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(data)


def wait(what, cond, timeout=600):
    deadline = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > deadline:
            raise SystemExit(f"timed out waiting for {what}")
        time.sleep(0.2)


def churn(daemon, names, rounds):
    r = daemon.post("/rulesets", [{
        "event_criteria_id": 1, "account_id": 7, "check_uuid": UUID, "metric_name": None,
        "metric_pattern": "^churn\\.", "metric_type": "numeric", "cull_seconds": 1,
        "rules": [{"criteria": "max value", "severity": 2, "value": "1e9", "windowing_function": "average",
                   "windowing_duration": 1}]}])
    assert r.json() == {"rulesets": 1, "errors": 0}, r.text
    figures = []
    for round_ in range(rounds):
        now = time.time()
        data = "".join(f"M\tb1\t{now:.3f}\tweb01`mod`c_7_9`{UUID}\tchurn.{round_}.{i}\tn\t1\n"
                       for i in range(names)).encode()
        write_lines(daemon.line_port, data)
        # Streams are culled while later lines are still being read: count the culled ones.
        wait("the cull", lambda: daemon.stats()["rulestreams"]["culled"] >= names * (round_ + 1)
             and daemon.stats()["rulestreams"]["live"] == 0)
        # (A daemon without metric_states statistics keeps its states: nothing to wait for.)
        wait("the states to go", lambda: daemon.stats().get("metric_states", {"live": 0})["live"] == 0)
        time.sleep(1.0)
        figures.append(daemon.rss_mib())
        st = daemon.stats().get("metric_states", {"live": "?", "freed": "?"})
        print(f"round {round_ + 1}: {names} names culled, RSS {figures[-1]:.0f} MiB, "
              f"states live {st['live']}, freed {st['freed']}", flush=True)
    print(f"churn: RSS after round 1 {figures[0]:.0f} MiB, after round {rounds} {figures[-1]:.0f} MiB "
          f"({(figures[-1] / figures[0] - 1) * 100:+.1f}%)")


def lat_line(seq, t):
    value = seq + 1 if (seq // 100) % 2 == 0 else -(seq + 1)
    return f"M\tb2\t{t:.3f}\tweb01`mod`c_7_9`{UUID}\tlat.{seq % 100}\tn\t{value}\n".encode()


def consumer(mq_port, expected, ready, out):
    conn, ch, queue = alert_queue(mq_port)
    got, other = {}, [0]

    def on_message(channel, method, properties, body):
        now = time.monotonic()
        if b'"name":"lat.' not in body:
            other[0] += 1
            return
        got.setdefault(alert_seq(body), now)
        if len(got) >= expected:
            channel.stop_consuming()

    ch.basic_consume(queue, on_message, auto_ack=True)
    ready.set()
    conn.call_later(300, ch.stop_consuming)
    ch.start_consuming()
    conn.close()
    out.put((got, other[0]))


def sweeps(daemon, node_port, streams, messages, seconds, lines_per_s):
    rulesets = [{"event_criteria_id": 2, "account_id": 7, "check_uuid": UUID, "metric_name": None,
                 "metric_pattern": "^m\\.", "metric_type": "numeric",
                 "rules": [{"criteria": "max value", "severity": 1, "value": "90"}]}]
    rulesets += [{"event_criteria_id": 10 + i, "account_id": 7, "check_uuid": UUID, "metric_name": f"lat.{i}",
                  "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "0"}]}
                 for i in range(100)]
    r = daemon.post("/rulesets", rulesets)
    assert r.json() == {"rulesets": 101, "errors": 0}, r.text
    base = daemon.stats()["tovi"]["amqp"]["confirmed"]
    now = time.time()
    write_lines(daemon.line_port, "".join(f"M\tb1\t{now:.3f}\tweb01`mod`c_7_9`{UUID}\tm.{i}\tn\t95\n"
                                          for i in range(streams)).encode())
    wait("the first alerts", lambda: daemon.stats()["tovi"]["amqp"]["confirmed"] >= base + streams)

    count = int(seconds * lines_per_s)
    ready, out = multiprocessing.Event(), multiprocessing.Queue()
    taker = multiprocessing.Process(target=consumer, args=(node_port, count, ready, out))
    taker.start()
    ready.wait(30)
    none = {"started": 0, "joined": 0, "paced": 0}
    before = daemon.stats()["rulestreams"].get("sweeps", none)
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", node_port))
    ch = conn.channel()
    sent = []
    with socket.create_connection(("127.0.0.1", daemon.line_port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start = time.monotonic()
        published = 0
        for seq in range(count):
            due = start + seq / lines_per_s
            while published < messages and time.monotonic() - start >= published / messages:
                body = "vask_maintenance\tremove\tb1" if published % 2 == 0 else \
                    "event_last_known_state\tpurge\tall"
                ch.basic_publish(RULES, "x", (EVENT + body).encode())
                published += 1
            pause = due - time.monotonic()
            if pause > 0:
                time.sleep(pause)
            t = time.monotonic()
            s.sendall(lat_line(seq, time.time()))
            sent.append(t)
    conn.close()
    got, others = out.get(timeout=seconds + 320)
    taker.join()
    delays = sorted((got[i] - t) * 1000 for i, t in enumerate(sent) if i in got)
    after = daemon.stats()["rulestreams"].get("sweeps", none)
    print(f"sweeps: {messages} sweep messages on {streams} streams, {count} timed alerts "
          f"({count - len(delays)} missing): delay p50 {percentile(delays, 50):.1f} ms, "
          f"p99 {percentile(delays, 99):.1f} ms, max {delays[-1]:.1f} ms; "
          f"sweeps started {after['started'] - before['started']}, joined {after['joined'] - before['joined']}, "
          f"paced {after['paced'] - before['paced']} ms; {others} re-publications consumed meanwhile")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", nargs="?", default="both", choices=["churn", "sweeps", "both"])
    ap.add_argument("--names", type=int, default=100000)
    ap.add_argument("--rounds", type=int, default=10)
    ap.add_argument("--streams", type=int, default=100000)
    ap.add_argument("--messages", type=int, default=30)
    ap.add_argument("--seconds", type=float, default=20)
    ap.add_argument("--lines_per_s", type=float, default=200)
    ap.add_argument("--binary", default=os.environ.get("QUELTD_BIN", os.path.join(SOURCE_DIR, "build", "src", "queltd")))
    args = ap.parse_args()
    scratch = tempfile.mkdtemp(prefix="queltd-state-churn-")
    node = RabbitNode(os.path.join(scratch, "rabbit")).start()
    try:
        pki = make_pki(os.path.join(scratch, "pki"))
        for what in (["churn", "sweeps"] if args.what == "both" else [args.what]):
            os.makedirs(os.path.join(scratch, what))
            daemon = BusDaemon(os.path.join(scratch, what), pki, node.port, args.binary)
            try:
                if what == "churn":
                    churn(daemon, args.names, args.rounds)
                else:
                    sweeps(daemon, node.port, args.streams, args.messages, args.seconds, args.lines_per_s)
            finally:
                daemon.stop()
    finally:
        node.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
