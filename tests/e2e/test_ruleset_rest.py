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


def test_listings_and_lookups_select_by_account_check_and_name(daemon, pki):  # noqa: F811
    r = daemon.get("/rulesets")
    assert r.headers["Content-Type"].startswith("application/json")
    assert sorted(o["event_criteria_id"] for o in strict_json(r.text)) == sorted(x["event_criteria_id"] for x in RULESETS)
    # One id a line inside brackets, the full 64-bit id.
    body = daemon.get("/rulesets", type="ecid_only", account_id="7").text
    assert body.startswith("[") and body.endswith("\n]\n")
    lines = body[1:-3].split("\n")
    assert [line[:1] == "," for line in lines] == [False, True, True]
    assert sorted(int(line.lstrip(",")) for line in lines) == [ANY_CHECK, BIG, PATTERN]
    assert daemon.ids(name="cpu") == [ANY_CHECK, OTHER_ACCOUNT, BIG]
    assert daemon.ids(uuid=UUID, account_id="8") == [TEXT, HIST, OTHER_ACCOUNT]
    # A check and a name: what applies to that metric of the account (0 unless given).
    assert daemon.ids(uuid=UUID, name="cpu", account_id="7") == [ANY_CHECK, BIG]
    assert daemon.ids(uuid=UUID, name="cpu") == []
    assert daemon.get("/rulesets", uuid="not-a-uuid").text == "[]\n"
    r = daemon.get(f"/ruleset/{UUID.upper()}/cpu", account_id="8")
    assert r.text.endswith("]\n") and [o["event_criteria_id"] for o in strict_json(r.text)] == [OTHER_ACCOUNT]
    assert daemon.get(f"/ruleset/{UUID}/cpu").json() == []
    # An account that is not a number is refused, never read as "every account".
    for path, bad in (("/rulesets", "seven"), ("/rulesets", "-1"), ("/rulesets", "99999999999999999999"),
                      (f"/ruleset/{UUID}/cpu", "")):
        r = daemon.get(path, account_id=bad)
        assert r.status_code == 400 and "error" in r.json(), (path, bad)

    exact, pattern = daemon.one(BIG), daemon.one(PATTERN)
    assert list(exact) == RULESET_KEYS and exact["parent_event_criteria_id"] is None
    assert (exact["uuid"], exact["name"], exact["owned"], exact["operated"], exact["streams"]) == (UUID, "cpu", True, True, {})
    assert "uuid" not in pattern and "name" not in pattern and pattern["pattern"] == "^disk\\."
    assert pattern["parent_event_criteria_id"] == BIG and list(pattern)[-2:] == ["tag_filter", "streams"]
    r = daemon.get("/ruleset/424242")
    assert r.status_code == 500 and r.json() == {"error": "no such ruleset"}

    for path in ("/rulesets", f"/ruleset/{BIG}", f"/ruleset/{UUID}/cpu", f"/ruleset/state/{BIG}"):
        assert daemon.get(path, cert=None).status_code == 403, path
    assert requests.post(daemon.base + f"/ruleset/clear/alert/{BIG}", verify=pki.ca, timeout=10).status_code == 403


def test_streams_render_their_state_and_clear(daemon):
    whence = int(time.time() * 1000)
    now = f"{whence // 1000}.{whence % 1000:03d}"
    hist = base64.b64encode(bytes([1, 1, 15, 3, 1])).decode()  # one sample of 1500
    lines = [f"M\tb1\t{now}\thost`mod`c_7_1`{UUID}\tcpu\tn\t95",
             f"M\tb1\t{now}\thost`mod`c_8_1`{UUID}\tstatus\ts\tdegraded",
             f"H1\tb1\t{now}\thost`mod`c_8_1`{UUID}\tlatency\t{hist}"]
    assert daemon.post("/test/input", "\n".join(lines) + "\n").json() == {"lines": 3, "trash": 0}

    signature = f"{UUID}`cpu|ST[]"
    exact = daemon.one(BIG)
    assert exact["applications"] == 1 and list(exact["streams"]) == [signature]
    stream = exact["streams"][signature]
    assert list(stream) == STREAM_KEYS
    assert [stream[k] for k in STREAM_KEYS[:4]] == [1, whence, 2, 1]
    [entry] = stream["trigger_history"]
    assert (entry["whence_ms"], entry["severity"], entry["rule"], entry["value"]) == (whence, 2, 1, 95)
    absence, threshold, windowed = stream["rules"]
    assert absence == {"criteria": "absence", "severity": 1, "triggered": False, "absence_ms": 600000}
    assert threshold == {"criteria": "numeric_max", "severity": 2, "triggered": True, "predicate_value": 90,
                         "last_observed_value": 95, "windowing_function": "none", "windowing_duration": 0}
    # The average has no value before two minutes of data: null, never NaN.
    assert windowed["last_observed_value"] is None
    assert (windowed["windowing_duration"], windowed["windowing_min_duration"]) == (300, 120)
    [rule] = daemon.one(TEXT)["streams"][f"{UUID}`status|ST[]"]["rules"]
    assert list(rule.items())[3:] == [("last_observed_value", "degraded"), ("predicate_value", "OK")]
    [rule] = daemon.one(HIST)["streams"][f"{UUID}`latency|ST[]"]["rules"]
    assert list(rule.items())[3:] == [("predicate_value", 0.25), ("last_observed_value", rule["last_observed_value"]),
                                      ("windowing_function", "quantile"), ("windowing_duration", 60),
                                      ("criteria_windowing_parameter", 0.99)]

    [state] = strict_json(daemon.get(f"/ruleset/state/{BIG}").text)["states"]
    assert state["sev"]["self_event_criteria_id"] == BIG and state["sev"]["signature"] == signature
    assert daemon.get("/ruleset/state/424242").status_code == 500

    stream = strict_json(daemon.post(f"/ruleset/clear/alert/{BIG}").text)["streams"][signature]
    assert (stream["last_severity"], stream["last_rule"]) == (2147483647, -1)
    assert [h["severity"] for h in stream["trigger_history"]] == [2147483647, 2]
    r = daemon.post("/ruleset/clear/alert/424242")
    assert r.status_code == 200 and r.text == "null\n"
