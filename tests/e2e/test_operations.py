"""What an operator runs around the daemon: the check commands on good and misspelled files (their
messages and exit statuses), the details of POST /rulesets and /maintenance, --help and
--version, the pid file, and the start-up lines that report unknown configuration names."""
import json
import os
import re
import signal
import subprocess
import time

import pytest
import requests

from conftest import QUELTD, SOURCE_DIR, base_config, free_port, wait_for
from test_console import console_session


def run(*args, cwd=None):
    p = subprocess.run([QUELTD, *args], capture_output=True, text=True, timeout=60, cwd=cwd)
    return p.returncode, p.stdout, p.stderr


def example(*parts):
    return os.path.join(SOURCE_DIR, "examples", *parts)


# ---- --check-config -------------------------------------------------------------------------------

def fake_certs(cwd):
    """The certificate files the example configurations name, empty, under cwd."""
    certs = cwd / "examples" / "certs"
    certs.mkdir(parents=True, exist_ok=True)
    for f in ("server.crt", "server.key", "ca.crt"):
        (certs / f).write_text("")


def test_check_config_on_shipped_misspelled_and_unusable_files(tmp_path):
    # The files the examples name must exist (from the directory the daemon would start in);
    # without them the check says so.
    shipped = ["queltd.conf", "cluster/node1.conf", "cluster/node2.conf", "cluster/node3.conf"]
    for name in shipped:
        status, out, _ = run("--check-config", example(name), cwd=tmp_path)
        assert status == 2, name
        assert "certificate_file 'examples/certs/server.crt': No such file or directory" in out, name
    fake_certs(tmp_path)
    for name in shipped:
        status, out, _ = run("--check-config", example(name), "--strict", cwd=tmp_path)
        assert status == 0, (name, out)
        assert out.strip().endswith("0 errors, 0 warnings"), name

    # Misspelled names: warnings with their line and the closest name; --strict fails on them.
    text = open(example("queltd.conf")).read()
    bad = (text.replace("<listeners>", "<listners>").replace("</listeners>", "</listners>")
               .replace('<rulesets batch_size=', '<rulesets batch_sise='))
    path = tmp_path / "bad.conf"
    path.write_text(bad)
    line_of = {m: bad[:bad.index(m)].count("\n") + 1 for m in ("<listners>", "batch_sise")}
    status, out, _ = run("--check-config", str(path), cwd=tmp_path)
    assert status == 0, out  # unknown names are warnings: the daemon would start
    assert (f"warning: unknown element <listners> at line {line_of['<listners>']}; "
            f"did you mean <listeners>?") in out
    assert (f"unknown attribute batch_sise of <rulesets> at line {line_of['batch_sise']}; "
            f"did you mean batch_size?") in out
    # What is inside an unknown element is not reported again.
    assert "<console>" not in out and "0 errors, 2 warnings" in out
    assert run("--check-config", str(path), "--strict", cwd=tmp_path)[0] == 1

    # Unusable values and unreadable files are errors.
    path = tmp_path / "values.conf"
    path.write_text(base_config(
        '<listeners><listener type="http" port="80a" insecure="loopbak"/>'
        '<console address="127.0.0.1" port="1" allow_remote="maybe"/></listeners>'
        '<clusters enabled="yes"/>'))
    status, out, _ = run("--check-config", str(path))
    assert status == 2, out
    assert "port '80a' is not an integer from 0 to 65535" in out
    assert "insecure 'loopbak' is not one of loopback" in out
    assert "allow_remote 'maybe' is not a boolean" in out
    assert "enabled" not in out  # "yes" is a boolean
    broken = tmp_path / "broken.conf"
    broken.write_text("<queltd><listeners></queltd>")
    status, out, _ = run("--check-config", str(broken))
    assert status == 2 and "cannot be loaded" in out and "broken.conf:1" in out
    other_root = tmp_path / "root.conf"
    other_root.write_text("<daemon/>")
    status, out, _ = run("--check-config", str(other_root))
    assert status == 2 and "the root element is <daemon>, not <queltd>" in out
    assert run("--check-config", str(tmp_path / "missing.conf"))[0] == 2


# ---- --check-rulesets, --check-maintenance --------------------------------------------------------

RULE = {"criteria": "max value", "severity": 2, "value": "90"}


def ruleset(ecid, rule=None, **changes):
    r = {"event_criteria_id": ecid, "account_id": 1, "metric_name": "cpu", "metric_type": "numeric",
         "rules": [dict(RULE, **(rule or {}))]}
    r.update(changes)
    return r


MISSPELLED_RULESETS = [
    ruleset(2100),
    ruleset(2101, {"windowing_fuction": "average", "windowing_duration": 300}),
    ruleset(2102, {"windowing_function": "avg", "windowing_duration": 300}),
    ruleset(2103, metric_type="numric"),
    ruleset(2104, {"criteria": "max valu"}),
    ruleset(2105, {"severity": 0}),
]


def window(mid, **changes):
    w = {"maintenance_id": mid, "maintenance_type": "account", "maintenance_item": 1,
         "severities": [1, 2], "start_on": 0, "stop_on": 2**64 - 1, "account_id": 1}
    w.update(changes)
    return w


def test_check_definitions_name_each_element_and_the_closest_word(tmp_path):
    status, out, _ = run("--check-rulesets", example("rulesets.json"))
    assert status == 0, out
    n = len(json.load(open(example("rulesets.json"))))
    assert out.count(": ok\n") == n and f"{n} rulesets, {n} ok, 0 with errors" in out
    status, out, _ = run("--check-maintenance", example("maintenance.json"))
    assert status == 0, out

    # Misspelled rulesets: each element's line, the closest word; a body that is not JSON.
    path = tmp_path / "rules.json"
    path.write_text(json.dumps(MISSPELLED_RULESETS))
    status, out, _ = run("--check-rulesets", str(path))
    assert status == 2, out
    lines = out.splitlines()
    assert lines[0] == "element 0 (id 2100): ok"
    assert ('element 1 (id 2101): error: unknown key "windowing_fuction" in rules[0]; '
            'did you mean "windowing_function"?') in lines
    assert ('element 2 (id 2102): error: unknown windowing_function "avg" in rules[0] '
            '(taken as "none"); did you mean "average"?') in lines
    assert 'element 3 (id 2103): error: unknown metric_type "numric"; did you mean "numeric"?' in lines
    assert ('element 4 (id 2104): error: rules[0]: unknown criteria "max valu" for a numeric '
            'ruleset; did you mean "max value"?') in lines
    assert any(line.startswith("element 5 (id 2105): error: rules[0]: severity") for line in lines)
    assert lines[-1].endswith("6 rulesets, 1 ok, 5 with errors")

    path.write_text('[{"event_criteria_id": 1}')
    status, out, _ = run("--check-rulesets", str(path))
    assert status == 2 and "not JSON" in out
    path.write_text('{"event_criteria_id": 1}')
    assert run("--check-rulesets", str(path))[0] == 2

    # Misspelled maintenance windows.
    path = tmp_path / "maint.json"
    bad = dict(window(3), stop_at=5)
    path.write_text(json.dumps([window(1), window(2, maintenance_type="acount"), bad,
                                window(4, severities=[1, 9])]))
    status, out, _ = run("--check-maintenance", str(path))
    assert status == 2, out
    assert "element 0 (id 1): ok" in out
    assert 'element 1 (id 2): error: unknown maintenance_type "acount"; did you mean "account"?' in out
    assert 'element 2 (id 3): error: unknown key "stop_at"; did you mean "stop_on"?' in out
    assert "element 3 (id 4): error: severities[1] is outside 1 to 5" in out


# ---- a served daemon: readiness, POST details, /metrics ------------------------------------------

def simple_stats(d):
    return requests.get(d.url + "/stats.json?format=simple", timeout=10).json()


class NotifySocket:
    """The service manager's end of sd_notify: a datagram socket the daemon writes its states to."""

    def __init__(self, path):
        import socket
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        self.path = path
        self.messages = []

    def receive(self):
        try:
            while True:
                self.messages.append(self.sock.recv(4096).decode())
        except OSError:
            pass
        return self.messages

    def seen(self, word):
        return any(word in m for m in self.receive())


def test_served_daemon_reports_readiness_load_details_and_metrics(tmp_path, daemon_factory):
    # Readiness and watchdog pings reach the service manager.
    notify = NotifySocket(str(tmp_path / "notify.sock"))
    port = free_port()
    d = daemon_factory(extra=f'<listeners><listener type="http" address="127.0.0.1" port="{port}" '
                             'insecure="loopback"/></listeners>')
    d.url = f"http://127.0.0.1:{port}"
    env = dict(os.environ, NOTIFY_SOCKET=notify.path, WATCHDOG_USEC="400000")
    d.stderr_file = open(d.stderr_path, "wb")
    d.proc = subprocess.Popen([QUELTD, "-D", "-D", "-c", d.config], env=env, cwd=d.workdir,
                              stdout=subprocess.DEVNULL, stderr=d.stderr_file)
    wait_for(lambda: notify.seen("READY=1"), what="READY=1")
    ready = next(m for m in notify.messages if "READY=1" in m)
    assert f"MAINPID={d.proc.pid}" in ready and "STATUS=queltd master." in ready
    # Readiness comes once the listeners answer.
    assert requests.get(d.url + "/stats.json", timeout=10).status_code == 200

    # POST /rulesets and /maintenance answer the details only when asked.
    body = json.dumps(MISSPELLED_RULESETS)
    # Without the parameter the reply is what it always was, byte for byte.
    r = requests.post(d.url + "/rulesets", data=body, timeout=10)
    assert r.status_code == 200
    assert r.text == '{\n  "rulesets": 3,\n  "errors": 3\n}\n'

    r = requests.post(d.url + "/rulesets?details=1", data=body, timeout=10)
    reply = r.json()
    assert reply["rulesets"] == 3 and reply["errors"] == 3
    by_index = {e["index"]: e for e in reply["details"]}
    assert sorted(by_index) == [1, 2, 3, 4, 5]  # element 0 is clean and left out
    # Loads keep accepting what they accepted: unknown keys and words are warnings there.
    assert "error" not in by_index[1] and by_index[1]["id"] == 2101
    assert by_index[1]["warnings"] == ['unknown key "windowing_fuction" in rules[0]; '
                                       'did you mean "windowing_function"?']
    assert "avg" in by_index[2]["warnings"][0] and "error" not in by_index[2]
    assert by_index[3]["error"] == 'unknown metric_type "numric"; did you mean "numeric"?'
    assert "max value" in by_index[4]["error"] and "severity" in by_index[5]["error"]
    # Counted: two unknown words per load of this body, two loads.
    assert simple_stats(d)["ruleset"]["unrecognised"] == 4

    body = json.dumps([window(1), window(2, maintenance_type="acount"), dict(window(3), stop_at=5)])
    r = requests.post(d.url + "/maintenance", data=body, timeout=10)
    assert r.text == '{\n  "maintenance": 2,\n  "errors": 1\n}\n'
    reply = requests.post(d.url + "/maintenance?details=1", data=body, timeout=10).json()
    assert reply["maintenance"] == 2 and reply["errors"] == 1
    assert reply["details"] == [
        {"index": 1, "id": 2, "error": 'unknown maintenance_type "acount"; did you mean "account"?'},
        {"index": 2, "id": 3, "warnings": ['unknown key "stop_at"; did you mean "stop_on"?']}]
    assert simple_stats(d)["maintenance"]["unrecognised"] == 2

    # The details are bounded.
    body = json.dumps([ruleset(5000 + i, metric_type="nope") for i in range(150)])
    reply = requests.post(d.url + "/rulesets?details=1", data=body, timeout=30).json()
    assert reply["errors"] == 150
    assert len(reply["details"]) == 101 and reply["details"][-1] == {"truncated": 50}

    # /metrics passes promtool and follows the conventions.
    requests.post(d.url + "/rulesets", data=json.dumps([ruleset(1)]), timeout=10)
    requests.post(d.url + "/test/input", data="", timeout=10)
    text = requests.get(d.url + "/metrics", timeout=10).text
    check = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                           text=True, timeout=60)
    assert check.returncode == 0, check.stdout + check.stderr

    types = dict(re.findall(r"^# TYPE (\S+) (\S+)$", text, re.M))
    helps = dict(re.findall(r"^# HELP (\S+) (.*)$", text, re.M))
    for name in ("process_cpu_seconds_total", "process_resident_memory_bytes", "process_open_fds",
                 "process_max_fds", "process_start_time_seconds", "process_virtual_memory_bytes"):
        assert name in types, name
    start = float(re.search(r"^process_start_time_seconds (\S+)$", text, re.M).group(1))
    assert abs(start - time.time()) < 3600
    assert int(re.search(r"^process_open_fds (\d+)$", text, re.M).group(1)) > 3
    assert all(n.startswith(("queltd_", "process_")) for n in types), \
        [n for n in types if not n.startswith(("queltd_", "process_"))]
    # Durations are histograms in seconds with buckets, so several daemons can be added up.
    assert types["queltd_tovi_http_request_latency_seconds"] == "histogram"
    buckets = re.findall(r'^queltd_tovi_http_request_latency_seconds_bucket\{app="queltd",le="([^"]+)"\} (\d+)$',
                         text, re.M)
    assert buckets[-1][0] == "+Inf" and int(buckets[-1][1]) >= 2
    counts = [int(n) for _, n in buckets]
    assert counts == sorted(counts)
    assert "summary" not in types.values()
    # HELP explains rather than repeating the path.
    assert helps["queltd_ruleset_current"] == "Rulesets held now."
    assert "/" not in helps["queltd_tovi_http_requests_total"]
    # The JSON statistics keep their names.
    # (three rulesets of the details' body, and this one)
    assert simple_stats(d)["ruleset"]["current"] == 4
    assert re.search(r'^queltd_ruleset_current\{app="queltd"\} 4$', text, re.M)

    wait_for(lambda: sum("WATCHDOG=1" in m for m in notify.receive()) >= 3, what="watchdog pings")
    assert d.stop() == 0
    assert notify.seen("STOPPING=1")


# ---- command line and process ---------------------------------------------------------------------

def test_help_version_and_usage(tmp_path):
    status, out, err = run("--help")
    assert status == 0 and err == ""
    readme = open(os.path.join(SOURCE_DIR, "README.md")).read()
    options = set(re.findall(r"^\| `(-{1,2}[a-zA-Z-]+)", readme, re.M))
    assert {"-c", "-D", "-d", "-l", "-M", "-p", "--check-config", "--check-rulesets"} <= options
    for option in options | {"-L", "--strict", "--check-maintenance", "--help", "--version"}:
        assert re.search(rf"^\s+{re.escape(option)}\b", out, re.M), option

    status, out, _ = run("--version")
    assert status == 0
    assert re.match(r"queltd \d+\.\d+\.\d+ \(\S+\)\ncommit [0-9a-f]{40}\nbuilt \d{4}-\d\d-\d\dT", out)

    # A start without -c still prints the usage.
    for args in ([], ["-D", "-x"], ["-p", str(tmp_path / "pid")], ["--strict"]):
        status, out, err = run(*args)
        assert status == 2, args
        assert err.endswith("<-c conffile> [-D] [-d]\n\n\t-c conffile\tthe configuration file to load\n"
                            "\t-D\t\trun in the foreground (don't daemonize)\n\t-d\t\tturn on debugging\n")
    assert not (tmp_path / "pid").exists()


def test_start_logs_version_and_unknown_names_and_pidfile_follows_the_daemon(tmp_path):
    config = tmp_path / "queltd.conf"
    console = free_port()
    config.write_text(base_config('<listeners><listener type="http" port="0" insecure="loopback" '
                                  f'idle_timout="5"/><console address="127.0.0.1" port="{console}"/></listeners>'
                                  '<logs><outlet name="f" type="file" path="queltd.log"/>'
                                  '<log name="error" outlets="f"/><log name="notice" outlets="f"/></logs>'))
    pidfile = tmp_path / "queltd.pid"
    # Without -D: the command returns once start-up succeeded, and the pid file names the process
    # to signal.
    status = subprocess.run([QUELTD, "-c", str(config), "-p", str(pidfile)], cwd=tmp_path,
                            timeout=60).returncode
    assert status == 0
    pid = int(pidfile.read_text())
    try:
        log = tmp_path / "queltd.log"
        wait_for(lambda: log.exists() and "queltd initialized" in log.read_text(), what="started")
        text = log.read_text()
        assert re.search(r"queltd master\.[0-9a-f]{40}\.\d+ starting with", text)
        assert "unknown attribute idle_timout of <listener>" in text and "did you mean idle_timeout?" in text
        version = re.search(r"queltd (master\.\S+) starting", text).group(1)
        assert console_session(console, ["show version"])[0].strip() == f"queltd {version}"
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: not pidfile.exists(), what="the pid file removed at a clean stop")
    finally:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
