#!/usr/bin/env python3
"""The daemon end to end under Prometheus remote-write: a load generator posts WriteRequests of
--samples samples (one per series, node_exporter-like labels over --instances instances) to
POST /api/v1/write from --senders processes, each on one kept-alive connection, for --seconds;
the daemon has a ruleset on one of the metrics so that its samples are evaluated too. Prints the
samples/s that the daemon accepted (its "vask/formats/remote_write/accepted" counter over the
run), the requests/s, the daemon's CPU time per sample and the machine's load average.

    /usr/bin/python3 bench/remote_write_load.py --queltd build/src/queltd --seconds 10

The bodies are built once, snappy-framed as literal blocks (no compression: the daemon's
decompression is then a copy; bench_formats measures the decoding of compressed bodies)."""
import argparse
import http.client
import json
import multiprocessing
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7f) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


def ld(field, b):
    return varint(field << 3 | 2) + varint(len(b)) + b


def body(samples, instances, t_ms, offset):
    names = ["node_load1", "node_cpu_seconds_total", "node_memory_MemFree_bytes",
             "node_network_receive_bytes_total", "node_filesystem_avail_bytes"]
    out = bytearray()
    for i in range(samples):
        k = offset + i
        labels = [("__name__", names[k % 5]), ("instance", f"10.0.{k % instances // 250}.{k % instances % 250}:9100"),
                  ("job", "node"), ("series", str(k // instances))]
        ts = b"".join(ld(1, ld(1, n.encode()) + ld(2, v.encode())) for n, v in labels)
        ts += ld(2, varint(1 << 3 | 1) + struct.pack("<d", k * 0.5) + varint(2 << 3) + varint(t_ms))
        out += ld(1, ts)
    raw = bytes(out)
    framed = varint(len(raw))
    for at in range(0, len(raw), 65536):
        chunk = raw[at:at + 65536]
        framed += bytes([62 << 2]) + struct.pack("<I", len(chunk) - 1)[:3] + chunk
    return framed


def sender(port, bodies, seconds, result):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    headers = {"Content-Encoding": "snappy", "Content-Type": "application/x-protobuf",
               "X-Prometheus-Remote-Write-Version": "0.1.0"}
    n, end = 0, time.monotonic() + seconds
    while time.monotonic() < end:
        conn.request("POST", "/api/v1/write", body=bodies[n % len(bodies)], headers=headers)
        r = conn.getresponse()
        r.read()
        if r.status != 204:
            print(f"status {r.status}", file=sys.stderr)
        n += 1
    result.put(n)


def cpu_seconds(pid):
    """CPU time of the process and its children (the framework may run the daemon in a child)."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry) == pid or int(fields[1]) == pid:
            total += int(fields[11]) + int(fields[12])
    return total / os.sysconf("SC_CLK_TCK")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--queltd", default="build/src/queltd")
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--samples", type=int, default=2000)
    ap.add_argument("--instances", type=int, default=500)
    ap.add_argument("--senders", type=int, default=2)
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="rw_load_")
    rest = free_port()
    conf = os.path.join(work, "queltd.conf")
    with open(conf, "w") as f:
        f.write(f"""<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs><log name="debug" disabled="true"/></logs>
  <modules><module name="amqp" backoff_max_ms="1000"/></modules>
  <network><mq><host>127.0.0.1</host><port>{free_port()}</port><heartbeat>10</heartbeat></mq></network>
  <listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>
    <remote_write account="7"/></listeners>
</queltd>
""")
    log = open(os.path.join(work, "stderr.log"), "wb")
    d = subprocess.Popen([os.path.abspath(a.queltd), "-D", "-D", "-c", conf], stdout=subprocess.DEVNULL, stderr=log, cwd=work)
    base = f"http://127.0.0.1:{rest}"
    try:
        for _ in range(200):
            try:
                urllib.request.urlopen(f"{base}/stats.json", timeout=1).read()
                break
            except OSError:
                time.sleep(0.1)
        rs = [{"event_criteria_id": 1, "account_id": 7, "metric_pattern": "^node_load1$",
               "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1, "value": "1e300"}]}]
        urllib.request.urlopen(urllib.request.Request(f"{base}/rulesets", data=json.dumps(rs).encode()), timeout=10).read()
        now = int(time.time() * 1000)
        bodies = [body(a.samples, a.instances, now + j, j * a.samples) for j in range(8)]

        def accepted():
            s = json.loads(urllib.request.urlopen(f"{base}/stats.json?format=simple", timeout=10).read())
            return s["vask"]["formats"]["remote_write"]["accepted"]

        before, cpu0, t0 = accepted(), cpu_seconds(d.pid), time.monotonic()
        q = multiprocessing.Queue()
        procs = [multiprocessing.Process(target=sender, args=(rest, bodies, a.seconds, q)) for _ in range(a.senders)]
        for p in procs:
            p.start()
        requests_sent = sum(q.get() for _ in procs)
        for p in procs:
            p.join()
        elapsed = time.monotonic() - t0
        got, cpu = accepted() - before, cpu_seconds(d.pid) - cpu0
        print(f"{got / elapsed:,.0f} samples/s accepted, {requests_sent / elapsed:,.0f} requests/s "
              f"of {a.samples} samples, daemon CPU {cpu / max(got, 1) * 1e6:.2f} us/sample, "
              f"{a.senders} senders, load average {os.getloadavg()[0]:.1f}")
    finally:
        d.terminate()
        d.wait(10)


if __name__ == "__main__":
    main()
