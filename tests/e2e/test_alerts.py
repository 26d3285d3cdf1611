"""Alerts leave the daemon on the bus: rulesets loaded by POST /rulesets, metric lines fed by
POST /test/input, and the alert documents read by a consumer bound to the alert exchange and route
of a private RabbitMQ node. Each document's keys and values are checked, in order. Further cases:
a windowed rule that boots before its first clear, a three-node cluster where only a metric's
owners publish, and bursts of alerts across a broker restart and a full publish queue."""
import base64
import json
import os
import re
import struct
import threading
import time
import uuid

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import Daemon, base_config, example_cluster_texts, example_rest_port, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"
EXCHANGE, ROUTE = "vask.alerts", "vask.alerts.sev"

SEV_KEYS = ["rule", "self_event_criteria_id", "name", "ordering", "self_priority",
            "self_priority_prev", "ancestor_event_criteria_id", "ancestor_priority", "uuid",
            "signature", "reporter", "self_account_id", "leaving_maintenance", "vask", "value"]
CLEAR = 2147483647


def ruleset(ecid, name, rules, metric_type="numeric", **extra):
    return {"event_criteria_id": ecid, "account_id": 7, "check_uuid": UUID, "metric_name": name,
            "metric_type": metric_type, "rules": rules, **extra}


def histogram_b64(bins):
    """bins: (val, exp, count) triples in bin order; all counts below 128."""
    out = bytes([1, len(bins)])
    for val, exp, count in bins:
        out += struct.pack("bbB", val, exp, count)
    return base64.b64encode(out).decode()


def declare_exchange(ch):
    # The daemon declares the exchange as its configuration says; consumers declare it the same
    # way so that their queues can be bound before the daemon connects.
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)


def with_exchange(config):
    return re.sub(r"(<heartbeat>\d+</heartbeat>)",
                  rf'\1<exchange name="{EXCHANGE}" type="topic" durable="true"/>', config)


class Rest:
    """REST over TLS with the operator's client certificate."""

    def __init__(self, port, pki):  # noqa: F811
        self.port, self.pki = port, pki

    def post(self, path, body):
        data = body if isinstance(body, (bytes, str)) else json.dumps(body)
        return requests.post(f"https://127.0.0.1:{self.port}{path}", data=data,
                             cert=self.pki.client, verify=self.pki.ca, timeout=10)

    def get(self, path):
        return requests.get(f"https://127.0.0.1:{self.port}{path}", cert=self.pki.client,
                            verify=self.pki.ca, timeout=10)

    def alert_stats(self):
        """The "notifications"/"alerts" counters of GET /stats.json."""
        return self.get("/stats.json?format=simple").json()["notifications"]["alerts"]


def start_daemon(daemon_factory, pki, rabbitmq_node, module='<module name="amqp" backoff_max_ms="1000"/>'):  # noqa: F811
    port = free_port()
    config = with_exchange(base_config(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        '</listeners>'))).replace('<module name="amqp" backoff_max_ms="1000"/>', module)
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    return d, Rest(port, pki)


def line(name, t, value, kind="n"):
    return "\t".join(["M", "b1", f"{t}.000", f"web01`mod`c_7_9`{UUID}", name, kind, value]) + "\n"


@pytest.fixture
def bus(daemon_factory, pki, rabbitmq_node):  # noqa: F811
    params = pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port)
    conn = pika.BlockingConnection(params)
    ch = conn.channel()
    declare_exchange(ch)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)
    d, rest = start_daemon(daemon_factory, pki, rabbitmq_node)

    class Bus:
        log = d.log
        t = 1700000000
        post = rest.post
        get = rest.get
        alert_stats = rest.alert_stats

        def load(self, rulesets):
            r = self.post("/rulesets", rulesets)
            assert r.status_code == 200 and r.json() == {"rulesets": len(rulesets), "errors": 0}, r.text

        def feed(self, name, value, kind="n", marker="M", step=1):
            """One line of the metric, `step` seconds after the previous line."""
            Bus.t += step
            fields = [marker, "b1", f"{Bus.t}.000", f"web01`mod`c_7_9`{UUID}", name]
            fields += [value] if marker != "M" else [kind, value]
            r = self.post("/test/input", "\t".join(fields) + "\n")
            assert r.json() == {"lines": 1, "trash": 0}, r.text

        def alerts(self, n, timeout=20):
            """The next n alert documents ("sev" members, keys in order); then checks none follow."""
            got = []

            def more():
                method, _, body = ch.basic_get(queue, auto_ack=True)
                if method:
                    doc = json.loads(body, object_pairs_hook=lambda pairs: pairs)
                    assert [k for k, _ in doc] == ["sev"], body
                    got.append(doc[0][1])
                return len(got) >= n
            wait_for(more, timeout, what=f"{n} alerts (got {len(got)})\n{d.log()[-3000:]}")
            time.sleep(0.3)  # anything extra has reached the queue by now
            assert ch.basic_get(queue, auto_ack=True)[0] is None, "more alerts than expected"
            return [Sev(pairs) for pairs in got]

    yield Bus()
    conn.close()
    assert d.stop() == 0


class Sev(dict):
    """A "sev" object that remembers its key order (nested objects as dicts)."""

    def __init__(self, pairs):
        super().__init__((k, dict(v) if isinstance(v, list) and v and isinstance(v[0], tuple)
                          and k == "rule" else v) for k, v in pairs)
        self.keys_in_order = [k for k, _ in pairs]
        self.rule_keys = [k for k, _ in dict(pairs)["rule"]]


def check_common(a, ecid, name):
    assert a.keys_in_order == SEV_KEYS
    assert a["self_event_criteria_id"] == ecid and a["self_account_id"] == 7
    assert a["name"] == name and a["uuid"] == UUID
    assert a["signature"] == f"{UUID}`{name}|ST[]"
    # Every line here comes through broker b1, whose record its first line made.
    assert len(a["reporter"]) == 36 and a["vask"] == "b1" and a["leaving_maintenance"] is False


def test_numeric_raise_first_match_and_clear(bus):
    bus.load([ruleset(1, "cpu", [
        {"criteria": "max value", "severity": 1, "value": "90"},
        {"criteria": "max value", "severity": 2, "value": "80", "windowing_function": "average",
         "windowing_duration": 300}])])
    for value in ("50", "95", "97", "85", "10"):
        bus.feed("cpu", value)
    first_clear, raised, second, clear = bus.alerts(4)
    for a in (first_clear, raised, second, clear):
        check_common(a, 1, "cpu")

    assert first_clear.rule_keys == ["rule", "criteria"]
    assert first_clear["rule"] == {"rule": "clear", "criteria": None}
    assert (first_clear["ordering"], first_clear["self_priority"]) == (CLEAR, CLEAR)
    assert first_clear["value"] == 50

    # 95 passes both thresholds: the first rule decides. 97 changes nothing.
    assert raised.rule_keys == ["criteria", "rule", "windowing_function", "windowing_duration"]
    assert raised["rule"] == {"criteria": 90.0, "rule": "numeric_max", "windowing_function": "none",
                              "windowing_duration": 0}
    assert (raised["ordering"], raised["self_priority"], raised["self_priority_prev"]) == (1, 1, CLEAR)
    assert raised["ancestor_event_criteria_id"] is None and raised["ancestor_priority"] is None
    assert raised["value"] == 95

    # 85: the second rule over its 300 s average (50, 95, 97, 85).
    assert second["rule"] == {"criteria": 80.0, "rule": "numeric_max",
                              "windowing_function": "average", "windowing_duration": 300}
    assert (second["ordering"], second["self_priority"], second["self_priority_prev"]) == (2, 2, 1)
    assert 80 < second["value"] < 90

    assert clear["rule"] == {"rule": "clear", "criteria": None}
    assert (clear["self_priority"], clear["self_priority_prev"]) == (CLEAR, 2)
    assert clear["value"] == 10


def test_text_and_histogram(bus):
    bus.load([
        ruleset(2, "status", [{"criteria": "match", "severity": 3, "value": "ERROR"}], "text"),
        ruleset(3, "latency", [{"criteria": "max value", "severity": 2, "value": "0.25",
                                "windowing_function": "quantile", "windowing_duration": 300,
                                "criteria_windowing_parameter": 0.99}], "histogram"),
    ])
    bus.feed("status", "all good", kind="s")
    bus.feed("status", "error", kind="s")  # the match ignores letter case
    ok, failed = bus.alerts(2)
    check_common(ok, 2, "status")
    assert ok["rule"] == {"rule": "clear", "criteria": None} and ok["value"] == "all good"
    assert failed.rule_keys == ["criteria", "rule"]
    assert failed["rule"] == {"criteria": "ERROR", "rule": "exact_match"}
    assert (failed["ordering"], failed["self_priority"]) == (1, 3)
    assert failed["value"] == "error"

    # 100 samples near 0.1, then 100 near 0.5: the 99th percentile moves over 0.25.
    bus.feed("latency", histogram_b64([(10, -1, 100)]), marker="H1")
    bus.feed("latency", histogram_b64([(50, -1, 100)]), marker="H1")
    low, high = bus.alerts(2)
    check_common(low, 3, "latency")
    assert low["rule"] == {"rule": "clear", "criteria": None}
    assert high["rule"] == {"criteria": 0.25, "rule": "histogram_q_max",
                            "windowing_function": "quantile", "windowing_duration": 300}
    assert high["self_priority"] == 2 and 0.5 <= high["value"] <= 0.51


def test_child_names_its_raised_parent(bus):
    bus.load([
        ruleset(10, "parent.load", [{"criteria": "max value", "severity": 1, "value": "1"}]),
        ruleset(11, "child.load", [{"criteria": "max value", "severity": 2, "value": "1"}],
                parent_event_criteria_id=10),
    ])
    bus.feed("parent.load", "0")
    bus.feed("child.load", "5")
    parent_clear, child = bus.alerts(2)
    assert parent_clear["self_event_criteria_id"] == 10
    assert child["self_event_criteria_id"] == 11 and child["ancestor_event_criteria_id"] is None

    bus.feed("parent.load", "5")  # the parent rises: the child is announced again, under it
    parent_raised, child_under = bus.alerts(2)
    assert parent_raised["self_event_criteria_id"] == 10 and parent_raised["self_priority"] == 1
    check_common(child_under, 11, "child.load")
    assert child_under["self_priority"] == 2
    assert (child_under["ancestor_event_criteria_id"], child_under["ancestor_priority"]) == (10, 1)

    bus.feed("parent.load", "0")  # and clears: the child again, with no ancestor
    parent_cleared, child_alone = bus.alerts(2)
    assert parent_cleared["self_priority"] == CLEAR
    assert child_alone["self_event_criteria_id"] == 11
    assert child_alone["ancestor_event_criteria_id"] is None
    assert child_alone["ancestor_priority"] is None


def test_windowed_rule_boots_silently_then_clears_once(bus):
    # An average over 5 minutes that counts only once it holds 2 minutes of data.
    bus.load([ruleset(20, "mem", [{"criteria": "max value", "severity": 2, "value": "80",
                                   "windowing_function": "average", "windowing_duration": 300,
                                   "windowing_min_duration": 120}])])
    before = bus.alert_stats()
    # High values while booting: the rule cannot hold yet, nor can the stream be called clear.
    for value in ("95", "97", "96"):
        bus.feed("mem", value, step=30)
    time.sleep(0.5)
    assert bus.alert_stats() == before

    # Two and a half minutes of data with a low average: the first clear, announced once.
    for value in ("1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1", "1"):
        bus.feed("mem", value, step=30)
    (clear,) = bus.alerts(1)
    check_common(clear, 20, "mem")
    assert clear["rule"] == {"rule": "clear", "criteria": None}
    assert (clear["self_priority"], clear["self_priority_prev"]) == (CLEAR, CLEAR)
    bus.feed("mem", "1", step=30)  # a second clear: nothing
    bus.alerts(0)
    after = bus.alert_stats()
    assert (after["sent"] - before["sent"], after["suppressed"], after["failed"]) == (
        1, before["suppressed"], before["failed"])

    # A booted window raises at once; the raise names the windowed rule and its average.
    for _ in range(6):
        bus.feed("mem", "300", step=30)
    (raised,) = bus.alerts(1)
    assert raised["rule"] == {"criteria": 80.0, "rule": "numeric_max",
                              "windowing_function": "average", "windowing_duration": 300}
    assert raised["self_priority_prev"] == CLEAR and raised["value"] > 80
    assert bus.alert_stats()["sent"] == before["sent"] + 2


def drain(ch, queue, want, timeout=30, what="alerts"):
    """Reads the queue until `want(docs)` holds; returns the alert documents ("sev" members)."""
    docs = []

    def more():
        while True:
            method, _, body = ch.basic_get(queue, auto_ack=True)
            if not method:
                return want(docs)
            docs.append(json.loads(body)["sev"])
    try:
        wait_for(more, timeout, interval=0.1, what=what)
    except AssertionError as e:
        raise AssertionError(f"{e} (got {len(docs)})") from None
    return docs


def test_cluster_only_owners_publish_and_name_themselves(tmp_path, pki, rabbitmq_node):  # noqa: F811
    ch = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port)).channel()
    declare_exchange(ch)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    # The shipped three-node example, its ports moved to free ones (one map for all three files,
    # so that every node still finds the others), on the test's bus and certificates.
    nodes = []
    for i, text in enumerate(example_cluster_texts(pki, rabbitmq_node.port), 1):
        # Rulesets come over REST here, not from the example's management API.
        text = re.sub(r"<orvane>.*?</orvane>", "", with_exchange(text), flags=re.S)
        node_id = re.search(r'self="([0-9a-f-]+)"', text).group(1)
        os.makedirs(tmp_path / f"node{i}")
        nodes.append((node_id, Rest(example_rest_port(text), pki), Daemon(str(tmp_path / f"node{i}"), text)))
    try:
        for _, _, d in nodes:
            d.start()
        for _, _, d in nodes:
            d.wait_initialized()
            wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")

        count = 30
        rulesets = [ruleset(100 + i, f"cluster.m{i}", [{"criteria": "max value", "severity": 2, "value": "10"}])
                    for i in range(count)]
        held = {}
        for node_id, rest, _ in nodes:
            r = rest.post("/rulesets", rulesets)
            assert r.status_code == 200 and r.json()["errors"] == 0, r.text
            held[node_id] = {ecid for ecid in range(100, 100 + count)
                             if rest.get(f"/ruleset/{ecid}").status_code == 200}
            assert r.json()["rulesets"] == len(held[node_id])
        # Every ruleset is held by exactly two of the three nodes.
        for ecid in range(100, 100 + count):
            assert sum(ecid in h for h in held.values()) == 2, ecid
        owners = {ecid: {n for n, h in held.items() if ecid in h} for ecid in range(100, 100 + count)}

        # Every node gets every line: a raise for each metric.
        body = "".join(line(f"cluster.m{i}", 1700000001, "50") for i in range(count))
        for _, rest, _ in nodes:
            assert rest.post("/test/input", body).json() == {"lines": count, "trash": 0}
        docs = drain(ch, queue, lambda d: len(d) >= 2 * count)
        time.sleep(0.5)
        docs += drain(ch, queue, lambda d: True)
        assert len(docs) == 2 * count, "one alert from each owner, none from anyone else"
        by_ecid = {}
        for doc in docs:
            assert doc["self_priority"] == 2 and doc["value"] == 50
            by_ecid.setdefault(doc["self_event_criteria_id"], []).append(doc["reporter"])
        for ecid, reporters in by_ecid.items():
            assert sorted(reporters) == sorted(owners[ecid]), ecid

        for node_id, rest, _ in nodes:
            stats = rest.alert_stats()
            published = sum(1 for doc in docs if doc["reporter"] == node_id)
            assert (stats["sent"], stats["suppressed"], stats["failed"]) == (published, 0, 0)
            assert published == len(held[node_id])
            for ecid in range(100, 100 + count):
                r = rest.get(f"/ruleset/{ecid}")
                if ecid in held[node_id]:
                    assert (r.json()["owned"], r.json()["operated"]) == (True, True)
                else:
                    assert r.status_code == 500
    finally:
        for _, _, d in nodes:
            if d.proc and d.proc.poll() is None:
                d.proc.kill()
                d.proc.wait()


@pytest.fixture
def durable_queue(rabbitmq_node):  # noqa: F811
    """A durable queue bound to the alert route before anything is published: it keeps what the
    broker confirmed across the broker's restart. Yields a function that opens a fresh channel."""
    name = f"alerts-{uuid.uuid4()}"
    conns = []

    def channel():
        conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
        conns.append(conn)
        return conn.channel()

    ch = channel()
    declare_exchange(ch)
    ch.queue_declare(name, durable=True)
    ch.queue_bind(name, EXCHANGE, routing_key=ROUTE)
    yield name, channel
    for conn in conns:
        try:
            conn.close()
        except Exception:
            pass
    channel().queue_delete(name)


def burst_rulesets(first_ecid, count):
    return [ruleset(first_ecid + i, f"burst.{first_ecid}.{i}",
                    [{"criteria": "max value", "severity": 3, "value": "10"}]) for i in range(count)]


def by_stream(docs):
    """ecid -> the set of (severity, value) states announced for it."""
    out = {}
    for doc in docs:
        out.setdefault(doc["self_event_criteria_id"], set()).add((doc["self_priority"], doc["value"]))
    return out


def test_broker_restart_during_a_burst_loses_no_alert(daemon_factory, pki, rabbitmq_node, durable_queue):  # noqa: F811
    name, channel = durable_queue
    d, rest = start_daemon(daemon_factory, pki, rabbitmq_node)
    count, first = 200, 1000
    rest.post("/rulesets", burst_rulesets(first, count))

    # 200 streams, each raised (50) and then cleared (2): 400 alerts, fed in small slices over
    # several seconds while the broker is stopped and started again.
    lines = [line(f"burst.{first}.{i}", 1700000001, "50") for i in range(count)]
    lines += [line(f"burst.{first}.{i}", 1700000002, "2") for i in range(count)]
    restart = threading.Thread(target=rabbitmq_node.restart)
    for k in range(0, len(lines), 10):
        if k == 40:
            restart.start()
        assert rest.post("/test/input", "".join(lines[k:k + 10])).json()["trash"] == 0
        time.sleep(0.05 if k < 40 else 0.3)
    restart.join()

    docs = drain(channel(), name, lambda got: len(by_stream(got)) == count and
                 all(len(s) == 2 for s in by_stream(got).values()), timeout=60, what="every raise and clear")
    for ecid, states in by_stream(docs).items():
        assert first <= ecid < first + count and states == {(3, 50), (CLEAR, 2)}, (ecid, states)
    stats = rest.alert_stats()
    assert stats["sent"] == 2 * count and stats["failed"] == 0
    assert len(docs) >= 2 * count  # duplicates are allowed, losses are not


def test_refused_sends_are_counted_and_sent_later(daemon_factory, pki, rabbitmq_node, durable_queue):  # noqa: F811
    # A publish queue of 20: while the broker is away, the 21st outstanding alert is refused.
    name, channel = durable_queue
    d, rest = start_daemon(daemon_factory, pki, rabbitmq_node,
                           module='<module name="amqp" backoff_max_ms="500" queue_size="20"/>')
    count, first = 100, 2000
    rest.post("/rulesets", burst_rulesets(first, count))

    rabbitmq_node.stop()
    try:
        body = "".join(line(f"burst.{first}.{i}", 1700000001, "50") for i in range(count))
        assert rest.post("/test/input", body).json() == {"lines": count, "trash": 0}
        stats = wait_for(lambda: (lambda s: s if s["sent"] + s["failed"] >= count else None)(rest.alert_stats()),
                         what="every raise tried")
        assert stats["sent"] == 20 and stats["failed"] >= count - 20, stats
    finally:
        rabbitmq_node.start()

    # The refused raises stay due: each stream announces its raise once the bus takes it again,
    # with no further line for it.
    docs = drain(channel(), name, lambda got: len(by_stream(got)) == count, timeout=60,
                 what=f"every refused raise sent later\n{d.log()[-3000:]}")
    assert all(states == {(3, 50)} for states in by_stream(docs).values())
    stats = rest.alert_stats()
    assert stats["sent"] == count and stats["failed"] >= count - 20

    # Nothing more is due: the clears are the only alerts that follow.
    body = "".join(line(f"burst.{first}.{i}", 1700000002, "2") for i in range(count))
    rest.post("/test/input", body)
    docs = drain(channel(), name, lambda got: len(got) >= count, what="the clears")
    time.sleep(1.5)
    docs += drain(channel(), name, lambda got: True)
    assert all(states == {(CLEAR, 2)} for states in by_stream(docs).values()) and len(by_stream(docs)) == count
    assert len(docs) == count and rest.alert_stats()["sent"] == 2 * count
