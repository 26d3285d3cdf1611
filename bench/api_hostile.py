#!/usr/bin/python3
"""Measures the daemon against hostile management API answers: for each, how long the bulk
ruleset load takes to get past it, the daemon's peak RSS, and the lines it logged.

Usage: bench/api_hostile.py --queltd build/src/queltd [--cases bomb,spaces,endless]
    bomb     a 5 KB gzip answer inflating to 8 MiB of [{},{},...]
    spaces   a 1 MiB gzip answer inflating to 1 GiB of spaces
    endless  an answer that never ends (spaces, as fast as the socket takes them, for 60 s)
Each case starts a private RabbitMQ node's connection with a fresh daemon (the bound at its
default of 64 MiB); the hostile answer is the first page, then the API answers []. All traffic
goes to 127.0.0.1.
"""
import argparse
import gzip
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
from rabbitmq import RabbitNode  # noqa: E402
from test_hostile_loads import HostileApi, peak_rss_kb  # noqa: E402


def answers():
    bomb = gzip.compress(b"[" + b",".join([b"{}"] * (8 * 1024 * 1024 // 3)) + b"]", 9)
    spaces = gzip.compress(b" " * (1 << 30), 9)
    return {"bomb": (bomb, True), "spaces": (spaces, True), "endless": ("endless", False)}


def run_case(args, rabbit, workdir, name, hostile):
    def answer(path, n):
        if path.startswith("/v2/super_rule_set") and n == 1:
            return hostile
        return b"[]", False

    api = HostileApi(answer)
    conf = os.path.join(workdir, f"{name}.conf")
    with open(conf, "w") as f:
        f.write(f"""<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs><log name="debug" disabled="true"/></logs>
  <modules><module name="amqp" backoff_max_ms="1000"/></modules>
  <network><mq><host>127.0.0.1</host><port>{rabbit.port}</port></mq></network>
  <orvane><api><base>http://127.0.0.1:{api.port}</base><token>bench</token></api></orvane>
</queltd>
""")
    log_path = os.path.join(workdir, f"{name}.log")
    log = open(log_path, "wb")
    proc = subprocess.Popen([args.queltd, "-D", "-D", "-c", conf], stderr=log,
                            stdout=subprocess.DEVNULL, cwd=workdir)
    start = time.monotonic()
    try:
        while time.monotonic() - start < 300:
            with open(log_path, "rb") as f:
                text = f.read()
            if b"Finished bulk ruleset fetch." in text:
                break
            time.sleep(0.05)
        took = time.monotonic() - start
        peak = peak_rss_kb(proc.pid)
        lines = text.count(b"\n")
        failed = [line for line in text.decode("utf-8", "replace").splitlines() if "API: " in line]
        print(f"{name}: {len(hostile[0]) if hostile[0] != 'endless' else 'endless'} bytes sent; "
              f"load finished after {took:.2f} s, peak RSS {peak / 1024:.0f} MiB, {lines} log lines")
        for line in failed[:2]:
            print("   ", line.split("] ", 1)[-1][:200])
    finally:
        proc.kill()
        proc.wait()
        api.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--queltd", default=os.path.join(SOURCE, "build", "src", "queltd"))
    p.add_argument("--cases", default="bomb,spaces,endless")
    args = p.parse_args()
    args.queltd = os.path.abspath(args.queltd)
    workdir = tempfile.mkdtemp(prefix="queltd-api-hostile-")
    rabbit = RabbitNode(os.path.join(workdir, "rabbit"))
    rabbit.start()
    try:
        all_answers = answers()
        for name in args.cases.split(","):
            run_case(args, rabbit, workdir, name, all_answers[name])
    finally:
        rabbit.stop()


if __name__ == "__main__":
    main()
