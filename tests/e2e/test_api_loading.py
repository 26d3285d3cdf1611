"""Rulesets and maintenance windows loaded from the reference management API (scripts/reference-api)
by the real daemon when it connects to a private RabbitMQ node: paging, an API that is down and
then fails in every way, windows from the API holding back an alert, once_at, one load per kind
after a bus restart, and the standalone mode without an API."""
import json
import os
import subprocess
import sys
import time

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import SOURCE_DIR, base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"
EXCHANGE, ROUTE = "vask.alerts", "vask.alerts.sev"
TOKEN = "t" * 120  # longer than any fixed header buffer: it must arrive whole


def ruleset(ecid, account=7, **extra):
    r = {"event_criteria_id": ecid, "account_id": account, "check_uuid": UUID,
         "metric_name": f"m{ecid}", "metric_type": "numeric",
         "rules": [{"criteria": "max value", "severity": 1, "value": "10"}]}
    r.update(extra)
    return r


def window(wid, item, kind="metric", account=7):
    now = int(time.time())
    return {"maintenance_id": wid, "maintenance_type": kind, "maintenance_item": item,
            "severities": [1, 2, 3, 4, 5], "start_on": now - 60, "stop_on": now + 3600,
            "account_id": account}


class RefApi:
    def __init__(self, root, port):
        self.root, self.port = root, port
        self.proc = None
        for d in ("rulesets", "maintenance"):
            os.makedirs(os.path.join(root, d), exist_ok=True)

    def write(self, kind, items):
        with open(os.path.join(self.root, kind, "data.json"), "w") as f:
            json.dump(items, f)

    def start(self, *faults):
        args = [sys.executable, os.path.join(SOURCE_DIR, "scripts", "reference-api"), "--data",
                self.root, "--port", str(self.port), "--token", TOKEN]
        for fault in faults:
            args += ["--fault", json.dumps(fault)]
        self.log = open(os.path.join(self.root, "requests.log"), "wb")
        self.proc = subprocess.Popen(args, stderr=self.log, stdout=subprocess.DEVNULL)
        wait_for(lambda: "serving" in open(self.log.name).read(), what="reference API")
        return self

    def requests(self, path_prefix):
        r = requests.get(f"http://127.0.0.1:{self.port}/_requests", timeout=10).json()
        return [e for e in r if e["path"].startswith(path_prefix)]

    def stop(self):
        if self.proc:
            self.proc.terminate()
            self.proc.wait()
            self.log.close()


@pytest.fixture
def api(tmp_path):
    a = RefApi(str(tmp_path / "api"), free_port())
    yield a
    a.stop()


def start_daemon(daemon_factory, pki, rabbitmq_node, api_section):  # noqa: F811
    port = free_port()
    extra = (f'<listeners><listener type="http" address="127.0.0.1" port="{port}"'
             f' certificate_file="{pki.server_crt}" key_file="{pki.server_key}" ca_file="{pki.ca}"/>'
             '</listeners><accounts exclude="true"><account id="99"/></accounts>' + api_section)
    config = base_config(mq_port=rabbitmq_node.port, extra=extra).replace(
        "<heartbeat>10</heartbeat>",
        f'<heartbeat>10</heartbeat><exchange name="{EXCHANGE}" type="topic" durable="true"/>')
    d = daemon_factory(config_text=config).start().wait_initialized()

    class Client:
        daemon = d
        log = d.log
        base = f"https://127.0.0.1:{port}"

        def get(self, path, **params):
            return requests.get(self.base + path, params=params, cert=pki.client, verify=pki.ca,
                                timeout=10)

        def post(self, path, body):
            data = body if isinstance(body, str) else json.dumps(body)
            return requests.post(self.base + path, data=data, cert=pki.client, verify=pki.ca,
                                 timeout=10)

        def ids(self):
            return sorted(json.loads(self.get("/rulesets", type="ecid_only").text))

        def stats(self):
            return self.get("/stats.json", format="simple").json()

        def finished(self, kind):
            return self.log().count(f"Finished bulk {kind} fetch.")

    return Client()


def api_section(port, rulesets="", maint=""):
    return (f"<orvane><api><base>http://127.0.0.1:{port}</base><token>{TOKEN}</token>"
            f'<rulesets batch_size="7" {rulesets}/><maint_windows batch_size="7" {maint}/>'
            "</api></orvane>")


def froms(entries, key):
    return [int(e["path"].split(key + "=")[1].split("&")[0]) for e in entries]


def test_paged_loads_survive_an_api_down_then_failing_and_windows_hold_alerts(
        daemon_factory, pki, rabbitmq_node, api):  # noqa: F811
    # Rulesets 1..20 and a malformed 21; 8..14 belong to an excluded account, so the whole second
    # page loads nothing. Window 100 holds back ruleset 3.
    api.write("rulesets", [ruleset(i, account=99 if 8 <= i <= 14 else 7) for i in range(1, 21)]
              + [{"event_criteria_id": 21, "metric_name": "m21", "rules": [{}]}])
    api.write("maintenance", [window(i, 1000 + i, kind="account", account=55) for i in range(1, 10)]
              + [window(100, 3)])

    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
    queue = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(queue, EXCHANGE, routing_key=ROUTE)

    # The API is down when the daemon connects to the bus.
    c = start_daemon(daemon_factory, pki, rabbitmq_node, api_section(api.port))
    wait_for(lambda: c.log().count("API: curl failed[7/0]") >= 2, what="failed calls")
    assert c.finished("ruleset") == 0
    api.start({"status": 500, "requests": 3}, {"body": "malformed"}, {"body": "cut"},
              {"body": "object"}, {"body": "empty"})
    wait_for(lambda: c.finished("ruleset") and c.finished("maintenance"), timeout=30,
             what="both bulk loads\n" + c.log()[-3000:])

    assert c.ids() == [i for i in range(1, 21) if not 8 <= i <= 14]
    assert c.get("/maintenance/100").json()["maintenance_item"] == "3"
    assert c.get("/maintenance/9").json()["maintenance_id"] == 9
    # Each page asked for once it came through; failures repeat the same page, nothing loops.
    ok = [e for e in api.requests("/v2/super_rule_set") if e.get("items") is not None and not e.get("fault")]
    assert froms(ok, "from_event_criteria_id") == [1, 8, 15, 22]
    ok = [e for e in api.requests("/v2/super_maintenance") if e.get("items") is not None and not e.get("fault")]
    assert froms(ok, "from_maintenance_id") == [1, 8, 101]
    assert all(e["token"] and e["app"] == "quelt" for e in api.requests("/v2/"))
    total = len(api.requests("/v2/"))
    time.sleep(1.2)  # a chain that kept going would ask again within the 1 s back-off
    assert len(api.requests("/v2/")) == total, "a load kept asking after it finished"

    s = c.stats()["api"]
    assert s["rulesets"]["loads"] == 1 and s["maintenance"]["loads"] == 1
    assert s["rulesets"]["items"] == 13 and s["maintenance"]["items"] == 10
    assert s["failures"] >= 7  # two refused connections, three 500s, a malformed and a cut body
    assert s["rulesets"]["errors"] + s["maintenance"]["errors"] >= 9

    # Window 100 holds back ruleset 3; ruleset 4 alerts.
    line = "M\tb1\t{t}.000\tweb01`mod`c_7_9`" + UUID + "\tm{ecid}\tn\t50\n"
    t = int(time.time())
    for ecid in (3, 4):
        r = c.post("/test/input", line.format(t=t, ecid=ecid))
        assert r.json() == {"lines": 1, "trash": 0}
    got = []

    def more():
        method, _, body = ch.basic_get(queue, auto_ack=True)
        if method:
            got.append(json.loads(body)["sev"])
        return got

    wait_for(more, what="an alert")
    time.sleep(0.5)
    more()
    assert [a["self_event_criteria_id"] for a in got] == [4]
    conn.close()
    assert c.daemon.stop() == 0


def test_once_at_and_a_bus_restart_gives_one_load_per_kind(daemon_factory, pki, rabbitmq_node, api):  # noqa: F811
    api.write("rulesets", [ruleset(i) for i in range(1, 30)])
    api.write("maintenance", [window(i, 1000 + i, kind="account") for i in range(1, 4)])
    api.start()
    c = start_daemon(daemon_factory, pki, rabbitmq_node,
                     api_section(api.port, rulesets='once_at="15"'))
    wait_for(lambda: c.finished("ruleset") and c.finished("maintenance"), what="bulk loads")
    assert c.ids() == list(range(15, 22))
    assert froms(api.requests("/v2/super_rule_set"), "from_event_criteria_id") == [15]

    rabbitmq_node.restart()
    wait_for(lambda: c.finished("ruleset") == 2 and c.finished("maintenance") == 2, timeout=60,
             what="loads after the restart\n" + c.log()[-3000:])
    time.sleep(1.5)
    assert c.finished("ruleset") == 2 and c.finished("maintenance") == 2
    assert froms(api.requests("/v2/super_rule_set"), "from_event_criteria_id") == [15, 15]
    assert froms(api.requests("/v2/super_maintenance"), "from_maintenance_id") == [1, 4, 1, 4]
    assert c.daemon.stop() == 0


def test_standalone_without_an_api_loads_over_rest(daemon_factory, pki, rabbitmq_node):  # noqa: F811
    c = start_daemon(daemon_factory, pki, rabbitmq_node, "")
    wait_for(lambda: "queltd ready for data." in c.log(), what="consumers")
    wait_for(lambda: c.log().count("No API base in config!") >= 2, what="both loaders declining")
    r = c.post("/rulesets", [ruleset(5)])
    assert r.json() == {"rulesets": 1, "errors": 0}
    assert c.ids() == [5]
    assert "starting rulesets fetch" not in c.log() and "starting maint fetch" not in c.log()
    assert c.stats()["api"]["calls"] == 0
    assert c.daemon.stop() == 0


def test_the_example_configuration_loads_the_example_data(tmp_path, rabbitmq_node):  # noqa: F811
    """What the quick start runs: examples/queltd.conf against scripts/reference-api serving
    examples/api (ports moved to free ones, certificates made afresh)."""
    from conftest import Daemon
    certs = str(tmp_path / "certs")
    subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make-certs"), certs], check=True,
                   capture_output=True, timeout=120)
    api_port, rest_port = free_port(), free_port()
    with open(os.path.join(SOURCE_DIR, "examples", "queltd.conf")) as f:
        text = f.read()
    text = (text.replace("examples/certs/", certs + "/").replace("8780", str(api_port))
            .replace("8443", str(rest_port)).replace("<port>5672<", f"<port>{rabbitmq_node.port}<")
            .replace('port="32322"', f'port="{free_port()}"').replace('port="8700"', f'port="{free_port()}"'))
    api = subprocess.Popen([sys.executable, os.path.join(SOURCE_DIR, "scripts", "reference-api"),
                            "--data", os.path.join(SOURCE_DIR, "examples", "api"),
                            "--port", str(api_port)], stderr=subprocess.DEVNULL)
    d = Daemon(str(tmp_path), text).start()
    try:
        d.wait_initialized()
        wait_for(lambda: "Finished bulk ruleset fetch." in d.log()
                 and "Finished bulk maintenance fetch." in d.log(), what="both loads\n" + d.log()[-2000:])
        cert = (f"{certs}/client.crt", f"{certs}/client.key")
        get = lambda path: requests.get(f"https://127.0.0.1:{rest_port}{path}", cert=cert,
                                        verify=f"{certs}/ca.crt", timeout=10)
        with open(os.path.join(SOURCE_DIR, "examples", "rulesets.json")) as f:
            expected = sorted(r["event_criteria_id"] for r in json.load(f))
        assert sorted(json.loads(get("/rulesets?type=ecid_only").text)) == expected
        assert get("/maintenance/1001").json()["maintenance_item"] == "db01.example.net"
    finally:
        api.terminate()
        api.wait()
        assert d.stop() == 0


def test_a_store_with_the_api_is_a_cache_pruned_by_the_first_complete_load(
        daemon_factory, pki, rabbitmq_node, api):  # noqa: F811
    store = '<store file="queltd.db" with_api="true"/></orvane>'
    section = api_section(api.port).replace("</orvane>", store)
    api.write("rulesets", [ruleset(i) for i in (1, 2, 3)])
    api.write("maintenance", [window(31, 1), window(32, 2)])
    api.start()
    c = start_daemon(daemon_factory, pki, rabbitmq_node, section)
    wait_for(lambda: c.finished("ruleset") and c.finished("maintenance"), timeout=30, what="loads")
    assert c.post("/rulesets", [ruleset(9)]).json() == {"rulesets": 1, "errors": 0}
    assert c.ids() == [1, 2, 3, 9]
    assert c.stats()["store"]["enabled"] == 1
    c.daemon.proc.kill()
    c.daemon.proc.wait()

    # The API is down at the start: the daemon alerts from what it last knew.
    api.stop()
    api.write("rulesets", [ruleset(1), ruleset(3, metric_name="m3b")])
    api.write("maintenance", [window(32, 2)])
    c = start_daemon(daemon_factory, pki, rabbitmq_node, section)
    assert c.ids() == [1, 2, 3, 9]
    assert c.get("/maintenance/31").json()["maintenance_id"] == 31
    wait_for(lambda: "API: curl failed" in c.log(), what="a failed call")
    assert c.ids() == [1, 2, 3, 9]
    # Once the API answers, its first complete load drops what it no longer has (not REST's 9).
    api.start()
    wait_for(lambda: c.finished("ruleset") and c.finished("maintenance"), timeout=30, what="loads")
    wait_for(lambda: c.ids() == [1, 3, 9], what="the cache pruned")
    assert c.get("/ruleset/3").json()["name"] == "m3b"
    assert c.get("/maintenance/31").json() is None and c.get("/maintenance/32").json() is not None
    assert c.get("/ruleset/source/9").json()["source"] == "rest"
    # Without with_api the store is left alone where an API is configured.
    c.daemon.stop()
    c = start_daemon(daemon_factory, pki, rabbitmq_node,
                     section.replace(' with_api="true"', ""))
    assert "store" not in c.stats()
    assert "not used: the management API is the source" in c.log()
