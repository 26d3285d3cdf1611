"""A private RabbitMQ node for tests.

Each node has its own name, ports and directories under a scratch directory, so tests never touch a
developer's own broker (ports 5672/25672 are never used). Debian's rabbitmq-server drops to the
rabbitmq user, so the directories are made writable by that user before the node starts.

Use it as a pytest fixture (``from rabbitmq import rabbitmq_node``) or from the command line:
    python3 rabbitmq.py restart <base dir> <node name> <amqp port> <dist port>
which stops the node and starts it again with the same data (tests use this to restart a broker
under a running publisher).
"""
import os
import pwd
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest

START_TIMEOUT = 120
STOP_TIMEOUT = 60


def _free_port(avoid=()):
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port not in (5672, 25672, 4369) and port not in avoid:
            return port


class RabbitNode:
    """One private node: start(), stop(), restart(), ctl(...)."""

    def __init__(self, base_dir, name=None, port=None, dist_port=None, tls=None):
        """tls: optional (ca, certificate, key) file paths; the node then also listens for AMQP
        over TLS on self.tls_port and asks clients for a certificate from that CA."""
        self.base_dir = os.path.abspath(base_dir)
        self.tls = tls
        self.name = name or f"queltd-test-{os.getpid()}-{int(time.time() * 1000) % 100000}"
        self.port = port or _free_port()
        self.dist_port = dist_port or _free_port(avoid=(self.port,))
        if self.port in (5672, 25672) or self.dist_port in (5672, 25672):
            raise ValueError("a test node never uses the default ports 5672/25672")
        self.node = f"{self.name}@localhost"
        self.tls_port = _free_port(avoid=(self.port, self.dist_port)) if tls else None

    def _env(self):
        env = dict(os.environ)
        env.update({
            "RABBITMQ_NODENAME": self.node,
            "RABBITMQ_NODE_PORT": str(self.port),
            "RABBITMQ_DIST_PORT": str(self.dist_port),
            "RABBITMQ_MNESIA_BASE": os.path.join(self.base_dir, "mnesia"),
            "RABBITMQ_LOG_BASE": os.path.join(self.base_dir, "log"),
            "RABBITMQ_PID_FILE": os.path.join(self.base_dir, "pid"),
            "RABBITMQ_ENABLED_PLUGINS_FILE": os.path.join(self.base_dir, "plugins"),
        })
        if self.tls:
            env["RABBITMQ_CONFIG_FILE"] = os.path.join(self.base_dir, "rabbitmq.conf")
        return env

    def _write_tls_config(self):
        # The node runs as rabbitmq: it reads copies of the files inside its own directory.
        names = ("ca.crt", "server.crt", "server.key")
        for src, name in zip(self.tls, names):
            shutil.copyfile(src, os.path.join(self.base_dir, name))
        with open(os.path.join(self.base_dir, "rabbitmq.conf"), "w") as f:
            f.write(f"listeners.ssl.default = {self.tls_port}\n"
                    f"ssl_options.cacertfile = {os.path.join(self.base_dir, names[0])}\n"
                    f"ssl_options.certfile = {os.path.join(self.base_dir, names[1])}\n"
                    f"ssl_options.keyfile = {os.path.join(self.base_dir, names[2])}\n"
                    "ssl_options.verify = verify_peer\n"
                    "ssl_options.fail_if_no_peer_cert = true\n")

    def _prepare_dirs(self):
        for sub in ("mnesia", "log"):
            os.makedirs(os.path.join(self.base_dir, sub), exist_ok=True)
        if self.tls:
            self._write_tls_config()
        plugins = os.path.join(self.base_dir, "plugins")
        if not os.path.exists(plugins):
            with open(plugins, "w") as f:
                f.write("[].\n")
        if os.geteuid() == 0:
            user = pwd.getpwnam("rabbitmq")
            # The node runs as rabbitmq: it needs to reach its directories through every parent.
            path = self.base_dir
            while path not in ("/", ""):
                st = os.stat(path)
                if st.st_uid != user.pw_uid:
                    os.chmod(path, st.st_mode | 0o011)
                path = os.path.dirname(path)
            for root, dirs, files in os.walk(self.base_dir):
                os.chown(root, user.pw_uid, user.pw_gid)
                for f in files:
                    os.chown(os.path.join(root, f), user.pw_uid, user.pw_gid)

    def ctl(self, *args, timeout=STOP_TIMEOUT, check=True):
        return subprocess.run(["rabbitmqctl", "-n", self.node, *args], env=self._env(), capture_output=True,
                              text=True, timeout=timeout, check=check, stdin=subprocess.DEVNULL)

    def start(self):
        self._prepare_dirs()
        subprocess.run(["rabbitmq-server", "-detached"], env=self._env(), check=True, timeout=START_TIMEOUT,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # -detached returns before the node has registered itself; await_startup fails fast on a node
        # that is not known yet, so it is asked again until the node answers or the time is up.
        deadline = time.monotonic() + START_TIMEOUT
        while True:
            left = max(5, int(deadline - time.monotonic()))
            r = self.ctl("await_startup", "--timeout", str(left), timeout=left + 10, check=False)
            if r.returncode == 0:
                break
            if time.monotonic() >= deadline:
                raise RuntimeError(f"rabbitmq node {self.node} did not start:\n{r.stdout}\n{r.stderr}\n"
                                   f"{self.log_tail()}")
            time.sleep(0.5)
        self._wait_port(open_=True)
        return self

    def stop(self):
        self.ctl("stop", check=False)
        self._wait_port(open_=False)

    def restart(self):
        self.stop()
        self.start()

    def kill(self):
        """Ends the node abruptly (SIGKILL), as a crash or a power cut would."""
        with open(os.path.join(self.base_dir, "pid")) as f:
            pid = int(f.read().strip())
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self._wait_port(open_=False)

    def crash_restart(self):
        self.kill()
        self.start()

    def _wait_port(self, open_, timeout=STOP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    is_open = True
            except OSError:
                is_open = False
            if is_open == open_:
                return
            time.sleep(0.1)
        raise RuntimeError(f"port {self.port} of {self.node} did not {'open' if open_ else 'close'}")

    def log_tail(self, lines=40):
        out = []
        log_dir = os.path.join(self.base_dir, "log")
        if os.path.isdir(log_dir):
            for name in sorted(os.listdir(log_dir)):
                try:
                    with open(os.path.join(log_dir, name), errors="replace") as f:
                        out.append(f"--- {name}\n" + "".join(f.readlines()[-lines:]))
                except OSError:
                    pass
        return "\n".join(out)

    def restart_command(self, how="restart"):
        """A shell command that restarts this node with the same data ("restart": a clean stop
        first; "crash-restart": killed first)."""
        return " ".join([sys.executable, os.path.abspath(__file__), how, self.base_dir, self.name,
                         str(self.port), str(self.dist_port)])

    def ctl_command(self):
        """A shell command prefix that runs rabbitmqctl against this node (append its arguments)."""
        return " ".join([sys.executable, os.path.abspath(__file__), "ctl", self.base_dir, self.name,
                         str(self.port), str(self.dist_port)])


@pytest.fixture(scope="session")
def rabbitmq_node():
    """A running private node for the whole session; removed afterwards."""
    base = tempfile.mkdtemp(prefix="queltd-rabbitmq-")
    node = RabbitNode(base)
    try:
        node.start()
        yield node
    finally:
        try:
            node.stop()
        finally:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    commands = ("start", "stop", "restart", "crash-restart")
    if len(sys.argv) > 6 and sys.argv[1] == "ctl":
        n = RabbitNode(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
        r = n.ctl(*sys.argv[6:], check=False)
        sys.stdout.write(r.stdout)
        sys.stderr.write(r.stderr)
        sys.exit(r.returncode)
    if len(sys.argv) == 6 and sys.argv[1] in commands:
        n = RabbitNode(sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5]))
        getattr(n, sys.argv[1].replace("-", "_"))()
    else:
        sys.stderr.write(f"usage: {sys.argv[0]} {'|'.join(commands)} <base dir> <name> <port> <dist port>\n")
        sys.exit(2)
