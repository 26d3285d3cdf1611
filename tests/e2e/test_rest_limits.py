"""The REST server against hostile clients: refused requests with large bodies, reply framing on
kept-alive connections, parsing rules, static files, handshake deadlines and connection caps.
All traffic goes to 127.0.0.1 (and 127.0.0.2 as a second peer) and is bounded in count and time."""
import hashlib
import json
import http.client
import os
import resource
import signal
import socket
import ssl
import subprocess
import time

import pytest

from certs import pki  # noqa: F401  (fixture)
from conftest import QUELTD, base_config, free_port, wait_for
from test_console import console_session
from test_rest import rest  # noqa: F401  (fixture)


def tls_context(pki, cert=True):  # noqa: F811
    ctx = ssl.create_default_context(cafile=pki.ca)
    if cert:
        ctx.load_cert_chain(*pki.client)
    return ctx


def read_reply(sock):
    """Reads one reply framed by Content-Length; returns (status line, headers, body)."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        assert chunk, f"closed before a reply: {data!r}"
        data += chunk
    head, _, rest = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
    length = int(headers["content-length"])
    while len(rest) < length:
        chunk = sock.recv(65536)
        assert chunk
        rest += chunk
    assert len(rest) == length, "bytes beyond the declared length"
    return lines[0], headers, rest


def closed_by_server(sock, within=5.0):
    """True when the server closes the connection within the time (data before it is ignored)."""
    sock.settimeout(within)
    try:
        while sock.recv(65536):
            pass
        return True
    except (ConnectionResetError, ssl.SSLError):
        return True
    except socket.timeout:
        return False


def test_refused_request_is_answered_without_reading_a_large_body(rest, pki):  # noqa: F811
    # No client certificate: 403. The chunked body of unknown size never ends, yet the reply
    # comes and the connection closes at once instead of reading the body.
    with socket.create_connection(("127.0.0.1", rest.port), timeout=10) as raw:
        with tls_context(pki, cert=False).wrap_socket(raw, server_hostname="127.0.0.1") as t:
            t.sendall(b"GET /config HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                      b"400\r\n" + b"x" * 1024 + b"\r\n")
            status, headers, _ = read_reply(t)
            assert status == "HTTP/1.1 403 FORBIDDEN"
            assert headers["connection"].lower() == "close"
            assert closed_by_server(t)
    # A small unread body is read past and the connection carries the next request.
    with socket.create_connection(("127.0.0.1", rest.port), timeout=10) as raw:
        with tls_context(pki).wrap_socket(raw, server_hostname="127.0.0.1") as t:
            t.sendall(b"POST /config HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n0123456789"
                      b"GET /config/orvane HTTP/1.1\r\nHost: x\r\n\r\n")
            assert read_reply(t)[0] == "HTTP/1.1 405 METHOD NOT ALLOWED"
            status, _, body = read_reply(t)
            assert status == "HTTP/1.1 200 OK" and b"<orvane>" in body
    assert rest.daemon.proc.poll() is None


def test_empty_and_full_replies_share_a_kept_alive_connection(rest, pki):  # noqa: F811
    conn = http.client.HTTPSConnection("127.0.0.1", rest.port, context=tls_context(pki), timeout=10)
    conn.request("GET", "/sub/missing.txt")
    missing = conn.getresponse()
    assert missing.status == 404 and missing.read() == b""
    assert missing.getheader("Content-Length") == "0"
    sock = conn.sock
    for _ in range(2):
        conn.request("GET", "/config/orvane")
        r = conn.getresponse()
        assert r.status == 200 and b"<orvane>" in r.read()
        assert r.getheader("Transfer-Encoding") is None
    assert conn.sock is sock
    conn.close()


@pytest.mark.parametrize("request_bytes,status", [
    (b"GET /stats.json%0a HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", b"HTTP/1.1 404 NOT FOUND"),
    (b"POST /config HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
     b"HTTP/1.1 400 BAD REQUEST"),
    (b"POST /config HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\nabc",
     b"HTTP/1.1 400 BAD REQUEST"),
    (b"GET /config HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n",
     b"HTTP/1.1 431 REQUEST HEADER FIELDS TOO LARGE"),
])
def test_parsing_rules(rest, request_bytes, status):  # noqa: F811
    out = rest.raw(request_bytes)
    assert out.split(b"\r\n", 1)[0] == status, out[:200]


def test_static_files_stream_whole_and_dot_files_stay_hidden(rest, tmp_path):  # noqa: F811
    root = tmp_path / "www"
    big = os.urandom(1 << 20) * 24  # 24 MiB
    (root / "big.bin").write_bytes(big)
    (root / ".htpasswd").write_text("secret\n")
    (root / ".git").mkdir()
    (root / ".git" / "config").write_text("secret\n")
    os.symlink(root / ".htpasswd", root / "visible.txt")
    r = rest.get("/big.bin")
    assert r.status_code == 200 and int(r.headers["Content-Length"]) == len(big)
    assert hashlib.sha256(r.content).digest() == hashlib.sha256(big).digest()
    for path in ("/.htpasswd", "/.git/config", "/sub/../.htpasswd", "/%2egit/config", "/visible.txt"):
        assert rest.get(path).status_code == 404, path


def start_daemon(tmp_path, extra, nofile=None):
    config = tmp_path / "queltd.conf"
    config.write_text(base_config(extra))
    log = open(tmp_path / "stderr.log", "wb")

    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    proc = subprocess.Popen([QUELTD, "-D", "-D", "-c", str(config)], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=log, cwd=tmp_path, preexec_fn=limit)
    wait_for(lambda: proc.poll() is not None or b"queltd initialized" in (tmp_path / "stderr.log").read_bytes(),
             what="queltd initialized")
    assert proc.poll() is None, (tmp_path / "stderr.log").read_text()
    return proc


def stop_daemon(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise AssertionError("queltd did not stop on SIGTERM")


def client_hello(pki, cert=True):  # noqa: F811
    """A client TLS object over memory buffers and its ClientHello."""
    inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = tls_context(pki, cert).wrap_bio(inc, out, server_hostname="127.0.0.1")
    with pytest.raises(ssl.SSLWantReadError):
        obj.do_handshake()
    return obj, inc, out, out.read()


def test_stalled_handshakes_are_dropped_after_the_handshake_timeout(tmp_path, pki):  # noqa: F811
    port = free_port()
    extra = (f'<listeners><listener type="http" address="127.0.0.1" port="{port}" handshake_timeout="1"'
             f' header_timeout="1" idle_timeout="1" certificate_file="{pki.server_crt}" key_file="{pki.server_key}"'
             f' ca_file="{pki.ca}"/></listeners>')
    proc = start_daemon(tmp_path, extra)
    try:
        silent = socket.create_connection(("127.0.0.1", port), timeout=10)
        partial = socket.create_connection(("127.0.0.1", port), timeout=10)
        partial.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")  # a ClientHello cut short
        full = socket.create_connection(("127.0.0.1", port), timeout=10)
        full.sendall(client_hello(pki)[3])  # the server answers, then waits for the client in vain
        started = time.monotonic()
        assert closed_by_server(silent, 8) and closed_by_server(partial, 8) and closed_by_server(full, 8)
        assert time.monotonic() - started < 8
        for s in (silent, partial, full):
            s.close()

        # A ClientHello that arrives in pieces is answered once it is whole; after the handshake
        # a request header that stops half-way is dropped after idle_timeout.
        obj, inc, out, hello = client_hello(pki)
        with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
            for piece in (hello[:3], hello[3:40], hello[40:]):
                raw.sendall(piece)
                time.sleep(0.2)
            while True:
                try:
                    obj.do_handshake()
                    break
                except ssl.SSLWantReadError:
                    raw.sendall(out.read())
                    data = raw.recv(65536)
                    assert data, "closed during the handshake"
                    inc.write(data)
            raw.sendall(out.read())
            obj.write(b"GET /config/eventer HTTP/1.1\r\nHost: x\r\n\r\n")
            raw.sendall(out.read())
            reply = b""
            while b"</eventer>" not in reply:
                try:
                    reply += obj.read(65536)
                except ssl.SSLWantReadError:
                    data = raw.recv(65536)
                    assert data, f"closed before the reply: {reply!r}"
                    inc.write(data)
            assert reply.startswith(b"HTTP/1.1 200 OK")
            obj.write(b"GET /config/eventer HTTP/1.1\r\nHo")
            raw.sendall(out.read())
            started = time.monotonic()
            assert closed_by_server(raw, 8)
            assert time.monotonic() - started < 8
        # A real client still gets through.
        conn = http.client.HTTPSConnection("127.0.0.1", port, context=tls_context(pki), timeout=10)
        conn.request("GET", "/config/eventer")
        assert conn.getresponse().status == 200
        conn.close()
    finally:
        assert stop_daemon(proc) == 0


def test_held_sockets_never_lock_operators_out(tmp_path, pki):  # noqa: F811
    """Under a low descriptor limit one peer holds far more sockets than the daemon may have:
    the per-peer cap and the default connection limit leave room for another peer's REST
    requests and for the console."""
    port, console_port = free_port(), free_port()
    extra = (f'<listeners><console address="127.0.0.1" port="{console_port}"/>'
             f'<listener type="http" address="127.0.0.1" port="{port}" insecure="loopback"/></listeners>')
    proc = start_daemon(tmp_path, extra, nofile=200)
    held = []
    try:
        for _ in range(300):
            try:
                held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
            except OSError:
                break
        other = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=("127.0.0.2", 0))
        other.request("GET", "/config/eventer")
        r = other.getresponse()
        assert r.status == 200 and b"<concurrency>" in r.read()
        other.close()
        assert "show config" in console_session(console_port, ["help"])[0]
        stats = http.client.HTTPConnection("127.0.0.1", port, timeout=10, source_address=("127.0.0.2", 0))
        stats.request("GET", "/stats.json?format=simple")
        counters = json.loads(stats.getresponse().read())["tovi"]["http"]
        stats.close()
        assert counters["connections_refused_per_peer"] > 0
    finally:
        for s in held:
            s.close()
        assert stop_daemon(proc) == 0


def test_out_of_descriptors_refuses_at_once_and_logs_with_a_count(tmp_path):
    """With the limits set above what the process may open, descriptors run out: waiting clients
    are refused at once through the spare descriptor, and "cannot accept" is logged at most once
    a second, with a count."""
    port = free_port()
    extra = (f'<listeners max_connections="5000" max_connections_per_peer="0">'
             f'<listener type="http" address="127.0.0.1" port="{port}" insecure="loopback"/></listeners>')
    proc = start_daemon(tmp_path, extra, nofile=200)
    held = []
    try:
        for _ in range(260):
            held.append(socket.create_connection(("127.0.0.1", port), timeout=2))
        extra_client = socket.create_connection(("127.0.0.1", port), timeout=5)
        assert closed_by_server(extra_client, 5)
        extra_client.close()
        log = wait_for(lambda: (lambda t: t if "cannot accept" in t else None)((tmp_path / "stderr.log").read_text()),
                       what="cannot accept logged")
        lines = [line for line in log.splitlines() if "cannot accept" in line]
        assert all(line.rstrip().endswith("times)") for line in lines)
    finally:
        for s in held:
            s.close()
    # Once the clients are gone the daemon serves again.
    wait_for(lambda: _get_ok(port), what="serving again")
    assert stop_daemon(proc) == 0


def _get_ok(port):
    try:
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        conn.request("GET", "/config/eventer")
        ok = conn.getresponse().status == 200
        conn.close()
        return ok
    except OSError:
        return False
