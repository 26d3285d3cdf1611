"""The web console over TLS in a real browser that presents client certificates: headless
Chromium with an NSS database holding the test CA and two client certificates, and the
AutoSelectCertificateForUrls policy choosing the operator's certificate for one listener and a
read-only one (read_cns) for the other. The operator acts; the read-only certificate sees every
page and gets the daemon's clear refusal for every action. The probes answer without a
certificate only on the listener that opts in, and reveal nothing else."""
import json
import os
import re
import time

import pytest
import requests
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from browser import Console, make_nss_db, start_browser
from certs import pki  # noqa: F401  (session fixture)
from conftest import Daemon, base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"
POLICY_DIR = "/etc/chromium/policies/managed"
READER = "someone-else"  # the common name of pki.other_client


def listener(port, pki, probes):  # noqa: F811
    return (f'<listener type="http" address="127.0.0.1" port="{port}" certificate_file="{pki.server_crt}"'
            f' key_file="{pki.server_key}" ca_file="{pki.ca}" allowed_cns="queltd-operator"'
            f' read_cns="{READER}"' + (' open_probes="true"' if probes else "") + "/>")


def install_policy(name, ports_and_cns):
    """Chromium on Linux reads managed policies from a fixed directory only: the file is written
    there for the module and removed afterwards."""
    rules = [json.dumps({"pattern": f"https://127.0.0.1:{port}", "filter": {"SUBJECT": {"CN": cn}}})
             for port, cn in ports_and_cns]
    made = [d for d in ("/etc/chromium/policies", POLICY_DIR) if not os.path.isdir(d)]
    os.makedirs(POLICY_DIR, exist_ok=True)
    path = os.path.join(POLICY_DIR, name)
    with open(path, "w") as f:
        json.dump({"AutoSelectCertificateForUrls": rules}, f)
    return path, made


@pytest.fixture(scope="module")
def tls(tmp_path_factory, pki, rabbitmq_node):  # noqa: F811
    work = str(tmp_path_factory.mktemp("web-console-tls"))
    operator_port, reader_port = free_port(), free_port()
    config = base_config(mq_port=rabbitmq_node.port, extra=(
        "<listeners>" + listener(operator_port, pki, True) + listener(reader_port, pki, False) +
        "</listeners>"))
    daemon = Daemon(work, config).start().wait_initialized()
    wait_for(lambda: "queltd ready for data." in daemon.log(), what="bus")
    home = os.path.join(work, "home")
    make_nss_db(home, pki.ca, [("operator", pki.client), ("reader", pki.other_client)])
    policy, made = install_policy(f"queltd-test-{os.getpid()}.json",
                            [(operator_port, "queltd-operator"), (reader_port, READER)])
    driver = None
    try:
        driver = start_browser(work, home=home)

        class Env:
            op = f"https://127.0.0.1:{operator_port}"
            ro = f"https://127.0.0.1:{reader_port}"
            shots = os.path.join(work, "screenshots")
            ui = Console(driver, op, shots)
            t = int(time.time())

            def request(self, method, path, cert=pki.client, base=None, **kw):
                return requests.request(method, (base or self.op) + path, cert=cert, verify=pki.ca,
                                        timeout=10, **kw)

            def feed(self, name, value):
                Env.t = max(Env.t + 1, int(time.time()))
                line = "\t".join(["M", "b1", f"{Env.t}.000", f"web01`mod`c_7_9`{UUID}", name, "n", str(value)])
                assert self.request("POST", "/test/input", data=line + "\n").json()["lines"] == 1

        env = Env()
        env.pki = pki
        env.daemon = daemon
        yield env
    finally:
        if driver:
            driver.quit()
        os.remove(policy)
        for d in reversed(made):
            os.rmdir(d)
        assert daemon.stop() == 0


def test_operator_acts_and_read_only_certificate_sees_every_page_and_is_refused_every_action(tls):
    # The operator's certificate acts through the console.
    r = tls.request("POST", "/rulesets", json=[{"event_criteria_id": 301, "account_id": 7, "check_uuid": UUID,
                                               "metric_name": "temp", "metric_type": "numeric",
                                               "rules": [{"criteria": "max value", "severity": 1, "value": "70"}]}])
    assert r.json() == {"rulesets": 1, "errors": 0}
    tls.feed("temp", 20)
    tls.feed("temp", 80)
    ui = tls.ui
    # The pages themselves ask for a certificate: loading them proves the browser presented it.
    ui.open("alerts")
    ui.wait(lambda d: d.find_elements(By.CSS_SELECTOR, "#alerts-body tr[data-signature]"), what="the raised row")
    assert ui.wait(lambda d: d.find_element(By.ID, "version").text, what="version").startswith("queltd ")
    ui.shot("tls-operator-alerts")
    ui.d.find_element(By.CSS_SELECTOR, "#alerts-body tr[data-signature] button.danger").click()
    text, cls = ui.message("Cleared the alert of temp")
    assert cls == "ok"
    ui.wait(lambda d: "Nothing is raised." in ui.text("#alerts-body"), timeout=3, what="cleared")

    # The read-only certificate sees every page and gets the daemon's refusal for every action.
    tls.feed("temp", 90)
    now = int(time.time())
    window = {"maintenance_id": 77, "severities": [1], "start_on": now + 3600, "stop_on": now + 7200,
              "account_id": 7, "maintenance_type": "check", "maintenance_item": 9}
    assert tls.request("POST", "/maintenance", json=[window]).json() == {"maintenance": 1, "errors": 0}

    # REST: every GET answers, every POST and DELETE is refused with the reason.
    reader = tls.pki.other_client
    for path in ("/alerts", "/maintenance", "/rulesets", "/brokers", "/cluster", "/version", "/stats.json"):
        assert tls.request("GET", path, cert=reader, base=tls.ro).status_code == 200, path
    for method, path in (("POST", "/rulesets"), ("POST", "/test/input"), ("DELETE", "/maintenance/77"),
                         ("POST", "/maintenance/leave"), ("POST", "/ruleset/clear/alert/301")):
        r = tls.request(method, path, cert=reader, base=tls.ro, data="[]")
        assert r.status_code == 403, (method, path)
        assert r.json() == {"error": f"the client certificate '{READER}' may only read: {method} is refused"}
    # A certificate of a CA the listener does not trust gets nothing, not even a read.
    with pytest.raises(requests.exceptions.SSLError):
        tls.request("GET", "/alerts", cert=tls.pki.foreign_client, base=tls.ro)

    ui = Console(tls.ui.d, tls.ro, tls.shots)
    ui.open("alerts")
    ui.wait(lambda d: d.find_elements(By.CSS_SELECTOR, "#alerts-body tr[data-signature]"), what="the raised row")
    ui.d.find_element(By.CSS_SELECTOR, "#alerts-body tr[data-signature] button.danger").click()
    text, cls = ui.message("may only read")
    assert cls == "error" and "403" in text and f"'{READER}' may only read: POST is refused" in text
    ui.shot("tls-reader-refused")
    assert tls.request("GET", "/alerts").json()["count"] == 1  # still raised

    ui.open("maintenance")
    row = ui.wait(lambda d: d.find_elements(By.CSS_SELECTOR, "#maint-body tr[data-id='77']"), what="window 77")[0]
    assert "starts in" in row.text
    row.find_element(By.CSS_SELECTOR, "button.danger").click()
    # The previous refusal stays shown until this one replaces it: wait for this one's words.
    ui.wait(lambda d: "DELETE is refused" in ui.text("#message"), what="the DELETE refusal")
    text, cls = ui.message("may only read")
    assert cls == "error" and "DELETE is refused" in text
    assert tls.request("GET", "/maintenance/77").json()["maintenance_id"] == 77

    form = ui.d.find_element(By.ID, "maint-form")
    Select(form.find_element(By.NAME, "maintenance_type")).select_by_value("account")
    form.find_element(By.NAME, "maintenance_item").send_keys("7")
    form.find_element(By.NAME, "account_id").send_keys("7")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    ui.wait(lambda d: "POST is refused" in ui.text("#message"), what="the POST refusal")
    text, cls = ui.message("may only read")
    assert cls == "error" and "POST is refused" in text
    assert len(tls.request("GET", "/maintenance").json()) == 1

    for page, ready in (("rulesets", "main tbody tr"), ("rulesets/301", "main .panel"),
                        ("brokers", "main tbody tr"), ("overview", "#overview-grid .tile")):
        ui.open(page)
        ui.wait(lambda d: d.find_elements(By.CSS_SELECTOR, ready), what=page)
        ui.shot("tls-reader-" + page.replace("/", "-"))
    # The refusals above are the browser's only failed loads; no script failed.
    errors = ui.console_errors()
    assert all(e["source"] == "network" and "status of 403" in e["message"] for e in errors), errors


def test_probes_answer_without_a_certificate_only_where_opted_in(tls):
    bare = lambda base, path: requests.get(base + path, verify=tls.pki.ca, timeout=10)  # noqa: E731
    health = bare(tls.op, "/health")
    assert health.status_code == 200 and health.json() == {"alive": True}
    ready = wait_for(lambda: (r := bare(tls.op, "/ready")).status_code == 200 and r, what="ready")
    assert ready.json() == {"ready": True}
    # Nothing else opens: not the version, not the alerts, not the console.
    for path in ("/version", "/alerts", "/ui/", "/stats.json"):
        assert bare(tls.op, path).status_code == 403, path
    # The other listener did not opt in: the probes ask for a certificate there.
    assert bare(tls.ro, "/health").status_code == 403
    assert bare(tls.ro, "/ready").status_code == 403
    version = tls.request("GET", "/version").json()["version"]
    assert re.fullmatch(r"[^.]+\.[0-9a-f]{40}\.\d+", version) or version.count(".") >= 2
