"""Alerts leave the daemon on the bus: rulesets loaded by POST /rulesets, metric lines fed by
POST /test/input, and the alert documents read by a consumer bound to the alert exchange and route
of a private RabbitMQ node. Each document's keys and values are checked, in order."""
import base64
import json
import struct
import time

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import base_config, free_port, wait_for
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


@pytest.fixture
def bus(daemon_factory, pki, rabbitmq_node):  # noqa: F811
    params = pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port)
    conn = pika.BlockingConnection(params)
    ch = conn.channel()
    # The daemon declares the exchange as the configuration below says; the consumer declares it
    # the same way so that its queue can be bound before the daemon connects.
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    port = free_port()
    config = base_config(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        '</listeners>')).replace(
        "<heartbeat>10</heartbeat>",
        f'<heartbeat>10</heartbeat><exchange name="{EXCHANGE}" type="topic" durable="true"/>')
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")

    class Bus:
        log = d.log
        t = 1700000000

        def post(self, path, body):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(f"https://127.0.0.1:{port}{path}", data=data, cert=pki.client,
                                 verify=pki.ca, timeout=10)

        def load(self, rulesets):
            r = self.post("/rulesets", rulesets)
            assert r.status_code == 200 and r.json() == {"rulesets": len(rulesets), "errors": 0}, r.text

        def feed(self, name, value, kind="n", marker="M"):
            """One line of the metric, one second after the previous line."""
            Bus.t += 1
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
    assert len(a["reporter"]) == 36 and a["vask"] is None and a["leaving_maintenance"] is False


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
