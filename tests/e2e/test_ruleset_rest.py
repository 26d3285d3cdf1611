"""The ruleset REST endpoints against the real daemon over TLS with client certificates: listings
and their filters, single rulesets by id and by check and name, the JSON of a ruleset with its
streams and rules after metric lines reached it, the streams' alert states and clearing them."""
import base64
import json
import time

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import free_port, wait_for

UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
BIG = 2**32 + 5           # ids above 32 bits must come back whole
PATTERN = 2**33 + 1
ANY_CHECK, TEXT, HIST, OTHER_ACCOUNT = 3, 4, 5, 6

RULESETS = [
    {"event_criteria_id": BIG, "account_id": 7, "check_uuid": UUID, "metric_name": "cpu",
     "metric_type": "numeric", "rules": [
         {"criteria": "on absence", "severity": 1, "absence_window": 600},
         {"criteria": "max value", "severity": 2, "value": "90"},
         {"criteria": "max value", "severity": 3, "value": "50", "windowing_function": "average",
          "windowing_duration": 300, "windowing_min_duration": 120}]},
    {"event_criteria_id": PATTERN, "account_id": 7, "metric_pattern": "^disk\\.", "metric_type": "numeric",
     "parent_event_criteria_id": BIG, "filter": "env:prod",
     "rules": [{"criteria": "min value", "severity": 1, "value": "5"}]},
    {"event_criteria_id": ANY_CHECK, "account_id": 7, "metric_name": "cpu", "metric_type": "numeric",
     "rules": [{"criteria": "max value", "severity": 4, "value": "99"}]},
    {"event_criteria_id": TEXT, "account_id": 8, "check_uuid": UUID, "metric_name": "status",
     "metric_type": "text", "rules": [{"criteria": "does not match", "severity": 2, "value": "OK"}]},
    {"event_criteria_id": HIST, "account_id": 8, "check_uuid": UUID, "metric_name": "latency",
     "metric_type": "histogram", "rules": [
         {"criteria": "max value", "severity": 2, "value": "0.25", "windowing_function": "quantile",
          "windowing_duration": 60, "criteria_windowing_parameter": 0.99}]},
    {"event_criteria_id": OTHER_ACCOUNT, "account_id": 8, "check_uuid": UUID, "metric_name": "cpu",
     "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "90"}]},
]

RULESET_KEYS = ["event_criteria_id", "parent_event_criteria_id", "type", "uuid", "name", "account_id",
                "owned", "operated", "applications", "last_time_ms", "streams"]
STREAM_KEYS = ["applications", "last_time_ms", "last_severity", "last_rule", "trigger_history", "rules"]


def strict_json(text):
    """JSON as a strict reader takes it: NaN and Infinity are not JSON."""
    def refuse(constant):
        raise AssertionError(f"{constant} in the reply")
    return json.loads(text, parse_constant=refuse)


@pytest.fixture
def daemon(daemon_factory, pki):  # noqa: F811
    port = free_port()
    d = daemon_factory(extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        '</listeners>')).start().wait_initialized()

    class Client:
        base = f"https://127.0.0.1:{port}"

        def get(self, path, cert=pki.client, **params):
            return requests.get(self.base + path, params=params, cert=cert, verify=pki.ca, timeout=10)

        def post(self, path, body=""):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(self.base + path, data=data, cert=pki.client, verify=pki.ca, timeout=10)

        def ids(self, **params):
            r = self.get("/rulesets", type="ecid_only", **params)
            assert r.status_code == 200, r.text
            return sorted(strict_json(r.text))

        def one(self, ecid):
            r = self.get(f"/ruleset/{ecid}")
            assert r.status_code == 200, r.text
            return strict_json(r.text)

    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    client = Client()
    r = client.post("/rulesets", RULESETS)
    assert r.json() == {"rulesets": len(RULESETS), "errors": 0}, r.text
    yield client
    assert d.stop() == 0


def test_listings_filter_by_account_check_and_name(daemon):
    r = daemon.get("/rulesets")
    assert r.status_code == 200 and r.headers["Content-Type"].startswith("application/json")
    listed = strict_json(r.text)
    assert sorted(o["event_criteria_id"] for o in listed) == sorted(x["event_criteria_id"] for x in RULESETS)

    # One id a line inside brackets, the full 64-bit id.
    body = daemon.get("/rulesets", type="ecid_only", account_id="7").text
    assert body.startswith("[") and body.endswith("\n]\n")
    lines = body[1:-3].split("\n")
    assert [line[:1] == "," for line in lines] == [False, True, True]
    assert sorted(int(line.lstrip(",")) for line in lines) == [ANY_CHECK, BIG, PATTERN]
    assert daemon.ids(account_id="8") == [TEXT, HIST, OTHER_ACCOUNT]
    assert daemon.ids(account_id="9") == []
    assert daemon.ids(name="cpu") == [ANY_CHECK, OTHER_ACCOUNT, BIG]
    assert daemon.ids(uuid=UUID) == [TEXT, HIST, OTHER_ACCOUNT, BIG]

    # A check and a name: the rulesets that apply to that metric of the account (any-check ones
    # included, patterns matched), account 0 unless one is given.
    assert daemon.ids(uuid=UUID, name="cpu", account_id="7") == [ANY_CHECK, BIG]
    assert daemon.ids(uuid=UUID, name="disk.root", account_id="7") == []  # the filter wants env:prod
    assert daemon.ids(uuid=UUID, name="cpu", account_id="8") == [OTHER_ACCOUNT]
    assert daemon.ids(uuid=UUID, name="cpu") == []

    # A UUID that is not one matches nothing; an account that is not a number is refused.
    assert daemon.get("/rulesets", uuid="not-a-uuid").text == "[]\n"
    for bad in ("seven", "7x", "", "-1", "99999999999999999999"):
        r = daemon.get("/rulesets", account_id=bad)
        assert r.status_code == 400 and "error" in r.json(), bad


def test_single_rulesets_by_id_and_by_check_and_name(daemon, pki):  # noqa: F811
    exact = daemon.one(BIG)
    assert list(exact) == RULESET_KEYS
    assert exact["event_criteria_id"] == BIG and exact["parent_event_criteria_id"] is None
    assert (exact["type"], exact["uuid"], exact["name"], exact["account_id"]) == ("numeric", UUID, "cpu", 7)
    assert exact["owned"] is True and exact["operated"] is True
    assert exact["applications"] == 0 and exact["streams"] == {}

    pattern = daemon.one(PATTERN)
    assert "uuid" not in pattern and "name" not in pattern
    assert pattern["pattern"] == "^disk\\." and pattern["parent_event_criteria_id"] == BIG
    assert list(pattern)[-2:] == ["tag_filter", "streams"] and pattern["tag_filter"] == "env:prod"
    assert "uuid" not in daemon.one(ANY_CHECK)
    assert daemon.one(HIST)["type"] == "histogram"

    r = daemon.get("/ruleset/424242")
    assert r.status_code == 500 and r.json() == {"error": "no such ruleset"}

    r = daemon.get(f"/ruleset/{UUID.upper()}/cpu", account_id="7")
    assert r.status_code == 200 and r.text.endswith("]\n")
    assert sorted(o["event_criteria_id"] for o in strict_json(r.text)) == [ANY_CHECK, BIG]
    assert [o["event_criteria_id"] for o in daemon.get(f"/ruleset/{UUID}/status", account_id="8").json()] == [TEXT]
    assert daemon.get(f"/ruleset/{UUID}/cpu").json() == []
    assert daemon.get(f"/ruleset/{UUID}/cpu", account_id="x").status_code == 400

    # Every endpoint wants a client certificate.
    for path in ("/rulesets", f"/ruleset/{BIG}", f"/ruleset/{UUID}/cpu", f"/ruleset/state/{BIG}"):
        assert daemon.get(path, cert=None).status_code == 403, path
    assert requests.post(daemon.base + f"/ruleset/clear/alert/{BIG}", verify=pki.ca, timeout=10).status_code == 403


def feed(daemon, now_ms):
    now = f"{now_ms // 1000}.{now_ms % 1000:03d}"
    hist = base64.b64encode(bytes([1, 1, 15, 3, 1])).decode()  # one sample of 1500
    lines = [
        f"M\tb1\t{now}\thost`mod`c_7_1`{UUID}\tcpu\tn\t95",
        f"M\tb1\t{now}\thost`mod`c_8_1`{UUID}\tstatus\ts\tdegraded",
        f"H1\tb1\t{now}\thost`mod`c_8_1`{UUID}\tlatency\t{hist}",
    ]
    r = daemon.post("/test/input", "\n".join(lines) + "\n")
    assert r.json() == {"lines": 3, "trash": 0}


def test_streams_and_rules_render_with_their_state(daemon):
    whence = int(time.time() * 1000)
    feed(daemon, whence)

    exact = daemon.one(BIG)
    assert exact["applications"] == 1 and exact["last_time_ms"] > 0
    signature = f"{UUID}`cpu|ST[]"
    assert list(exact["streams"]) == [signature]
    stream = exact["streams"][signature]
    assert list(stream) == STREAM_KEYS
    assert (stream["applications"], stream["last_time_ms"]) == (1, whence)
    assert (stream["last_severity"], stream["last_rule"]) == (2, 1)
    [entry] = stream["trigger_history"]
    assert entry["severity"] == 2 and entry["rule"] == 1 and entry["value"] == 95
    absence, threshold, windowed = stream["rules"]
    assert absence == {"criteria": "absence", "severity": 1, "triggered": False, "absence_ms": 600000}
    assert list(threshold) == ["criteria", "severity", "triggered", "predicate_value", "last_observed_value",
                               "windowing_function", "windowing_duration"]
    assert threshold["triggered"] is True and threshold["predicate_value"] == 90
    assert threshold["last_observed_value"] == 95
    # The average has no value before two minutes of data: null, never NaN.
    assert windowed["triggered"] is False and windowed["last_observed_value"] is None
    assert (windowed["windowing_duration"], windowed["windowing_min_duration"]) == (300, 120)

    text = daemon.one(TEXT)["streams"][f"{UUID}`status|ST[]"]
    [rule] = text["rules"]
    assert list(rule) == ["criteria", "severity", "triggered", "last_observed_value", "predicate_value"]
    assert (rule["last_observed_value"], rule["predicate_value"]) == ("degraded", "OK")
    assert text["trigger_history"][0]["value"] == "degraded"

    hist = daemon.one(HIST)["streams"][f"{UUID}`latency|ST[]"]
    [rule] = hist["rules"]
    assert rule["windowing_function"] == "quantile" and rule["criteria_windowing_parameter"] == 0.99
    assert rule["predicate_value"] == 0.25

    # The same state through the listing, line by line.
    listed = {o["event_criteria_id"]: o for o in strict_json(daemon.get("/rulesets", account_id="7").text)}
    assert listed[BIG]["streams"][signature]["last_severity"] == 2


def test_stream_states_and_clearing_alerts(daemon):
    feed(daemon, int(time.time() * 1000))

    r = daemon.get(f"/ruleset/state/{BIG}")
    assert r.status_code == 200
    [state] = strict_json(r.text)["states"]
    assert state["sev"]["self_event_criteria_id"] == BIG and state["sev"]["signature"] == f"{UUID}`cpu|ST[]"
    assert daemon.get("/ruleset/state/424242").status_code == 500

    r = daemon.post(f"/ruleset/clear/alert/{BIG}")
    assert r.status_code == 200
    stream = strict_json(r.text)["streams"][f"{UUID}`cpu|ST[]"]
    assert (stream["last_severity"], stream["last_rule"]) == (2147483647, -1)
    assert [h["severity"] for h in stream["trigger_history"]] == [2147483647, 2]
    r = daemon.post("/ruleset/clear/alert/424242")
    assert r.status_code == 200 and r.text == "null\n"
