"""The web console in a real browser (headless Chromium through Selenium) against the real daemon
on a loopback listener and a private RabbitMQ node: an alert raised by a metric line shows on the
Alerts page and its clear removes it; the clear action announces a clear on the bus; a window
created from the Maintenance page holds the next change back and ending it from the page
announces it; every other page renders what the daemon knows; a lost daemon raises a banner that
goes once it answers again. One browser for the module; screenshots land in the module's
temporary directory."""
import json
import os
import time

import pika
import pytest
import requests
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select

from browser import Console, start_browser
from conftest import Daemon, base_config, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)

UUID = "11111111-2222-3333-4444-555555555555"
EXCHANGE, ROUTE = "vask.alerts", "vask.alerts.sev"


def config(rest_port, mq_port):
    return base_config(mq_port=mq_port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest_port}" insecure="loopback"/>'
        '</listeners>')).replace(
        "<heartbeat>10</heartbeat>",
        f'<heartbeat>10</heartbeat><exchange name="{EXCHANGE}" type="topic" durable="true"/>')


class Env:
    """The daemon, a consumer of its alerts, REST and the browser."""

    def __init__(self, workdir, node):
        self.workdir, self.node = workdir, node
        self.port = free_port()
        conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", node.port, heartbeat=0))
        self.ch = conn.channel()
        self.conn = conn
        self.ch.exchange_declare(EXCHANGE, exchange_type="topic", durable=True)
        self.queue = self.ch.queue_declare("", exclusive=True).method.queue
        self.ch.queue_bind(self.queue, EXCHANGE, routing_key=ROUTE)
        self.start()
        self.t = int(time.time()) - 3600

    def start(self):
        self.daemon = Daemon(self.workdir, config(self.port, self.node.port)).start().wait_initialized()
        wait_for(lambda: "queltd ready for data." in self.daemon.log(), what="bus")
        self.base = f"http://127.0.0.1:{self.port}"

    def post(self, path, body):
        r = requests.post(self.base + path, data=body if isinstance(body, str) else json.dumps(body), timeout=10)
        assert r.status_code == 200, r.text
        return r.json()

    def get(self, path):
        return requests.get(self.base + path, timeout=10).json()

    def load(self, ecid, name, rules):
        r = self.post("/rulesets", [{"event_criteria_id": ecid, "account_id": 7, "check_uuid": UUID,
                                     "metric_name": name, "metric_type": "numeric", "rules": rules}])
        assert r == {"rulesets": 1, "errors": 0}

    def feed(self, name, value, host="web01"):
        # Lines carry the time they are sent (strictly increasing): maintenance judges a change
        # by its line's time.
        self.t = max(self.t + 1, int(time.time()))
        line = "\t".join(["M", "b1", f"{self.t}.000", f"{host}`mod`c_7_9`{UUID}", name, "n", str(value)])
        assert self.post("/test/input", line + "\n") == {"lines": 1, "trash": 0}

    def alerts(self, n, timeout=15):
        """The next n alert documents' "sev" members; then checks that none follow."""
        got = []

        def more():
            method, _, body = self.ch.basic_get(self.queue, auto_ack=True)
            if method:
                got.append(json.loads(body)["sev"])
            return len(got) >= n
        wait_for(more, timeout, what=f"{n} alerts (got {got})")
        time.sleep(0.3)
        assert self.ch.basic_get(self.queue, auto_ack=True)[0] is None, "more alerts than expected"
        return got


@pytest.fixture(scope="module")
def env(tmp_path_factory, rabbitmq_node):  # noqa: F811
    work = str(tmp_path_factory.mktemp("web-console"))
    e = Env(work, rabbitmq_node)
    driver = start_browser(work)
    e.ui = Console(driver, e.base, os.path.join(work, "screenshots"))
    yield e
    driver.quit()
    e.conn.close()
    assert e.daemon.stop() == 0


def alert_rows(ui):
    return ui.d.find_elements(By.CSS_SELECTOR, "#alerts-body tr[data-signature]")


def row_for(ui, name):
    for row in alert_rows(ui):
        if row.get_attribute("data-signature").endswith(f"`{name}|ST[]"):
            return row
    return None


def test_alert_appears_live_shows_history_and_goes_with_its_clear(env):
    ui = env.ui
    env.load(101, "cpu.busy", [{"criteria": "max value", "severity": 1, "value": "90"},
                               {"criteria": "max value", "severity": 3, "value": "50"}])
    env.load(102, "disk.used", [{"criteria": "max value", "severity": 2, "value": "80"}])
    env.feed("cpu.busy", 10)
    env.feed("disk.used", 10)
    env.alerts(2)  # the first clears
    ui.open("alerts")
    ui.wait(lambda d: "Nothing is raised." in ui.text("#alerts-body"), what="empty list")

    env.feed("cpu.busy", 60)
    env.feed("disk.used", 95)
    # Refreshed every 2 s: both rows within 3 s of the lines, most severe first, coloured.
    ui.wait(lambda d: len(alert_rows(ui)) == 2, timeout=3, what="two rows")
    rows = alert_rows(ui)
    assert [r.get_attribute("class") for r in rows] == ["row-sev-2", "row-sev-3"]
    cells = rows[1].find_elements(By.TAG_NAME, "td")
    assert cells[0].find_element(By.CSS_SELECTOR, ".sev.sev-3").text == "3"
    assert "cpu.busy" in cells[3].text and UUID in cells[3].text
    assert cells[5].text == "web01" and cells[6].text == "b1" and cells[7].text == "60"
    assert "101" in cells[2].text and "account 7" in cells[2].text
    assert "2 raised streams" in ui.text("#alerts-summary")
    env.alerts(2)

    # The filters narrow the list the daemon sends.
    q = ui.d.find_element(By.NAME, "q")
    q.send_keys("DISK")
    q.submit()
    ui.wait(lambda d: len(alert_rows(ui)) == 1 and row_for(ui, "disk.used"), what="filtered list")
    ui.d.find_element(By.CSS_SELECTOR, "button[type=reset]").click()
    ui.wait(lambda d: len(alert_rows(ui)) == 2, what="unfiltered list")

    # The row's history: the ruleset's record of the stream's changes.
    row_for(ui, "cpu.busy").find_element(By.XPATH, ".//button[text()='History']").click()
    panel = ui.visible(By.ID, "history-panel")
    ui.wait(lambda d: len(panel.find_elements(By.CSS_SELECTOR, "tbody tr")) == 2, what="history rows")
    history = [r.text for r in panel.find_elements(By.CSS_SELECTOR, "tbody tr")]
    assert "3" in history[0] and "60" in history[0] and history[1].startswith(time.strftime("%Y"))
    ui.shot("alerts")

    # A line that clears the metric takes its row away.
    env.feed("cpu.busy", 20)
    ui.wait(lambda d: row_for(ui, "cpu.busy") is None, timeout=3, what="cleared row gone")
    assert env.alerts(1)[0]["self_priority"] == 2147483647

    # The clear action clears the stream on the daemon, which announces it.
    row_for(ui, "disk.used").find_element(By.XPATH, ".//button[text()='Clear']").click()
    text, cls = ui.message("Cleared the alert of disk.used")
    assert cls == "ok"
    ui.wait(lambda d: not alert_rows(ui), timeout=3, what="list empty after clear")
    cleared = env.alerts(1)[0]
    assert cleared["self_event_criteria_id"] == 102 and cleared["rule"]["rule"] == "clear"

    assert not ui.console_errors()


def test_window_from_the_form_holds_a_change_ending_it_announces_it_and_other_pages_render(env):
    ui = env.ui
    env.load(201, "mem.used", [{"criteria": "max value", "severity": 2, "value": "80"}])
    env.feed("mem.used", 10, host="db7")
    env.alerts(1)
    ui.open("maintenance")
    form = ui.d.find_element(By.ID, "maint-form")
    Select(form.find_element(By.NAME, "maintenance_type")).select_by_value("host")
    form.find_element(By.NAME, "maintenance_item").send_keys("db7")
    form.find_element(By.NAME, "account_id").send_keys("7")
    form.find_element(By.NAME, "maintenance_id").send_keys("4242")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    text, cls = ui.message("Window 4242 created")
    assert cls == "ok", text
    row = ui.wait(lambda d: d.find_elements(By.CSS_SELECTOR, "#maint-body tr[data-id='4242']"), what="row")[0]
    assert "host db7" in row.text and "active" in row.text and "nothing" in row.text
    live = env.get("/maintenance/4242")
    assert live["maintenance_type"] == "host" and live["severities"] == [1, 2, 3]

    # The raise is held back: nothing on the bus, and the window names the ruleset it holds.
    env.feed("mem.used", 95, host="db7")
    time.sleep(0.5)
    leaked = env.ch.basic_get(env.queue, auto_ack=True)
    assert leaked[0] is None, leaked[2]
    ui.wait(lambda d: "ruleset 201" in d.find_element(By.CSS_SELECTOR, "#maint-body tr[data-id='4242']").text,
            timeout=8, what="holding ruleset 201")
    ui.shot("maintenance")

    # Ending it from the page announces what it held, marked as leaving maintenance.
    ui.d.find_element(By.CSS_SELECTOR, "#maint-body tr[data-id='4242'] button.danger").click()
    text, cls = ui.message("Window 4242 ended")
    assert cls == "ok" and "ruleset 201" in text
    raised = env.alerts(1)[0]
    assert raised["self_event_criteria_id"] == 201 and raised["self_priority"] == 2
    assert raised["leaving_maintenance"] is True
    ui.wait(lambda d: not d.find_elements(By.CSS_SELECTOR, "#maint-body tr[data-id='4242']"), what="row gone")
    assert env.get("/maintenance/4242") is None

    # A window the daemon refuses (it ends before it starts) shows the refusal.
    form = ui.d.find_element(By.ID, "maint-form")
    form.find_element(By.NAME, "maintenance_item").send_keys("9")
    form.find_element(By.NAME, "account_id").send_keys("7")
    stop = form.find_element(By.NAME, "stop")
    ui.d.execute_script("arguments[0].value = '2001-01-01T00:00'", stop)
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    text, cls = ui.message("must stop after it starts")
    assert cls == "error"

    # The other pages show what the daemon knows (ruleset 201 above among it).
    ui.open("rulesets")
    ui.wait(lambda d: "ruleset" in ui.text("main p.muted") and d.find_elements(By.CSS_SELECTOR, "main tbody tr"),
            what="ruleset list")
    name = ui.d.find_element(By.NAME, "name")
    name.send_keys("mem")
    name.submit()
    ui.wait(lambda d: [r.text.split()[0] for r in d.find_elements(By.CSS_SELECTOR, "main tbody tr")] == ["201"],
            what="search by name")
    ui.d.find_element(By.LINK_TEXT, "201").click()
    ui.wait(lambda d: "Ruleset 201" in ui.text("h1") and "mem.used" in ui.text("main"), what="one ruleset")
    main = ui.text("main")
    assert "numeric_max" in main and "1 stream" in main and "History" in main
    ui.shot("ruleset")

    ui.open("brokers")
    ui.wait(lambda d: "b1" in ui.text("main tbody"), what="broker b1")
    assert "ago" in ui.text("main tbody")
    ui.shot("brokers")

    ui.open("cluster")
    ui.wait(lambda d: "No cluster is configured" in ui.text("main"), what="no cluster")
    ui.d.find_element(By.NAME, "uuid").send_keys(UUID)
    name = ui.d.find_element(By.NAME, "name")
    name.send_keys("cpu.busy")
    name.submit()
    ui.wait(lambda d: "owns the metric and publishes its alerts" in ui.text("main"), what="ownership")
    ui.shot("cluster")

    ui.open("overview")
    ui.wait(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#overview-grid .tile")) == 6, what="tiles")
    ui.wait(lambda d: "lines/s" in ui.text("#overview-grid"), what="a rate")
    tiles = ui.text("#overview-grid")
    assert "connected" in tiles and "Alerts sent" in tiles
    ui.shot("overview")
    assert not ui.console_errors()


def test_lost_daemon_raises_a_banner_that_goes_when_it_answers(env):
    ui = env.ui
    ui.open("alerts")
    ui.wait(lambda d: not d.find_element(By.ID, "banner").is_displayed(), what="no banner")
    assert env.daemon.stop() == 0
    banner = ui.visible(By.ID, "banner", timeout=8)
    assert "Connection to queltd lost" in banner.text and "Retrying" in banner.text
    ui.shot("banner")
    env.start()
    ui.wait(lambda d: not d.find_element(By.ID, "banner").is_displayed(), timeout=10, what="banner gone")
