#!/usr/bin/env python3
"""The daemon against the reference management API (scripts/reference-api) and its own RabbitMQ
node, three measures (--measure, comma-separated, "loads" by default):

loads    How fast the daemon bulk-loads rulesets and maintenance windows: --items of one kind (the
         other kind empty) in pages of --batch, timed from the bus connection to the
         "Finished bulk ... fetch." line.
refresh  A "ruleset_refresh" message on "vask.rules" to the new definition live: the API's copy of
         one ruleset changes (a new metric name), the message is published, and GET /ruleset/<id>
         (plain HTTP on loopback, one kept-alive connection) is polled until it shows the new
         name. --refreshes times; p50, p99 and max. Reloads are coalesced for 0.5 s by design,
         so that is the floor of every figure.
intake   Metric lines/s through the TCP line listener with and without a bulk load running: a
         sender process writes lines for --streams of the loaded rulesets (values below every
         threshold: no alert) as fast as the listener takes them; the director's "received"
         counter is read over the first few seconds, then the bus connection is closed
         (rabbitmqctl close_all_connections), which makes the daemon load every ruleset again on
         reconnecting, and the counter is read from the reconnection to the end of that load.

    /usr/bin/python3 bench/api_load.py --queltd build/src/queltd --items 100000 --batch 10000
    /usr/bin/python3 bench/api_load.py --measure refresh --refreshes 100
    /usr/bin/python3 bench/api_load.py --measure intake --items 100000

Every figure line ends with the machine's load average (the daemon, the broker, the Python API
and the sender share the cores).
"""
import argparse
import json
import multiprocessing
import os
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from rabbitmq import RabbitNode, _free_port  # noqa: E402

UUID = "11111111-2222-3333-4444-555555555555"
REFRESH_ID = 1


def ruleset(i, name=None):
    return {"event_criteria_id": i, "account_id": 7, "check_uuid": UUID, "metric_name": name or f"m{i}",
            "metric_type": "numeric",
            "rules": [{"criteria": "max value", "severity": 1, "value": "90"},
                      {"criteria": "max value", "severity": 2, "value": "80"}]}


def rulesets(n):
    return [ruleset(i) for i in range(1, n + 1)]


def windows(n):
    return [{"maintenance_id": i, "maintenance_type": "metric", "maintenance_item": i,
             "severities": [1, 2], "start_on": 1893456000, "stop_on": 1893459600, "account_id": 7}
            for i in range(1, n + 1)]


def load_average():
    return f"load average {os.getloadavg()[0]:.2f}"


def write_json(path, doc):
    """Whole or not at all: the API re-reads a file when it changes and must never see half."""
    with open(path + ".tmp", "w") as f:
        json.dump(doc, f)
    os.replace(path + ".tmp", path)


class Setup:
    """The reference API over a data directory and a daemon reading it, bus-connected."""

    def __init__(self, args, rabbit, workdir, name, files, rest=False, lines=False, rules_queue=False):
        self.workdir, self.name = workdir, name
        self.data = os.path.join(workdir, name)
        for d in ("rulesets", "maintenance"):
            os.makedirs(os.path.join(self.data, d), exist_ok=True)
        for rel, doc in files.items():
            write_json(os.path.join(self.data, rel), doc)
        api_port = _free_port()
        self.api = subprocess.Popen([sys.executable, os.path.join(SOURCE, "scripts", "reference-api"),
                                     "--data", self.data, "--port", str(api_port), "--token", "bench"],
                                    stderr=subprocess.DEVNULL)
        self.rest_port = _free_port() if rest else None
        self.line_port = _free_port() if lines else None
        listeners = ""
        if rest:
            listeners += (f'<listener type="http" address="127.0.0.1" port="{self.rest_port}"'
                          ' insecure="loopback"/>')
        if lines:
            listeners += f'<metrics address="127.0.0.1" port="{self.line_port}"/>'
        queue = ('<exchange name="vask.rules" type="topic"/>'
                 '<queue name="" durable="false" exclusive="true" auto_delete="true">'
                 '<binding exchange="vask.rules" routing_key="#"/></queue>') if rules_queue else ""
        conf = os.path.join(workdir, f"{name}.conf")
        with open(conf, "w") as f:
            f.write(f"""<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs><log name="debug" disabled="true"/></logs>
  <listeners>{listeners}</listeners>
  <modules><module name="amqp" backoff_max_ms="1000"/></modules>
  <network><mq><host>127.0.0.1</host><port>{rabbit.port}</port>{queue}</mq></network>
  <orvane><api><base>http://127.0.0.1:{api_port}</base><token>bench</token>
    <rulesets batch_size="{args.batch}"/><maint_windows batch_size="{args.batch}"/></api></orvane>
</queltd>
""")
        self.log_path = os.path.join(workdir, f"{name}.log")
        time.sleep(0.5)  # the reference API binds its port
        try:
            with open(self.log_path, "wb") as log:
                self.daemon = subprocess.Popen([os.path.abspath(args.queltd), "-D", "-D", "-c", conf],
                                               stderr=log, stdout=subprocess.DEVNULL, cwd=workdir)
        except OSError:
            self.api.terminate()
            raise

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def wait_log(self, text, count=1, timeout=600, poll=0.01):
        """The time at which text appeared in the log for the count-th time."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.log().count(text) >= count:
                return time.monotonic()
            if self.daemon.poll() is not None:
                break
            time.sleep(poll)
        raise SystemExit(f"{self.name}: no '{text}' (#{count}); see {self.log_path}")

    def get(self, path):
        with urllib.request.urlopen(f"http://127.0.0.1:{self.rest_port}{path}", timeout=10) as r:
            return r.read()

    def close(self):
        self.daemon.terminate()
        self.daemon.wait()
        self.api.terminate()
        self.api.wait()


def measure_loads(args, rabbit, workdir):
    for kind, items in (("rulesets", rulesets(args.items)), ("maintenance", windows(args.items))):
        s = Setup(args, rabbit, workdir, kind, {f"{kind}/data.json": items})
        try:
            start = s.wait_log("AMQP connection: connected")
            end = s.wait_log("Finished bulk ruleset fetch." if kind == "rulesets"
                             else "Finished bulk maintenance fetch.")
        finally:
            s.close()
        seconds = end - start
        print(f"{kind}: {args.items} in {seconds:.2f} s = {args.items / seconds:,.0f}/s "
              f"(batch {args.batch}, {load_average()})")


def measure_refresh(args, rabbit, workdir):
    import pika  # only this measure needs the bus client
    live = "rulesets/live.json"
    s = Setup(args, rabbit, workdir, "refresh",
              {live: [ruleset(REFRESH_ID)], "rulesets/data.json": rulesets(args.items)[1:]},
              rest=True, rules_queue=True)
    try:
        s.wait_log("Finished bulk ruleset fetch.")
        s.wait_log("queltd ready for data.")
        conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbit.port))
        ch = conn.channel()
        body = f"net.orvane.ombra.OmbraEvent\truleset_refresh\tpurge_state\t{REFRESH_ID}".encode()
        latencies = []
        for i in range(args.refreshes):
            # A new metric name each time, seen in the rendering only once the reload landed.
            name = f'"name":"refreshed.{i}"'.encode()
            write_json(os.path.join(s.data, live), [ruleset(REFRESH_ID, f"refreshed.{i}")])
            t0 = time.perf_counter()
            ch.basic_publish("vask.rules", "rules", body)
            while name not in s.get(f"/ruleset/{REFRESH_ID}"):
                if time.perf_counter() - t0 > 10:
                    raise SystemExit(f"refresh {i} never became live; see {s.log_path}\n"
                                     f"{s.get(f'/ruleset/{REFRESH_ID}')[:600]}")
                time.sleep(0.002)
            latencies.append(time.perf_counter() - t0)
        conn.close()
    finally:
        s.close()
    latencies.sort()
    pick = lambda q: latencies[min(len(latencies) - 1, int(len(latencies) * q))]  # noqa: E731
    print(f"refresh to live, {len(latencies)} refreshes over {args.items} rulesets: "
          f"p50 {pick(0.5) * 1000:.0f} ms, p99 {pick(0.99) * 1000:.0f} ms, "
          f"max {latencies[-1] * 1000:.0f} ms ({load_average()})")


def send_lines(port, streams, stop):
    """Lines for m1..m<streams>, one round after another, each round one second later."""
    heads = [b"M\tb1\t", f"\tweb01`mod`c_7_9`{UUID}\t".encode()]
    tails = [f"m{i}\tn\t50\n".encode() for i in range(1, streams + 1)]
    with socket.create_connection(("127.0.0.1", port)) as sock:
        t = 1700000000
        while not stop.is_set():
            t += 1
            stamp = f"{t}.000".encode()
            sock.sendall(b"".join(heads[0] + stamp + heads[1] + tail for tail in tails))


def received(s):
    stats = json.loads(s.get("/stats.json?format=simple"))
    return stats["vask"]["director"]["received"]


def measure_intake(args, rabbit, workdir):
    s = Setup(args, rabbit, workdir, "intake", {"rulesets/data.json": rulesets(args.items)},
              rest=True, lines=True)
    stop = multiprocessing.Event()
    sender = None
    try:
        s.wait_log("Finished bulk ruleset fetch.")
        sender = multiprocessing.Process(target=send_lines, args=(s.line_port, args.streams, stop))
        sender.start()
        time.sleep(1.0)  # past the connection's start and the first windows
        n0, t0 = received(s), time.monotonic()
        time.sleep(args.quiet_seconds)
        n1, t1 = received(s), time.monotonic()
        quiet = (n1 - n0) / (t1 - t0)
        print(f"intake without a load: {quiet:,.0f} lines/s over {t1 - t0:.1f} s ({load_average()})")
        rabbit.ctl("close_all_connections", "bench")
        s.wait_log("AMQP connection: connected", count=2, poll=0.002)
        n2, t2 = received(s), time.monotonic()
        s.wait_log("Finished bulk ruleset fetch.", count=2, poll=0.002)
        n3, t3 = received(s), time.monotonic()
        loading = (n3 - n2) / (t3 - t2)
        print(f"intake during a load of {args.items} rulesets: {loading:,.0f} lines/s over "
              f"{t3 - t2:.2f} s, the load {args.items / (t3 - t2):,.0f} rulesets/s "
              f"({load_average()})")
    finally:
        stop.set()
        if sender:
            sender.join(5)
            if sender.is_alive():
                sender.terminate()
        s.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--queltd", default=os.path.join(SOURCE, "build", "src", "queltd"))
    p.add_argument("--measure", default="loads", help="loads,refresh,intake")
    p.add_argument("--items", type=int, default=None,
                   help="items loaded (default 100000; 1000 for refresh)")
    p.add_argument("--batch", type=int, default=10000)
    p.add_argument("--refreshes", type=int, default=100)
    p.add_argument("--streams", type=int, default=1000, help="rulesets the intake's lines feed")
    p.add_argument("--quiet-seconds", type=float, default=3.0)
    args = p.parse_args()
    items, default = args.items, {"loads": 100000, "refresh": 1000, "intake": 100000}
    workdir = tempfile.mkdtemp(prefix="queltd-api-bench-")
    rabbit = RabbitNode(os.path.join(workdir, "rabbit"))
    rabbit.start()
    try:
        for what in args.measure.split(","):
            measure = {"loads": measure_loads, "refresh": measure_refresh, "intake": measure_intake}[what]
            measure(argparse.Namespace(**{**vars(args), "items": items or default[what]}), rabbit, workdir)
    finally:
        rabbit.stop()


if __name__ == "__main__":
    main()
