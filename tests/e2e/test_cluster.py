"""Three daemons on loopback form a cluster: they agree on the owners of every key, notice a node
that stops, and ignore heartbeats that are forged, replayed or from strangers. A node played by
the test checks that heartbeats captured before a restart revive nothing and that a differing
node list is reported."""
import hashlib
import hmac
import json
import os
import re
import socket
import struct
import threading
import time
import uuid

import pika
import pytest
import requests

from certs import pki  # noqa: F401  (fixture)
from conftest import Daemon, base_config, example_cluster_texts, example_rest_port, free_port, wait_for
from rabbitmq import rabbitmq_node  # noqa: F401  (session fixture)
from test_api_loading import TOKEN, RefApi
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


# ---- The shipped three-node example, end to end ---------------------------------------------------

EXAMPLE_UUID = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"
# Short enough for a quick test; the failover figures in docs/performance.md also use the defaults.
FAST_PERIOD_MS = int(os.environ.get("QUELT_CLUSTER_PERIOD_MS", "200"))
FAST_TIMEOUT_MS = int(os.environ.get("QUELT_CLUSTER_TIMEOUT_MS", "1500"))


def example_cluster_configs(pki, bus_port, api_port, batch_size):  # noqa: F811
    """examples/cluster/node1..3.conf with their ports moved to free ones (one map for all three, so
    that every node still finds the others), the test's bus, API and certificates, pages of
    batch_size rulesets and short heartbeat period and timeout. Yields (node id, config, ports)."""
    for text in example_cluster_texts(pki, bus_port):
        text = text.replace("http://127.0.0.1:8780", f"http://127.0.0.1:{api_port}").replace(
            "<token>example-token</token>", f"<token>{TOKEN}</token>")
        text = text.replace('<rulesets batch_size="10000"/>', f'<rulesets batch_size="{batch_size}"/>')
        text = text.replace('period_ms="1000" timeout_ms="5000"',
                            f'period_ms="{FAST_PERIOD_MS}" timeout_ms="{FAST_TIMEOUT_MS}"')
        mine = {k: int(re.search(pattern, text).group(1)) for k, pattern in (
            ("console", r'<console address="127.0.0.1" port="(\d+)"'),
            ("lines", r'<metrics address="127.0.0.1" port="(\d+)"'))}
        mine["rest"] = example_rest_port(text)
        yield re.search(r'self="([0-9a-f-]+)"', text).group(1), text, mine


class ExampleNode:
    def __init__(self, node_id, config, ports, workdir, pki):  # noqa: F811
        os.makedirs(workdir, exist_ok=True)
        self.id, self.ports, self.pki = node_id, ports, pki
        self.daemon = Daemon(workdir, config)

    def console(self, *lines):
        return console_session(self.ports["console"], list(lines))

    def get(self, path):
        return requests.get(f"https://127.0.0.1:{self.ports['rest']}{path}", cert=self.pki.client,
                            verify=self.pki.ca, timeout=10)

    def ids(self):
        return set(self.get("/rulesets?type=ecid_only").json())

    def state_of(self, node_id):
        m = re.search(r"node " + node_id + r" .* state=(\w+)", self.console("show cluster")[0])
        return m.group(1)

    def metric_owners(self, names):
        """name -> (owners, live owners) as "show cluster metric" tells them."""
        out = {}
        for name, reply in zip(names, self.console(*[f"show cluster metric {EXAMPLE_UUID} {n}" for n in names])):
            owners = re.search(r"^  owners:(.*)$", reply, re.M).group(1).split()
            live = re.search(r"^  live_owners:(.*)$", reply, re.M).group(1).split()
            out[name] = (owners, live)
        return out


def metric_line(name, t, value):
    return f"M\tb1\t{t}.000\tweb01`mod`c_7_9`{EXAMPLE_UUID}\t{name}\tn\t{value}\n"


def test_example_cluster_splits_rulesets_and_alerts_survive_a_killed_node(tmp_path, pki, rabbitmq_node):  # noqa: F811
    """Three nodes of examples/cluster load 60 rulesets from the reference API in pages of 4, each
    keeping what it owns; metric lines reach every node through its own queue; every transition
    arrives from each live owner holding the ruleset and from nobody else, before, while and after
    one node is killed with SIGKILL and restarted."""
    api = RefApi(str(tmp_path / "api"), free_port())
    nodes = [ExampleNode(node_id, config, ports, str(tmp_path / f"node{i + 1}"), pki)
             for i, (node_id, config, ports) in enumerate(
                 example_cluster_configs(pki, rabbitmq_node.port, api.port, batch_size=4))]
    n1, n2, n3 = nodes
    conn = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
    ch = conn.channel()
    ch.exchange_declare("vask.alerts", exchange_type="topic", durable=True)
    alerts = ch.queue_declare("", exclusive=True).method.queue
    ch.queue_bind(alerts, "vask.alerts", routing_key="vask.alerts.sev")
    feeder_stop = threading.Event()
    feeder = None
    try:
        # The API is down while the nodes start: their loads wait (and retry) until the rulesets
        # are chosen from what the nodes own.
        for n in nodes:
            n.daemon.start()
        for n in nodes:
            n.daemon.wait_initialized()

        wait_for(lambda: all(n.state_of(o.id) == "live" for n in nodes for o in nodes if o is not n),
                 timeout=15, what="every node live on every node")
        # Owners of 180 candidate metrics, as every node computes them; all live, all answer.
        candidates = [f"fleet.m{k}" for k in range(180)]
        views = [n.metric_owners(candidates) for n in nodes]
        assert views[0] == views[1] == views[2]
        assert all(owners == live for owners, live in views[0].values())
        by_outsider = {n.id: [] for n in nodes}
        for name in candidates:
            owners = views[0][name][0]
            assert len(set(owners)) == 2 and set(owners) <= set(by_outsider), owners
            outsider = (set(by_outsider) - set(owners)).pop()
            by_outsider[outsider].append(name)
        # Ids 1..60 in blocks of 20 metrics that one node does not own: each node meets five whole
        # pages of 4 it owns nothing of, and must page on past them.
        names, owners_of = {}, {}
        for block, n in enumerate(nodes):
            assert len(by_outsider[n.id]) >= 20
            for j, name in enumerate(by_outsider[n.id][:20]):
                ecid = block * 20 + j + 1
                names[ecid] = name
                owners_of[ecid] = set(views[0][name][0])
        api.write("rulesets", [
            {"event_criteria_id": ecid, "account_id": 7, "check_uuid": EXAMPLE_UUID, "metric_name": name,
             "metric_type": "numeric", "rules": [{"criteria": "max value", "severity": 2, "value": "10"}]}
            for ecid, name in names.items()])
        api.write("maintenance", [])
        api.start()

        def held_by(n):
            return {ecid for ecid in names if n.id in owners_of[ecid]}
        for n in nodes:
            wait_for(lambda: n.ids() == held_by(n), timeout=30,
                     what=f"{n.daemon.workdir} to load what it owns")
            assert n.get("/stats.json?format=simple").json()["ruleset"]["suppressed"] == 20
            r = n.get(f"/ruleset/{min(held_by(n))}").json()
            assert (r["owned"], r["operated"]) == (True, True)
        assert all(len(api.requests(f"/v2/super_rule_set?from_event_criteria_id={f}&")) >= 3
                   for f in range(1, 61, 4)), "every node asked for every page"

        # Round 1 goes to each node's own line listener; later rounds are published once on the
        # bus and reach every node through its own queue. A round raises (value 1000 + r) or clears
        # (value -r) every metric, so (ruleset, value) names each transition.
        t0 = int(time.time()) - 600
        published = {}  # round -> monotonic time of publishing

        def round_body(r):
            value = 1000 + r if r % 2 else -r
            return "".join(metric_line(name, t0 + r, value) for name in names.values())
        for n in nodes:
            with socket.create_connection(("127.0.0.1", n.ports["lines"]), timeout=10) as s:
                s.sendall(round_body(1).encode())
        published[1] = time.monotonic()

        docs = []  # (monotonic arrival, reporter, ecid, value)

        def drain():
            while True:
                method, _, body = ch.basic_get(alerts, auto_ack=True)
                if not method:
                    return
                sev = json.loads(body)["sev"]
                docs.append((time.monotonic(), sev["reporter"], sev["self_event_criteria_id"],
                             float(sev["value"])))

        def copies(r):
            value = float(1000 + r if r % 2 else -r)
            out = {ecid: [] for ecid in names}
            for _, reporter, ecid, v in docs:
                if v == value:
                    out[ecid].append(reporter)
            return out

        def round_complete(r, want):
            drain()
            c = copies(r)
            return all(len(c[ecid]) >= want(ecid) for ecid in names)
        wait_for(lambda: round_complete(1, lambda ecid: 2), timeout=20, what="round 1 from both owners")

        next_round = [2]

        def feed():
            pub = pika.BlockingConnection(pika.ConnectionParameters("127.0.0.1", rabbitmq_node.port))
            pch = pub.channel()
            pch.exchange_declare("vask.metrics", exchange_type="topic", durable=True)
            while not feeder_stop.is_set():
                r = next_round[0]
                pch.basic_publish("vask.metrics", "lines", round_body(r).encode())
                published[r] = time.monotonic()
                next_round[0] = r + 1
                feeder_stop.wait(0.25)
            pub.close()
        feeder = threading.Thread(target=feed, daemon=True)
        feeder.start()
        wait_for(lambda: next_round[0] > 8, timeout=20, what="rounds flowing")

        # Node 3 is killed while the lines flow.
        victim = n3
        victim_metrics = [names[e] for e in names if victim.id in owners_of[e]]
        victim.daemon.proc.kill()
        killed_at = time.monotonic()
        victim.daemon.proc.wait()
        seen_live_at, seen_dead = {}, {}

        def dropped(n):
            live = n.metric_owners(victim_metrics[:1])[victim_metrics[0]][1]
            if victim.id in live:
                seen_live_at[n.id] = time.monotonic()
                return False
            seen_dead.setdefault(n.id, time.monotonic())
            return True
        wait_for(lambda: all([dropped(n1), dropped(n2)]), timeout=10, interval=0.02,
                 what="the killed node dropped from the live owners")
        bound = (FAST_TIMEOUT_MS + 2 * FAST_PERIOD_MS) / 1000
        for n in (n1, n2):
            # The last look that still saw it live came before the bound: detection was within it.
            assert seen_live_at.get(n.id, killed_at) - killed_at < bound, (n.id, seen_live_at, killed_at)
        # Seen live last, seen dead first (seconds after the kill): the change lies between.
        detected = {n.id[:8]: (round(seen_live_at.get(n.id, killed_at) - killed_at, 3),
                               round(seen_dead[n.id] - killed_at, 3)) for n in (n1, n2)}
        # Its place among the live owners goes to the next node, which holds no ruleset for it.
        for name, (owners, live) in n1.metric_owners(victim_metrics).items():
            assert victim.id in owners and victim.id not in live and len(live) == 2, name
        dead_from = next_round[0]
        wait_for(lambda: next_round[0] > dead_from + 6, timeout=20, what="rounds while node 3 is dead")
        dead_to = next_round[0] - 1

        # Node 3 comes back: it loads its share again and publishes again.
        drain()  # everything of the killed run is on the bus by now
        restarted_at = time.monotonic()
        victim.daemon.start()
        victim.daemon.wait_initialized()
        wait_for(lambda: victim.ids() == held_by(victim), timeout=30, what="node 3 to reload")
        wait_for(lambda: "queltd ready for data." in victim.daemon.log(), what="node 3 consuming")
        back_from = next_round[0] + 1
        wait_for(lambda: next_round[0] > back_from + 6, timeout=20, what="rounds after the restart")
        feeder_stop.set()
        feeder.join(10)
        last = next_round[0] - 1

        def expected(r):
            """Copies each transition of round r must have: 2 while all live, 1 for node 3's
            metrics while it is dead; around the kill and the restart at least 1."""
            if r < dead_from - 2 and published[r] < killed_at - 0.5:
                return lambda ecid: 2
            if dead_from <= r <= dead_to:
                return lambda ecid: 1 if victim.id in owners_of[ecid] else 2
            if r >= back_from:
                return lambda ecid: 2
            return lambda ecid: 1
        for r in range(1, last + 1):
            wait_for(lambda: round_complete(r, expected(r)), timeout=20, what=f"round {r}")
        time.sleep(0.5)  # anything late would be a copy too many
        drain()

        lost, histogram = 0, {}
        for r in range(1, last + 1):
            want = expected(r)
            for ecid, reporters in copies(r).items():
                lost += not reporters
                assert set(reporters) <= owners_of[ecid], (r, ecid, reporters)  # owners only
                assert len(reporters) == len(set(reporters)), (r, ecid, reporters)  # once each
                if want(ecid) == 2 or (dead_from <= r <= dead_to):
                    assert len(reporters) == want(ecid), (r, ecid, reporters)
                histogram[len(reporters)] = histogram.get(len(reporters), 0) + 1
        assert lost == 0
        # Nothing was suppressed: a node publishes whatever it holds while it lives.
        for n in nodes:
            stats = n.get("/stats.json?format=simple").json()["notifications"]["alerts"]
            assert stats["suppressed"] == 0 and stats["failed"] == 0
            # The restarted node counts from its restart.
            since = restarted_at if n is victim else 0
            assert stats["sent"] == sum(1 for t, rep, _, _ in docs if rep == n.id and t > since), n.id
        print(f"\ncluster failover: period {FAST_PERIOD_MS} ms, timeout {FAST_TIMEOUT_MS} ms, "
              f"kill to live-owner change {detected} s, rounds {last}, transitions "
              f"{last * len(names)}, lost {lost}, copies per transition {dict(sorted(histogram.items()))}")
    finally:
        feeder_stop.set()
        if feeder:
            feeder.join(10)
        conn.close()
        api.stop()
        for n in nodes:
            if n.daemon.proc and n.daemon.proc.poll() is None:
                n.daemon.proc.kill()
                n.daemon.proc.wait()
