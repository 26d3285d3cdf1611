"""The metric intake as an operator sees it: start-up of the consumers, the intake statistics and
GET /metric/ over TLS with a client certificate."""
import socket

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import free_port, wait_for

UUID = "11111111-2222-3333-4444-555555555555"
READY = "queltd ready for data."


@pytest.fixture
def intake(daemon_factory, pki):  # noqa: F811
    """A daemon with two loop threads, a TLS REST listener and the TCP line listener."""
    tls_port, metrics_port = free_port(), free_port()
    extra = (
        f'<listeners><listener type="http" address="127.0.0.1" port="{tls_port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        f'<metrics address="127.0.0.1" port="{metrics_port}"/></listeners>')
    d = daemon_factory(extra=extra).start().wait_initialized()

    class Client:
        daemon = d
        base = f"https://127.0.0.1:{tls_port}"
        metrics = metrics_port

        def get(self, path, **kw):
            return requests.get(self.base + path, cert=pki.client, verify=pki.ca, timeout=10, **kw)

    yield Client()
    assert d.stop() == 0


def send_lines(port, lines):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall("".join(line + "\n" for line in lines).encode())


def test_consumers_start_once_and_publish_their_statistics(intake):
    wait_for(lambda: READY in intake.daemon.log(), what=READY)
    send_lines(intake.metrics, [f"M\tb1\t1700000000.{i:03d}\thost`mod`c_7_9`{UUID}\tcpu\tn\t{i}"
                                for i in range(50)])
    wait_for(lambda: intake.get("/stats.json?format=simple").json()["vask"]["director"]["parsed"] >= 50,
             what="lines parsed")

    simple = intake.get("/stats.json?format=simple").json()
    datapath = simple["datapath"]
    assert set(datapath["_aggregate"]) >= {"received", "cycles", "timeout_cycles", "queuedepth_cycles",
                                           "ruleset_dispatch"}
    assert datapath["_aggregate"]["cycles"] > 0
    # Every loop thread made its own counters on its first cycle.
    for thread in ("e:default/0", "e:default/1"):
        assert set(datapath[thread]) == {"received", "ruleset_dispatch"}
    for name in ("rule_execute", "rules_find_hit", "rules_find_miss"):
        assert name in simple["rules"]
    assert "messages_per_cycle" in datapath and "metric_processing" in datapath

    tagged = intake.get("/stats.json?format=tagged").json()
    threads = {(e["tags"].get("tovi-pool"), e["tags"].get("tovi-thread"))
               for e in tagged if e["name"] == "datapath/received"}
    assert threads >= {("default", "0"), ("default", "1")}
    reasons = {e["tags"].get("reason") for e in tagged if e["name"] == "datapath/_aggregate/aborted_cycles"}
    assert reasons == {"timeout", "count"}

    # Still once, however many passes the consumers made since.
    assert intake.daemon.log().count(READY) == 1


def test_metric_state_view(intake):
    r = intake.get(f"/metric/numeric/{UUID}/cpu")
    assert r.status_code == 200
    assert r.headers["Content-Type"].startswith("application/json")
    assert r.text == "null\n"

    r = intake.get(f"/metric/text/{UUID.upper()}/some/metric|ST[a:b]",
                   params={"signature": "x", "windowing_duration": "60000"})
    assert (r.status_code, r.text) == (200, "null\n")

    r = intake.get(f"/metric/gauge/{UUID}/cpu")
    assert r.status_code == 500
    assert r.json() == {"error": "unsupported type"}
    assert r.text.endswith("\n")

    assert intake.get("/metric/numeric/not-a-uuid/cpu").status_code == 404
    assert intake.get(f"/metric/numeric/{UUID}").status_code == 404


def test_lines_of_a_watched_metric_reach_one_worker_and_its_ruleset(intake, pki):  # noqa: F811
    body = [{"event_criteria_id": 21, "account_id": 7, "metric_name": "cpu", "metric_type": "numeric",
             "rules": [{"criteria": "max value", "severity": 1, "value": "90"}]}]
    r = requests.post(intake.base + "/rulesets", json=body, cert=pki.client, verify=pki.ca, timeout=10)
    assert r.json() == {"rulesets": 1, "errors": 0}

    def datapath():
        return intake.get("/stats.json?format=simple").json()["datapath"]

    before = datapath()
    n = 40
    # Measurement tags vary from sample to sample; they never move the metric to another worker.
    lines = [f"M\tb1\t1700000100.{i:03d}\thost`mod`c_7_9`{UUID}\tcpu|MT{{run:{i}}}\tn\t{i}" for i in range(n)]
    # Another account's metric of the same check and name reaches the same worker (interest is by
    # check and name), but no ruleset applies to it.
    lines += [f"M\tb1\t1700000100.{i:03d}\thost`mod`c_8_9`{UUID}\tcpu\tn\t{i}" for i in range(5)]
    send_lines(intake.metrics, lines)
    wait_for(lambda: datapath()["_aggregate"]["ruleset_dispatch"] >= before["_aggregate"]["ruleset_dispatch"] + n,
             what="ruleset dispatches")
    after = datapath()
    assert after["_aggregate"]["ruleset_dispatch"] == before["_aggregate"]["ruleset_dispatch"] + n
    rises = sorted(after[t]["received"] - before[t]["received"] for t in ("e:default/0", "e:default/1"))
    assert rises == [0, n + 5]
    dispatched = sorted(after[t]["ruleset_dispatch"] - before[t]["ruleset_dispatch"]
                        for t in ("e:default/0", "e:default/1"))
    assert dispatched == [0, n]


def test_windows_hold_at_most_their_record_cap(daemon_factory, pki):  # noqa: F811
    tls_port, metrics_port = free_port(), free_port()
    extra = (
        f'<listeners><listener type="http" address="127.0.0.1" port="{tls_port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        f'<metrics address="127.0.0.1" port="{metrics_port}"/></listeners>'
        '<orvane><state><windows max_records="8"/></state></orvane>')
    d = daemon_factory(extra=extra).start().wait_initialized()
    base = f"https://127.0.0.1:{tls_port}"
    rules = [{"criteria": "max value", "severity": 1, "value": "1000000",
              "windowing_function": "average", "windowing_duration": 2}]

    def ruleset(ecid, name, **extra):
        return {"event_criteria_id": ecid, "account_id": 7, "metric_name": name,
                "metric_type": "numeric", "rules": rules, **extra}

    # The configured cap; a ruleset's own, which wins (0: every sample); caps that are refused.
    body = [ruleset(22, "cpu"), ruleset(23, "mem", window_max_records=16),
            ruleset(24, "disk", window_max_records=0), ruleset(25, "net", window_max_records=5),
            ruleset(26, "io", window_max_records="many")]
    r = requests.post(base + "/rulesets", json=body, cert=pki.client, verify=pki.ca, timeout=10)
    assert r.json() == {"rulesets": 3, "errors": 2}

    def get(path, **params):
        return requests.get(base + path, cert=pki.client, verify=pki.ca, params=params, timeout=10).json()

    assert "window_max_records" not in get("/ruleset/22")
    assert get("/ruleset/23")["window_max_records"] == 16
    assert get("/ruleset/24")["window_max_records"] == 0
    # 600 samples 10 ms apart: a 2 s window of 8 records merges those of each 400 ms.
    start = 1700000200000
    send_lines(metrics_port, [f"M\tb1\t{(start + 10 * i) / 1000:.3f}\thost`mod`c_7_9`{UUID}\t{name}\tn\t{i}"
                              for i in range(600) for name in ("cpu", "mem", "disk")])

    def window(name):
        state = get(f"/metric/numeric/{UUID}/{name}", signature=f"{UUID}`{name}|ST[]")
        return state and state["windows"] and state["windows"][0]["numeric"]

    for name in ("cpu", "mem", "disk"):
        wait_for(lambda: window(name) and window(name)["last_time_ms"] == start + 5990, what="the last sample")
    assert window("mem")["max_records"] == 16 and len(window("mem")["types"]["average"]["window"]) <= 16
    assert "max_records" not in window("disk") and len(window("disk")["types"]["average"]["window"]) == 200
    w = window("cpu")
    assert (w["max_records"], w["merge_span_ms"]) == (8, 400)
    records = w["types"]["average"]["window"]
    assert 1 <= len(records) <= 8
    held = sum(rec["count"] for rec in records)
    assert held == w["types"]["average"]["stddev_accum"]["count"]
    # Every sample after the cut-off (2 s before the newest) is held, and at most a slot more.
    cutoff = start + 5990 - 2000
    assert cutoff - 400 < records[0]["from_ms"] <= cutoff + 10 and records[0]["to_ms"] > cutoff
    assert 200 <= held < 240
    assert records[-1]["last"] == {"whence_ms": start + 5990, "value": 599.0, "type": "double"}
    assert abs(w["types"]["average"]["value"] - (599 - (held - 1) / 2)) < 1e-9
    assert d.stop() == 0


def test_an_unusable_record_cap_stops_start_up(daemon_factory):
    d = daemon_factory(extra='<orvane><state><windows max_records="5"/></state></orvane>').start()
    assert d.proc.wait(timeout=20) == 2
    assert "//orvane/state/windows/@max_records must be 0" in d.log()
