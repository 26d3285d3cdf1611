"""The daemon against a hostile management API and hostile REST bodies: answers that inflate or
never end, pages whose ids keep rising, bodies of millions of bad elements, ids beyond 64 bits and
NUL characters. Every server and client is on 127.0.0.1; every fault is bounded in size and time."""
import gzip
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"


def ruleset(ecid, **extra):
    r = {"event_criteria_id": ecid, "account_id": 7, "check_uuid": UUID, "metric_name": f"m{ecid}",
         "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 1, "value": "10"}]}
    r.update(extra)
    return r


def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class HostileApi:
    """Answers every API path with what `answer(path, n)` returns: bytes (sent gzip-encoded when
    `gzipped`), or the text "endless" for a body that never ends."""

    def __init__(self, answer):
        self.paths = []
        self.lock = threading.Lock()
        api = self

        class Handler(BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                with api.lock:
                    api.paths.append(self.path)
                    n = sum(1 for p in api.paths if p.split("?")[0] == self.path.split("?")[0])
                body, gzipped = answer(self.path, n)
                try:
                    if body == "endless":
                        self.send_response(200)
                        self.send_header("Content-Type", "application/json")
                        self.end_headers()
                        chunk = b" " * 65536
                        deadline = time.monotonic() + 30
                        while time.monotonic() < deadline:
                            self.wfile.write(chunk)
                        return
                    self.send_response(200)
                    if gzipped:
                        self.send_header("Content-Encoding", "gzip")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def asked(self, prefix):
        with self.lock:
            return [p for p in self.paths if p.startswith(prefix)]

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


def test_api_answers_are_bounded_and_rising_ids_stop_at_the_limit(daemon_factory, rabbitmq_node):  # noqa: F811
    limit = 1 << 20
    inflating = gzip.compress(b"[" + b",".join([b"{}"] * (1 << 20)) + b"]")  # 3 MiB from a few KiB
    spaces = gzip.compress(b" " * (4 << 20))

    def answer(path, n):
        if path.startswith("/v2/super_broker"):
            return inflating, True
        if path.startswith("/v2/super_maintenance"):
            return ("endless", False) if n == 1 else (b"[]", False)
        if n == 1:
            return spaces, True  # once taken as an empty page
        start = int(path.split("from_event_criteria_id=")[1].split("&")[0])
        return json.dumps([ruleset(i) for i in range(start + 100, start + 110)]).encode(), False

    api = HostileApi(answer)
    try:
        rest_port = free_port()
        extra = (f'<listeners><listener type="http" address="127.0.0.1" port="{rest_port}"'
                 ' insecure="loopback"/></listeners>'
                 f'<orvane><api max_answer_bytes="{limit}"><base>http://127.0.0.1:{api.port}</base>'
                 '<token>t</token><rulesets batch_size="10"/></api>'
                 '<state><rulesets max_held="35"/></state></orvane>')
        d = daemon_factory(extra=extra, mq_port=rabbitmq_node.port).start().wait_initialized()
        wait_for(lambda: "Finished bulk ruleset fetch." in d.log()
                 and "Finished bulk maintenance fetch." in d.log(), timeout=60,
                 what="both loads to end\n" + d.log()[-3000:])
        log = d.log()
        refused = f"API: answer larger than {limit} bytes refused"
        base = f"http://127.0.0.1:{api.port}"
        # Each failure names what failed; none is taken as a page.
        assert f'{refused} url="{base}/v2/super_broker?account_id=1"' in log
        assert (f'{refused} url="{base}/v2/super_rule_set?from_event_criteria_id=1&size=10'
                '&account_id=1"') in log
        assert f'{refused} url="{base}/v2/super_maintenance?from_maintenance_id=1&' in log
        froms = [int(p.split("from_event_criteria_id=")[1].split("&")[0])
                 for p in api.asked("/v2/super_rule_set")]
        assert froms[:2] == [1, 1], froms
        # Ids that keep rising stop at the limit of held rulesets; the refusals are no errors.
        assert len(froms) <= 6, froms
        assert "rulesets refused: the registry holds the most allowed (35)" in log
        stats = requests.get(f"http://127.0.0.1:{rest_port}/stats.json",
                             params={"format": "simple"}, timeout=10).json()
        assert stats["ruleset"]["over_limit"] == 5 and stats["ruleset"]["current"] == 35
        assert stats["api"]["oversized"] >= 3
        assert stats["api"]["rulesets"]["errors"] == 1  # the oversized answer, nothing else
        assert log.count("ruleset has no event_criteria_id") == 0
        assert d.stop() == 0
    finally:
        api.stop()


@pytest.fixture
def plain(daemon_factory):
    port = free_port()
    extra = (f'<listeners max_body="{20 << 20}"><listener type="http" address="127.0.0.1"'
             f' port="{port}" insecure="loopback"/></listeners>')
    d = daemon_factory(extra=extra).start().wait_initialized()

    class Client:
        daemon = d
        base = f"http://127.0.0.1:{port}"

        def post(self, path, data, timeout=120):
            body = data if isinstance(data, (bytes, str)) else json.dumps(data)
            return requests.post(self.base + path, data=body, timeout=timeout)

        def get(self, path, **params):
            return requests.get(self.base + path, params=params, timeout=30)

    yield Client()


def test_big_bad_bodies_cost_what_they_keep_and_log_a_handful_of_lines(plain):
    d = plain.daemon
    before = peak_rss_kb(d.proc.pid)
    n = 4 * 1024 * 1024 // 3  # a 4 MiB body of "{}" elements
    r = plain.post("/rulesets", "[" + ",".join(["{}"] * n) + "]")
    assert r.status_code == 200
    assert r.text == f'{{\n  "rulesets": -1,\n  "errors": {n}\n}}\n'  # byte for byte
    grown_mb = (peak_rss_kb(d.proc.pid) - before) / 1024
    assert grown_mb < 300, f"peak grew by {grown_mb:.0f} MB for a 4 MiB body"
    log = d.log()
    assert log.count("ruleset has no event_criteria_id") == 10
    assert f"{n - 10} more refused rulesets in this request, not logged one by one" in log
    stats = plain.get("/stats.json", format="simple").json()
    assert stats["ruleset"]["rejected"] == n

    m = 2 * 1024 * 1024 // 3
    r = plain.post("/maintenance", "[" + ",".join(["{}"] * m) + "]")
    assert r.text == f'{{\n  "maintenance": 0,\n  "errors": {m}\n}}\n'

    # Cut short, malformed, trailing bytes: refused whole, nothing loaded.
    for body, reason in (("[" + json.dumps(ruleset(1)) + ",{", "unexpected end of data"),
                         ("[" + json.dumps(ruleset(1)) + "]x", "trailing data after the document"),
                         ("[{'a': 1}]", "object property name expected")):
        r = plain.post("/rulesets", body)
        assert r.status_code == 400 and r.json() == {"error": reason}
    assert json.loads(plain.get("/rulesets", type="ecid_only").text) == []
    assert d.stop() == 0


def test_ids_beyond_64_bits_and_nul_characters_are_errors(plain):
    top = 2**64 - 1
    body = json.dumps([ruleset(top), ruleset(2**64), ruleset(10**40),
                       ruleset(2, metric_name="nul\u0000tail"),
                       ruleset(3, filter="and(" + "a" * 5000 + ":b)")])
    r = plain.post("/rulesets", body)
    assert r.json() == {"rulesets": 1, "errors": 4}
    assert plain.get(f"/ruleset/{top}").json()["name"] == f"m{top}"
    for ecid in (2, 3):
        assert plain.get(f"/ruleset/{ecid}").status_code == 500

    now = int(time.time())
    window = {"maintenance_type": "host", "severities": [1], "start_on": now, "stop_on": now + 60,
              "account_id": 7}
    r = plain.post("/maintenance", json.dumps([
        dict(window, maintenance_id=2**64, maintenance_item="web01"),
        dict(window, maintenance_id=5, maintenance_item="web\u000001"),
        dict(window, maintenance_id=6, maintenance_item="web01")]))
    assert r.json() == {"maintenance": 1, "errors": 2}
    assert plain.get("/maintenance/5").text == "null\n"
    assert plain.daemon.stop() == 0
