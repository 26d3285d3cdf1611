#!/usr/bin/env python3
"""How fast the daemon bulk-loads rulesets and maintenance windows from the reference management
API: N items of one kind (the other kind empty) in pages of --batch, timed from the bus connection
to the "Finished bulk ... fetch." line. Starts its own RabbitMQ node, reference API and daemon.

    /usr/bin/python3 bench/api_load.py --queltd build/src/queltd --items 100000 --batch 10000
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from rabbitmq import RabbitNode, _free_port  # noqa: E402

UUID = "11111111-2222-3333-4444-555555555555"


def rulesets(n):
    return [{"event_criteria_id": i, "account_id": 7, "check_uuid": UUID, "metric_name": f"m{i}",
             "metric_type": "numeric",
             "rules": [{"criteria": "max value", "severity": 1, "value": "90"},
                       {"criteria": "max value", "severity": 2, "value": "80"}]}
            for i in range(1, n + 1)]


def windows(n):
    return [{"maintenance_id": i, "maintenance_type": "metric", "maintenance_item": i,
             "severities": [1, 2], "start_on": 1893456000, "stop_on": 1893459600, "account_id": 7}
            for i in range(1, n + 1)]


def run(args, rabbit, kind, items, workdir):
    data = os.path.join(workdir, kind)
    for d in ("rulesets", "maintenance"):
        os.makedirs(os.path.join(data, d), exist_ok=True)
    with open(os.path.join(data, kind, "data.json"), "w") as f:
        json.dump(items, f)
    port = _free_port()
    api = subprocess.Popen([sys.executable, os.path.join(SOURCE, "scripts", "reference-api"),
                            "--data", data, "--port", str(port), "--token", "bench"],
                           stderr=subprocess.DEVNULL)
    conf = os.path.join(workdir, f"{kind}.conf")
    with open(conf, "w") as f:
        f.write(f"""<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs><log name="debug" disabled="true"/></logs>
  <modules><module name="amqp"/></modules>
  <network><mq><host>127.0.0.1</host><port>{rabbit.port}</port></mq></network>
  <orvane><api><base>http://127.0.0.1:{port}</base><token>bench</token>
    <rulesets batch_size="{args.batch}"/><maint_windows batch_size="{args.batch}"/></api></orvane>
</queltd>
""")
    log_path = os.path.join(workdir, f"{kind}.log")
    time.sleep(0.5)  # the reference API binds its port
    try:
        with open(log_path, "wb") as log:
            d = subprocess.Popen([os.path.abspath(args.queltd), "-D", "-D", "-c", conf], stderr=log,
                                 stdout=subprocess.DEVNULL, cwd=workdir)
    except OSError:
        api.terminate()
        raise
    finished = "Finished bulk ruleset fetch." if kind == "rulesets" else "Finished bulk maintenance fetch."
    start = end = None
    try:
        deadline = time.monotonic() + 600
        while time.monotonic() < deadline and end is None:
            text = open(log_path, errors="replace").read()
            if start is None and "AMQP connection: connected" in text:
                start = time.monotonic()
            if start is not None and finished in text:
                end = time.monotonic()
            time.sleep(0.01)
    finally:
        d.terminate()
        d.wait()
        api.terminate()
        api.wait()
    if end is None:
        raise SystemExit(f"{kind}: no '{finished}' line; see {log_path}")
    return end - start


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--queltd", default=os.path.join(SOURCE, "build", "src", "queltd"))
    p.add_argument("--items", type=int, default=100000)
    p.add_argument("--batch", type=int, default=10000)
    args = p.parse_args()
    workdir = tempfile.mkdtemp(prefix="queltd-api-bench-")
    rabbit = RabbitNode(os.path.join(workdir, "rabbit"))
    rabbit.start()
    try:
        for kind, items in (("rulesets", rulesets(args.items)), ("maintenance", windows(args.items))):
            seconds = run(args, rabbit, kind, items, workdir)
            print(f"{kind}: {args.items} in {seconds:.2f} s = {args.items / seconds:,.0f}/s "
                  f"(batch {args.batch})")
    finally:
        rabbit.stop()


if __name__ == "__main__":
    main()
