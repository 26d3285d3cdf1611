"""The Debian package: built from the tree by scripts/package (from the build the suite runs, so
only packing is added), installed on this machine, and its unit's ExecStart line run as the unit
would run it (systemd need not be PID 1 here): the daemon reports READY=1 to the notification
socket and serves REST with the certificates the package made. Needs root, to install."""
import os
import pathlib
import re
import shlex
import shutil
import signal
import subprocess
import tempfile

import pytest
import requests

from conftest import QUELTD, SOURCE_DIR, free_port, wait_for
from test_operations import NotifySocket

pytestmark = pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("dpkg"),
                                reason="installing a package needs root and dpkg")

UNIT = "/lib/systemd/system/queltd.service"


def unit_settings():
    settings = {}
    for line in open(UNIT):
        m = re.match(r"^(\w+)=(.*)$", line.strip())
        if m:
            settings.setdefault(m.group(1), m.group(2))
    return settings


@pytest.fixture(scope="module")
def installed():
    was_installed = subprocess.run(["dpkg", "-s", "queltd"], capture_output=True).returncode == 0
    build_dir = os.path.dirname(os.path.dirname(QUELTD))
    p = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "package"), build_dir],
                       capture_output=True, text=True, timeout=900)
    assert p.returncode == 0, p.stdout + p.stderr
    deb = p.stdout.strip().splitlines()[-1]
    p = subprocess.run(["dpkg", "-i", deb], capture_output=True, text=True, timeout=300)
    assert p.returncode == 0, p.stdout + p.stderr
    yield deb
    if not was_installed:
        subprocess.run(["dpkg", "--purge", "queltd"], capture_output=True, timeout=300)


@pytest.fixture
def shared_dir():
    """A directory the daemon's user can read (pytest's own are private to root)."""
    path = tempfile.mkdtemp(prefix="queltd-package-")
    os.chmod(path, 0o755)
    yield pathlib.Path(path)
    shutil.rmtree(path, ignore_errors=True)


def test_the_package_installs_and_its_unit_starts_a_ready_daemon(installed, shared_dir):
    tmp_path = shared_dir
    contents = subprocess.run(["dpkg", "-L", "queltd"], capture_output=True, text=True).stdout.split()
    for path in ("/usr/sbin/queltd", UNIT, "/etc/queltd/queltd.conf", "/etc/logrotate.d/queltd",
                 "/usr/share/queltd/make-certs", "/usr/share/doc/queltd/docs/operations.md"):
        assert path in contents, path
    assert subprocess.run(["getent", "passwd", "queltd"], capture_output=True).returncode == 0
    assert os.stat("/var/lib/queltd").st_uid == int(
        subprocess.run(["id", "-u", "queltd"], capture_output=True, text=True).stdout)
    assert os.path.exists("/etc/queltd/certs/server.crt")
    version = subprocess.run(["/usr/sbin/queltd", "--version"], capture_output=True, text=True).stdout
    assert version == subprocess.run([QUELTD, "--version"], capture_output=True, text=True).stdout

    unit = unit_settings()
    assert unit["Type"] == "notify" and unit["User"] == "queltd"
    pre = shlex.split(unit["ExecStartPre"])
    assert subprocess.run(pre + ["--strict"], capture_output=True).returncode == 0

    # The unit's ExecStart, on a copy of the default configuration whose ports are free ones
    # (anything may listen on the defaults here); the bus port stays closed.
    conf = open("/etc/queltd/queltd.conf").read()
    rest, console, metrics, bus = free_port(), free_port(), free_port(), free_port()
    conf = (conf.replace('port="8443"', f'port="{rest}"').replace('port="32322"', f'port="{console}"')
                .replace('port="8700"', f'port="{metrics}"').replace("<port>5672<", f"<port>{bus}<"))
    copy = tmp_path / "queltd.conf"
    copy.write_text(conf)
    argv = [copy.as_posix() if a == "/etc/queltd/queltd.conf" else a for a in shlex.split(unit["ExecStart"])]
    notify = NotifySocket(str(tmp_path / "notify.sock"))
    os.chmod(notify.path, 0o777)
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "NOTIFY_SOCKET": notify.path,
           "WATCHDOG_USEC": "2000000"}
    log = open(tmp_path / "stderr.log", "wb")
    # setpriv runs the line in place (as systemd does), so the signal reaches the daemon itself.
    daemon = subprocess.Popen(["setpriv", f"--reuid={unit['User']}", f"--regid={unit['Group']}",
                               "--init-groups", "--", *argv], env=env,
                              cwd=unit["WorkingDirectory"], stdout=subprocess.DEVNULL, stderr=log)
    try:
        wait_for(lambda: notify.seen("READY=1") or daemon.poll() is not None, timeout=60,
                 what="READY=1")
        assert daemon.poll() is None, open(tmp_path / "stderr.log").read()
        certs = "/etc/queltd/certs"
        r = requests.get(f"https://127.0.0.1:{rest}/stats.json?format=simple", timeout=10,
                         verify=f"{certs}/ca.crt", cert=(f"{certs}/client.crt", f"{certs}/client.key"))
        assert r.status_code == 200 and r.json()["version"]
        wait_for(lambda: notify.seen("WATCHDOG=1"), what="a watchdog ping")
    finally:
        daemon.send_signal(signal.SIGTERM)
        status = daemon.wait(30)
        log.close()
    assert status == 0
