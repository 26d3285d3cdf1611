"""Absence of data raises alerts on the bus: quiet streams of an exact and of a pattern ruleset,
null values that must not count as data, data that clears the alert, and a metric that never
reported at all. Absence windows of 2 seconds with the cushion set to 0."""
import threading

import pytest

import test_alerts
from certs import pki  # noqa: F401  (fixture)
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import CLEAR, UUID, bus, ruleset  # noqa: F401  (fixture)

NO_CUSHION = '<orvane><state><rulesets absence_cushion="0"/></state></orvane>'


@pytest.fixture
def quiet_bus(request, monkeypatch):
    """The alert consumer and daemon of test_alerts, with no absence cushion."""
    plain = test_alerts.base_config
    monkeypatch.setattr(test_alerts, "base_config",
                        lambda extra="", mq_port=None: plain(extra + NO_CUSHION, mq_port))
    return request.getfixturevalue("bus")


def absent(seconds, severity):
    return {"criteria": "on absence", "severity": severity, "absence_window": seconds}


def by_ecid(alerts):
    return {a["self_event_criteria_id"]: a for a in alerts}


def test_quiet_streams_raise_absence_nulls_do_not_count_data_clears(quiet_bus):
    # The absence rule comes first, so the loader makes no stream of its own: only data does.
    quiet_bus.load([
        ruleset(41, "heartbeat", [absent(2, 1), {"criteria": "max value", "severity": 2,
                                                 "value": "90"}]),
        {**ruleset(42, None, [absent(2, 3)]), "metric_name": None, "metric_pattern": "^disk\\."},
    ])
    quiet_bus.feed("heartbeat", "5")
    quiet_bus.feed("disk.a", "5")
    # A pattern stream seen for the first time is not declared clear while it watches absence.
    (first,) = quiet_bus.alerts(1)
    assert first["self_event_criteria_id"] == 41 and first["self_priority"] == CLEAR

    # Nulls keep arriving for both metrics: they are no data, so both windows still run out.
    stop = threading.Event()

    def nulls():
        while not stop.wait(0.3):
            quiet_bus.feed("heartbeat", "[[null]]")
            quiet_bus.feed("disk.a", "[[null]]")
    feeder = threading.Thread(target=nulls)
    feeder.start()
    try:
        got = quiet_bus.alerts(2, timeout=15)
    finally:
        stop.set()
        feeder.join()
    raised = by_ecid(got)
    assert sorted(raised) == [41, 42], got
    for ecid, name, severity in ((41, "heartbeat", 1), (42, "disk.a", 3)):
        a = raised[ecid]
        assert a["rule"]["rule"] == "absence"
        assert (a["self_priority"], a["self_priority_prev"]) == (severity, CLEAR)
        assert a["signature"] == f"{UUID}`{name}|ST[]" and a["uuid"] == UUID
        assert a["name"] == name and a["self_account_id"] == 7

    quiet_bus.feed("heartbeat", "6")
    quiet_bus.feed("disk.a", "6")
    cleared = by_ecid(quiet_bus.alerts(2))
    for ecid, severity in ((41, 1), (42, 3)):
        assert (cleared[ecid]["self_priority"], cleared[ecid]["self_priority_prev"]) == (CLEAR, severity)
        assert cleared[ecid]["value"] == 6


def test_metric_that_never_reported_is_absent(quiet_bus):
    # The last rule watches absence: loading the ruleset starts its watch with no data at all.
    quiet_bus.load([ruleset(43, "ghost", [{"criteria": "max value", "severity": 2, "value": "90"},
                                     absent(2, 4)])])
    (a,) = quiet_bus.alerts(1, timeout=10)
    assert a["self_event_criteria_id"] == 43 and a["rule"]["rule"] == "absence"
    assert a["self_priority"] == 4 and a["name"] == "ghost"
    assert a["signature"] == f"{UUID}`ghost|ST[]" and a["uuid"] == UUID
