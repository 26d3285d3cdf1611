"""Metric lines streamed by a broker over TCP reach the metric director and are counted."""
import json
import socket
import urllib.request

from conftest import free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"


def stats(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats.json?format=simple", timeout=5) as r:
        return json.loads(r.read())["vask"]


def stats_all(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats.json?format=simple", timeout=5) as r:
        return json.loads(r.read())


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


def test_lines_from_the_bus_are_counted(daemon_factory, rabbitmq_node):
    import pika

    rest = free_port()
    d = daemon_factory(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        '<metrics_bus exchange="test.metrics"/></listeners>'
        '<network><mq><host>127.0.0.1</host>'
        f'<port>{rabbitmq_node.port}</port><exchange name="test.metrics" type="topic"/>'
        '<exchange name="test.other" type="topic"/>'
        '<queue name="queltd.test.metrics" durable="false" auto_delete="true">'
        '<binding exchange="test.metrics" routing_key="#"/>'
        '<binding exchange="test.other" routing_key="#"/></queue></mq></network>'))
    d.start().wait_initialized()
    wait_for(lambda: "AMQP connection: connected" in d.log(), what="bus connection")
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    try:
        ch = conn.channel()
        for batch in range(10):
            body = "".join(f"M\tb\t1700000000.{batch:03d}\thost`mod`c_7_9`{UUID}\tm{i}\tL\t{i}\n"
                           for i in range(20))
            ch.basic_publish("test.metrics", "lines", body.encode())
        # The same queue carries a delivery of another exchange: not metric lines. The ruleset and
        # maintenance hooks finish every delivery, whatever it holds, so it is still acknowledged.
        ch.basic_publish("test.other", "lines", f"M\tb\t1700000001.000\thost`mod`c_7_9`{UUID}\tx\tL\t1\n".encode())
    finally:
        conn.close()

    def counted():
        v = stats(rest)
        return v if v["director"]["parsed"] >= 200 else None

    v = wait_for(counted, what="bus lines counted")
    assert v["director"]["parsed"] == 200
    assert v["intake_bus"]["test_metrics"]["deliveries"] == 10
    def bus():
        with urllib.request.urlopen(f"http://127.0.0.1:{rest}/stats.json?format=simple", timeout=5) as r:
            b = json.loads(r.read())["tovi"]["amqp"]
        return b if b["consumed"] == 11 else None

    b = wait_for(bus, what="every delivery consumed")
    assert b["unhandled"] == 0
    wait_for(lambda: stats_all(rest)["tovi"]["amqp"]["acked"] == 11, what="every delivery acknowledged")
    assert stats_all(rest)["ruleset"]["bus"]["ignored"] == 11
    assert d.stop() == 0
