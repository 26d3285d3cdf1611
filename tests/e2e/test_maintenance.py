"""Maintenance windows over REST against the real daemon (TLS, client certificate): posting lists
with good and bad elements, reading windows back, updates, windows that end, the body limit, a
large list, and the system-wide recovery."""
import json
import os
import socket
import ssl
import time

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import SOURCE_DIR, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import CLEAR, bus, ruleset  # noqa: F401  (fixture)

MAX_BODY = 24 << 20


@pytest.fixture
def maint(daemon_factory, pki):  # noqa: F811
    port = free_port()
    extra = (
        f'<listeners max_body="{MAX_BODY}">'
        f'<listener type="http" address="127.0.0.1" port="{port}" certificate_file="{pki.server_crt}"'
        f' key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        '</listeners>')
    d = daemon_factory(extra=extra).start().wait_initialized()

    class Client:
        daemon = d
        base = f"https://127.0.0.1:{port}"

        def post(self, body, path="/maintenance", timeout=10):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(self.base + path, data=data, cert=pki.client, verify=pki.ca, timeout=timeout)

        def get(self, path):
            return requests.get(self.base + path, cert=pki.client, verify=pki.ca, timeout=10)

        def window(self, wid):
            r = self.get(f"/maintenance/{wid}")
            assert r.status_code == 200 and r.headers["Content-Type"] == "application/json"
            return r.json()

        def raw_status(self, head):
            ctx = ssl.create_default_context(cafile=pki.ca)
            ctx.load_cert_chain(*pki.client)
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                with ctx.wrap_socket(s, server_hostname="127.0.0.1") as t:
                    t.sendall(head.encode())
                    return int(t.recv(4096).split(b" ")[1])

        def stats(self):
            return self.get("/stats.json?format=simple").json()["maintenance"]

    yield Client()
    d.stop()


def window(wid, kind="host", item="db1", sevs=(1, 2), start=None, stop=None, account=7):
    now = int(time.time())
    return {"maintenance_id": wid, "severities": list(sevs), "start_on": now - 60 if start is None else start,
            "stop_on": now + 3600 if stop is None else stop, "account_id": account,
            "maintenance_type": kind, "maintenance_item": item}


def test_windows_are_posted_read_back_updated_and_ended(maint):
    now = int(time.time())
    body = [
        window(1, "host", "db1", (2, 1)),
        window(2, "check", "123", (0, 3)),                     # severity 0: an error, window taken
        window(3, "metric", 44.0, (5,), start=now + 100, stop=now + 200),
        {**window(4), "maintenance_id": -4},                   # negative id
        {**window(5), "maintenance_type": "tag"},              # unknown type
        {**window(6), "stop_on": "-1"},                        # "-1" is not 2^64-1
        window(7, "account", 9, start=now + 50, stop=now + 10),  # ends before it starts
        "not an object",
        window(8, "account", 9, stop=18446744073709551615),    # forever
    ]
    r = maint.post(body)
    assert r.status_code == 200 and r.headers["Content-Type"] == "application/json"
    assert r.json() == {"maintenance": 5, "errors": 6}

    assert maint.window(1) == {"maintenance_id": 1, "severities": [1, 2], "start_on": now - 60,
                               "stop_on": now + 3600, "account_id": 7, "maintenance_type": "host",
                               "maintenance_item": "db1"}
    assert maint.window(2)["severities"] == [3] and maint.window(2)["maintenance_item"] == "123"
    assert maint.window(3)["maintenance_type"] == "metric" and maint.window(3)["maintenance_item"] == "44"
    assert maint.window(8)["stop_on"] == 18446744073709551615
    for missing in (4, 5, 6, 7, 99, 18446744073709551615, 99999999999999999999):
        assert maint.window(missing) is None
    assert maint.get("/maintenance/abc").status_code == 404
    assert maint.get("/maintenance/-1").status_code == 404
    assert maint.stats()["windows"] == 4

    # Updates: a window not yet started moves; a started one refuses a new start (nothing changes,
    # not even its end); a key never changes; a past end ends a window at once.
    r = maint.post([window(3, "metric", 44, (4,), start=now + 150, stop=now + 300),
                    window(1, "host", "db1", (1, 2), start=now - 30, stop=now + 7200),
                    window(2, "check", 124, (3,)),
                    window(8, "account", 9, start=now - 60, stop=now - 1)])
    assert r.json() == {"maintenance": 4, "errors": 2}
    assert maint.window(3)["severities"] == [4] and maint.window(3)["start_on"] == now + 150
    assert maint.window(1)["stop_on"] == now + 3600
    assert maint.window(2)["maintenance_item"] == "123"
    wait_for(lambda: maint.window(8) is None, timeout=10, what="window 8 to end")
    wait_for(lambda: maint.stats()["ended"] >= 1, timeout=10, what="the end to be counted")

    # Not JSON, JSON that is not a list.
    r = maint.post("[{")
    assert r.status_code == 500 and r.headers["Content-Type"] == "application/json"
    assert "error" in r.json()
    assert maint.post("{}").json() == {"maintenance": -1, "errors": 1}
    assert maint.stats()["windows"] == 3

    # System-wide recovery answers with the number of streams reset: none without rulesets.
    r = maint.post("", path="/maintenance/leave")
    assert r.status_code == 200 and r.json() == {"rulesets": 0}

    # The shipped example loads whole.
    with open(os.path.join(SOURCE_DIR, "examples", "maintenance.json"), "rb") as f:
        example = json.load(f)
    assert maint.post(example).json() == {"maintenance": len(example), "errors": 0}


def test_a_large_list_lands_whole_and_an_oversized_body_is_refused(maint):
    now = int(time.time())
    count = 100000
    body = [window(100000 + i, "check", 5000 + i % 997, (1, 2, 3), start=now - 10, stop=now + 3600)
            for i in range(count)]
    text = json.dumps(body)
    assert len(text) < MAX_BODY
    r = maint.post(text, timeout=120)
    assert r.status_code == 200 and r.json() == {"maintenance": count, "errors": 0}
    assert maint.stats()["windows"] == count
    for wid in (100000, 150000, 100000 + count - 1):
        assert maint.window(wid)["maintenance_id"] == wid

    # A body over the limit is refused from its declared length, before it is sent.
    assert maint.raw_status(f"POST /maintenance HTTP/1.1\r\nHost: x\r\nContent-Length: {MAX_BODY + 1}\r\n\r\n") == 413
    assert maint.stats()["windows"] == count


def test_a_held_alert_is_announced_when_its_window_ends(bus):  # noqa: F811
    """An alert raised under a window stays off the bus and is announced, marked as leaving
    maintenance, when the window ends: re-posted with a past end, or at its own end."""
    type(bus).t = int(time.time()) - 100  # message times are what windows are matched against
    bus.load([ruleset(21, "mem", [{"criteria": "max value", "severity": 2, "value": "90"}])])
    bus.feed("mem", "50")
    assert bus.alerts(1)[0]["self_priority"] == CLEAR  # clears are never held back

    now = int(time.time())
    on_ruleset = window(900, "metric", 21, (2,), start=now - 600, stop=now + 3600)
    uncovered = window(901, "check", 9, (1,), start=now - 600, stop=now + 3600)
    assert bus.post("/maintenance", [on_ruleset, uncovered]).json() == {"maintenance": 2, "errors": 0}
    bus.feed("mem", "95")
    assert bus.alerts(0) == []
    assert bus.post("/maintenance", [{**on_ruleset, "stop_on": now - 1}]).json()["errors"] == 0
    (announced,) = bus.alerts(1)
    assert announced["self_priority"] == 2 and announced["leaving_maintenance"] is True

    # The check window covers severity 1 only: a clear and a raise of 2 pass it.
    bus.feed("mem", "10")
    assert bus.alerts(1)[0]["leaving_maintenance"] is False
    # A host window that ends by itself a few seconds from now.
    now = int(time.time())
    assert bus.post("/maintenance", [window(902, "host", "web01", (2,), start=now - 600, stop=now + 2)]).json() == \
        {"maintenance": 1, "errors": 0}
    bus.feed("mem", "99")
    (announced,) = bus.alerts(1, timeout=15)
    assert announced["self_priority"] == 2 and announced["leaving_maintenance"] is True
    assert int(time.time()) >= now + 3  # not before the end of its last covered second

    # System-wide recovery puts the ruleset's one stream back to undetermined.
    assert bus.post("/maintenance/leave", "").json() == {"rulesets": 1}
