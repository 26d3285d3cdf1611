"""Ruleset and maintenance messages from the bus against the real daemon: a private RabbitMQ node
carries clear-alert, lookup, purge, refresh and maintenance bodies (good, malformed and poison) on
the daemon's own queue, and alerts are read back from the alert exchange."""
import json
import time

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import CLEAR, EXCHANGE, ROUTE, UUID, Sev, ruleset
from test_api_loading import api, api_section  # noqa: F401  (fixture)
from test_console import console_session

RULES = "vask.rules"
METRICS = "bus.metrics"
EVENT = "net.orvane.ombra.OmbraEvent\t"
CLEARALERT = "net.orvane.quelt.clearalert\t"
MAINT = "net.orvane.ombra.QueltMaintenanceEventHandler.update"


def start(daemon_factory, pki, rabbitmq_node, extra=""):  # noqa: F811
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
    ch.exchange_declare(RULES, exchange_type="topic", durable=True)
    ch.exchange_declare(METRICS, exchange_type="topic", durable=True)
    alerts = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(alerts, EXCHANGE, routing_key=ROUTE)

    rest, console = free_port(), free_port()
    config = base_config(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        f'<console address="127.0.0.1" port="{console}"/>'
        f'<metrics_bus exchange="{METRICS}"/></listeners>' + extra)).replace(
        "<heartbeat>10</heartbeat>",
        f'<heartbeat>10</heartbeat><exchange name="{EXCHANGE}" type="topic" durable="true"/>'
        f'<exchange name="{RULES}" type="topic" durable="true"/>'
        f'<exchange name="{METRICS}" type="topic" durable="true"/>'
        '<queue name="" durable="false" exclusive="true" auto_delete="true">'
        f'<binding exchange="{RULES}" routing_key="#"/>'
        f'<binding exchange="{METRICS}" routing_key="#"/></queue>')
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")

    class Daemon:
        log = d.log
        console_port = console
        rest_port = rest
        t = 1700000000

        def post(self, path, body):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(f"https://127.0.0.1:{rest}{path}", data=data, cert=pki.client,
                                 verify=pki.ca, timeout=10)

        def get(self, path):
            return requests.get(f"https://127.0.0.1:{rest}{path}", cert=pki.client, verify=pki.ca,
                                timeout=10).json()

        def stats(self):
            return self.get("/stats.json?format=simple")

        def publish(self, body, exchange=RULES):
            ch.basic_publish(exchange, "x", body if isinstance(body, bytes) else body.encode())

        def load(self, rulesets):
            r = self.post("/rulesets", rulesets)
            assert r.json() == {"rulesets": len(rulesets), "errors": 0}, r.text

        def feed(self, name, value):
            Daemon.t += 1
            line = "\t".join(["M", "b1", f"{Daemon.t}.000", f"web01`mod`c_7_9`{UUID}", name, "n", value])
            assert self.post("/test/input", line + "\n").json() == {"lines": 1, "trash": 0}

        def alerts(self, n, timeout=20):
            got = []

            def more():
                method, _, body = ch.basic_get(alerts, auto_ack=True)
                if method:
                    got.append(Sev(json.loads(body, object_pairs_hook=lambda p: p)[0][1]))
                return len(got) >= n
            wait_for(more, timeout, what=f"{n} alerts (got {len(got)})\n{d.log()[-3000:]}")
            time.sleep(0.3)  # anything extra has reached the queue by now
            assert ch.basic_get(alerts, auto_ack=True)[0] is None, "more alerts than expected"
            return got

        def settled(self, consumed):
            """Waits until the daemon consumed that many deliveries and acknowledged every one."""
            def done():
                amqp = self.stats()["tovi"]["amqp"]
                return amqp if amqp["consumed"] >= consumed and amqp["acked"] == amqp["consumed"] else None
            return wait_for(done, what=f"{consumed} deliveries acknowledged")

        def close(self):
            conn.close()
            assert d.stop() == 0

    return Daemon()


@pytest.fixture
def daemon(daemon_factory, pki, rabbitmq_node):  # noqa: F811
    d = start(daemon_factory, pki, rabbitmq_node)
    yield d
    d.close()


def signature(name):
    return f"{UUID}`{name}|ST[]"


def test_clear_alert_lookup_purge_and_poison(daemon):
    daemon.load([ruleset(1, "cpu", [{"criteria": "max value", "severity": 1, "value": "90"}])])
    daemon.feed("cpu", "95")
    assert daemon.alerts(1)[0]["self_priority"] == 1

    # Lookup re-sends the current state; an unknown or non-decimal id re-sends nothing.
    daemon.publish(EVENT + "event_last_known_state\tlookup\t1")
    daemon.publish(EVENT + "event_last_known_state\tlookup\t2")
    daemon.publish(EVENT + "event_last_known_state\tlookup\t1x")
    again = daemon.alerts(1)[0]
    assert (again["self_priority"], again["signature"]) == (1, signature("cpu"))

    # Clear-alert announces the clear and drops the stream; the next sample starts a new one.
    daemon.publish(CLEARALERT + "1\t" + signature("cpu") + "\n")
    cleared = daemon.alerts(1)[0]
    assert (cleared["self_priority"], cleared["self_priority_prev"]) == (CLEAR, 1)
    wait_for(lambda: daemon.get("/ruleset/1")["streams"] == {}, what="the stream to go")
    daemon.publish(CLEARALERT + "1\t" + signature("cpu"))  # unknown stream now: nothing
    daemon.feed("cpu", "96")
    assert daemon.alerts(1)[0]["self_priority"] == 1

    # Purge resets every stream: the same severity is announced afresh by the next sample.
    daemon.publish(EVENT + "event_last_known_state\tpurge\tall")
    wait_for(lambda: daemon.get("/ruleset/state/1")["states"][0]["sev"]["self_priority"] == CLEAR,
             what="the stream reset")
    daemon.feed("cpu", "97")
    assert daemon.alerts(1)[0]["self_priority"] == 1

    # Poison and odd bodies: each is acknowledged and counted, none changes anything.
    poison = [
        b"", b"\x00\xff\x10garbage", EVENT.encode(), (EVENT + "x" * 100 + "\tpurge\tall").encode(),
        (EVENT + "event_last_known_state\tpurge\tsome").encode(),
        (EVENT + "ruleset_refresh\tpurge_state\t-1").encode(),
        (EVENT + "ruleset_refresh\tpurge_state\t18446744073709551616").encode(),
        (EVENT + "ruleset_refresh\tpurge_state\t").encode(),
        (EVENT + "no_such_event\tnone\t1").encode(),
        (CLEARALERT + "1 no tab").encode(), (CLEARALERT + "+1\tsig").encode(),
        (EVENT + "vask_maintenance\tremove\tb\x00roker").encode(),
        (EVENT + "event_last_known_state\tlookup\t" + "9" * 3000).encode(),
    ]
    for body in poison:
        daemon.publish(body)
    amqp = daemon.settled(19)
    assert amqp["unhandled"] == 0 and amqp["requeued"] == 0
    bus = daemon.stats()["ruleset"]["bus"]
    assert bus == {"handled": 5, "unhandled": 10, "malformed": 1, "ignored": 3, "truncated": 1,
                   "cleared": 1}, bus
    log = daemon.log()
    assert "event_last_known_state purge 'some' unknown" in log
    assert "truncated rules message: 3000 > 2047" in log
    assert "remove maintenance on 'b' - not found" in log
    assert daemon.alerts(0) == []


def test_refresh_bursts_reload_once_from_the_api_and_console_reloads(
        daemon_factory, pki, rabbitmq_node, api):  # noqa: F811
    api.write("rulesets", [ruleset(42, "m42", [{"criteria": "max value", "severity": 1, "value": "10"}]),
                           ruleset(43, "m43", [{"criteria": "max value", "severity": 1, "value": "10"}])])
    api.write("maintenance", [])
    # The first page of each bulk load is slow (the broker list, asked once at start-up, is not).
    api.start({"delay": 3, "requests": 2, "paths": ["/v2/super_rule_set", "/v2/super_maintenance"]})
    d = start(daemon_factory, pki, rabbitmq_node, api_section(api.port))
    try:
        # A refresh that falls due during the bulk load waits for its end.
        d.publish(EVENT + "ruleset_refresh\tpurge_state\t42")
        assert "Finished bulk ruleset fetch." not in d.log()
        wait_for(lambda: "Finished bulk ruleset fetch." in d.log(), what="the bulk load")
        wait_for(lambda: api.requests("/v2/super_rule_set?event_criteria_id=42"), what="the deferred reload")
        (first_page,) = api.requests("/v2/super_rule_set?from_event_criteria_id=1&")
        assert api.requests("/v2/super_rule_set?event_criteria_id=42")[0]["time"] >= first_page["time"]
        assert d.stats()["ruleset"]["refresh"]["deferred"] >= 1
        assert d.get("/ruleset/42")["event_criteria_id"] == 42
        # Upstream, 42 changes and 43 goes away.
        api.write("rulesets", [ruleset(42, "m42b", [{"criteria": "max value", "severity": 2, "value": "20"}])])

        # Three requests 0.2 s apart: one API request, no sooner than 0.5 s after the last
        # message (a timer that was not moved would fire 0.1 s after it).
        for i in range(3):
            if i:
                time.sleep(0.2)
            last = time.time()
            d.publish(EVENT + "ruleset_refresh\tpurge_state\t42")
        d.publish(EVENT + "ruleset_removal\tpurge_state\t43")
        wait_for(lambda: d.get("/ruleset/42")["name"] == "m42b", what="42 reloaded")
        wait_for(lambda: "error" in d.get("/ruleset/43"), what="43 removed")
        singles = api.requests("/v2/super_rule_set?event_criteria_id=42")
        assert len(singles) == 2 and singles[1]["time"] >= last + 0.5, singles
        assert len(api.requests("/v2/super_rule_set?event_criteria_id=43")) == 1
        time.sleep(0.6)
        assert len(api.requests("/v2/super_rule_set?event_criteria_id=")) == 3
        refresh = d.stats()["ruleset"]["refresh"]
        assert (refresh["requests"], refresh["ganged"], refresh["reloads"], refresh["pending"]) == (5, 2, 3, 0)

        ok, bad, maint = console_session(d.console_port, [
            "reload ruleset 42", "reload ruleset 42x", "reload maintenance 9"])
        assert "reloading ruleset 42" in ok and "reloading maintenance window 9" in maint
        assert "usage: reload ruleset <id>" in bad
        wait_for(lambda: len(api.requests("/v2/super_rule_set?event_criteria_id=42")) == 3 and
                 len(api.requests("/v2/super_maintenance?maintenance_id=9")) == 1, what="console reloads")
    finally:
        d.close()


def maint_body(fields):
    return MAINT + "".join("\t" + f for f in fields)


def test_maintenance_message_holds_back_then_releases_and_copies_only_its_own(daemon):
    type(daemon).t = int(time.time()) - 100  # message times are what windows are matched against
    now = int(time.time())
    window = ["0", "add", "web01", "host", "2,,3", str(now - 600), str(now + 3600), "7", "50", "t"]
    daemon.load([ruleset(2, "mem", [{"criteria": "max value", "severity": 2, "value": "90"}])])
    daemon.feed("mem", "10")
    assert daemon.alerts(1)[0]["self_priority"] == CLEAR

    # Metric lines share the queue: they reach the director and leave no maintenance copy.
    lines = "".join(f"M\tb\t1700000000.{i:03d}\thost`mod`c_8_9`{UUID}\tm{i}\tL\t{i}\n" for i in range(5))
    for _ in range(4):
        daemon.publish(lines, exchange=METRICS)
    daemon.publish(maint_body(window))
    wait_for(lambda: daemon.get("/maintenance/50"), what="the window")
    assert daemon.get("/maintenance/50")["severities"] == [2, 3]

    daemon.feed("mem", "95")
    wait_for(lambda: daemon.stats()["maintenance"]["held_back"] >= 1, what="the alert held back")
    assert daemon.alerts(0) == []

    # The action word does not decide: "add" with an inactive flag ends the window.
    daemon.publish(maint_body(window[:9] + ["f"]))
    released = daemon.alerts(1)[0]
    assert (released["self_priority"], released["leaving_maintenance"]) == (2, True)
    assert daemon.get("/maintenance/50") is None

    malformed = [
        window[:9],                                            # nine fields
        window[:3] + ["tag"] + window[4:],                     # invalid type
        window[:1] + ["drop"] + window[2:],                    # invalid action
        window[:5] + ["12a"] + window[6:],                     # invalid number
        window[:5] + [""] + window[6:],                        # empty number
        window[:8] + ["18446744073709551616", "t"],            # beyond 64 bits
        window[:4] + ["6"] + window[5:],                       # severity out of bounds
        window[:4] + ["1," * 15] + window[5:],                 # 30 characters
        window[:2] + ["x"] + ["check"] + window[4:],           # non-decimal item
    ]
    for fields in malformed:
        daemon.publish(maint_body(fields))
    daemon.settled(4 + 2 + len(malformed))
    wait_for(lambda: daemon.stats()["maintenance"]["copies"]["waiting"] == 0, what="the drain")
    st = daemon.stats()["maintenance"]
    assert st["bus"] == {"applied": 1, "ended": 1, "refused": 0, "malformed": 9, "ignored": 4}, st
    assert st["copies"]["queued"] == 11 and st["copies"]["replayed"] == 11
    assert st["copies"]["dropped"] == 0 and st["windows"] == 0
    assert daemon.stats()["vask"]["intake_bus"]["bus_metrics"]["lines"] == 20
    log = daemon.log()
    for reason in ("insufficient fields", "invalid type", "invalid action", "invalid number",
                   "severity out of bounds", "severity list too long"):
        assert f"Malformed MQ maintenance action: {reason}" in log
