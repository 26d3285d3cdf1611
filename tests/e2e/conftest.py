"""Fixtures of the end-to-end suite: the daemon binary, a scratch directory, configurations and
running daemons. Everything talks to the real binary through its real interfaces."""
import os
import re
import signal
import socket
import subprocess
import time

import pytest

SOURCE_DIR = os.environ.get("QUELT_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
QUELTD = os.environ.get("QUELTD_BIN", os.path.join(SOURCE_DIR, "build", "src", "queltd"))


_handed_out = set()


def free_port():
    """A port nothing listens on now, never one this run handed out before: the kernel may offer
    a just-closed port again, and two listeners of one daemon must not get the same one."""
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


def wait_for(condition, timeout=20.0, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError(f"timed out after {timeout}s waiting for {what}")


# The bus port defaults to one that nothing listens on: the daemon then keeps reconnecting in the
# background, which is all that tests without a bus need.
BASE_CONFIG = """<?xml version="1.0"?>
<queltd>
  <eventer><config><concurrency>2</concurrency></config></eventer>
  <logs>
    <log name="debug" disabled="true"/>
  </logs>
  <modules><module name="amqp" backoff_max_ms="1000"/></modules>
  <network><mq><host>127.0.0.1</host><port>{mq_port}</port><heartbeat>10</heartbeat></mq></network>
  {extra}
</queltd>
"""


def base_config(extra="", mq_port=None):
    return BASE_CONFIG.format(extra=extra, mq_port=mq_port or closed_port())


_closed_port = None


def closed_port():
    global _closed_port
    if _closed_port is None:
        _closed_port = free_port()
    return _closed_port


def end_process(proc, timeout=10):
    """Stops a helper process the test started (SIGTERM, then SIGKILL after timeout seconds)."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def example_cluster_texts(pki, bus_port):
    """examples/cluster/node1..3.conf with their ports moved to free ones (one map for all three, so
    that every node still finds the others), on the test's bus and certificates."""
    ports, texts = {}, []
    for i in (1, 2, 3):
        with open(os.path.join(SOURCE_DIR, "examples", "cluster", f"node{i}.conf")) as f:
            text = f.read()
        text = text.replace("examples/certs/server.crt", pki.server_crt).replace(
            "examples/certs/server.key", pki.server_key).replace("examples/certs/ca.crt", pki.ca)
        text = re.sub(r'(port="|<port>)(\d+)',
                      lambda m: m.group(1) + str(ports.setdefault(m.group(2), free_port())), text)
        texts.append(re.sub(r"<port>\d+</port>", f"<port>{bus_port}</port>", text))
    return texts


def example_rest_port(text):
    """The REST port of an example node's configuration."""
    return int(re.search(r'<listener type="http" address="127.0.0.1" port="(\d+)"', text).group(1))


class Daemon:
    """A queltd process started with a configuration; its standard error is kept in a file."""

    def __init__(self, workdir, config_text, args=("-D", "-D")):
        self.workdir = workdir
        self.config = os.path.join(workdir, "queltd.conf")
        with open(self.config, "w") as f:
            f.write(config_text)
        self.stderr_path = os.path.join(workdir, "stderr.log")
        self.args = list(args)
        self.proc = None

    def start(self):
        self.stderr_file = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([QUELTD, *self.args, "-c", self.config], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=self.stderr_file, cwd=self.workdir)
        return self

    def log(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_initialized(self, timeout=20):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError(f"queltd exited with {self.proc.returncode}:\n{self.log()}")
            return "queltd initialized" in self.log()
        wait_for(ready, timeout, what="queltd initialized")
        return self

    def stop(self, timeout=10):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise AssertionError("queltd did not stop on SIGTERM")
        self.stderr_file.close()
        return self.proc.returncode


@pytest.fixture
def daemon_factory(tmp_path):
    started = []

    def make(extra="", args=("-D", "-D"), config_text=None, mq_port=None):
        d = Daemon(str(tmp_path), config_text if config_text is not None else base_config(extra, mq_port), args)
        started.append(d)
        return d

    yield make
    for d in started:
        if d.proc and d.proc.poll() is None:
            d.proc.kill()
            d.proc.wait()
