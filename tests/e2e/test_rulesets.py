"""POST /rulesets against the real daemon over TLS with a client certificate: loads, repeats,
partial failures, malformed and oversized bodies, and the statistics the loads move."""
import json
import os

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import SOURCE_DIR, free_port

MAX_BODY = 16384


@pytest.fixture
def rest(daemon_factory, pki):  # noqa: F811
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

        def post(self, body, cert=pki.client):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(self.base + "/rulesets", data=data, cert=cert, verify=pki.ca, timeout=10)

        def stats(self):
            r = requests.get(self.base + "/stats.json?format=simple", cert=pki.client, verify=pki.ca, timeout=10)
            return r.json()["ruleset"]

    yield Client()
    d.stop()


def ruleset(ecid, name="cpu", threshold="90", **extra):
    r = {"event_criteria_id": ecid, "account_id": 7, "metric_name": name, "metric_type": "numeric",
         "rules": [{"criteria": "max value", "severity": 1, "value": threshold}]}
    r.update(extra)
    return r


def test_post_rulesets_replies_with_counts_after_loading(rest):
    r = rest.post([])
    assert r.status_code == 200
    assert r.headers["Content-Type"].startswith("application/json")
    assert r.json() == {"rulesets": 0, "errors": 0}

    # Not an array: nothing processed, one error.
    assert rest.post({"event_criteria_id": 1}).json() == {"rulesets": -1, "errors": 1}

    # One bad element of three: the others load.
    body = [ruleset(11), ruleset(12, check_uuid="nope"), ruleset(13, name="mem|ST[b:2,a:1]")]
    assert rest.post(body).json() == {"rulesets": 2, "errors": 1}
    stats = rest.stats()
    assert stats["current"] == 2 and stats["loaded"] == 2

    # The same body again: the loaded objects are kept, the copies are counted as loaded and freed.
    assert rest.post(body).json() == {"rulesets": 2, "errors": 1}
    stats = rest.stats()
    assert stats["loaded"] == 4 and stats["current"] == 2

    # A deletion, then a deletion of an id that is gone.
    assert rest.post([{"event_criteria_id": 11, "rules": []}]).json() == {"rulesets": 1, "errors": 0}
    assert rest.post([{"event_criteria_id": 11, "rules": []}]).json() == {"rulesets": -1, "errors": 1}
    stats = rest.stats()
    # Every refusal is counted: the non-array, the bad element twice, the unknown deletion.
    assert stats["current"] == 1 and stats["rejected"] == 4


def test_post_rulesets_refuses_malformed_and_oversized_bodies(rest, pki):  # noqa: F811
    r = rest.post('[{"event_criteria_id": 1,')
    assert r.status_code == 400
    assert set(r.json()) == {"error"} and r.json()["error"]
    r = rest.post('[] trailing')
    assert r.status_code == 400 and "error" in r.json()
    assert rest.stats()["rejected"] == 2
    # Refused while the client is still sending: the reply must reach it every time, never a
    # connection reset under the body.
    too_large = "[" + ",".join(["{}"] * 9000) + "]"
    assert [rest.post(too_large).status_code for _ in range(30)] == [413] * 30
    # No client certificate: refused before anything is parsed.
    assert requests.post(rest.base + "/rulesets", data="[]", verify=pki.ca, timeout=10).status_code == 403
    assert rest.daemon.proc.poll() is None


def test_the_example_rulesets_load(rest):
    with open(os.path.join(SOURCE_DIR, "examples", "rulesets.json"), "rb") as f:
        assert rest.post(f.read()).json() == {"rulesets": 5, "errors": 0}
