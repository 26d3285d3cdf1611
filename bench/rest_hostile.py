#!/usr/bin/python3
"""Measures the REST server under the loads that hostile or numerous clients bring: memory per
idle connection and per stalled TLS handshake, memory after refused requests with large bodies,
the first-reply latency of new TLS connections and keep-alive requests per second.

Usage: bench/rest_hostile.py --queltd build/src/queltd
       bench/rest_hostile.py <queltd pid> <tls port> <ca> <client crt> <client key> [static path]
With --queltd it makes certificates and starts a fresh daemon of its own (2 loop threads, a TLS
listener with a 2 KiB static file, max_connections_per_peer="0") for each measure, stopped after
it. Otherwise start the daemon first that way, and run this on the same machine (all traffic goes
to 127.0.0.1).
CONNECTIONS in the environment sets how many connections the memory figures hold (2000),
SETTLE the seconds waited before each RSS reading (1), TLS_VERSION=1.2 makes the clients of the
established connections speak TLS 1.2 (1.3 by default); both
the daemon and this script need that many descriptors and then some. MEASURE picks some of
"idle,partial,half,established,posted,refused,latency,rate" (all by default): freed memory stays resident for a
while, so a memory figure is only fair on a daemon that has not yet held other connections.
"""
import multiprocessing
import os
import socket
import ssl
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def settle(pid):
    time.sleep(float(os.environ.get("SETTLE", "1")))
    return rss_kib(pid)


def context(ca, crt, key):
    ctx = ssl.create_default_context(cafile=ca)
    ctx.load_cert_chain(crt, key)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_3
    if os.environ.get("TLS_VERSION") == "1.2":
        ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    return ctx


def read_reply(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        data += sock.recv(65536)
    head, _, body = data.partition(b"\r\n\r\n")
    length = int([h for h in head.split(b"\r\n") if h.lower().startswith(b"content-length:")][0].split(b":")[1])
    while len(body) < length:
        body += sock.recv(65536)


def keep_alive_worker(args):
    port, ca, crt, key, path, seconds = args
    ctx = context(ca, crt, key)
    with socket.create_connection(("127.0.0.1", port)) as raw, ctx.wrap_socket(raw, server_hostname="127.0.0.1") as t:
        request = f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
        n, end = 0, time.monotonic() + seconds
        while time.monotonic() < end:
            t.sendall(request)
            read_reply(t)
            n += 1
    return n


def run_own_daemons(binary):
    os.environ["QUELTD_BIN"] = os.path.abspath(binary)
    from certs import make_pki  # noqa: E402
    from conftest import Daemon, base_config, free_port  # noqa: E402
    work = tempfile.mkdtemp(prefix="rest-hostile-")
    pki = make_pki(os.path.join(work, "pki"))
    docs = os.path.join(work, "docs")
    os.makedirs(docs)
    with open(os.path.join(docs, "static.txt"), "w") as f:
        f.write("x" * 2048)
    measures = os.environ.get("MEASURE", "idle,partial,half,established,posted,refused,latency,rate").split(",")
    for i, what in enumerate(measures):
        port = free_port()
        config = base_config(extra=(
            '<listeners max_connections_per_peer="0">'
            f'<listener type="http" address="127.0.0.1" port="{port}" idle_timeout="3600"'
            f' header_timeout="3600" handshake_timeout="3600" certificate_file="{pki.server_crt}"'
            f' key_file="{pki.server_key}" ca_file="{pki.ca}" document_root="{docs}"/></listeners>'))
        os.makedirs(os.path.join(work, str(i)))
        daemon = Daemon(os.path.join(work, str(i)), config).start().wait_initialized()
        try:
            os.environ["MEASURE"] = what
            run(daemon.proc.pid, port, pki.ca, pki.client[0], pki.client[1], "/static.txt")
        finally:
            daemon.stop()
    print(f"(load average {os.getloadavg()[0]:.2f})")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--queltd":
        return run_own_daemons(sys.argv[2])
    pid, port, ca, crt, key = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
    static = sys.argv[6] if len(sys.argv) > 6 else None
    run(pid, port, ca, crt, key, static)


def run(pid, port, ca, crt, key, static):
    n = int(os.environ.get("CONNECTIONS", "2000"))
    measure = os.environ.get("MEASURE", "idle,partial,half,established,posted,refused,latency,rate").split(",")
    if "idle" in measure:
        measure_idle(pid, port, n)
    if "partial" in measure:
        measure_half_open(pid, port, ca, n, partial=True)
    if "half" in measure:
        measure_half_open(pid, port, ca, n)
    if "established" in measure:
        measure_established(pid, port, ca, crt, key, n)
    if "posted" in measure:
        measure_posted(pid, port, ca, crt, key)
    if "refused" in measure:
        measure_refused(pid, port, ca)
    if "latency" in measure:
        measure_latency(port, ca, crt, key)
    if "rate" in measure:
        measure_rates(port, ca, crt, key, static)


def measure_idle(pid, port, n):

    base = settle(pid)
    idle = [socket.create_connection(("127.0.0.1", port)) for _ in range(n)]
    print(f"idle connection (nothing sent): {(settle(pid) - base) / n:.1f} KiB each")
    for s in idle:
        s.close()


def measure_half_open(pid, port, ca, n, partial=False):
    base = settle(pid)
    half = []
    for _ in range(n):
        ctx = ssl.create_default_context(cafile=ca)
        out, inc = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = ctx.wrap_bio(inc, out, server_hostname="127.0.0.1")
        try:
            obj.do_handshake()
        except ssl.SSLWantReadError:
            pass
        s = socket.create_connection(("127.0.0.1", port))
        hello = out.read()
        s.sendall(hello[:len(hello) // 2] if partial else hello)  # then silence
        half.append(s)
    what = "half a ClientHello" if partial else "ClientHello"
    print(f"half-open TLS handshake ({what} sent): {(settle(pid) - base) / n:.1f} KiB each")
    for s in half:
        s.close()


def measure_established(pid, port, ca, crt, key, n):
    base = settle(pid)
    ctx = context(ca, crt, key)
    established = []
    start = time.monotonic()
    for _ in range(n):
        t = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)), server_hostname="127.0.0.1")
        t.sendall(b"GET /stats.json?format=simple HTTP/1.1\r\nHost: x\r\n\r\n")
        read_reply(t)
        established.append(t)
    print(f"idle TLS connection after one request: {(settle(pid) - base) / n:.1f} KiB each "
          f"(made in {time.monotonic() - start:.0f} s: a daemon whose idle_timeout is shorter "
          "closes the first ones before the reading)")
    for t in established:
        t.close()


def measure_posted(pid, port, ca, crt, key, n=200, size=256 << 10):
    """Kept-alive connections idle after one POST whose body the handler read."""
    base = settle(pid)
    ctx = context(ca, crt, key)
    body = b"[" + b" " * (size - 2) + b"]"
    posted = []
    for _ in range(n):
        t = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port)), server_hostname="127.0.0.1")
        t.sendall(b"POST /rulesets HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
        read_reply(t)
        posted.append(t)
    print(f"idle TLS connection after one POST of {size >> 10} KiB: {(settle(pid) - base) / n:.1f} KiB each")
    for t in posted:
        t.close()


def measure_refused(pid, port, ca):
    base = settle(pid)
    for _ in range(20):
        noauth = ssl.create_default_context(cafile=ca)
        with socket.create_connection(("127.0.0.1", port)) as raw, noauth.wrap_socket(raw, server_hostname="127.0.0.1") as t:
            t.sendall(b"GET /config HTTP/1.1\r\nHost: x\r\nContent-Length: 16777216\r\n\r\n")
            try:
                t.sendall(b"x" * (16 << 20))
            except OSError:
                pass
    print(f"20 refused GETs with 16 MB bodies: RSS {base} -> {settle(pid)} KiB")


def measure_latency(port, ca, crt, key):
    latencies = []
    ctx = context(ca, crt, key)
    for _ in range(50):
        with socket.create_connection(("127.0.0.1", port)) as raw, ctx.wrap_socket(raw, server_hostname="127.0.0.1") as t:
            start = time.perf_counter()
            t.sendall(b"GET /stats.json?format=simple HTTP/1.1\r\nHost: x\r\n\r\n")
            read_reply(t)
            latencies.append((time.perf_counter() - start) * 1000)
    print(f"first reply on a new TLS 1.3 connection: median {statistics.median(latencies):.2f} ms, "
          f"max {max(latencies):.2f} ms")


def measure_rates(port, ca, crt, key, static):
    for path in ["/stats.json"] + ([static] if static else []):
        with multiprocessing.Pool(4) as pool:
            counts = pool.map(keep_alive_worker, [(port, ca, crt, key, path, 5.0)] * 4)
        print(f"keep-alive GET {path}, 4 connections: {sum(counts) / 5.0:,.0f} requests/s")


if __name__ == "__main__":
    main()
