"""Metric lines streamed by a broker over TCP reach the metric director and are counted."""
import json
import socket
import urllib.request

from conftest import free_port, wait_for

UUID = "11111111-2222-3333-4444-555555555555"


def stats(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats.json?format=simple", timeout=5) as r:
        return json.loads(r.read())["vask"]


def test_lines_over_tcp_are_counted(daemon_factory):
    rest, metrics = free_port(), free_port()
    d = daemon_factory(extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        f'<metrics address="127.0.0.1" port="{metrics}"/></listeners>'))
    d.start().wait_initialized()
    good = "".join(f"M\tbroker1\t1700000000.{i:03d}\thost`mod`c_7_9`{UUID}\tcpu|ST[a:b]\tn\t{i}.5\n"
                   for i in range(200))
    bad = "M\tnot a line\n" * 3
    with socket.create_connection(("127.0.0.1", metrics), timeout=5) as s:
        # Split mid-line on purpose: the listener must put the pieces back together.
        payload = (good + bad).encode()
        s.sendall(payload[:1001])
        s.sendall(payload[1001:])
    # A client that goes away in the middle of a line does not harm the others.
    with socket.create_connection(("127.0.0.1", metrics), timeout=5) as s:
        s.sendall(b"M\tbroker1\t1700000000.000\thost`mod`c_7_9`")

    def counted():
        v = stats(rest)
        return v if v["director"]["parsed"] >= 200 and v["director"]["rejected"] >= 3 else None

    v = wait_for(counted, what="lines counted")
    assert v["director"]["parsed"] == 200
    assert v["director"]["rejected"] == 3
    assert v["intake"]["lines"] >= 203
    assert d.proc.poll() is None
    assert d.stop() == 0
