#!/usr/bin/python3
"""Alerts through the real daemon: how many alerts a second it publishes with publisher confirms,
and how long a line written to the TCP line listener takes to come back as an alert from the bus.

Starts a private RabbitMQ node and queltd (2 loop threads, REST over TLS, one line listener),
loads --streams numeric rulesets ("max value" 0, severity 2) and makes every line flip its stream:
a positive value raises it, a negative one clears it, so every line is one alert. Values are unique
(the line's sequence number, signed), which ties each alert to the line that caused it.

1. Maximum: --burst lines written as fast as one connection goes; alerts/s is the burst over the
   time from the first line written until the bus module's "confirmed" counter has counted every
   alert (the broker confirmed it, so it was stored and routed).
2. Latency: for --seconds at --fraction (default half) of that rate, paced in 1 ms steps by a
   separate process. The latency of a line is the time from its write to its alert's arrival at a
   consumer, which includes the broker's delivery after its confirm. Reports p50, p99, p99.9, max.
A consumer process on a queue bound to the alert route takes every alert in both phases, so the
broker's delivery work is part of the load the maximum is measured under.

Run from the repository root after building queltd:
    /usr/bin/python3 bench/alert_latency.py [--streams 1000] [--burst 50000] [--seconds 10]
It sends traffic only to 127.0.0.1 and stops by itself.
"""
import argparse
import json
import multiprocessing
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "e2e"))

import pika  # noqa: E402
import requests  # noqa: E402

from certs import make_pki  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402

UUID = "11111111-2222-3333-4444-555555555555"
EXCHANGE, ROUTE = "vask.alerts", "vask.alerts.sev"
BASE_S = 1700000000


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def line(seq, streams):
    """Line seq: stream seq % streams, 1 ms after line seq - 1; odd rounds raise, even clear."""
    value = seq + 1 if (seq // streams) % 2 == 0 else -(seq + 1)
    t = BASE_S * 1000 + seq
    return (f"M\tb1\t{t // 1000}.{t % 1000:03d}\tweb01`mod`c_7_9`{UUID}\tlat.{seq % streams}"
            f"\tn\t{value}\n").encode()


class Daemon:
    """queltd with 2 loop threads, REST over TLS and a line listener, publishing alerts on the bus;
    mq_extra is added to its <mq> (more exchanges, a queue)."""

    def __init__(self, workdir, pki, mq_port, binary, mq_extra=""):
        self.rest_port, self.line_port = free_port(), free_port()
        self.pki = pki
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
    <exchange name="{EXCHANGE}" type="topic" durable="true"/>{mq_extra}</mq></network>
</queltd>
"""
        path = os.path.join(workdir, "queltd.conf")
        with open(path, "w") as f:
            f.write(config)
        self.stderr = open(os.path.join(workdir, "stderr.log"), "wb")
        self.log_path = self.stderr.name
        self.proc = subprocess.Popen([binary, "-D", "-D", "-c", path], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.stderr, cwd=workdir)
        deadline = time.monotonic() + 30
        while "queltd ready for data." not in self.log():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise SystemExit(f"queltd did not start:\n{self.log()}")
            time.sleep(0.1)

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def url(self, path):
        return f"https://127.0.0.1:{self.rest_port}{path}"

    def post(self, path, body):
        return requests.post(self.url(path), data=json.dumps(body), cert=self.pki.client,
                             verify=self.pki.ca, timeout=60)

    def stats(self):
        return requests.get(self.url("/stats.json?format=simple"), cert=self.pki.client,
                            verify=self.pki.ca, timeout=10).json()

    def bins(self, *path):
        """A histogram's bins (lower edge -> count) from the full statistics; {} when absent."""
        o = requests.get(self.url("/stats.json"), cert=self.pki.client, verify=self.pki.ca,
                         timeout=10).json()
        for key in path:
            o = o.get(key, {}) if isinstance(o, dict) else {}
        return {float(k): v for k, v in o.get("_value", {}).get("bins", {}).items()}

    def confirmed(self):
        return self.stats()["tovi"]["amqp"]["confirmed"]

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.stderr.close()


def wait_confirmed(daemon, target, timeout=120):
    deadline = time.monotonic() + timeout
    while True:
        got = daemon.confirmed()
        if got >= target:
            return time.monotonic()
        if time.monotonic() > deadline:
            raise SystemExit(f"only {got} of {target} alerts confirmed")
        time.sleep(0.002)


def blast(port, first, count, streams):
    data = b"".join(line(seq, streams) for seq in range(first, first + count))
    with socket.create_connection(("127.0.0.1", port)) as s:
        start = time.monotonic()
        s.sendall(data)
        s.shutdown(socket.SHUT_WR)
        return start


def paced_sender(port, first, count, streams, rate, out):
    """Writes lines first..first+count at `rate` a second in 1 ms steps; returns each write time."""
    lines = [line(seq, streams) for seq in range(first, first + count)]
    sent = [0.0] * count
    per_step = rate / 1000.0
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        start = time.monotonic()
        done = 0
        step = 0
        while done < count:
            due = min(count, int((step + 1) * per_step))
            if due > done:
                now = time.monotonic()
                s.sendall(b"".join(lines[done:due]))
                for i in range(done, due):
                    sent[i] = now
                done = due
            step += 1
            pause = start + step / 1000.0 - time.monotonic()
            if pause > 0:
                time.sleep(pause)
    out.put(sent)


def alert_queue(mq_port):
    """A connection, its channel and an exclusive queue bound to the alert route."""
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", mq_port))
    ch = conn.channel()
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)
    return conn, ch, queue


def alert_seq(body):
    """The sequence number of the line an alert document was raised or cleared by (its value)."""
    at = body.rfind(b'"value":')
    return int(abs(float(body[at + 8:body.index(b"}", at)]))) - 1


def consumer_until(mq_port, expected, taken_so_far, timed_from, ready, out):
    """Takes alerts until it has `expected.value` of them (a shared value the main process settles
    later); returns the arrival times of the alerts of lines timed_from and later."""
    conn, ch, queue = alert_queue(mq_port)
    received = {}
    taken = [0]

    def on_message(channel, method, properties, body):
        now = time.monotonic()
        taken[0] += 1
        taken_so_far.value = taken[0]
        seq = alert_seq(body)
        if seq >= timed_from:
            received[seq] = now
        if taken[0] >= expected.value:
            channel.stop_consuming()

    ch.basic_consume(queue, on_message, auto_ack=True)
    ready.set()
    conn.call_later(600, ch.stop_consuming)
    ch.start_consuming()
    conn.close()
    out.put(received)


def percentile(sorted_values, p):
    return sorted_values[min(len(sorted_values) - 1, int(p / 100.0 * len(sorted_values)))]


# The daemon's own histograms of the paced phase: line -> publish call (its share), the bus
# thread's wait, and send call -> broker confirm.
DAEMON_HISTOGRAMS = (("line_to_publish", ("datapath", "line_to_publish")),
                     ("publish_wait", ("tovi", "amqp", "publish_wait")),
                     ("publish_to_confirm", ("tovi", "amqp", "publish_to_confirm")))


def bins_percentile(before, after, p):
    """The p-th percentile (bin lower edge, ms) of what was recorded between two readings."""
    diff = sorted((edge, after[edge] - before.get(edge, 0)) for edge in after)
    total = sum(n for _, n in diff)
    if total <= 0:
        return None
    seen = 0
    for edge, n in diff:
        seen += n
        if seen >= p / 100.0 * total:
            return edge * 1000
    return diff[-1][0] * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--streams", type=int, default=1000)
    ap.add_argument("--burst", type=int, default=50000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--fraction", type=float, default=0.5)
    ap.add_argument("--rate", type=float, default=0,
                    help="lines/s of the latency phase (instead of --fraction of the measured maximum)")
    ap.add_argument("--binary", default=os.environ.get("QUELTD_BIN", os.path.join(SOURCE_DIR, "build", "src", "queltd")))
    args = ap.parse_args()

    scratch = tempfile.mkdtemp(prefix="queltd-alert-latency-")
    node = RabbitNode(os.path.join(scratch, "rabbit")).start()
    daemon = None
    try:
        pki = make_pki(os.path.join(scratch, "pki"))
        os.makedirs(os.path.join(scratch, "daemon"))
        daemon = Daemon(os.path.join(scratch, "daemon"), pki, node.port, args.binary)
        rulesets = [{"event_criteria_id": i + 1, "account_id": 7, "check_uuid": UUID, "metric_name": f"lat.{i}",
                     "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "0"}]}
                    for i in range(args.streams)]
        r = daemon.post("/rulesets", rulesets)
        assert r.json() == {"rulesets": args.streams, "errors": 0}, r.text

        burst = args.burst - args.burst % (2 * args.streams) or 2 * args.streams
        timed_from = args.streams + burst
        # The consumer's count is settled once the paced phase's size is known.
        expected, taken = multiprocessing.Value("q", 1 << 62), multiprocessing.Value("q", 0)
        ready, results = multiprocessing.Event(), multiprocessing.Queue()
        taker = multiprocessing.Process(target=consumer_until,
                                        args=(node.port, expected, taken, timed_from, ready, results))
        taker.start()
        ready.wait(30)

        # The streams' first alerts, out of the way.
        seq = 0
        base = daemon.confirmed()
        blast(daemon.line_port, seq, args.streams, args.streams)
        seq += args.streams
        wait_confirmed(daemon, base + args.streams)

        # 1. As fast as it goes.
        base = daemon.confirmed()
        start = blast(daemon.line_port, seq, burst, args.streams)
        end = wait_confirmed(daemon, base + burst)
        seq += burst
        max_rate = burst / (end - start)
        print(f"alerts published and confirmed: {burst} in {end - start:.2f} s = {max_rate:,.0f} alerts/s")

        # 2. Latency at a fraction of that rate.
        rate = args.rate or max_rate * args.fraction
        count = int(rate * args.seconds)
        count -= count % (2 * args.streams)
        expected.value = timed_from + count
        # The consumer drains the burst's backlog first: the paced lines must not queue behind it.
        deadline = time.monotonic() + 120
        while taken.value < timed_from and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.5)
        before_bins = {name: daemon.bins(*path) for name, path in DAEMON_HISTOGRAMS}
        sender_out = multiprocessing.Queue()
        sender = multiprocessing.Process(target=paced_sender,
                                         args=(daemon.line_port, seq, count, args.streams, rate, sender_out))
        sender.start()
        sent = sender_out.get(timeout=args.seconds * 3 + 60)
        sender.join()
        received = results.get(timeout=120)
        taker.join()
        first = seq
        latencies = sorted((received[first + i] - t) * 1000 for i, t in enumerate(sent) if first + i in received)
        lost = count - len(latencies)
        print(f"latency at {rate:,.0f} lines/s ({rate / max_rate:.0%} of the maximum), {count} alerts, {lost} missing:"
              f" p50 {percentile(latencies, 50):.2f} ms, p99 {percentile(latencies, 99):.2f} ms,"
              f" p99.9 {percentile(latencies, 99.9):.2f} ms, max {latencies[-1]:.2f} ms")
        shares = []
        for name, path in DAEMON_HISTOGRAMS:
            after = daemon.bins(*path)
            p50, p99 = (bins_percentile(before_bins[name], after, p) for p in (50, 99))
            if p99 is not None:
                shares.append(f"{name} p50 {p50:.3f} ms, p99 {p99:.3f} ms")
        if shares:
            print("daemon's histograms (bin lower edges):", "; ".join(shares))
        if os.environ.get("ALERT_LATENCY_TRACE"):
            slow = sorted(((received[first + i] - t) * 1000, t - sent[0]) for i, t in enumerate(sent)
                          if first + i in received)[-40:]
            print("slowest (latency ms, written at s):", " ".join(f"{l:.0f}@{w:.3f}" for l, w in slow))
        s = daemon.stats()["notifications"]["alerts"]
        print(f"daemon: sent {s['sent']}, failed {s['failed']}, suppressed {s['suppressed']}")
    finally:
        if daemon:
            daemon.stop()
        node.stop()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
