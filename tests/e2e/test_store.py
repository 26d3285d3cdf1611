"""The embedded store: what was posted survives kill -9 and comes back alerting; a stream raised
before the kill has its clear announced once afterwards (an exact ruleset and a pattern ruleset
that watches absence); a damaged or locked store file is reported and left alone; every
acknowledged POST survives a kill at a random point of a run of posts."""
import json
import os
import random
import signal
import threading
import time

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_alerts import CLEAR, EXCHANGE, ROUTE, UUID, Rest, Sev, declare_exchange, ruleset, with_exchange

MAX90 = [{"criteria": "max value", "severity": 1, "value": "90"}]
WATCHED = [{"criteria": "on absence", "severity": 3, "absence_window": 600},
           {"criteria": "max value", "severity": 2, "value": "90"}]
WINDOW = {"maintenance_id": 77, "maintenance_type": "host", "maintenance_item": "db9",
          "start_on": 1, "stop_on": 4000000000, "account_id": 7, "severities": [5]}


class Node:
    """One daemon configuration (store file beside it), started, killed and started again."""

    def __init__(self, factory, pki, rabbitmq_node, store='<store file="queltd.db"/>'):  # noqa: F811
        self.port = free_port()
        self.config = with_exchange(base_config(mq_port=rabbitmq_node.port, extra=(
            f'<listeners><listener type="http" address="127.0.0.1" port="{self.port}"'
            f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
            f'</listeners><orvane>{store}</orvane>')))
        self.factory, self.rest, self.d = factory, Rest(self.port, pki), None

    def start(self, ready=True):
        self.d = self.factory(config_text=self.config).start().wait_initialized()
        if ready:
            wait_for(lambda: "queltd ready for data." in self.d.log(), what="consumers")
        return self

    def kill9(self):
        self.d.proc.send_signal(signal.SIGKILL)
        self.d.proc.wait()

    def store_stats(self):
        return self.rest.get("/stats.json?format=simple").json()["store"]

    def feed(self, name, value, t):
        line = f"M\tb1\t{t}.000\tweb01`mod`c_7_9`{UUID}\t{name}\tn\t{value}\n"
        assert self.rest.post("/test/input", line).json() == {"lines": 1, "trash": 0}


@pytest.fixture
def alerts(rabbitmq_node):  # noqa: F811
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    declare_exchange(ch)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    def take(n, timeout=20):
        got = []

        def more():
            method, _, body = ch.basic_get(queue, auto_ack=True)
            if method:
                got.append(Sev(json.loads(body, object_pairs_hook=lambda p: p)[0][1]))
            return len(got) >= n
        if n:
            wait_for(more, timeout, what=f"{n} alerts (got {len(got)})")
        time.sleep(0.5)
        assert ch.basic_get(queue, auto_ack=True)[0] is None, "more alerts than expected"
        return [(a["self_event_criteria_id"], a["self_priority"]) for a in got]
    yield take
    conn.close()


def test_definitions_and_raised_states_survive_kill_and_clear_is_announced_once(
        daemon_factory, pki, rabbitmq_node, alerts):  # noqa: F811
    node = Node(daemon_factory, pki, rabbitmq_node).start()
    rest = node.rest
    pattern = {**ruleset(52, None, WATCHED), "metric_name": None, "metric_pattern": "^mem\\."}
    r = rest.post("/rulesets", [ruleset(51, "disk", MAX90), pattern, ruleset(53, "swap", MAX90)])
    assert r.json() == {"rulesets": 3, "errors": 0}, r.text
    assert rest.post("/maintenance", [WINDOW]).status_code == 200
    # A deletion is written through too.
    assert rest.post("/rulesets", [{"event_criteria_id": 53, "rules": []}]).status_code == 200
    t = int(time.time())
    node.feed("disk", "95", t)
    node.feed("mem.a", "95", t)
    assert sorted(alerts(2)) == [(51, 1), (52, 2)]
    # Stream states go to disk in batches about once a second; definitions before the reply.
    wait_for(lambda: node.store_stats()["states_written"] >= 2, what="stream states written")
    node.kill9()

    node.start()
    assert sorted(json.loads(rest.get("/rulesets?type=ecid_only").text)) == [51, 52]
    assert rest.get("/ruleset/52").json()["pattern"] == "^mem\\."
    assert rest.get("/maintenance/77").json()["maintenance_item"] == "db9"
    # Both streams come back fresh; their clears are announced (the pattern stream's too, which
    # a first sighting alone would not announce) and only once.
    node.feed("disk", "10", t + 1)
    node.feed("mem.a", "10", t + 1)
    assert sorted(alerts(2)) == [(51, CLEAR), (52, CLEAR)]
    node.feed("mem.a", "11", t + 2)
    node.feed("disk", "12", t + 2)
    assert alerts(0) == []
    # And alerting goes on.
    node.feed("mem.b", "99", t + 3)
    assert alerts(1) == [(52, 2)]
    node.feed("mem.b", "5", t + 4)
    assert alerts(1) == [(52, CLEAR)]
    # A clean stop writes the clears: after it nothing raised is remembered, so the pattern
    # stream's first clear is the usual silent one.
    assert node.d.stop() == 0
    node.start()
    node.feed("mem.a", "10", t + 5)
    node.feed("mem.b", "10", t + 5)
    assert alerts(0) == []
    assert sorted(json.loads(rest.get("/rulesets?type=ecid_only").text)) == [51, 52]


def test_a_damaged_or_locked_store_file_is_reported_and_left_alone(
        daemon_factory, pki, rabbitmq_node, tmp_path):  # noqa: F811
    garbage = b"this is no database " * 300
    (tmp_path / "queltd.db").write_bytes(garbage)
    node = Node(daemon_factory, pki, rabbitmq_node).start(ready=False)
    assert "the file is damaged or not a store" in node.d.log()
    r = node.rest.post("/rulesets", [ruleset(61, "disk", MAX90)])
    assert r.json() == {"rulesets": 1, "errors": 0}, r.text
    assert node.store_stats()["enabled"] == 0
    assert node.d.stop() == 0
    assert (tmp_path / "queltd.db").read_bytes() == garbage

    # A file another daemon holds is not shared.
    (tmp_path / "queltd.db").unlink()
    first = Node(daemon_factory, pki, rabbitmq_node).start(ready=False)
    assert first.store_stats()["enabled"] == 1
    second_dir = tmp_path / "second"
    second_dir.mkdir()
    second = Node(daemon_factory, pki, rabbitmq_node,
                  store=f'<store file="{tmp_path}/queltd.db"/>')
    from conftest import Daemon
    d = Daemon(str(second_dir), second.config)
    d.start().wait_initialized()
    try:
        assert "the file is locked by another process" in d.log()
        assert second.store_stats()["enabled"] == 0
    finally:
        d.stop()
    assert first.store_stats()["enabled"] == 1
    assert first.rest.post("/rulesets", [ruleset(62, "disk", MAX90)]).status_code == 200


def test_every_acknowledged_post_survives_kills_at_random_points(
        daemon_factory, pki, rabbitmq_node):  # noqa: F811
    node = Node(daemon_factory, pki, rabbitmq_node).start(ready=False)
    rng = random.Random(int(os.environ.get("QUELT_CRASH_SEED", "25")))
    acknowledged, next_id, total, kills = set(), 1000, 1000, 0
    deadline = time.monotonic() + 120
    while next_id < 1000 + total and time.monotonic() < deadline:
        # Kill somewhere inside the next stretch of posts, from another thread, at a random time.
        killer = threading.Timer(rng.uniform(0.2, 2.0), node.kill9)
        killer.start()
        session = requests.Session()
        while next_id < 1000 + total:
            body = json.dumps([ruleset(next_id, f"m{next_id}", MAX90)])
            try:
                r = session.post(f"https://127.0.0.1:{node.port}/rulesets", data=body,
                                 cert=pki.client, verify=pki.ca, timeout=10)
            except requests.RequestException:
                break
            if r.status_code == 200 and r.json() == {"rulesets": 1, "errors": 0}:
                acknowledged.add(next_id)
            next_id += 1
        killer.join()
        kills += 1
        if node.d.proc.poll() is None:
            node.kill9()
        node.start(ready=False)
        held = set(json.loads(node.rest.get("/rulesets?type=ecid_only").text))
        assert acknowledged <= held, sorted(acknowledged - held)[:10]
    assert len(acknowledged) > 0 and kills >= 2
    assert node.d.stop() == 0


def test_rule_files_load_reload_refuse_and_win_over_rest(daemon_factory, pki, rabbitmq_node, tmp_path):  # noqa: F811
    rules = tmp_path / "rules"
    rules.mkdir()

    def write(name, items):
        (rules / name).write_text(json.dumps(items))

    write("a.json", [ruleset(71, "cpu", MAX90), ruleset(72, "load", MAX90)])
    write("w.json", [WINDOW])
    node = Node(daemon_factory, pki, rabbitmq_node,
                store='<store file="queltd.db"/><rule_files directory="rules"/>').start(ready=False)
    rest = node.rest

    def held():
        return sorted(json.loads(rest.get("/rulesets?type=ecid_only").text))

    assert held() == [71, 72]
    assert rest.get("/maintenance/77").json()["maintenance_item"] == "db9"
    assert rest.get("/ruleset/source/71").json() == {
        "event_criteria_id": 71, "source": "file", "file": "a.json", "stored": True}
    assert rest.get("/maintenance/source/77").json()["file"] == "w.json"
    # A file's ids are its own: REST neither replaces nor deletes them; other ids are REST's.
    r = rest.post("/rulesets?details=1", [ruleset(71, "hijack", MAX90), ruleset(74, "swap", MAX90)])
    assert (r.json()["rulesets"], r.json()["errors"]) == (1, 1), r.text
    assert "a.json" in r.text
    assert rest.post("/rulesets", [{"event_criteria_id": 72, "rules": []}]).json()["errors"] == 1
    assert rest.get("/ruleset/source/74").json()["source"] == "rest"
    assert rest.get("/ruleset/71").json()["name"] == "cpu"

    # Changed: 71 replaced, 72 dropped (and removed from the daemon), 73 added.
    write("a.json", [ruleset(71, "cpu.v2", MAX90), ruleset(73, "disk", MAX90)])
    report = rest.post("/reload", "").json()
    files = {f["file"]: f for f in report["files"]}
    assert (files["a.json"]["status"], files["a.json"]["removed"]) == ("loaded", 1), report
    assert files["w.json"]["status"] == "unchanged" and report["errors"] == 0
    assert held() == [71, 73, 74]
    assert rest.get("/ruleset/71").json()["name"] == "cpu.v2"

    # A file the check refuses is refused whole; the version loaded before stays.
    write("a.json", [ruleset(71, "cpu.v3", MAX90), ruleset(75, "net", [{"criteria": "bogus", "severity": 1}])])
    report = rest.post("/reload", "").json()
    (a,) = [f for f in report["files"] if f["file"] == "a.json"]
    assert a["status"] == "refused" and "bogus" in a["error"] and report["errors"] == 1, report
    assert held() == [71, 73, 74]
    assert rest.get("/ruleset/71").json()["name"] == "cpu.v2"

    # A file removed while the daemon is down takes its definitions away at the next start.
    node.kill9()
    (rules / "w.json").unlink()
    node.start(ready=False)
    assert held() == [71, 73, 74]
    assert rest.get("/maintenance/77").json() is None
    # Once no file defines an id, REST may have it.
    (rules / "a.json").unlink()
    assert {f["file"]: f["status"] for f in rest.post("/reload", "").json()["files"]} == {"a.json": "removed"}
    assert held() == [74]
    assert rest.post("/rulesets", [ruleset(71, "cpu", MAX90)]).json() == {"rulesets": 1, "errors": 0}
    assert node.d.stop() == 0
