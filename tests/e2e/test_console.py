"""The operator console of the running daemon."""
import socket

from conftest import free_port, wait_for


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
