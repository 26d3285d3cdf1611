"""Headless Chromium driven by Selenium, for the web console's tests: one browser per test module,
its profile, NSS database and screenshots under that module's temporary directory."""
import os
import shutil
import subprocess

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions as EC
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"


def make_nss_db(home, ca, clients):
    """An NSS database in home/.pki/nssdb (where Chromium on Linux reads it) that trusts the CA
    and holds the client certificates: clients is a list of (nickname, (crt, key))."""
    db = os.path.join(home, ".pki", "nssdb")
    os.makedirs(db, exist_ok=True)
    run = lambda *a: subprocess.run(a, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)  # noqa: E731
    run("certutil", "-N", "-d", f"sql:{db}", "--empty-password")
    run("certutil", "-A", "-d", f"sql:{db}", "-n", "queltd test CA", "-t", "C,,", "-i", ca)
    for nick, (crt, key) in clients:
        p12 = os.path.join(home, nick + ".p12")
        run("openssl", "pkcs12", "-export", "-in", crt, "-inkey", key, "-name", nick, "-out", p12,
            "-passout", "pass:")
        run("pk12util", "-i", p12, "-d", f"sql:{db}", "-W", "")
    return db


def start_browser(workdir, home=None):
    """A headless Chromium with its own profile; HOME (and so its NSS database) is `home` when
    given."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1000", "--no-first-run", "--disable-extensions",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--metrics-recording-only", "--no-default-browser-check",
                f"--user-data-dir={os.path.join(workdir, 'profile')}"):
        options.add_argument(arg)
    env = dict(os.environ)
    if home:
        env["HOME"] = home
    service = Service(CHROMEDRIVER, env=env, log_path=os.path.join(workdir, "chromedriver.log"))
    driver = webdriver.Chrome(service=service, options=options)
    driver.set_page_load_timeout(30)
    return driver


class Console:
    """The console's pages in one browser."""

    def __init__(self, driver, base, shots):
        self.d, self.base, self.shots = driver, base, shots
        os.makedirs(shots, exist_ok=True)

    def open(self, page):
        self.d.get(f"{self.base}/ui/#{page}")
        self.wait(lambda d: d.find_element(By.ID, "main").get_attribute("data-page") == page.split("/")[0],
                  what=f"page {page}")

    def wait(self, condition, timeout=10, what="condition"):
        # A page that refreshes itself may replace an element between finding and reading it.
        return WebDriverWait(self.d, timeout, poll_frequency=0.1,
                             ignored_exceptions=(StaleElementReferenceException,)).until(condition, message=what)

    def visible(self, by, value, timeout=10):
        return WebDriverWait(self.d, timeout, 0.1).until(EC.visibility_of_element_located((by, value)))

    def text(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css).text

    def message(self, contains, timeout=10):
        """The action message (text, class) once it holds `contains` or reports an error."""
        el = self.visible(By.ID, "message", timeout)
        self.wait(lambda d: contains in el.text or el.get_attribute("class") == "error", timeout,
                  what=f"a message with {contains!r}")
        return el.text, el.get_attribute("class")

    def shot(self, name):
        path = os.path.join(self.shots, name + ".png")
        self.d.save_screenshot(path)
        return path

    def console_errors(self):
        """Severe entries of the browser's console (script errors, failed loads)."""
        try:
            return [e for e in self.d.get_log("browser") if e.get("level") == "SEVERE"]
        except Exception:  # noqa: BLE001  (not every driver keeps the log)
            return []
