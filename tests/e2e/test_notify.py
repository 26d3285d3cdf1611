"""Outlets beside the bus. A real alert router (Debian's prometheus-alertmanager, started here on
loopback with its own data directory and group_wait 0) forwards to a webhook receiver that is a
small HTTP server in the test: a raised stream reaches the receiver through the router with the
labels people read, its clear resolves it, and two owners of a cluster give one notification.
Webhooks: a target down for 20 s then back receives every change in order; a target that never
comes back costs the bus nothing and counts what it dropped; maintenance holds every outlet as it
holds the bus, and its end releases them all."""
import hashlib
import hmac
import json
import os
import re
import shutil
import ssl
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pika
import pytest

from certs import pki  # noqa: F401  (fixture)
from conftest import Daemon, base_config, end_process, example_cluster_texts, example_rest_port, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import EXCHANGE, ROUTE, UUID, Rest, declare_exchange, with_exchange

ALERTMANAGER = shutil.which("prometheus-alertmanager") or shutil.which("alertmanager")
SECRET = "a webhook secret"


class Receiver:
    """An HTTP server that records every POST (path, headers, JSON body), in arrival order. It can
    be started late and stopped, on the port it was given."""

    def __init__(self, port=None, tls=None):
        self.port = port or free_port()
        self.posts = []
        self.times = []  # arrival of each post, time.monotonic()
        self.lock = threading.Lock()
        self.server = None
        self.tls = tls  # an ssl.SSLContext: HTTPS, and the client's certificate as it requires
        self.peers = []  # the client certificates' subjects, with tls

    def start(self):
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                with receiver.lock:
                    receiver.posts.append((self.path, dict(self.headers), body))
                    receiver.times.append(time.monotonic())
                    if receiver.tls:
                        receiver.peers.append(dict(x[0] for x in self.connection.getpeercert()["subject"]))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        ThreadingHTTPServer.allow_reuse_address = True
        self.server = ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        if self.tls:
            self.server.socket = self.tls.wrap_socket(self.server.socket, server_side=True)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self.server:
            self.server.shutdown()
            self.server.server_close()
            self.server = None

    def bodies(self, path):
        with self.lock:
            return [json.loads(b) for p, _, b in self.posts if p == path]

    def raw(self, path):
        with self.lock:
            return [(h, b) for p, h, b in self.posts if p == path]


class Router:
    """An alert router on loopback that sends every group at once to the receiver."""

    def __init__(self, workdir, receiver):
        self.port = free_port()
        self.workdir = workdir
        os.makedirs(os.path.join(workdir, "data"), exist_ok=True)
        self.config = os.path.join(workdir, "router.yml")
        with open(self.config, "w") as f:
            f.write(f"""route:
  receiver: hook
  group_by: ['...']
  group_wait: 0s
  group_interval: 1s
  repeat_interval: 1h
receivers:
  - name: hook
    webhook_configs:
      - url: http://127.0.0.1:{receiver.port}/router
        send_resolved: true
""")
        self.log_path = os.path.join(workdir, "router.log")
        self.proc = None

    def start(self):
        self.log_file = open(self.log_path, "wb")
        self.proc = subprocess.Popen(
            [ALERTMANAGER, f"--config.file={self.config}", f"--storage.path={self.workdir}/data",
             f"--web.listen-address=127.0.0.1:{self.port}", "--cluster.listen-address="],
            stdin=subprocess.DEVNULL, stdout=self.log_file, stderr=self.log_file)
        import socket

        def listening():
            if self.proc.poll() is not None:
                raise AssertionError(open(self.log_path).read())
            with socket.socket() as s:
                return s.connect_ex(("127.0.0.1", self.port)) == 0
        wait_for(listening, 30, what="the alert router")
        return self

    def stop(self):
        end_process(self.proc)
        self.log_file.close()


needs_router = pytest.mark.skipif(ALERTMANAGER is None, reason="prometheus-alertmanager is not installed")


def listener(port, pki):  # noqa: F811
    return (f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
            f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
            '</listeners>')


def start_daemon(workdir, pki, mq_port, notify):  # noqa: F811
    port = free_port()
    os.makedirs(workdir, exist_ok=True)
    config = with_exchange(base_config(mq_port=mq_port, extra=listener(port, pki) + notify))
    d = Daemon(workdir, config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    return d, Rest(port, pki)


def feed(rest, lines):
    r = rest.post("/test/input", "".join(lines))
    assert r.json() == {"lines": len(lines), "trash": 0}, r.text


def line(name, t, value):
    return "\t".join(["M", "b1", f"{t}.000", f"web01`mod`c_7_9`{UUID}", name, "n", value]) + "\n"


def bus_queue(rabbitmq_node):  # noqa: F811
    ch = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port)).channel()
    declare_exchange(ch)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    def read():
        out = []
        while True:
            method, _, body = ch.basic_get(queue, auto_ack=True)
            if not method:
                return out
            out.append(body)
    return read


def outlet_stats(rest, name):
    return rest.get("/stats.json?format=simple").json()["notify"][name]


CPU = "cpu|ST[env:prod]"
TEXT = {"title": "CPU hot", "summary": "cpu at {{value}} on {{tag:env}} ({{metric}})",
        "labels": {"team": "ops", "alertname": "ignored"},
        "annotations": {"runbook": "https://wiki.example/{{tag:env}}/{{nothing}}"}}


def cpu_ruleset(ecid=501, **extra):
    return {"event_criteria_id": ecid, "account_id": 7, "check_uuid": UUID, "metric_name": CPU,
            "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "90"}],
            **extra}


def router_notifications(receiver, status):
    return [a for n in receiver.bodies("/router") for a in n["alerts"] if a["status"] == status]


@needs_router
def test_router_gets_labels_resolves_and_webhook_mirrors_the_bus(tmp_path, pki, rabbitmq_node):  # noqa: F811
    receiver = Receiver().start()
    router = Router(str(tmp_path / "router"), receiver).start()
    read_bus = bus_queue(rabbitmq_node)
    notify = (f'<notify><alertmanager name="router" url="http://127.0.0.1:{router.port}"'
              f' resend_interval_ms="1000" generator_url="https://queltd.example/ruleset/"/>'
              f'<webhook name="mirror" url="http://127.0.0.1:{receiver.port}/hook"'
              f' hmac_secret="{SECRET}" bearer_token="t0ken"/></notify>')
    d, rest = start_daemon(str(tmp_path / "d"), pki, rabbitmq_node.port, notify)
    try:
        # A second ruleset has keys of the wrong type: it loads, they are ignored and counted.
        bad = cpu_ruleset(502, title=5, labels="team", annotations={"a": 1, "b": "kept"})
        bad["metric_name"] = "disk"
        r = rest.post("/rulesets", [cpu_ruleset(**TEXT), bad])
        assert r.json() == {"rulesets": 2, "errors": 0}, r.text
        shown = rest.get("/ruleset/502").json()
        assert list(shown)[-2:] == ["streams", "annotations"] and shown["annotations"] == {"b": "kept"}
        assert rest.get("/stats.json?format=simple").json()["notify"]["ignored_keys"] == 3
        doc = rest.get("/ruleset/501").json()
        assert list(doc)[-5:] == ["streams", "title", "summary", "labels", "annotations"]

        feed(rest, [line(CPU, 1700000001, "95")])
        firing = wait_for(lambda: router_notifications(receiver, "firing"), 20, what="a firing notification")
        assert len(firing) == 1
        a = firing[0]
        assert a["labels"] == {"alertname": "CPU hot", "severity": "2", "account": "7", "check": UUID,
                               "host": "web01", "metric": CPU, "broker": "b1", "env": "prod",
                               "team": "ops"}
        assert a["annotations"] == {"summary": f"cpu at 95 on prod ({CPU})",
                                    "runbook": "https://wiki.example/prod/{{nothing}}"}
        assert a["generatorURL"] == "https://queltd.example/ruleset/501"

        # The webhook carries the bus document byte for byte, signed; the bus is as it always was.
        hook = wait_for(lambda: receiver.raw("/hook"), 10, what="the webhook post")
        bus = wait_for(read_bus, 10, what="the bus alert")
        headers, body = hook[0]
        assert body == bus[0]
        assert list(json.loads(body)["sev"])[0] == "rule" and "labels" not in json.loads(body)["sev"]
        assert headers["X-Queltd-Signature"] == "sha256=" + hmac.new(SECRET.encode(), body, hashlib.sha256).hexdigest()
        assert headers["Authorization"] == "Bearer t0ken"

        # While raised, the alert is re-sent each interval; the router notifies once.
        wait_for(lambda: outlet_stats(rest, "router")["resent"] >= 2, 20, what="re-sends")
        assert len(router_notifications(receiver, "firing")) == 1

        # A reload that changes only the text keeps the stream (no new alert on the bus) and
        # the next announcement carries the new summary.
        changed = dict(TEXT, summary="now {{value}}")
        assert rest.post("/rulesets", [cpu_ruleset(**changed)]).json() == {"rulesets": 1, "errors": 0}
        doc = rest.get("/ruleset/501").json()
        assert doc["summary"] == "now {{value}}" and len(doc["streams"]) == 1

        feed(rest, [line(CPU, 1700000002, "10")])
        resolved = wait_for(lambda: router_notifications(receiver, "resolved"), 20, what="the resolve")
        assert resolved[0]["labels"] == a["labels"]
        assert resolved[0]["annotations"]["summary"] == f"cpu at 95 on prod ({CPU})"
        wait_for(lambda: len(read_bus()) == 1, 10, what="the clear on the bus")

        feed(rest, [line(CPU, 1700000003, "97")])
        wait_for(lambda: len(router_notifications(receiver, "firing")) == 2, 20, what="the second raise")
        assert router_notifications(receiver, "firing")[-1]["annotations"]["summary"] == "now 97"

        stats = outlet_stats(rest, "router")
        assert stats["sent"] == 3 and stats["dropped"] == 0 and stats["queue_depth"] == 0
        assert outlet_stats(rest, "mirror")["sent"] == 3
    finally:
        d.stop()
        router.stop()
        receiver.stop()


def cluster_configs(tmp_path, pki, rabbitmq_node, notify):  # noqa: F811
    """The shipped three-node example on free ports, the test's bus and certificates, and an
    outlet section; each metric has two owners."""
    nodes = []
    for i, text in enumerate(example_cluster_texts(pki, rabbitmq_node.port), 1):
        text = re.sub(r"<orvane>.*?</orvane>", "", with_exchange(text), flags=re.S)
        text = text.replace("</queltd>", notify + "</queltd>")
        os.makedirs(tmp_path / f"node{i}")
        nodes.append((Rest(example_rest_port(text), pki), Daemon(str(tmp_path / f"node{i}"), text)))
    return nodes


@needs_router
def test_two_owners_give_one_notification(tmp_path, pki, rabbitmq_node):  # noqa: F811
    receiver = Receiver().start()
    router = Router(str(tmp_path / "router"), receiver).start()
    notify = f'<notify><alertmanager url="http://127.0.0.1:{router.port}/api/v2/alerts"/></notify>'
    nodes = cluster_configs(tmp_path, pki, rabbitmq_node, notify)
    try:
        for _, d in nodes:
            d.start()
        for _, d in nodes:
            d.wait_initialized()
            wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
        rs = {"event_criteria_id": 600, "account_id": 7, "check_uuid": UUID, "metric_name": "cl.m",
              "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 3, "value": "1"}]}
        holders = []
        for rest, _ in nodes:
            assert rest.post("/rulesets", [rs]).status_code == 200
            if rest.get("/ruleset/600").status_code == 200:
                holders.append(rest)
        assert len(holders) == 2
        for rest, _ in nodes:
            feed(rest, [line("cl.m", 1700000001, "5")])
        for rest in holders:
            wait_for(lambda: outlet_stats(rest, "alertmanager1")["sent"] == 1, 20, what="each owner sends")
        wait_for(lambda: router_notifications(receiver, "firing"), 20, what="the notification")
        time.sleep(3)  # past two group intervals: a duplicate would have been notified by now
        firing = router_notifications(receiver, "firing")
        assert len(firing) == 1 and firing[0]["labels"]["severity"] == "3"

        for rest, _ in nodes:
            feed(rest, [line("cl.m", 1700000002, "0")])
        wait_for(lambda: router_notifications(receiver, "resolved"), 20, what="the resolve")
        time.sleep(3)
        assert len(router_notifications(receiver, "resolved")) == 1
    finally:
        for _, d in nodes:
            if d.proc and d.proc.poll() is None:
                d.proc.kill()
                d.proc.wait()
        router.stop()
        receiver.stop()


def test_webhook_down_then_back_loses_nothing_and_a_dead_one_costs_the_bus_nothing(tmp_path, pki, rabbitmq_node):  # noqa: F811
    late = Receiver()  # its port is known, nothing listens yet
    dead_port = free_port()
    read_bus = bus_queue(rabbitmq_node)
    notify = (f'<notify><webhook name="late" url="http://127.0.0.1:{late.port}/late" format="compact"'
              f' retry_initial_ms="200" retry_max_ms="2000"/>'
              f'<webhook name="dead" url="http://127.0.0.1:{dead_port}/x" queue_size="5"'
              f' retry_initial_ms="100" retry_max_ms="500"/></notify>')
    d, rest = start_daemon(str(tmp_path / "d"), pki, rabbitmq_node.port, notify)
    try:
        names = [f"flap.m{i}" for i in range(4)]
        assert rest.post("/rulesets", [
            {"event_criteria_id": 700 + i, "account_id": 7, "check_uuid": UUID, "metric_name": n,
             "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1 + i % 3, "value": "10"}]}
            for i, n in enumerate(names)]).json() == {"rulesets": 4, "errors": 0}
        # Every metric raises and clears three times: 24 changes, all while the webhook is down.
        values = ["50", "1", "60", "2", "70", "3"]
        for k, v in enumerate(values):
            feed(rest, [line(n, 1700000001 + k, v) for n in names])
        bus = []
        wait_for(lambda: bus.extend(read_bus()) or len(bus) >= 24, 10, what="every change on the bus")
        assert len(bus) == 24, "the dead outlets held the bus back"

        dead = outlet_stats(rest, "dead")
        assert dead["dropped"] == 19 and dead["queued"] == 5 and dead["sent"] == 0
        assert re.search(r"outlet dead: queue of \S+ full \(5\), alert dropped", d.log())
        time.sleep(20)
        assert outlet_stats(rest, "late")["retried"] >= 3
        late.start()
        posts = wait_for(lambda: len(late.bodies("/late")) == 24 and late.bodies("/late"), 30,
                         what="every queued change")
        for i, n in enumerate(names):
            mine = [p for p in posts if p["ecid"] == 700 + i]
            assert [p["status"] for p in mine] == ["firing", "resolved"] * 3
            assert [p["value"] for p in mine] == values
            assert all(p["labels"]["metric"] == n and p["labels"]["alertname"] == f"ruleset_{700 + i}" for p in mine)
        stats = outlet_stats(rest, "late")
        assert stats["sent"] == 24 and stats["dropped"] == 0 and stats["queue_depth"] == 0
        # The dead target still counts and holds only what fitted.
        assert outlet_stats(rest, "dead")["queue_depth"] == 5
    finally:
        d.stop()
        late.stop()


def test_maintenance_holds_every_outlet_over_tls_and_releases_them_at_its_end(tmp_path, pki, rabbitmq_node):  # noqa: F811
    from test_maintenance import window
    # Over TLS: the receiver is verified with the test CA and asks for the daemon's client
    # certificate.
    tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    tls.load_cert_chain(pki.server_crt, pki.server_key)
    tls.load_verify_locations(pki.ca)
    tls.verify_mode = ssl.CERT_REQUIRED
    receiver = Receiver(tls=tls).start()
    read_bus = bus_queue(rabbitmq_node)
    client_tls = f'ca_file="{pki.ca}" cert_file="{pki.client[0]}" key_file="{pki.client[1]}"'
    notify = (f'<notify><webhook name="full" url="https://127.0.0.1:{receiver.port}/full" {client_tls}/>'
              f'<webhook name="short" url="https://127.0.0.1:{receiver.port}/short" format="compact"'
              f' {client_tls}/></notify>')
    d, rest = start_daemon(str(tmp_path / "d"), pki, rabbitmq_node.port, notify)
    try:
        assert rest.post("/rulesets", [cpu_ruleset(21, title="Memory")]).json()["errors"] == 0
        t = int(time.time()) - 100  # windows are matched against message times
        feed(rest, [line(CPU, t, "50")])
        wait_for(lambda: len(receiver.bodies("/short")) == 1, 10, what="the first clear")
        now = int(time.time())
        held = window(900, "metric", 21, (2,), start=now - 600, stop=now + 3600)
        assert rest.post("/maintenance", [held]).json() == {"maintenance": 1, "errors": 0}
        feed(rest, [line(CPU, t + 1, "95")])
        time.sleep(1.5)
        assert len(receiver.bodies("/short")) == 1 and len(receiver.bodies("/full")) == 1

        assert rest.post("/maintenance", [{**held, "stop_on": now - 1}]).json()["errors"] == 0
        wait_for(lambda: len(receiver.bodies("/short")) == 2, 10, what="the held raise")
        wait_for(lambda: len(receiver.bodies("/full")) == 2, 10, what="the held raise, in full")
        short = receiver.bodies("/short")[1]
        assert short["status"] == "firing" and short["labels"]["alertname"] == "Memory" and short["value"] == "95"
        bus = []
        wait_for(lambda: bus.extend(read_bus()) or len(bus) >= 2, 10, what="both alerts on the bus")
        assert len(bus) == 2 and json.loads(bus[1])["sev"]["leaving_maintenance"] is True
        assert [b for _, b in receiver.raw("/full")] == bus
        assert {p["commonName"] for p in receiver.peers} == {"queltd-operator"}
    finally:
        d.stop()
        receiver.stop()


@pytest.mark.parametrize("notify,says", [
    ('<webhok url="http://127.0.0.1:1"/>', "//notify/webhok is not an outlet"),
    ('<webhook url="ftp://127.0.0.1/x"/>', "url ftp://127.0.0.1/x is not http:// or https://"),
    ("<alertmanager/>", "//notify/alertmanager[1] needs a url"),
    ('<webhook url="http://127.0.0.1:1" queue_size="0"/>', "queue_size must be a positive number"),
    ('<webhook url="http://127.0.0.1:1" format="xml"/>', '@format must be "bus" or "compact"'),
    ('<webhook url="http://127.0.0.1:1"/><webhook name="webhook1" url="http://127.0.0.1:2"/>',
     "two outlets are named webhook1"),
    ('<webhook url="https://127.0.0.1:1" ca_file="/nonexistent/ca.crt"/>', "cannot read /nonexistent/ca.crt"),
])
def test_unusable_outlet_settings_stop_the_start(daemon_factory, notify, says):
    d = daemon_factory(extra=f"<notify>{notify}</notify>").start()
    assert d.proc.wait(20) == 2
    assert says in d.log()
