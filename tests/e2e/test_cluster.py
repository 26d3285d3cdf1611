"""Three daemons on loopback form a cluster: they agree on the owners of every key, notice a node
that stops, and ignore heartbeats that are forged, replayed or from strangers. A node played by
the test checks that heartbeats captured before a restart revive nothing and that a differing
node list is reported."""
import hashlib
import hmac
import os
import re
import socket
import struct
import time
import uuid

import pytest

from conftest import Daemon, base_config, free_port, wait_for
from test_console import console_session

PERIOD_MS = 200
TIMEOUT_MS = 1500
KEY = b"an end-to-end cluster key"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def node_list_digest(ids):
    return hashlib.sha256(b"".join(sorted(uuid.UUID(i).bytes for i in ids))).digest()[:16]


def heartbeat(node_id, boot_id, seq, config_seq=0, payloads=(), key=KEY, cluster=b"queltd", sent_at_ms=None,
              boot_us=1, echo=bytes(16), digest=bytes(16)):
    """A heartbeat datagram as the daemons send them (docs/cluster.md)."""
    body = b"QLHB" + bytes([2, len(cluster)]) + cluster + uuid.UUID(node_id).bytes + boot_id
    sent_at_ms = int(time.time() * 1000) if sent_at_ms is None else sent_at_ms
    body += struct.pack(">QQQQ", seq, config_seq, sent_at_ms, boot_us) + echo + digest
    body += struct.pack(">H", len(payloads))
    for app, k, data in payloads:
        body += struct.pack(">BBH", app, k, len(data)) + data
    return body + hmac.new(key, body, hashlib.sha256).digest()


def boot_id_of(datagram):
    """The sender's boot id in a heartbeat datagram."""
    name_len = datagram[5]
    return datagram[6 + name_len + 16:6 + name_len + 32]


class Node:
    def __init__(self, index, workdir, ids, udp_ports, period_ms=PERIOD_MS, timeout_ms=TIMEOUT_MS):
        self.id = ids[index]
        self.udp_port = udp_ports[index]
        self.console_port = free_port()
        nodes = "".join(f'<node id="{ids[i]}" cn="node{i + 1}" address="127.0.0.1" port="{udp_ports[i]}"/>'
                        for i in range(len(ids)))
        extra = (f'<listeners><console address="127.0.0.1" port="{self.console_port}"/></listeners>'
                 f'<clusters><cluster name="queltd" self="{self.id}" key="{KEY.decode()}" '
                 f'period_ms="{period_ms}" timeout_ms="{timeout_ms}" seq="3">{nodes}</cluster></clusters>')
        os.makedirs(workdir, exist_ok=True)
        self.daemon = Daemon(workdir, base_config(extra))

    def console(self, *lines):
        return console_session(self.console_port, list(lines))

    def show(self):
        """Node table and counters from "show cluster"."""
        text = self.console("show cluster")[0]
        nodes = {}
        for m in re.finditer(r"node (\S+) cn=(\S+) address=\S+ state=(\w+) age_ms=\S+ boot_us=(\d+) "
                             r"config_seq=(\d+)", text):
            nodes[m.group(1)] = {"cn": m.group(2), "state": m.group(3), "boot_us": int(m.group(4)),
                                 "config_seq": int(m.group(5))}
        counters = {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", text.split("\n")[1])}
        for m in re.finditer(r"node (\S+) .* node_list=(\w+)", text):
            nodes[m.group(1)]["node_list"] = m.group(2)
        return nodes, counters

    def owners(self, keys):
        """key -> (owners, live owners), each a list of node ids, best first."""
        out = {}
        for key, reply in zip(keys, self.console(*[f"show cluster owners {k}" for k in keys])):
            owners = re.search(r"^  owners:(.*)$", reply, re.M).group(1).split()
            live = re.search(r"^  live_owners:(.*)$", reply, re.M).group(1).split()
            out[key] = (owners, live)
        return out


@pytest.fixture
def cluster(tmp_path):
    ids = [str(uuid.uuid4()) for _ in range(3)]
    udp_ports = [free_udp_port() for _ in range(3)]
    nodes = [Node(i, str(tmp_path / f"node{i + 1}"), ids, udp_ports) for i in range(3)]
    try:
        for n in nodes:
            n.daemon.start()
        for n in nodes:
            n.daemon.wait_initialized()
        yield nodes
    finally:
        for n in nodes:
            if n.daemon.proc and n.daemon.proc.poll() is None:
                n.daemon.proc.kill()
                n.daemon.proc.wait()


def all_live(nodes):
    for n in nodes:
        table, _ = n.show()
        if len(table) != 3 or any(v["state"] not in ("self", "live") for v in table.values()):
            return False
    return True


def test_three_nodes_share_keys_and_survive_a_stopped_node(cluster):
    n1, n2, n3 = cluster
    wait_for(lambda: all_live(cluster), timeout=15, what="every node live on every node")

    keys = [f"key-{i}" for i in range(60)] + [str(uuid.uuid4()) for _ in range(20)]
    views = [n.owners(keys) for n in cluster]
    owned = {n.id: 0 for n in cluster}
    for key in keys:
        owners, live = views[0][key]
        assert len(owners) == 2 and len(set(owners)) == 2, (key, owners)
        assert set(owners) <= set(owned)
        assert live == owners
        for other in views[1:]:
            assert other[key] == (owners, live), key
        for o in owners:
            owned[o] += 1
    # Each node owns about two thirds of the keys.
    for node_id, count in owned.items():
        assert len(keys) * 2 / 3 * 0.6 < count < len(keys) * 2 / 3 * 1.4, (node_id, count)

    # Node 3 stops: within the timeout the others see it dead and its keys' live owners move.
    assert n3.daemon.stop() == 0
    stopped_at = time.monotonic()
    wait_for(lambda: all(n.show()[0][n3.id]["state"] == "dead" for n in (n1, n2)), timeout=15,
             what="node 3 dead on nodes 1 and 2")
    assert time.monotonic() - stopped_at < (TIMEOUT_MS + 2 * PERIOD_MS) / 1000 + 2
    after = [n.owners(keys) for n in (n1, n2)]
    moved = 0
    for key in keys:
        owners, live = after[0][key]
        assert after[1][key] == (owners, live), key
        assert owners == views[0][key][0], "ownership does not depend on liveness"
        assert n3.id not in live
        assert sorted(live) == sorted([n1.id, n2.id]), key
        moved += n3.id in owners
    assert moved > 0


def test_forged_replayed_and_stranger_heartbeats_are_ignored(cluster):
    n1, n2, _ = cluster
    wait_for(lambda: all_live(cluster), timeout=15, what="every node live on every node")
    before, counters = n1.show()
    real = before[n2.id]
    assert real["config_seq"] == 3

    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        target = ("127.0.0.1", n1.udp_port)
        # Claims to be node 2 rebooted with another configuration, signed with the wrong key.
        s.sendto(heartbeat(n2.id, os.urandom(16), 1, config_seq=99,
                           payloads=[(1, 1, b"forged")], key=b"not the cluster key at all"), target)
        # The right key, but another boot of node 2 sent before node 2's latest heartbeat: a
        # replay of an earlier run, whatever boot time it claims.
        s.sendto(heartbeat(n2.id, os.urandom(16), 10**6, config_seq=99, boot_us=real["boot_us"] + 10**9,
                           sent_at_ms=int(time.time() * 1000) - TIMEOUT_MS + 300), target)
        # The right key from a node nobody configured.
        s.sendto(heartbeat(str(uuid.uuid4()), os.urandom(16), 1), target)
        # The right key and a new boot, but sent an hour ago or an hour ahead: stale.
        hour_ms = 3600 * 1000
        s.sendto(heartbeat(n2.id, os.urandom(16), 1, config_seq=99,
                           sent_at_ms=int(time.time() * 1000) - hour_ms), target)
        s.sendto(heartbeat(n2.id, os.urandom(16), 1, config_seq=99,
                           sent_at_ms=int(time.time() * 1000) + hour_ms), target)
        # Not a heartbeat at all.
        s.sendto(b"hello there", target)

    def rejected():
        _, now = n1.show()
        return (now["bad_mac"] > counters["bad_mac"] and now["replayed"] > counters["replayed"]
                and now["stale"] >= counters.get("stale", 0) + 2
                and now["unknown_node"] > counters["unknown_node"]
                and now["malformed"] > counters["malformed"]) and now
    now = wait_for(rejected, timeout=10, what="the heartbeats counted as rejected")
    assert now["rejected"] >= counters["rejected"] + 6

    after, _ = n1.show()
    assert set(after) == set(before)
    assert after[n2.id]["boot_us"] == real["boot_us"]
    assert after[n2.id]["config_seq"] == 3
    assert all(v["state"] in ("self", "live") for v in after.values())


class FakeNode:
    """A cluster node played by the test on its own UDP port: it learns the daemon's boot id from
    the daemon's heartbeats and answers with heartbeats of its own, which it keeps (captured)."""

    def __init__(self, node_id, udp_port, ids):
        self.id = node_id
        self.boot_id = os.urandom(16)
        self.seq = 0
        self.digest = node_list_digest(ids)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", udp_port))
        self.sock.setblocking(False)
        self.peer_boot = None
        self.sent = []

    def listen(self):
        """Takes in what the daemon sent; returns the daemon's newest boot id (or None)."""
        while True:
            try:
                data = self.sock.recv(65536)
            except BlockingIOError:
                return self.peer_boot
            self.peer_boot = boot_id_of(data)

    def beat(self, to, digest=None):
        self.seq += 1
        hb = heartbeat(self.id, self.boot_id, self.seq, config_seq=3, echo=self.listen() or bytes(16),
                       digest=digest or self.digest)
        self.sock.sendto(hb, to)
        self.sent.append((time.time(), hb))


def test_captured_heartbeats_revive_nothing_after_a_restart_and_node_lists_are_compared(tmp_path):
    # Node 1 is a daemon, node 2 is played by the test, node 3 never runs. The timeout is long
    # enough for the daemon to restart while the captured heartbeats are still fresh.
    timeout_ms = 12000
    ids = [str(uuid.uuid4()) for _ in range(3)]
    udp_ports = [free_udp_port() for _ in range(3)]
    node = Node(0, str(tmp_path / "node1"), ids, udp_ports, timeout_ms=timeout_ms)
    fake = FakeNode(ids[1], udp_ports[1], ids)
    target = ("127.0.0.1", udp_ports[0])
    try:
        node.daemon.start()
        node.daemon.wait_initialized()
        wait_for(fake.listen, timeout=10, what="a heartbeat from the daemon")

        def live():
            fake.beat(target)
            return node.show()[0][fake.id]["state"] == "live"
        wait_for(live, timeout=10, what="the played node live")
        for _ in range(5):
            fake.beat(target)
        keys = [f"key-{i}" for i in range(40)]
        owned = [k for k, (owners, live_owners) in node.owners(keys).items() if fake.id in owners]
        assert owned and all(fake.id in node.owners([k])[k][1] for k in owned[:3])

        # Node 2 dies; node 1 restarts and meets the heartbeats captured before its restart.
        old_boot = fake.listen()
        node.daemon.stop()
        node.daemon.start()
        node.daemon.wait_initialized()
        captured = fake.sent[-8:]
        assert time.time() - captured[0][0] < timeout_ms / 1000 - 2, "the restart took too long"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _, hb in captured:
                s.sendto(hb, target)
        wait_for(lambda: node.show()[1]["unconfirmed"] >= len(captured), timeout=10,
                 what="the replays counted as unconfirmed")
        table, counters = node.show()
        assert table[fake.id]["state"] == "unseen"
        assert counters["accepted"] == 0
        after = node.owners(owned)
        assert all(fake.id not in live_owners for _, live_owners in after.values())

        # Alive after all, node 2 hears the new run and is confirmed; its node list differs.
        other_list = node_list_digest(ids[:2])
        wait_for(lambda: fake.listen() not in (None, old_boot), timeout=10,
                 what="the restarted daemon's boot id")

        def live_with_another_list():
            fake.beat(target, digest=other_list)
            table, counters = node.show()
            return table[fake.id]["state"] == "live" and table[fake.id]["node_list"] == "differs" and counters
        counters = wait_for(live_with_another_list, timeout=10, what="node 2 live, its list differing")
        assert counters["node_list_mismatches"] >= 1
        assert fake.id in node.owners([owned[0]])[owned[0]][1]
        wait_for(lambda: "is configured with another node list" in node.daemon.log(), timeout=5,
                 what="the differing list logged")
        assert re.search(r"error: cluster queltd: node " + fake.id, node.daemon.log())
    finally:
        fake.sock.close()
        if node.daemon.proc and node.daemon.proc.poll() is None:
            node.daemon.proc.kill()
            node.daemon.proc.wait()
