"""Metrics from the agents people already run, sent by the real senders: a Prometheus server
scraping a node exporter and remote-writing to queltd, collectd writing Graphite plaintext, and the
Influx Python client writing line protocol over HTTP (and raw lines over TCP). Rulesets written
for these metrics alert on the bus exactly as for metric lines."""
import json
import os
import shutil
import socket
import subprocess
import time
import uuid

import pika
import pytest
import requests

from conftest import base_config, end_process, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import EXCHANGE, ROUTE, declare_exchange, with_exchange

NAMESPACE = uuid.UUID("5b0f3b9c-2a53-4c5e-9d0e-6c1d2f7a8e41")
PROMETHEUS = "/usr/bin/prometheus"
NODE_EXPORTER = "/usr/bin/prometheus-node-exporter"
COLLECTD = "/usr/sbin/collectd"


def check_uuid(identity):
    """The check UUID queltd derives from a source's identity labels."""
    return str(uuid.uuid5(NAMESPACE, identity))


class Process:
    """A sender started by the test; stopped (and its output kept) at the end."""

    def __init__(self, args, workdir, name):
        self.log_path = os.path.join(workdir, f"{name}.log")
        self.log_file = open(self.log_path, "wb")
        self.proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=self.log_file,
                                     stderr=subprocess.STDOUT, cwd=workdir)

    def log(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")[-3000:]

    def stop(self):
        end_process(self.proc)
        self.log_file.close()


@pytest.fixture
def senders():
    started = []
    yield started
    for p in started:
        p.stop()


@pytest.fixture
def bus_queue(rabbitmq_node):  # noqa: F811
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    declare_exchange(ch)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    def take(predicate, timeout=60, what="alert"):
        """Alerts ("sev" objects) read until one satisfies predicate; returns that one."""
        def more():
            method, _, body = ch.basic_get(queue, auto_ack=True)
            if not method:
                return None
            sev = json.loads(body)["sev"]
            return sev if predicate(sev) else None
        return wait_for(more, timeout, interval=0.1, what=what)

    yield take
    conn.close()


def start_daemon(daemon_factory, rabbitmq_node, listeners):  # noqa: F811
    rest = free_port()
    config = with_exchange(base_config(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        f'{listeners}</listeners>')))
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    wait_for(lambda: "AMQP connection: connected" in d.log(), what="bus connection")
    return d, f"http://127.0.0.1:{rest}"


def load(url, rulesets):
    r = requests.post(f"{url}/rulesets", data=json.dumps(rulesets), timeout=10)
    assert r.status_code == 200 and r.json() == {"rulesets": len(rulesets), "errors": 0}, r.text


def formats(url, name):
    s = requests.get(f"{url}/stats.json?format=simple", timeout=10).json()
    return s["vask"]["formats"][name]


@pytest.mark.skipif(not (os.access(PROMETHEUS, os.X_OK) and os.access(NODE_EXPORTER, os.X_OK)),
                    reason="prometheus and prometheus-node-exporter are not installed")
def test_prometheus_remote_write_from_node_exporter_alerts(daemon_factory, rabbitmq_node,  # noqa: F811
                                                           bus_queue, senders, tmp_path):
    d, url = start_daemon(daemon_factory, rabbitmq_node, '<remote_write account="7"/>')
    exporter = free_port()
    instance = f"127.0.0.1:{exporter}"
    one = check_uuid(f"job=node,instance={instance}")
    load(url, [
        # node_load1 of this one instance: any value raises severity 2.
        {"event_criteria_id": 501, "account_id": 7, "check_uuid": one, "metric_name": "node_load1",
         "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "-1"}]},
        # Every instance's load averages, one stream per instance tag.
        {"event_criteria_id": 502, "account_id": 7, "metric_pattern": "^node_load(1|5|15)$",
         "group_by": "^instance:", "metric_type": "numeric",
         "rules": [{"criteria": "max value", "severity": 3, "value": "-1"}]},
    ])

    senders.append(Process([NODE_EXPORTER, f"--web.listen-address={instance}",
                            "--collector.disable-defaults", "--collector.loadavg",
                            "--collector.meminfo"], str(tmp_path), "node_exporter"))
    prom_dir = tmp_path / "prometheus"
    prom_dir.mkdir()
    (prom_dir / "prometheus.yml").write_text(f"""
global:
  scrape_interval: 1s
  evaluation_interval: 1m
scrape_configs:
  - job_name: node
    static_configs:
      - targets: ['{instance}']
remote_write:
  - url: {url}/api/v1/write
    queue_config:
      batch_send_deadline: 1s
      min_backoff: 100ms
      max_backoff: 1s
""")
    senders.append(Process([PROMETHEUS, f"--config.file={prom_dir}/prometheus.yml",
                            f"--storage.tsdb.path={prom_dir}/data",
                            f"--web.listen-address=127.0.0.1:{free_port()}", "--log.level=warn"],
                           str(prom_dir), "prometheus"))

    sev = bus_queue(lambda s: s["self_event_criteria_id"] == 501,
                    what=f"node_load1 alert\n{senders[1].log()}\n{d.log()[-3000:]}")
    assert sev["uuid"] == one and sev["name"] == "node_load1"
    assert sev["self_priority"] == 2 and sev["self_account_id"] == 7
    assert isinstance(sev["value"], (int, float)) and sev["value"] >= 0
    # The pattern ruleset: a stream per instance, its signature holding the grouped tag alone.
    sev = bus_queue(lambda s: s["self_event_criteria_id"] == 502 and s["self_priority"] == 3,
                    what="pattern alert")
    assert sev["uuid"] == one
    bare = sev["name"].split("|")[0]
    assert bare in ("node_load1", "node_load5", "node_load15")
    assert sev["signature"] == f"{one}`{bare}|ST[instance:{instance}]"

    f = formats(url, "remote_write")
    assert f["accepted"] > 0
    # Prometheus 2.x sends no native histograms and no malformed requests.
    assert f["rejected_bad_protobuf"] == 0 and f["rejected_missing_name"] == 0
    http = requests.get(f"{url}/stats.json?format=simple", timeout=10).json()["vask"]["intake_http"]
    assert http["remote_write"]["requests"] > 0 and http["remote_write"]["bad_requests"] == 0

    # A body that is not snappy, and one of the newer protocol version, are answered as such.
    r = requests.post(f"{url}/api/v1/write", data=b"not snappy",
                      headers={"Content-Encoding": "snappy", "Content-Type": "application/x-protobuf"})
    assert r.status_code == 400 and r.json() == {"error": "bad_compression"}
    r = requests.post(f"{url}/api/v1/write", data=b"",
                      headers={"Content-Type": "application/x-protobuf;proto=io.prometheus.write.v2.Request"})
    assert r.status_code == 415
    assert d.proc.poll() is None
    for p in senders:
        p.stop()
    assert d.stop() == 0


def test_influx_from_the_python_client_and_over_tcp(daemon_factory, rabbitmq_node,  # noqa: F811
                                                    bus_queue):
    InfluxDBClient = pytest.importorskip("influxdb").InfluxDBClient

    tcp = free_port()
    d, url = start_daemon(daemon_factory, rabbitmq_node,
                          f'<influx_http account="7"/>'
                          f'<influx address="127.0.0.1" port="{tcp}" account="7" precision="s"/>')
    web01, db2 = check_uuid("host=web01"), check_uuid("host=db2")
    load(url, [
        {"event_criteria_id": 601, "account_id": 7, "check_uuid": web01,
         "metric_name": "cpu.usage_idle", "metric_type": "numeric",
         "rules": [{"criteria": "min value", "severity": 4, "value": "5"}]},
        {"event_criteria_id": 602, "account_id": 7, "check_uuid": db2,
         "metric_name": "service.state", "metric_type": "text",
         "rules": [{"criteria": "match", "severity": 1, "value": "down, \"really\""}]},
    ])
    port = int(url.rsplit(":", 1)[1])
    client = InfluxDBClient(host="127.0.0.1", port=port, database="telegraf")
    now = int(time.time())
    assert client.write_points([
        {"measurement": "cpu", "tags": {"host": "web01", "cpu": "cpu-total"},
         "time": now * 1000000000, "fields": {"usage_idle": 2.5, "usage_user": 97.5}},
        {"measurement": "mem", "tags": {"host": "web01"}, "time": now * 1000000000,
         "fields": {"used": 12345, "ok": True}},
    ])
    sev = bus_queue(lambda s: s["self_event_criteria_id"] == 601,
                    what=f"cpu alert\n{d.log()[-3000:]}")
    assert sev["uuid"] == web01 and sev["self_priority"] == 4 and sev["value"] == 2.5

    # Raw lines over TCP in seconds precision, with escapes; a bad line is refused alone.
    with socket.create_connection(("127.0.0.1", tcp), timeout=5) as s:
        s.sendall(f'service,host=db2,svc=my\\ app state="down, \\"really\\"" {now}\n'
                  f"service,host=db2 state=oops\n".encode())
    sev = bus_queue(lambda s: s["self_event_criteria_id"] == 602, what="text alert")
    assert sev["uuid"] == db2 and sev["value"] == 'down, "really"'

    def counted():
        f = formats(url, "influx")
        return f if f["accepted"] >= 5 and f["rejected_bad_value"] >= 1 else None
    f = wait_for(counted, what="influx counts")
    assert f["accepted"] == 5  # two cpu fields, two mem fields, one state

    # Over HTTP a body with nothing placeable is a 400 naming the reason; a bad precision too.
    # A line without a host tag names its source by the sender's address.
    r = requests.post(f"{url}/api/v2/write?precision=ms", data="cpu,host=a\ncpu v=1.5i\n")
    assert r.status_code == 400 and r.json()["error"].startswith("bad_syntax"), r.text
    r = requests.post(f"{url}/api/v2/write", data="cpu v=1\n")
    assert r.status_code == 204
    r = requests.post(f"{url}/write?precision=ps", data="cpu,host=a v=1\n")
    assert r.status_code == 400
    r = requests.post(f"{url}/api/v2/write?precision=ms", data=f"cpu,host=a v=1 {now * 1000}\n")
    assert r.status_code == 204
    # Gzip bodies, as Telegraf sends them by default.
    import gzip
    before = formats(url, "influx")["accepted"]
    r = requests.post(f"{url}/api/v2/write?precision=s", headers={"Content-Encoding": "gzip"},
                      data=gzip.compress(f"cpu,host=a v=1 {now}\ncpu,host=b v=2 {now}\n".encode()))
    assert r.status_code == 204
    assert wait_for(lambda: formats(url, "influx")["accepted"] - before == 2, what="gzip samples")
    r = requests.post(f"{url}/api/v2/write", headers={"Content-Encoding": "gzip"}, data=b"plain")
    assert r.status_code == 400 and r.json() == {"error": "bad_compression"}
    assert d.stop() == 0


def test_graphite_from_collectd(daemon_factory, rabbitmq_node, bus_queue, senders, tmp_path):  # noqa: F811
    graphite = free_port()
    d, url = start_daemon(daemon_factory, rabbitmq_node,
                          f'<graphite address="127.0.0.1" port="{graphite}" account="7" host_node="1"/>')
    web01 = check_uuid("host=qhost01")
    load(url, [
        {"event_criteria_id": 701, "account_id": 7, "check_uuid": web01,
         "metric_pattern": r"^collectd\.qhost01\.load\.load\.shortterm$", "metric_type": "numeric",
         "rules": [{"criteria": "max value", "severity": 2, "value": "-1"}]},
        {"event_criteria_id": 702, "account_id": 7, "metric_name": "tagged.temp",
         "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1, "value": "30"}]},
    ])
    if os.access(COLLECTD, os.X_OK):
        conf = tmp_path / "collectd.conf"
        conf.write_text(f"""
Hostname "qhost01"
FQDNLookup false
Interval 1
BaseDir "{tmp_path}"
PIDFile "{tmp_path}/collectd.pid"
PluginDir "/usr/lib/collectd"
LoadPlugin load
LoadPlugin write_graphite
<Plugin write_graphite>
  <Node "queltd">
    Host "127.0.0.1"
    Port "{graphite}"
    Protocol "tcp"
    Prefix "collectd."
  </Node>
</Plugin>
""")
        senders.append(Process([COLLECTD, "-f", "-C", str(conf)], str(tmp_path), "collectd"))
        sev = bus_queue(lambda s: s["self_event_criteria_id"] == 701,
                        what=f"collectd alert\n{senders[0].log()}\n{d.log()[-3000:]}")
        assert sev["uuid"] == web01
        assert sev["name"] == "collectd.qhost01.load.load.shortterm|ST[host:qhost01]"
    # The tagged form, from a sender of the test.
    with socket.create_connection(("127.0.0.1", graphite), timeout=5) as s:
        s.sendall(f"tagged.temp;host=rack7;room=b 31.5 {int(time.time())}\nlonely.path\n".encode())
    sev = bus_queue(lambda s: s["self_event_criteria_id"] == 702, what="tagged alert")
    assert sev["uuid"] == check_uuid("host=rack7") and sev["value"] == 31.5
    f = wait_for(lambda: (lambda f: f if f["rejected_bad_syntax"] >= 1 else None)(formats(url, "graphite")),
                 what="graphite counts")
    assert f["accepted"] >= 1
    for p in senders:
        p.stop()
    assert d.stop() == 0


@pytest.mark.parametrize("element,complaint", [
    ('<remote_write account="seven"/>', "//listeners/remote_write/@account"),
    ('<influx port="0" precision="ps"/>', "//listeners/influx[1]/@precision"),
    ('<graphite port="0" module="a`b"/>', "//listeners/graphite[1]: module"),
])
def test_unusable_source_settings_stop_start_up(daemon_factory, element, complaint):
    d = daemon_factory(extra=f"<listeners>{element}</listeners>").start()
    assert d.proc.wait(20) == 2
    assert complaint in d.log(), d.log()[-2000:]


def test_remote_write_waits_for_full_lanes_and_loses_nothing(daemon_factory):
    """Lanes of 16 messages and a body of 20,000 wanted samples: the request waits while the
    workers drain, is answered 204 once everything is queued, and every sample is delivered."""
    import struct

    rest = free_port()
    d = daemon_factory(extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        '<remote_write account="7"/></listeners><vask><director lane_capacity="16"/></vask>'))
    d.start().wait_initialized()
    url = f"http://127.0.0.1:{rest}"
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    load(url, [{"event_criteria_id": 1, "account_id": 7, "metric_pattern": "^m$",
                "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1, "value": "1e300"}]}])

    def varint(v):
        out = bytearray()
        while v >= 0x80:
            out.append((v & 0x7f) | 0x80)
            v >>= 7
        return bytes(out + bytes([v]))

    def ld(field, b):
        return varint(field << 3 | 2) + varint(len(b)) + b

    n, t = 20000, int(time.time() * 1000)
    raw = b"".join(ld(1, ld(1, ld(1, b"__name__") + ld(2, b"m")) + ld(1, ld(1, b"job") + ld(2, b"j"))
                      + ld(1, ld(1, b"instance") + ld(2, f"i{i % 100}".encode()))
                      + ld(2, varint(1 << 3 | 1) + struct.pack("<d", i) + varint(2 << 3) + varint(t + i)))
                   for i in range(n))
    # A snappy block of literals: the uncompressed length, then 64 KiB literal runs.
    body = varint(len(raw)) + b"".join(bytes([62 << 2]) + struct.pack("<I", len(c) - 1)[:3] + c
                                       for c in (raw[k:k + 65536] for k in range(0, len(raw), 65536)))
    before = requests.get(f"{url}/stats.json?format=simple", timeout=10).json()["vask"]["director"]
    r = requests.post(f"{url}/api/v1/write", data=body, timeout=60,
                      headers={"Content-Encoding": "snappy", "Content-Type": "application/x-protobuf"})
    assert r.status_code == 204, r.text
    s = requests.get(f"{url}/stats.json?format=simple", timeout=10).json()["vask"]
    assert s["formats"]["remote_write"]["accepted"] == n
    assert s["intake_http"]["remote_write"]["pauses"] >= 1
    assert s["director"]["delivered"] - before["delivered"] == n
    assert s["director"]["lane_overflows"] == 0 and s["director"]["abandoned"] == 0
    assert d.stop() == 0
