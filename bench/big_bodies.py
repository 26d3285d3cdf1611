#!/usr/bin/python3
"""Measures what large definition bodies cost the daemon: peak and retained RSS for one POST
/rulesets of "{}" elements, and how long GET /stats.json takes while two such bodies are loaded.

Usage: bench/big_bodies.py --queltd build/src/queltd [--mib 16] [--settle 5] [--concurrent 0]
Starts a fresh daemon of its own (2 loop threads, a plain loopback listener, max_body 64 MiB, no
bus), measures, and stops it. All traffic goes to 127.0.0.1.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

import requests

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from conftest import base_config, free_port  # noqa: E402


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--queltd", required=True)
    ap.add_argument("--mib", type=int, default=16)
    ap.add_argument("--settle", type=float, default=5.0)
    ap.add_argument("--concurrent", type=int, default=1, help="0 skips the two-body measure")
    args = ap.parse_args()
    args.queltd = os.path.abspath(args.queltd)
    work = tempfile.mkdtemp(prefix="big_bodies_")
    port = free_port()
    conf = base_config(f'<listeners max_body="{64 << 20}"><listener type="http" address="127.0.0.1"'
                       f' port="{port}" insecure="loopback"/></listeners>')
    path = os.path.join(work, "queltd.conf")
    with open(path, "w") as f:
        f.write(conf)
    err = open(os.path.join(work, "stderr.log"), "wb")
    proc = subprocess.Popen([args.queltd, "-D", "-D", "-c", path], stderr=err,
                            stdout=subprocess.DEVNULL, cwd=work)
    base = f"http://127.0.0.1:{port}"
    try:
        for _ in range(200):
            try:
                requests.get(base + "/stats.json", timeout=1)
                break
            except requests.RequestException:
                time.sleep(0.1)
        n = args.mib * 1024 * 1024 // 3
        body = "[" + ",".join(["{}"] * n) + "]"
        start_rss = status_kib(proc.pid, "VmRSS")
        t = time.monotonic()
        r = requests.post(base + "/rulesets", data=body, timeout=600)
        took = time.monotonic() - t
        peak = status_kib(proc.pid, "VmHWM")
        time.sleep(args.settle)
        retained = status_kib(proc.pid, "VmRSS")
        print(f"body {len(body) / 2**20:.1f} MiB, {n} elements: reply {r.text.strip()!r}")
        print(f"  POST took {took:.2f} s; RSS before {start_rss / 1024:.0f} MiB, peak "
              f"{peak / 1024:.0f} MiB, after {args.settle:.0f} s {retained / 1024:.0f} MiB")
        with open(os.path.join(work, "stderr.log"), "rb") as f:
            log_bytes = len(f.read())
        print(f"  log written so far: {log_bytes / 2**20:.1f} MiB")

        if not args.concurrent:
            return
        # Two bodies at once, and the statistics asked for meanwhile.
        threads = [threading.Thread(target=lambda: requests.post(base + "/rulesets", data=body,
                                                                 timeout=600)) for _ in range(2)]
        for th in threads:
            th.start()
        time.sleep(0.5)
        worst = 0.0
        while any(th.is_alive() for th in threads):
            t = time.monotonic()
            requests.get(base + "/stats.json", timeout=600)
            worst = max(worst, time.monotonic() - t)
            time.sleep(0.1)
        for th in threads:
            th.join()
        print(f"  GET /stats.json while two such bodies load: slowest {worst * 1000:.0f} ms")
    finally:
        proc.kill()
        proc.wait()


if __name__ == "__main__":
    main()
