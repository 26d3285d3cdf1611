"""Brokers against the real daemon: records made by the API's broker list and by metric lines,
GET /brokers and its 404, the console's "show brokers", the clear request and the bus's
"vask_maintenance" remove re-announcing a broker's streams, and the health pass's pulses on the
maintenance route: self-checks make a broker stable, silence makes it silent, and uptime reports
of 60 s or without the self-check marker never count."""
import json
import os
import time

import pika
import requests

from certs import pki  # noqa: F401  (fixture)
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from conftest import wait_for
from test_alerts import EXCHANGE, UUID, ruleset
from test_api_loading import api, api_section  # noqa: F401  (fixture)
from test_bus_updates import EVENT, start
from test_console import console_session

MAINT_ROUTE = "vask.alerts.maint"
BROKER_KEYS = ["name", "histograms", "text", "numeric", "collected", "last_seen_ms", "age_ms",
               "last_seen_selfcheck_ms", "selfcheck_age_ms", "stable"]


def selfcheck(broker, name, t, kind, value, marked=True):
    check = f"{broker}`selfcheck`selfcheck`c_1_0`{UUID}" if marked else f"{broker}`http`c_1_0`{UUID}"
    return "\t".join(["M", broker, f"{t:.3f}", check, name, kind, value])


def test_rest_console_clear_and_bus_remove_reannounce_a_brokers_streams(
        daemon_factory, pki, rabbitmq_node, api):  # noqa: F811
    with open(os.path.join(api.root, "brokers.json"), "w") as f:
        json.dump([{"cn": "from-api"}, {"nocn": 1}], f)
    api.write("rulesets", [])
    api.write("maintenance", [])
    api.start()
    d = start(daemon_factory, pki, rabbitmq_node, api_section(api.port))
    try:
        wait_for(lambda: "brokers fetch -> 2 brokers" in d.log(), what="the broker list")
        assert "Bad broker object: missing cn" in d.log()
        assert api.requests("/v2/super_broker?account_id=1")
        wait_for(lambda: d.log().count("Finished bulk") >= 2, what="the bulk loads")

        d.load([ruleset(1, "cpu", [{"criteria": "max value", "severity": 1, "value": "90"}])])
        d.feed("cpu", "95")  # through broker b1
        assert d.alerts(1)[0]["vask"] == "b1"

        listing = d.get("/brokers")
        assert sorted(listing) == ["b1", "from-api"]
        b1 = d.get("/brokers.json?name=b1")
        assert list(b1) == BROKER_KEYS
        assert {k: v for k, v in b1.items() if not k.endswith("age_ms")} == \
            {k: v for k, v in listing["b1"].items() if not k.endswith("age_ms")}
        assert (b1["name"], b1["numeric"], b1["text"], b1["histograms"], b1["stable"]) == ("b1", 1, 0, 0, False)
        assert b1["last_seen_ms"] == d.t * 1000
        assert listing["from-api"]["numeric"] == 0 and listing["from-api"]["last_seen_ms"] == 0

        missing = d.post("/brokers/clear?broker=nobody", "")
        assert (missing.status_code, missing.text) == (404, "{}\n")
        r = requests.get(f"https://127.0.0.1:{d.rest_port}/brokers?name=nobody", cert=pki.client,
                         verify=pki.ca, timeout=10)
        assert (r.status_code, r.content, r.headers["Content-Type"]) == (404, b"", "application/json")

        # One stream came through b1: naming b1 or no broker re-announces it, another broker none.
        for query, count in (("?broker=b1", 1), ("?broker=from-api", 0), ("", 1)):
            r = d.post("/brokers/clear" + query, "")
            assert (r.status_code, r.text) == (200, f'{{ "rules": "{count}" }}\n'), query
            if count:
                assert d.alerts(1)[0]["self_priority"] == 1
        d.publish(EVENT + "vask_maintenance\tremove\tb1")
        assert d.alerts(1)[0]["vask"] == "b1"

        # A broker name from a line may hold a terminal's escape sequence: the console shows it
        # escaped and never offers it for completion.
        evil = "\t".join(["M", "ev\x1b[2Jil", f"{d.t}.000", f"web01`mod`c_7_9`{UUID}", "cpu", "n", "1"])
        assert d.post("/test/input", evil + "\n").json() == {"lines": 1, "trash": 0}
        shown, everyone, completed = console_session(d.console_port, [
            "show brokers b1", "show brokers", "complete show brokers fr"])
        assert "\x1b" not in everyone and " == ev\\x1b[2Jil ==" in everyone
        assert " == b1 ==" in shown and "records: (1 numeric + 0 text + 0 hist) = 1" in shown
        assert "last record: " in shown and "last selfcheck: " in shown
        assert everyone.index(" == b1 ==") < everyone.index(" == from-api ==") < everyone.index(" == cummulative ==")
        assert "from-api" in completed.split() and "b1" not in completed.split()
        assert "\x1b" not in console_session(d.console_port, ["complete show brokers ev"])[0]
    finally:
        d.close()


def test_self_checks_make_a_broker_stable_and_silence_makes_it_silent(
        daemon_factory, pki, rabbitmq_node):  # noqa: F811
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
    pulses_q = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(pulses_q, EXCHANGE, routing_key=MAINT_ROUTE)
    d = start(daemon_factory, pki, rabbitmq_node)
    try:
        now = time.time()
        lines = []
        for i in range(18):
            lines.append(selfcheck("bk", "uptime", now - 18 + i, "L", str(61 + i)))
            lines.append(selfcheck("bk60", "uptime", now - 18 + i, "L", "60"))
            lines.append(selfcheck("bknm", "uptime", now - 18 + i, "L", "500", marked=False))
        lines.append(selfcheck("bk", "metrics_collected", now, "n", "12345.7"))
        assert d.post("/test/input", "\n".join(lines) + "\n").json() == {"lines": len(lines), "trash": 0}

        pulses = []

        def pulse(broker, value, timeout):
            def seen():
                while True:
                    method, _, body = ch.basic_get(pulses_q, auto_ack=True)
                    if not method:
                        break
                    doc = json.loads(body, object_pairs_hook=lambda p: p)
                    assert [k for k, _ in doc] == ["maint"], body
                    assert [k for k, _ in doc[0][1]] == ["vask", "pulse", "age", "counter", "reporter"], body
                    pulses.append(dict(doc[0][1]))
                return next((p for p in pulses if p["vask"] == broker and p["pulse"] == value), None)
            return wait_for(seen, timeout, what=f"pulse {value} of {broker}: {pulses}")

        stable = pulse("bk", 1, 25)
        assert stable["counter"] == 19 and 0 <= stable["age"] < 30 and len(stable["reporter"]) == 36
        bk = d.get("/brokers?name=bk")
        assert bk["stable"] is True and bk["collected"] == 12345 and bk["numeric"] == 19

        silent = pulse("bk", 0, 45)
        assert silent["counter"] == 19 and silent["age"] > 30
        assert d.get("/brokers?name=bk")["stable"] is False
        # Uptime of 60 s, or without the marker, never counted: one pulse 0 for the record alone.
        for broker in ("bk60", "bknm"):
            assert pulse(broker, 0, 15)["counter"] == 1
        assert [p for p in pulses if p["pulse"] == 1] == [stable]
    finally:
        conn.close()
        d.close()
