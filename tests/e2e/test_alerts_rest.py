"""GET /alerts, GET /maintenance and DELETE /maintenance/<id> over REST against the real daemon and a
private RabbitMQ node (plain loopback listener): the order, paging and filters of the alert list
over a few hundred raised streams of two accounts, what it leaves out (clear streams, streams
never announced, culled ones), refused queries; the window list's filters and what a window holds,
and ending a window by DELETE announcing the change it held; the console served from a configured
directory, and console settings that stop start-up."""
import json
import pathlib
import time

import pika
import pytest
import requests

from conftest import Daemon, base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"
OTHER = "99999999-8888-7777-6666-555555555555"
EXCHANGE, ROUTE = "vask.alerts", "vask.alerts.sev"


@pytest.fixture(scope="module")
def rest(tmp_path_factory, rabbitmq_node):  # noqa: F811
    work = str(tmp_path_factory.mktemp("alerts-rest"))
    port = free_port()
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port, heartbeat=0))
    ch = conn.channel()
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)
    # The daemon also serves the web console from a directory of its own (the console's test
    # serves the shipped one).
    # Beside the configuration file, which ../ must not reach.
    web = pathlib.Path(work) / "site"
    web.mkdir()
    (web / "index.html").write_text("<!doctype html><title>ours</title>")
    (web / "app.js").write_text("// ours")
    config = base_config(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{port}" insecure="loopback"/></listeners>'
        f'<ui assets="{web}"/>'))
    d = Daemon(work, config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in d.log(), what="bus")

    class Rest:
        base = f"http://127.0.0.1:{port}"
        daemon, site = d, web
        t = int(time.time()) - 30

        def get(self, path, status=200):
            r = requests.get(self.base + path, timeout=20)
            assert r.status_code == status, (path, r.text)
            return r.json()

        def post(self, path, body):
            r = requests.post(self.base + path, data=body if isinstance(body, str) else json.dumps(body), timeout=20)
            assert r.status_code == 200, r.text
            return r.json()

        def lines(self, samples):
            """samples: (account, uuid, host, name, value); one line each, all at one new time."""
            Rest.t = max(Rest.t + 1, int(time.time()))
            text = "".join(f"M\tb1\t{Rest.t}.000\t{host}`mod`c_{acct}_9`{uuid}\t{name}\tn\t{value}\n"
                           for acct, uuid, host, name, value in samples)
            assert self.post("/test/input", text)["trash"] == 0

        def drain(self):
            n = 0
            while ch.basic_get(queue, auto_ack=True)[0]:
                n += 1
            return n

        def next_alert(self, timeout=10):
            got = []
            wait_for(lambda: (m := ch.basic_get(queue, auto_ack=True))[0] and got.append(json.loads(m[2])["sev"]) is None,
                     timeout, what="an alert")
            return got[0]

    yield Rest()
    conn.close()
    assert d.stop() == 0


def pattern_ruleset(ecid, account, pattern):
    return {"event_criteria_id": ecid, "account_id": account, "metric_pattern": pattern, "metric_type": "numeric",
            "rules": [{"criteria": "max value", "severity": 1, "value": "90"},
                      {"criteria": "max value", "severity": 2, "value": "60"},
                      {"criteria": "max value", "severity": 3, "value": "30"}]}


def test_alert_list_orders_pages_and_filters(rest):
    assert rest.post("/rulesets", [pattern_ruleset(501, 7, r"^load\."), pattern_ruleset(502, 8, r"^load\.")]) == \
        {"rulesets": 2, "errors": 0}
    # 300 metrics of account 7 over two checks (severities 1, 2, 3 and clear in turn), 20 of
    # account 8, raised in three waves so that ages differ.
    samples = [(7, UUID if i % 2 else OTHER, f"h{i % 5}", f"load.{i}", (95, 70, 40, 5)[i % 4]) for i in range(300)]
    for wave in range(3):
        rest.lines([s for i, s in enumerate(samples) if i % 3 == wave])
    rest.lines([(8, UUID, "h9", f"load.b{i}", 95) for i in range(20)])
    raised7 = [s for s in samples if s[4] > 30]
    wait_for(lambda: rest.get("/alerts?limit=1")["matched"] == len(raised7) + 20, 20, 0.2, what="all announced")

    # Page through everything: no row twice, none missing, ordered by severity then age.
    rows, after, pages = [], "", 0
    while True:
        doc = rest.get("/alerts?limit=40" + (f"&after={requests.utils.quote(after, safe='')}" if after else ""))
        rows += doc["alerts"]
        pages += 1
        assert doc["count"] == len(doc["alerts"]) <= 40
        if doc["next"] is None:
            break
        after = doc["next"]
    assert pages == (len(raised7) + 20 + 39) // 40
    keys = [(r["severity"], r["since_ms"], r["event_criteria_id"], r["signature"]) for r in rows]
    assert keys == sorted(keys) and len(set(keys)) == len(keys) == len(raised7) + 20
    assert [r["severity"] for r in rows].count(1) == sum(1 for s in raised7 if s[4] == 95) + 20

    one = next(r for r in rows if r["name"] == "load.1")
    assert one == {**one, "event_criteria_id": 501, "account_id": 7, "check_uuid": UUID, "stream_tags": "",
                   "signature": f"{UUID}`load.1|ST[]", "host": "h1", "broker": "b1", "severity": 2, "rule": 1,
                   "criteria": "numeric_max", "value": 70, "ancestor_event_criteria_id": None,
                   "held_by_maintenance": False, "newest_severity": 2, "owned": True, "operated": True}

    def names(query):
        doc = rest.get("/alerts?limit=1000&" + query)
        assert doc["count"] == doc["matched"]
        return sorted(r["name"] for r in doc["alerts"])

    assert names("account_id=8") == sorted(f"load.b{i}" for i in range(20))
    assert names("ruleset=502") == names("account_id=8")
    assert names("severity=3&account_id=7") == sorted(s[3] for s in raised7 if s[4] == 40)
    assert names("severity=1,3&account_id=7") == sorted(s[3] for s in raised7 if s[4] in (95, 40))
    assert names(f"check={OTHER}") == sorted(s[3] for s in raised7 if s[2] and s[1] == OTHER)
    assert names("q=LOAD.1") == sorted(s[3] for s in raised7 if s[3].startswith("load.1"))
    assert names(f"q={OTHER[:8]}&severity=2") == sorted(s[3] for s in raised7 if s[1] == OTHER and s[4] == 70)
    assert names("ruleset=999") == [] and names("account_id=9") == []

    # A stream that clears leaves the list; one raised again comes back as the newest of its rank.
    rest.lines([(7, UUID, "h1", "load.1", 5)])
    wait_for(lambda: "load.1" not in names("severity=2"), what="load.1 cleared")
    rest.lines([(7, UUID, "h1", "load.1", 70)])
    wait_for(lambda: rest.get("/alerts?limit=1000&severity=2&account_id=7")["alerts"][-1]["name"] == "load.1",
             what="load.1 newest")

    for bad in ("limit=0", "limit=1001", "limit=x", "account_id=-1", "ruleset=abc", "check=nope",
                "severity=a", "after=1.2", "after=x.1.1.sig"):
        assert "error" in rest.get("/alerts?" + bad, status=400), bad
    rest.drain()


def test_maintenance_list_holding_and_delete_announces(rest):
    rest.drain()
    assert rest.post("/rulesets", [{"event_criteria_id": 601, "account_id": 7, "check_uuid": UUID,
                                    "metric_name": "fan", "metric_type": "numeric",
                                    "rules": [{"criteria": "max value", "severity": 2, "value": "10"}]}])["errors"] == 0
    rest.lines([(7, UUID, "rack1", "fan", 1)])
    assert rest.next_alert()["self_priority"] == 2147483647
    now = int(time.time())
    windows = [
        {"maintenance_id": 11, "severities": [2], "start_on": now - 10, "stop_on": now + 600, "account_id": 7,
         "maintenance_type": "metric", "maintenance_item": 601},
        {"maintenance_id": 12, "severities": [1], "start_on": now + 300, "stop_on": now + 900, "account_id": 7,
         "maintenance_type": "host", "maintenance_item": "rack9"},
        {"maintenance_id": 13, "severities": [1, 5], "start_on": now - 5, "stop_on": now + 60, "account_id": 8,
         "maintenance_type": "account", "maintenance_item": 8},
    ]
    assert rest.post("/maintenance", windows) == {"maintenance": 3, "errors": 0}
    ids = lambda q: [w["maintenance_id"] for w in rest.get("/maintenance" + q)]  # noqa: E731
    assert ids("") == [11, 13, 12]  # by start
    assert ids("?active=1") == [11, 13] and ids("?future=1") == [12] and ids("?account_id=8") == [13]
    assert rest.get("/maintenance?account_id=x", status=400)["error"] == "account_id is not a number"
    listed = rest.get("/maintenance?future=1")[0]
    assert listed == {"maintenance_id": 12, "severities": [1], "start_on": now + 300, "stop_on": now + 900,
                      "account_id": 7, "maintenance_type": "host", "maintenance_item": "rack9",
                      "active": False, "holding": []}

    # The raise is held back; the window says what it holds, the alert list that the stream
    # was never announced raised (so it is not listed).
    rest.lines([(7, UUID, "rack1", "fan", 50)])
    wait_for(lambda: rest.get("/maintenance?active=1")[0]["holding"] == [601], what="holding 601")
    assert rest.drain() == 0
    assert rest.get("/alerts?ruleset=601")["alerts"] == []

    # DELETE ends it through its end timer: the held raise goes out, leaving maintenance.
    ended = rest.get("/maintenance/11")
    r = requests.delete(rest.base + "/maintenance/11", timeout=10)
    assert r.status_code == 200 and r.json() == {**ended, "holding": [601], "ended": True}
    doc = rest.next_alert()
    assert (doc["self_event_criteria_id"], doc["self_priority"], doc["leaving_maintenance"]) == (601, 2, True)
    wait_for(lambda: rest.get("/maintenance/11") is None, what="window gone")
    row = wait_for(lambda: rest.get("/alerts?ruleset=601")["alerts"], what="listed raised")[0]
    assert row["severity"] == 2 and row["held_by_maintenance"] is False

    # An announced raise whose next change is held back stays listed as announced, marked held,
    # with the state it is in now.
    assert rest.post("/rulesets", [{"event_criteria_id": 602, "account_id": 7, "check_uuid": UUID,
                                    "metric_name": "pump", "metric_type": "numeric", "rules": [
                                        {"criteria": "max value", "severity": 1, "value": "90"},
                                        {"criteria": "max value", "severity": 2, "value": "10"}]}])["errors"] == 0
    rest.lines([(7, UUID, "rack1", "pump", 20)])
    assert rest.next_alert()["self_priority"] == 2
    assert rest.post("/maintenance", [{**windows[0], "maintenance_id": 14, "severities": [1, 2], "maintenance_item": 602,
                                       "start_on": int(time.time()) - 5}]) == {"maintenance": 1, "errors": 0}
    rest.lines([(7, UUID, "rack1", "pump", 95)])
    row = wait_for(lambda: (a := rest.get("/alerts?ruleset=602")["alerts"]) and a[0]["held_by_maintenance"] and a,
                   what="held row")[0]
    assert (row["severity"], row["newest_severity"]) == (2, 1)
    held_since = row["since_ms"]
    assert rest.drain() == 0
    requests.delete(rest.base + "/maintenance/14", timeout=10)
    assert rest.next_alert()["self_priority"] == 1
    row = wait_for(lambda: (a := rest.get("/alerts?ruleset=602")["alerts"]) and a[0]["severity"] == 1 and a,
                   what="announced row")[0]
    assert row["held_by_maintenance"] is False and row["since_ms"] > held_since

    r = requests.delete(rest.base + "/maintenance/11", timeout=10)
    assert r.status_code == 404 and r.json() == {"error": "no such maintenance window"}
    assert requests.delete(rest.base + "/maintenance/abc", timeout=10).status_code in (404, 405)
    assert ids("") == [13, 12]


@pytest.mark.parametrize("listener_attrs, assets, complaint", [
    ('insecure="loopback" read_cns="reader"', None, "TLS settings without certificate_file"),
    ('insecure="loopback" open_probes="yes"', None, 'open_probes must be "true" or "false"'),
    ('insecure="loopback"', "/nonexistent/queltd-web", "is not a directory holding index.html"),
])
def test_unusable_console_and_role_settings_stop_start_up(daemon_factory, listener_attrs, assets, complaint):
    port = free_port()
    extra = f'<listeners><listener type="http" address="127.0.0.1" port="{port}" {listener_attrs}/></listeners>'
    if assets:
        extra += f'<ui assets="{assets}"/>'
    d = daemon_factory(extra=extra).start()
    assert d.proc.wait(20) == 2
    assert complaint in d.log()


def test_console_assets_come_from_the_configured_directory(rest):
    base = rest.base
    r = requests.get(base + "/ui/", timeout=10)
    assert r.status_code == 200 and "ours" in r.text
    assert r.headers["Content-Security-Policy"].startswith("default-src 'self'")
    assert requests.get(base + "/ui/app.js", timeout=10).text == "// ours"
    redirect = requests.get(base + "/ui", timeout=10, allow_redirects=False)
    assert redirect.status_code == 301 and redirect.headers["Location"] == "/ui/"
    for escape in ("/ui/../queltd.conf", "/ui/%2e%2e/queltd.conf", "/ui/nothing.js"):
        assert requests.get(base + escape, timeout=10).status_code == 404, escape
    assert f"web console: serving /ui/ from {rest.site}" in rest.daemon.log()
