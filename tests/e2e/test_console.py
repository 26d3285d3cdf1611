"""The operator console of the running daemon."""
import os
import socket

from conftest import Daemon, base_config, free_port, wait_for


def console_session(port, lines):
    """Sends each line and returns the replies, one string per line sent."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        buf = b""

        def read_prompt():
            nonlocal buf
            while not buf.endswith(b"queltd# "):
                chunk = s.recv(65536)
                if not chunk:
                    break
                buf += chunk
            text = buf[:-len(b"queltd# ")].decode() if buf.endswith(b"queltd# ") else buf.decode()
            buf = b""
            return text

        read_prompt()
        replies = []
        for line in lines:
            s.sendall(line.encode() + b"\r\n")
            replies.append(read_prompt())
        return replies


def test_console_commands(daemon_factory):
    port = free_port()
    d = daemon_factory(extra=f'<listeners><console address="127.0.0.1" port="{port}"/></listeners>')
    d.start().wait_initialized()
    help_text, log_text, completion, config, enable, missing = console_session(
        port, ["help", "show log", "complete sh", "show config //eventer", "log enable debug/rules",
               "show config //nothing"])
    assert "show config" in help_text and "exit" in help_text
    assert "notice enabled" in log_text
    assert completion.split() == ["show"]
    assert "<concurrency>2</concurrency>" in config
    assert "debug/rules enabled" in enable
    assert "no configuration section" in missing
    after = console_session(port, ["show log"])[0]
    assert "debug/rules enabled" in after
    # A broken expression is reported in the daemon's own log format, not by libxml2 on stderr.
    assert "no configuration section" in console_session(port, ["show config //bad["])[0]
    wait_for(lambda: "configuration lookup:" in d.log(), what="the lookup error logged")
    assert "XPath error" not in d.log()
    assert d.stop() == 0


def test_console_hides_secrets_shows_memory_logs_and_limits_sessions(daemon_factory):
    port = free_port()
    d = daemon_factory(extra=(
        f'<listeners><console address="127.0.0.1" port="{port}" idle_timeout="1"'
        ' max_connections_per_peer="3"/></listeners>'
        '<logs><outlet name="ring" type="memory" size="50"/><log name="notice" outlets="stderr,ring"/></logs>'
        '<vault api_token="tok-123"><password>hunter2</password><shared_key>k-456</shared_key>'
        '<key_file>/etc/k.pem</key_file></vault>'))
    d.start().wait_initialized()
    config, ring, last_two, missing = console_session(
        port, ["show config //vault", "show log ring", "show log ring 2", "show log nothing"])
    for secret in ("tok-123", "hunter2", "k-456"):
        assert secret not in config
    assert config.count("********") == 3 and "/etc/k.pem" in config
    assert "queltd initialized" in ring or "console: listening" in ring
    assert len(last_two.strip().splitlines()) == 2
    assert "no memory outlet named nothing" in missing

    # One peer holds at most three sessions; another loopback address still gets in.
    held = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(3)]
    extra = socket.create_connection(("127.0.0.1", port), timeout=5)
    extra.settimeout(5)
    assert extra.recv(100) == b""  # closed at once
    extra.close()
    other = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.2", 0))
    assert other.recv(100).endswith(b"queltd# ")
    other.close()
    # Idle sessions are closed after the idle timeout.
    for s in held:
        s.settimeout(10)
        data = b""
        while True:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
        assert b"idle for too long" in data
        s.close()
    assert d.stop() == 0


def test_console_on_a_remote_address_needs_an_explicit_opt_in(daemon_factory):
    d = daemon_factory(extra=f'<listeners><console address="0.0.0.0" port="{free_port()}"/></listeners>')
    d.start()
    assert d.proc.wait(20) == 2
    assert "allow_remote" in d.log()


def test_unix_console_replaces_only_a_stale_socket(daemon_factory, tmp_path):
    path = str(tmp_path / "console.sock")
    extra = f'<listeners><console path="{path}"/></listeners>'
    # A regular file is never removed.
    with open(path, "w") as f:
        f.write("keep me\n")
    d = daemon_factory(extra=extra)
    d.start()
    assert d.proc.wait(20) == 2
    assert open(path).read() == "keep me\n"
    os.unlink(path)
    # A socket nobody answers on (its process died) is replaced.
    stale = socket.socket(socket.AF_UNIX)
    stale.bind(path)
    stale.close()
    live = daemon_factory(extra=extra).start().wait_initialized()

    def unix_prompt():
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(path)
            return s.recv(100)

    assert unix_prompt().endswith(b"queltd# ")
    # A second daemon does not take over the live console.
    os.makedirs(tmp_path / "second")
    second = Daemon(str(tmp_path / "second"), base_config(extra))
    second.start()
    assert second.proc.wait(20) == 2
    assert unix_prompt().endswith(b"queltd# ")
    assert live.stop() == 0
