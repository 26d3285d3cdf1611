"""The AMQP module against a private RabbitMQ node.

Runs the module's test program (tests/unit/test_tovi_amqp) with the node's port, so that its
broker tests run instead of being skipped: publishing and consuming, confirms, returns, held
deliveries, heartbeats, and a broker restart under a running publisher with no message lost.
The bus intake's program (tests/unit/test_vask_intake_bus) runs the same way.
"""
import os
import subprocess

import pika
import pytest

from conftest import SOURCE_DIR
from rabbitmq import rabbitmq_node  # noqa: F401  (fixture)


def build_dir():
    if os.environ.get("QUELT_BUILD_DIR"):
        return os.environ["QUELT_BUILD_DIR"]
    if os.environ.get("QUELTD_BIN"):
        # <build>/src/queltd
        return os.path.dirname(os.path.dirname(os.environ["QUELTD_BIN"]))
    return os.path.join(SOURCE_DIR, "build")


def module_test_program(name="test_tovi_amqp"):
    path = os.path.join(build_dir(), "tests", "unit", name)
    assert os.access(path, os.X_OK), f"{path} is not built (set QUELT_BUILD_DIR to the build directory)"
    return path


def run_module_tests(node, gtest_filter, timeout=300, program="test_tovi_amqp"):
    env = dict(os.environ)
    env["QUELT_RABBITMQ_PORT"] = str(node.port)
    env["QUELT_RABBITMQ_RESTART_CMD"] = node.restart_command("restart")
    env["QUELT_RABBITMQ_CRASH_CMD"] = node.restart_command("crash-restart")
    env["QUELT_RABBITMQ_CTL_CMD"] = node.ctl_command()
    r = subprocess.run([module_test_program(program), f"--gtest_filter={gtest_filter}", "--gtest_color=no"], env=env,
                       capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)
    return r


def test_module_against_the_broker(rabbitmq_node):  # noqa: F811
    r = run_module_tests(rabbitmq_node, "tovi_amqp_broker.*:-tovi_amqp_broker.a_broker_*_loses_no_message")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "SKIPPED" not in r.stdout, r.stdout
    assert "[  PASSED  ]" in r.stdout


@pytest.mark.parametrize("test", ["a_broker_restart_loses_no_message", "a_broker_crash_loses_no_message"])
def test_broker_restart_loses_no_message(rabbitmq_node, test):  # noqa: F811
    r = run_module_tests(rabbitmq_node, f"tovi_amqp_broker.{test}")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "SKIPPED" not in r.stdout, r.stdout
    summary = [line for line in r.stdout.splitlines() if line.startswith("restart:")]
    assert summary and " 0 lost" in summary[0], r.stdout
    # The node is back and usable for whoever comes next.
    with pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port)) as c:
        assert c.is_open


def test_bus_intake_holds_what_full_lanes_cannot_take(rabbitmq_node):  # noqa: F811
    r = run_module_tests(rabbitmq_node, "vask_intake_bus.*", program="test_vask_intake_bus")
    assert r.returncode == 0, r.stdout + r.stderr
    assert "SKIPPED" not in r.stdout, r.stdout
    assert "[  PASSED  ]" in r.stdout
