"""Idle streams are culled by their ruleset's timer, and one stream's alert is cleared over REST:
rulesets loaded by POST /rulesets, lines fed by POST /test/input with current time stamps, stream
state read back from GET /ruleset/<id>, /ruleset/state/<id> and /stats.json, alerts from the bus."""
import time
from urllib.parse import quote

from certs import pki  # noqa: F401  (fixture)
from conftest import wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import CLEAR, UUID, bus, ruleset  # noqa: F401  (fixture)

MAX90 = [{"criteria": "max value", "severity": 1, "value": "90"}]


def sig(name):
    return f"{UUID}`{name}|ST[]"


def streams(bus, ecid):
    r = bus.get(f"/ruleset/{ecid}")
    assert r.status_code == 200, r.text
    return r.json()["streams"]


def states(bus, ecid):
    r = bus.get(f"/ruleset/state/{ecid}")
    assert r.status_code == 200, r.text
    return r.json()["states"]


def rulestreams(bus):
    return bus.get("/stats.json?format=simple").json()["rulestreams"]


def feed_at(bus, name, value, when):
    line = f"M\tb1\t{when:.3f}\tweb01`mod`c_7_9`{UUID}\t{name}\tn\t{value}\n"
    assert bus.post("/test/input", line).json() == {"lines": 1, "trash": 0}


def test_idle_streams_are_culled_raised_or_not_and_come_back_fresh(bus):  # noqa: F811
    type(bus).t = int(time.time()) - 1
    base = rulestreams(bus)
    bus.load([ruleset(31, "disk", MAX90, cull_seconds=2),
              ruleset(32, "swap", MAX90),                     # never culled
              ruleset(33, "skew", MAX90, cull_seconds=2)])    # its data is stamped ahead of us
    bus.feed("disk", "95")
    bus.feed("swap", "10")
    feed_at(bus, "skew", "10", time.time() + 3600)
    assert [a["self_priority"] for a in bus.alerts(3)] == [1, CLEAR, CLEAR]
    assert rulestreams(bus)["live"] == base["live"] + 3

    # A raised stream goes all the same once silent for longer than cull_seconds; quietly.
    wait_for(lambda: streams(bus, 31) == {}, timeout=15, what="ruleset 31's stream to be culled")
    assert states(bus, 31) == []
    stats = rulestreams(bus)
    assert stats["culled"] == base["culled"] + 1
    assert stats["live"] == base["live"] + 2
    # One more full period: a stream whose newest time lies ahead of the clock is not idle.
    time.sleep(2.5)
    assert list(streams(bus, 33)) == [sig("skew")]
    assert list(streams(bus, 32)) == [sig("swap")]
    assert bus.alerts(0) == []

    # Data again: a new stream, with nothing remembered from the culled one.
    bus.feed("disk", "96")
    (raised,) = bus.alerts(1)
    assert raised["self_priority"] == 1 and raised["self_priority_prev"] == CLEAR
    fresh = streams(bus, 31)[sig("disk")]
    assert fresh["applications"] == 1 and len(fresh["trigger_history"]) == 1
    # The timer keeps coming back.
    wait_for(lambda: streams(bus, 31) == {}, timeout=15, what="the new stream to be culled")


def clear(bus, ecid, signature, cull=False):
    return bus.post(f"/rulestream/clear/alert/{ecid}/{quote(signature, safe='')}"
                    + ("?cull=1" if cull else ""), "")


def test_stream_clear_alert(bus):  # noqa: F811
    type(bus).t = int(time.time()) - 1
    bus.load([ruleset(41, "cpu", MAX90), ruleset(42, "load", MAX90)])
    bus.feed("cpu", "95")
    bus.feed("load", "97")
    assert [a["self_priority"] for a in bus.alerts(2)] == [1, 1]

    r = clear(bus, 41, sig("cpu"))
    assert r.status_code == 200 and r.headers["Content-Type"] == "application/json"
    state = r.json()["streams"][sig("cpu")]
    assert (state["last_severity"], state["last_rule"]) == (CLEAR, -1)
    (cleared,) = bus.alerts(1)
    assert cleared["rule"] == {"rule": "clear", "criteria": None}
    assert (cleared["self_priority"], cleared["self_priority_prev"]) == (CLEAR, 1)
    assert cleared["signature"] == sig("cpu") and cleared["self_event_criteria_id"] == 41
    # The other ruleset's alert is untouched.
    assert streams(bus, 42)[sig("load")]["last_severity"] == 1

    # Again: nothing new is recorded or announced.
    again = clear(bus, 41, sig("cpu"))
    assert again.status_code == 200
    assert again.json()["streams"][sig("cpu")]["trigger_history"] == state["trigger_history"]
    assert bus.alerts(0) == []

    # With removal: the reply still shows the stream, the clear is announced, then it is gone.
    r = clear(bus, 42, sig("load"), cull=True)
    assert r.status_code == 200 and r.json()["streams"][sig("load")]["last_severity"] == CLEAR
    assert bus.alerts(1)[0]["self_priority"] == CLEAR
    assert streams(bus, 42) == {}

    for ecid, signature, error in ((999, sig("cpu"), "no such ruleset"),
                                   (41, sig("nope"), "no such _signature for ruleset"),
                                   (42, sig("load"), "no such _signature for ruleset")):
        r = clear(bus, ecid, signature, cull=True)
        assert (r.status_code, r.json()) == (500, {"error": error}), r.text
    assert list(streams(bus, 41)) == [sig("cpu")] and streams(bus, 42) == {}  # none created
    assert clear(bus, "x1", sig("cpu")).status_code in (404, 405)  # no route takes it
    assert bus.alerts(0) == []
