"""The broker line listener under hostile clients: a full listener refuses new connections while
REST keeps answering, quiet connections are closed after the idle timeout, and blank CRLF lines
are ignored like blank LF lines."""
import json
import socket
import time
import urllib.request

from conftest import free_port, wait_for

UUID = "11111111-2222-3333-4444-555555555555"
CAP = 5


def stats(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats.json?format=simple", timeout=5) as r:
        return json.loads(r.read())["vask"]


def line(i):
    return f"M\tbroker1\t1700000000.{i:03d}\thost`mod`c_7_9`{UUID}\tcpu\tn\t{i}\r\n".encode()


def closed_by_peer(sock, timeout=10):
    sock.settimeout(timeout)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


def test_a_full_listener_refuses_connections_and_quiet_ones_are_closed(daemon_factory):
    rest, metrics = free_port(), free_port()
    d = daemon_factory(extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        f'<metrics address="127.0.0.1" port="{metrics}" max_connections="{CAP}" '
        'idle_timeout_s="2"/></listeners>'))
    d.start().wait_initialized()

    held = [socket.create_connection(("127.0.0.1", metrics), timeout=5) for _ in range(CAP)]
    for s in held:
        s.sendall(line(0))
    wait_for(lambda: stats(rest)["intake"]["connections_open"] == CAP, what="the cap reached")

    # Beyond the cap every new connection is closed at once; REST keeps answering meanwhile.
    extra = [socket.create_connection(("127.0.0.1", metrics), timeout=5) for _ in range(20)]
    for s in extra:
        assert closed_by_peer(s)
        s.close()
    v = wait_for(lambda: (lambda v: v if v["intake"]["refused_connections"] >= 20 else None)(
        stats(rest)), what="refusals counted")
    assert v["intake"]["connections_open"] == CAP

    # The held connections still work, and blank CRLF lines on them are not rejections.
    for i, s in enumerate(held):
        s.sendall(b"\r\n\n" + line(i + 1))
    v = wait_for(lambda: (lambda v: v if v["director"]["parsed"] >= 2 * CAP else None)(
        stats(rest)), what="lines from held connections")
    assert v["director"]["rejected"] == 0

    # A long line, sent in pieces, grows a buffer that started small.
    long_line = f"M\tbroker1\t1700000000.5\thost`mod`c_7_9`{UUID}\tlog\ts\t{'x' * 50000}\n".encode()
    for at in range(0, len(long_line), 7000):
        held[0].sendall(long_line[at:at + 7000])
    v = wait_for(lambda: (lambda v: v if v["director"]["parsed"] >= 2 * CAP + 1 else None)(
        stats(rest)), what="the long line")
    assert v["intake"]["overlong_lines"] == 0

    # Once quiet for the idle timeout they are closed, and the listener takes connections again.
    started = time.monotonic()
    for s in held:
        assert closed_by_peer(s)
        s.close()
    assert time.monotonic() - started < 8
    v = wait_for(lambda: (lambda v: v if v["intake"]["connections_open"] == 0 else None)(
        stats(rest)), what="connections released")
    assert v["intake"]["idle_closes"] == CAP
    with socket.create_connection(("127.0.0.1", metrics), timeout=5) as s:
        s.sendall(line(99))
        wait_for(lambda: stats(rest)["director"]["parsed"] >= 2 * CAP + 2, what="a new connection")
    assert "refusing new ones" in d.log()
    assert d.proc.poll() is None
    assert d.stop() == 0
