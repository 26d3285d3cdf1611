"""The shipped example configurations start the daemon as they stand, but for their ports (moved
to free ones, so that a developer's running daemon is not disturbed) and their certificates
(made afresh with scripts/make-certs)."""
import os
import re
import subprocess

import pytest

from conftest import SOURCE_DIR, Daemon, free_port

# "queltd.conf+router": the example as the quick start runs it when an alert router is installed.
EXAMPLES = ["queltd.conf", "queltd.conf+router", "cluster/node1.conf", "cluster/node2.conf", "cluster/node3.conf"]


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    d = tmp_path_factory.mktemp("certs")
    subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make-certs"), str(d)], check=True,
                   capture_output=True, timeout=120)
    return str(d)


@pytest.mark.parametrize("example", EXAMPLES)
def test_example_configuration_starts(tmp_path, certs, example):
    with open(os.path.join(SOURCE_DIR, "examples", example.split("+")[0])) as f:
        text = f.read()
    if example.endswith("+router"):
        text, n = re.subn(r"<!-- (<notify><alertmanager.*</notify>) -->", r"\1", text)
        assert n == 1
    text = text.replace("examples/certs/", certs + "/")
    ports = {}
    # Every port of the example, the bus's included, moves to a free one (nothing listens on the
    # bus port: the daemon keeps reconnecting in the background, which is fine here).
    text = re.sub(r'(port="|<port>)(\d+)', lambda m: m.group(1) + str(ports.setdefault(m.group(2), free_port())), text)
    d = Daemon(str(tmp_path), text)
    d.start().wait_initialized()
    assert d.stop() == 0
