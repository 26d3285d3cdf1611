"""Metric lines reach exactly the rulesets that apply to them: loaded by POST /rulesets, fed by
POST /test/input (which answers once the workers have handled the lines), counted by the
workers' "ruleset_dispatch" statistic. All over TLS with a client certificate."""
import json

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import free_port, wait_for

UUID = "11111111-2222-3333-4444-555555555555"
OTHER = "99999999-2222-3333-4444-555555555555"


def ruleset(ecid, name=None, pattern=None, account=7, check=UUID, **extra):
    r = {"event_criteria_id": ecid, "account_id": account, "metric_type": "numeric",
         "rules": [{"criteria": "max value", "severity": 2, "value": "90"}], **extra}
    if check:
        r["check_uuid"] = check
    if name:
        r["metric_name"] = name
    else:
        r["metric_pattern"] = pattern
    return r


@pytest.fixture
def daemon(daemon_factory, pki):  # noqa: F811
    port = free_port()
    d = daemon_factory(args=("-D", "-D", "-l", "debug/metrics"), extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
        f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
        '</listeners>')).start().wait_initialized()

    class Client:
        log = d.log

        def post(self, path, body):
            data = body if isinstance(body, (bytes, str)) else json.dumps(body)
            return requests.post(f"https://127.0.0.1:{port}{path}", data=data, cert=pki.client,
                                 verify=pki.ca, timeout=10)

        def datapath(self):
            return requests.get(f"https://127.0.0.1:{port}/stats.json?format=simple", cert=pki.client,
                                verify=pki.ca, timeout=10).json()["datapath"]

        def load(self, rulesets, expect):
            r = self.post("/rulesets", rulesets)
            assert r.status_code == 200 and r.json() == {"rulesets": expect, "errors": 0}, r.text

        def dispatched(self, name, check=UUID, account=7):
            """How many rulesets one line of this metric was applied to."""
            before = self.datapath()["_aggregate"]["ruleset_dispatch"]
            line = f"M\tb1\t1700000000.000\thost`mod`c_{account}_9`{check}\t{name}\tn\t1\n"
            assert self.post("/test/input", line).json() == {"lines": 1, "trash": 0}
            return self.datapath()["_aggregate"]["ruleset_dispatch"] - before

    wait_for(lambda: "queltd ready for data." in d.log(), what="consumers")
    yield Client()
    assert d.stop() == 0


def test_lines_reach_exactly_the_rulesets_that_apply(daemon):
    daemon.load([
        ruleset(1, "cpu"),
        ruleset(2, "cpu", check=None),                       # any check of account 7
        ruleset(3, "cpu|ST[]"),                              # canonical form of the untagged name
        ruleset(4, "disk|ST[dev:sda]"),                      # one tagged stream
        ruleset(5, pattern="^net"),
        ruleset(6, pattern="^net", filter="and(dir:in)"),
        ruleset(7, "cpu", account=8),
        ruleset(8, "disk|ST[dev:sda]", filter="and(dev:sda)"),  # filtered and tagged
    ], 8)
    cases = [
        ("cpu", UUID, 7, 3),
        ("cpu", OTHER, 7, 1),
        ("cpu", UUID, 8, 1),
        ("cpu", OTHER, 9, 0),
        ("disk|ST[dev:sda]", UUID, 7, 2),
        ("disk|ST[dev:sdb]", UUID, 7, 0),
        ("net|ST[dir:in]", UUID, 7, 2),
        ("net|ST[dir:out]", UUID, 7, 1),
        ("netx", OTHER, 7, 0),
        # Measurement tags are of the sample only.
        ("cpu|MT{core:1}", UUID, 7, 3),
    ]
    for name, check, account, expected in cases:
        assert daemon.dispatched(name, check, account) == expected, (name, check, account)

    # The same body again keeps every ruleset once; a changed threshold replaces, never adds.
    changed = ruleset(1, "cpu")
    changed["rules"][0]["value"] = "95"
    daemon.load([changed], 1)
    assert daemon.dispatched("cpu") == 3
    # Renamed: the old name no longer reaches it.
    daemon.load([ruleset(1, "mem")], 1)
    assert daemon.dispatched("cpu") == 2
    assert daemon.dispatched("mem") == 1
    # Deleted.
    daemon.load([{"event_criteria_id": 1, "rules": []}], 1)
    assert daemon.dispatched("mem") == 0
    # A line some worker is interested in (the any-check ruleset of account 7) but whose own
    # account has no ruleset is looked up, found wanting and said so.
    wait_for(lambda: f"metric {OTHER} cpu has no rules!" in daemon.log(), what="no-rules line")


def test_one_worker_per_metric(daemon):
    daemon.load([ruleset(20, "load")], 1)
    before = daemon.datapath()
    lines = "".join(f"M\tb1\t1700000000.{i:03d}\thost`mod`c_7_9`{UUID}\tload|MT{{i:{i}}}\tn\t{i}\n"
                    for i in range(40))
    assert daemon.post("/test/input", lines).json() == {"lines": 40, "trash": 0}
    after = daemon.datapath()
    deltas = sorted(after[t]["received"] - before.get(t, {}).get("received", 0)
                    for t in ("e:default/0", "e:default/1"))
    assert deltas == [0, 40]
