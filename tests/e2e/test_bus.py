"""The daemon on a real bus: connection hooks, reconnection and the account filter."""
import json
import urllib.request

import pytest

from conftest import free_port, wait_for
from certs import pki  # noqa: F401  (session fixture)
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)


def bus_stats(rest_port):
    url = f"http://127.0.0.1:{rest_port}/stats.json?format=simple"
    with urllib.request.urlopen(url, timeout=5) as r:
        return json.loads(r.read())["tovi"]["amqp"]


def test_connection_hook_logs_connect_and_reconnect(daemon_factory, rabbitmq_node):
    rest = free_port()
    d = daemon_factory(mq_port=rabbitmq_node.port, extra=(
        f'<listeners><listener type="http" address="127.0.0.1" port="{rest}" insecure="loopback"/>'
        '</listeners>'))
    d.start().wait_initialized()
    wait_for(lambda: "AMQP connection: connected" in d.log(), what="bus connection")
    assert bus_stats(rest)["connected"] == 1
    rabbitmq_node.restart()
    wait_for(lambda: "AMQP connection: diconnected" in d.log(), timeout=60, what="disconnection")
    wait_for(lambda: d.log().count("AMQP connection: connected") >= 2, timeout=60, what="reconnection")
    stats = wait_for(lambda: (lambda s: s if s["connected"] == 1 else None)(bus_stats(rest)),
                     what="reconnected in the statistics")
    assert stats["reconnects"] >= 1
    assert d.stop() == 0


@pytest.mark.parametrize("accounts", [
    '<accounts><account id="0"/></accounts>',
    '<accounts exclude="true"><account id="-4"/></accounts>',
    '<accounts><account/></accounts>',
])
def test_bad_account_id_stops_start_up(daemon_factory, accounts):
    d = daemon_factory(extra=accounts).start()
    assert d.proc.wait(timeout=20) == 2
    assert "Bad account id for inclusion/exclusion." in d.log()
    assert "queltd initialized" not in d.log()


def test_accounts_are_announced(daemon_factory):
    d = daemon_factory(extra='<accounts exclude="true"><account id="5"/><account id="7"/></accounts>')
    d.start().wait_initialized()
    log = d.log()
    assert "excluding account 5" in log and "excluding account 7" in log
    assert d.stop() == 0


def test_missing_bus_module_is_a_misconfiguration(daemon_factory):
    config = """<?xml version="1.0"?>
<queltd><eventer><config><concurrency>1</concurrency></config></eventer></queltd>"""
    d = daemon_factory(config_text=config).start()
    assert d.proc.wait(timeout=20) == 2
    assert "AMQP module not loaded, but required. Misconfiguration!" in d.log()


@pytest.fixture(scope="module")
def tls_node(tmp_path_factory, pki):
    from rabbitmq import RabbitNode

    node = RabbitNode(str(tmp_path_factory.mktemp("tls-bus")), tls=(pki.ca, pki.server_crt, pki.server_key))
    node.start()
    yield node
    node.stop()


def tls_bus(node, ca, client, host="127.0.0.1"):
    crt, key = client
    return (f'<network><mq><host>{host}</host><port>{node.tls_port}</port>'
            f'<tls ca="{ca}" certificate="{crt}" key="{key}" verify="true"/></mq></network>')


def test_bus_over_tls_with_a_client_certificate(daemon_factory, tls_node, pki):
    config = base_config_without_bus(tls_bus(tls_node, pki.ca, pki.client))
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "AMQP connection: connected" in d.log(), what="TLS bus connection")
    assert d.stop() == 0


def test_bus_over_tls_refuses_a_broker_it_does_not_trust(daemon_factory, tls_node, pki):
    config = base_config_without_bus(tls_bus(tls_node, pki.foreign_ca, pki.client))
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "error/amqp" in d.log(), what="a refused connection")
    assert "AMQP connection: connected" not in d.log()
    assert d.stop() == 0


def test_bus_over_tls_checks_the_address_in_the_certificate(daemon_factory, tls_node, pki):
    # The broker's certificate names 127.0.0.1 and localhost, not ::1.
    config = base_config_without_bus(tls_bus(tls_node, pki.ca, pki.client, host="::1"))
    d = daemon_factory(config_text=config).start().wait_initialized()
    wait_for(lambda: "error/amqp" in d.log(), what="a refused connection")
    assert "AMQP connection: connected" not in d.log()
    assert d.stop() == 0


def base_config_without_bus(network):
    return ('<?xml version="1.0"?><queltd><eventer><config><concurrency>2</concurrency></config></eventer>'
            '<modules><module name="amqp" backoff_max_ms="1000"/></modules>' + network + '</queltd>')
