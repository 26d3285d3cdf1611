"""POST /test/input injects metric lines as a broker would and answers once they are handled;
POST /test/log marks the error log."""
import json
import urllib.request

from conftest import free_port, wait_for

UUID = "11111111-2222-3333-4444-555555555555"


def post(port, path, body):
    req = urllib.request.Request(f"http://127.0.0.1:{port}{path}", data=body, method="POST")
    with urllib.request.urlopen(req, timeout=10) as r:
        return r.status, r.headers.get("Content-Type"), r.read().decode()


def director(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/stats.json?format=simple", timeout=5) as r:
        return json.loads(r.read())["vask"]["director"]


def test_input_and_log(daemon_factory):
    rest = free_port()
    d = daemon_factory(extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        '</listeners>'))
    d.start().wait_initialized()

    line = f"M\tb1\t1700000000.000\thost`mod`c_7_9`{UUID}\tcpu\tn\t1.5\n"
    cases = [
        ((line * 2).encode(), 2, 0),
        # Bytes after the last newline are counted, never injected.
        ((line + "bc").encode(), 1, 2),
        (line.rstrip("\n").encode(), 0, len(line) - 1),
        (b"", 0, 0),
        # A malformed line counts as written; the decoder rejects it.
        (b"M\tnot a line\n", 1, 0),
    ]
    for body, lines, trash in cases:
        status, ctype, text = post(rest, "/test/input", body)
        assert status == 200 and ctype == "application/json"
        assert text == '{\n  "lines": %d,\n  "trash": %d\n}\n' % (lines, trash), body
    # The reply waited for the director: every injected line has been decoded by now.
    v = director(rest)
    assert v["parsed"] == 3 and v["rejected"] == 1

    status, _, text = post(rest, "/test/log", b"hello marker")
    assert status == 200 and json.loads(text) == {"chars_accepted": 12}
    wait_for(lambda: "hello marker" in d.log(), what="marker in the error log")
    assert [l for l in d.log().splitlines() if "hello marker" in l][0].find("<<<BUSTED>>>") >= 0
    assert json.loads(post(rest, "/test/log", b"")[2]) == {"chars_accepted": 0}
    assert d.stop() == 0
