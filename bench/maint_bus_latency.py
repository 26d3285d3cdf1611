#!/usr/bin/python3
"""Maintenance update on the bus to window live, end to end: a private RabbitMQ node, the real
daemon, one update published at a time and GET /maintenance/<id> polled (plain HTTP on loopback,
one kept-alive connection) until the window is there. The figure includes the publish, the
broker, the daemon's hook and one poll round trip, so it is an upper bound of the daemon's part.

    QUELTD_BIN=build/src/queltd /usr/bin/python3 bench/maint_bus_latency.py [messages]
"""
import os
import sys
import tempfile
import time

import pika
import requests

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from conftest import Daemon, base_config, free_port  # noqa: E402
from rabbitmq import RabbitNode  # noqa: E402

PREFIX = "net.orvane.ombra.QueltMaintenanceEventHandler.update"


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    work = tempfile.mkdtemp(prefix="maint-bus-bench-")
    node = RabbitNode(os.path.join(work, "rabbit"))
    node.start()
    rest = free_port()
    config = base_config(mq_port=node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        '</listeners>')).replace(
        "<heartbeat>10</heartbeat>",
        '<heartbeat>10</heartbeat><exchange name="vask.rules" type="topic"/>'
        '<queue name="" durable="false" exclusive="true" auto_delete="true">'
        '<binding exchange="vask.rules" routing_key="#"/></queue>')
    daemon = Daemon(work, config).start().wait_initialized()
    try:
        deadline = time.monotonic() + 30
        while "queltd ready for data." not in daemon.log():
            if time.monotonic() > deadline:
                raise SystemExit("the daemon did not consume")
            time.sleep(0.05)
        conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", node.port))
        ch = conn.channel()
        http = requests.Session()
        now = int(time.time())
        latencies = []
        for i in range(count):
            wid = 1000 + i
            body = "\t".join([PREFIX, "0", "add", f"db{wid}.example.net", "host", "1,2,3",
                              str(now - 60), str(now + 3600), "7", str(wid), "t"])
            t0 = time.perf_counter()
            ch.basic_publish("vask.rules", "maint", body.encode())
            while http.get(f"http://127.0.0.1:{rest}/maintenance/{wid}", timeout=5).text.strip() == "null":
                if time.perf_counter() - t0 > 5:
                    raise SystemExit(f"window {wid} never became live")
            latencies.append((time.perf_counter() - t0) * 1000)
        conn.close()
        latencies.sort()
        pick = lambda q: latencies[min(len(latencies) - 1, int(len(latencies) * q))]  # noqa: E731
        print(f"{count} updates: p50 {pick(0.5):.2f} ms, p90 {pick(0.9):.2f} ms, p99 {pick(0.99):.2f} ms, "
              f"max {latencies[-1]:.2f} ms (load average {os.getloadavg()[0]:.1f})")
    finally:
        daemon.stop()
        node.stop()


if __name__ == "__main__":
    main()
