"""The REST server over TLS with client certificates: the configuration view, static files and
their confinement, the statistics endpoints, authentication, limits and connection handling."""
import http.client
import json
import os
import socket
import ssl

import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import free_port

MAX_BODY = 4096


@pytest.fixture
def rest(daemon_factory, pki, tmp_path):  # noqa: F811
    """A daemon with a TLS listener (document root with a file, a subdirectory and a symlink that
    points outside it) and a plain loopback-only listener; yields a small client."""
    root = tmp_path / "www"
    (root / "sub").mkdir(parents=True)
    (root / "index.html").write_text("<h1>queltd</h1>\n")
    (root / "sub" / "data.json").write_text('{"a": 1}\n')
    secret = tmp_path / "secret.txt"
    secret.write_text("do not serve\n")
    os.symlink(secret, root / "escape.txt")
    tls_port, plain_port, closed_port = free_port(), free_port(), free_port()
    extra = (
        f'<listeners max_body="{MAX_BODY}">'
        f'<listener type="http" address="127.0.0.1" port="{tls_port}" certificate_file="{pki.server_crt}"'
        f' key_file="{pki.server_key}" ca_file="{pki.ca}" document_root="{root}"/>'
        f'<listener type="http" address="127.0.0.1" port="{plain_port}" insecure="loopback"/>'
        f'<listener type="http" address="127.0.0.1" port="{closed_port}"/>'
        '</listeners>'
        '<orvane><api><base>http://127.0.0.1:1/</base></api></orvane>')
    d = daemon_factory(extra=extra).start().wait_initialized()

    class Client:
        daemon = d
        base = f"https://127.0.0.1:{tls_port}"
        plain = f"http://127.0.0.1:{plain_port}"
        closed = f"http://127.0.0.1:{closed_port}"
        port = tls_port

        def get(self, path, cert=pki.client, **kw):
            return requests.get(self.base + path, cert=cert, verify=pki.ca, timeout=10, **kw)

        def raw(self, data, cert=pki.client):
            """Sends bytes over one TLS connection and returns everything read until it closes."""
            ctx = ssl.create_default_context(cafile=pki.ca)
            ctx.load_cert_chain(*cert)
            with socket.create_connection(("127.0.0.1", tls_port), timeout=10) as s:
                with ctx.wrap_socket(s, server_hostname="127.0.0.1") as t:
                    t.sendall(data)
                    out = b""
                    while True:
                        try:
                            chunk = t.recv(65536)
                        except (ssl.SSLError, ConnectionResetError):
                            break
                        if not chunk:
                            break
                        out += chunk
                    return out

    yield Client()
    assert d.stop() == 0


def test_config_shows_the_application_section_and_named_sections(rest):
    r = rest.get("/config")
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "text/xml"
    assert r.text.startswith('<?xml version="1.0"?>')
    assert "<queltd>" in r.text and "<listeners" in r.text
    r = rest.get("/config/orvane/api")
    assert r.status_code == 200
    assert "<api>" in r.text and "http://127.0.0.1:1/" in r.text and "<queltd>" not in r.text


@pytest.mark.parametrize("path", ["/config/no_such_section", "/config/", "/config/bad[xpath", "/config/*",
                                  "/config/orvane/..", "/config/orvane/api%7C//listeners",
                                  "/config/count(//*[count(//*)>0])", "/config/orvane//api"])
def test_config_takes_only_section_paths(rest, path):
    r = rest.get(path)
    assert r.status_code == 404
    assert r.reason == "NOT FOUND"
    assert r.content == b""
    # Nothing was handed to the XPath engine, which would have complained on stderr.
    assert "XPath" not in rest.daemon.log()


def test_config_by_post_is_not_allowed(rest, pki):  # noqa: F811
    r = requests.post(rest.base + "/config", data=b"x", cert=pki.client, verify=pki.ca, timeout=10)
    assert r.status_code == 405
    assert "GET" in r.headers["Allow"]


def test_static_files_with_content_types(rest):
    r = rest.get("/")
    assert r.status_code == 200 and r.text == "<h1>queltd</h1>\n"
    assert r.headers["Content-Type"].startswith("text/html")
    r = rest.get("/sub/data.json")
    assert r.status_code == 200 and r.json() == {"a": 1}
    assert r.headers["Content-Type"] == "application/json"
    assert rest.get("/sub/missing.txt").status_code == 404
    assert rest.get("/sub").status_code == 404  # a directory without index.html is not listed


@pytest.mark.parametrize("target", [b"/../secret.txt", b"/sub/../../secret.txt", b"/%2e%2e/secret.txt",
                                    b"/sub/%2E%2E/%2e%2e/secret.txt", b"/..%2fsecret.txt",
                                    b"/escape.txt", b"/%00index.html"])
def test_paths_outside_the_document_root_are_never_served(rest, target):
    out = rest.raw(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
    status = out.split(b"\r\n", 1)[0]
    assert status in (b"HTTP/1.1 404 NOT FOUND", b"HTTP/1.1 400 BAD REQUEST"), out
    assert b"do not serve" not in out


def test_client_certificate_is_required(rest, pki):  # noqa: F811
    r = requests.get(rest.base + "/config", verify=pki.ca, timeout=10)
    assert r.status_code == 403
    assert "error" in r.json()


def test_certificate_of_another_ca_is_refused(rest, pki):  # noqa: F811
    try:
        r = requests.get(rest.base + "/config", cert=pki.foreign_client, verify=pki.ca, timeout=10)
    except requests.exceptions.ConnectionError:
        return  # the handshake failed: refused
    assert r.status_code == 403


def test_plain_listeners_serve_authenticated_routes_only_when_insecure_loopback(rest):
    r = requests.get(rest.plain + "/config", timeout=10)
    assert r.status_code == 200 and "<queltd>" in r.text
    r = requests.get(rest.closed + "/config", timeout=10)
    assert r.status_code == 403


def test_body_over_the_limit_is_413(rest, pki):  # noqa: F811
    r = requests.post(rest.base + "/config", data=b"x" * (MAX_BODY + 1), cert=pki.client, verify=pki.ca,
                      timeout=10)
    assert r.status_code == 413
    assert rest.get("/config").status_code == 200


def test_stats_json_in_its_three_forms(rest):
    full = rest.get("/stats.json")
    assert full.status_code == 200 and full.headers["Content-Type"] == "application/json"
    doc = full.json()
    assert doc["branch"]["_type"] == "text" and doc["branch"]["_value"]
    assert doc["version"]["_type"] == "text"
    assert "_type" in rest.get("/stats.json?format=other").json()["branch"]

    simple = rest.get("/stats.json?format=simple").json()
    assert isinstance(simple["branch"], str) and simple["branch"] == doc["branch"]["_value"]
    assert simple["tovi"]["http"]["requests_2xx"] >= 2  # the two answered before this one

    tagged = rest.get("/stats.json?format=tagged").json()
    assert isinstance(tagged, list)
    branch = [s for s in tagged if s["name"] == "branch"]
    assert branch and branch[0]["tags"]["app"] == "queltd"
    assert any(s["name"] == "tovi/http/requests" and s["tags"].get("status_class") == "2xx" for s in tagged)


def test_metrics_in_prometheus_text(rest):
    r = rest.get("/metrics")
    assert r.status_code == 200
    assert r.headers["Content-Type"].startswith("text/plain")
    assert "# TYPE" in r.text
    assert 'app="queltd"' in r.text
    assert "tovi_http_requests_total{" in r.text


def test_endpoint_listing(rest):
    routes = rest.get("/tovi/endpoints.json").json()
    patterns = {(e["method"], e["base"], e["pattern"]) for e in routes}
    assert ("GET", "/", "^config(/.*)?$") in patterns
    assert ("GET", "/", "^stats\\.json$") in patterns
    assert all(e["auth"] for e in routes)


def test_keep_alive_serves_two_requests_on_one_connection(rest, pki):  # noqa: F811
    ctx = ssl.create_default_context(cafile=pki.ca)
    ctx.load_cert_chain(*pki.client)
    conn = http.client.HTTPSConnection("127.0.0.1", rest.port, context=ctx, timeout=10)
    conn.request("GET", "/config")
    first = conn.getresponse()
    assert first.status == 200 and int(first.getheader("Content-Length")) > 0
    first.read()
    sock = conn.sock
    conn.request("GET", "/stats.json?format=simple")
    second = conn.getresponse()
    assert second.status == 200 and json.loads(second.read())["branch"]
    assert conn.sock is sock  # the same connection carried both
    conn.close()


def test_http_1_0_gets_the_body_and_a_closed_connection(rest):
    out = rest.raw(b"GET /config HTTP/1.0\r\n\r\n")
    head, _, body = out.partition(b"\r\n\r\n")
    assert head.startswith(b"HTTP/1.0 200 OK")
    assert b"chunked" not in head.lower()
    assert body.startswith(b'<?xml version="1.0"?>') and body.rstrip().endswith(b"</queltd>")


@pytest.mark.parametrize("garbage", [b"GARBAGE\r\n\r\n", b"GET / HTTP/9.9\r\n\r\n",
                                     b"GET /config HTTP/1.1\r\nContent-Length: -5\r\n\r\n",
                                     b"GET /config HTTP/1.1\r\nBad Header\r\n\r\n",
                                     b"GET http://x/config HTTP/1.1\r\nHost: x\r\n\r\n"])
def test_malformed_request_is_400_and_the_daemon_keeps_serving(rest, garbage):
    out = rest.raw(garbage)
    assert out.startswith(b"HTTP/1.1 400 BAD REQUEST"), out
    assert rest.get("/config").status_code == 200
    assert rest.daemon.proc.poll() is None
