#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "general.h"
#include "metrics.h"
#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_module.h"

// These tests share one process-wide cluster registry, so they run in the order written: first
// without a cluster, then after init_cluster joined the configured one.

namespace {

const char *const node_ids[3] = {"6f1e2d3c-0000-4000-8000-00000000000a",
                                 "6f1e2d3c-0000-4000-8000-00000000000b",
                                 "6f1e2d3c-0000-4000-8000-00000000000c"};
const char *const cluster_key = "metrics cluster test key";

int fake_register_connection_hook(const char *, tovi_amqp_connection_hook_t, void *) {
  return 0;
}

std::mutex lines_lock;
std::vector<std::string> debug_lines;

void capture_debug_lines() {
  static std::once_flag once;
  std::call_once(once, [] {
    tovi_function_register("tovi_amqp_register_connection_hook",
                           reinterpret_cast<void *>(&fake_register_connection_hook));
    tovi_log_outlet_register_callback("test_metrics", [](tovi_log_stream_t, std::string_view t) {
      std::lock_guard<std::mutex> g(lines_lock);
      debug_lines.emplace_back(t);
    });
    tovi_log_stream_add_outlet("debug", "test_metrics");
    tovi_log_enable("debug");
  });
}

bool logged(const std::string &text) {
  std::lock_guard<std::mutex> g(lines_lock);
  for (const std::string &l : debug_lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}

uint16_t free_udp_port() {
  boost::asio::io_context ctx;
  boost::asio::ip::udp::socket s(
      ctx, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return s.local_endpoint().port();
}

std::string cluster_xml(const char *name, const char *key, uint16_t ports[3]) {
  std::string xml = std::string("<clusters><cluster name=\"") + name + "\" self=\"" + node_ids[0] +
                    "\" key=\"" + key + "\" period_ms=\"100\" timeout_ms=\"1000\">";
  for (int i = 0; i < 3; i++)
    xml += std::string("<node id=\"") + node_ids[i] + "\" cn=\"n" + std::to_string(i) +
           "\" address=\"127.0.0.1\" port=\"" + std::to_string(ports[i]) + "\"/>";
  return xml + "</cluster></clusters>";
}

// Account 7 is excluded from this daemon.
void load_config(const std::string &extra) {
  std::string xml =
      "<queltd><eventer><config><concurrency>1</concurrency></config></eventer>"
      "<accounts exclude=\"true\"><account id=\"7\"/></accounts>" +
      extra + "</queltd>";
  ASSERT_TRUE(tovi_conf_load_string(xml.c_str(), "metrics.conf"));
  capture_debug_lines();
  general_init();
}

struct metric_t {
  uint8_t uuid[16];
  std::string name;
};

std::vector<metric_t> some_metrics(int n) {
  std::vector<metric_t> out;
  for (int i = 0; i < n; i++) {
    metric_t m;
    for (int b = 0; b < 16; b++)
      m.uuid[b] = uint8_t(i * 31 + b * 7 + 1);
    m.name = "cpu`" + std::to_string(i) + "|ST[host:web" + std::to_string(i % 7) + "]";
    out.push_back(m);
  }
  return out;
}

// A peer's view of the same cluster, for heartbeats and as a second opinion on ownership.
tovi_cluster_t *peer(int self, uint64_t boot_time_us = 0) {
  tovi_cluster_config_t cfg;
  cfg.name = "queltd";
  cfg.key = cluster_key;
  cfg.self_id = node_ids[self];
  cfg.period_ms = 100;
  cfg.timeout_ms = 1000;
  cfg.boot_time_us = boot_time_us;
  for (int i = 0; i < 3; i++)
    cfg.nodes.push_back({node_ids[i], "n" + std::to_string(i), "127.0.0.1", uint16_t(1 + i)});
  std::string error;
  tovi_cluster_t *c = tovi_cluster_alloc(cfg, &error);
  EXPECT_NE(c, nullptr) << error;
  return c;
}

}  // namespace

TEST(metrics_cluster, without_a_cluster_every_handled_metric_is_owned_here) {
  load_config("");
  init_cluster();
  EXPECT_EQ(tovi_cluster_find("queltd"), nullptr);
  for (const metric_t &m : some_metrics(50)) {
    uint32_t hash = 0;
    EXPECT_TRUE(metrics_do_i_own(1, m.uuid, m.name.data(), int(m.name.size()), &hash));
    EXPECT_NE(hash, 0u);
    EXPECT_FALSE(metrics_do_i_own(7, m.uuid, m.name.data(), int(m.name.size()), nullptr));
    EXPECT_TRUE(metrics_am_i_responsible(1, m.uuid, m.name.data(), int(m.name.size())));
    EXPECT_TRUE(metrics_am_i_responsible(7, m.uuid, m.name.data(), int(m.name.size())));
  }
}

TEST(metrics_cluster, a_missing_or_unusable_cluster_stops_start_up) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  uint16_t ports[3] = {free_udp_port(), free_udp_port(), free_udp_port()};
  EXPECT_EXIT(
      {
        load_config(cluster_xml("other", cluster_key, ports));
        eventer_init();
        init_cluster();
      },
      ::testing::ExitedWithCode(1), "Unable to find cluster queltd");
  EXPECT_EXIT(
      {
        load_config(cluster_xml("queltd", "too short", ports));
        eventer_init();
        init_cluster();
      },
      ::testing::ExitedWithCode(2), "at least 16 bytes");
}

TEST(metrics_cluster, with_a_cluster_ownership_and_responsibility_follow_the_nodes) {
  uint16_t ports[3] = {free_udp_port(), free_udp_port(), free_udp_port()};
  load_config(cluster_xml("queltd", cluster_key, ports));
  ASSERT_EQ(eventer_init(), 0);
  // The event loop is not run: heartbeats are fed by hand below, at times of our choosing.
  init_cluster();
  tovi_cluster_t *mine = tovi_cluster_find("queltd");
  ASSERT_NE(mine, nullptr);
  EXPECT_TRUE(logged(std::string("Initialized cluster. My uuid is: ") + node_ids[0]));

  // The heartbeat payload is attached to this node.
  std::vector<tovi_cluster_node_t> nodes = tovi_cluster_nodes_copy(mine);
  ASSERT_EQ(nodes.size(), 3u);
  const tovi_cluster_payload_t *payload = tovi_cluster_node_find_payload(&nodes[0], 1, 1);
  ASSERT_NE(payload, nullptr);
  EXPECT_EQ(payload->bytes, std::string("Hello world!") + std::string(20, '\0'));

  tovi_cluster_t *b = peer(1, 1), *c = peer(2, 2);
  const std::vector<metric_t> metrics = some_metrics(300);

  // Before any peer is heard from this node is the only live one: it answers for everything,
  // but owns only its share.
  int owned = 0;
  for (const metric_t &m : metrics) {
    int len = int(m.name.size());
    bool own = metrics_do_i_own(1, m.uuid, m.name.data(), len, nullptr);
    owned += own;
    EXPECT_TRUE(metrics_am_i_responsible(1, m.uuid, m.name.data(), len));
    // Every node computes the same owners: a peer's ranking agrees with ours.
    std::string key(reinterpret_cast<const char *>(m.uuid), 16);
    key += m.name;
    // With two owners among three nodes, this node owns exactly what b and c do not share.
    bool b_owns = tovi_cluster_am_i_owner(b, key.data(), key.size(), 2);
    bool c_owns = tovi_cluster_am_i_owner(c, key.data(), key.size(), 2);
    EXPECT_EQ(own, !(b_owns && c_owns)) << m.name;
    EXPECT_FALSE(metrics_do_i_own(7, m.uuid, m.name.data(), len, nullptr));
  }
  EXPECT_GT(owned, 300 * 2 / 3 * 0.8);
  EXPECT_LT(owned, 300 * 2 / 3 * 1.2);

  // Peers come alive: the hook logs them, and responsibility narrows to what this node owns.
  ASSERT_TRUE(tovi_cluster_set_heartbeat_payload(b, 1, 1, "Hello world!\0\0\0\0", 16));
  uint8_t my_id[16], peer_id[16];
  tovi_cluster_get_my_id(mine, my_id);
  for (tovi_cluster_t *p : {b, c}) {
    // The peer hears from this node first: only then do its heartbeats count here.
    tovi_cluster_get_my_id(p, peer_id);
    std::string hello = tovi_cluster_heartbeat_build(mine, peer_id);
    tovi_cluster_heartbeat_receive(p, hello.data(), hello.size(), 1000);
    std::string hb = tovi_cluster_heartbeat_build(p, my_id);
    ASSERT_EQ(tovi_cluster_heartbeat_receive(mine, hb.data(), hb.size(), 1000),
              TOVI_CLUSTER_HB_ACCEPTED);
  }
  EXPECT_TRUE(logged("The cluster topology has changed (seq=0): I am oldest node: 0"));
  EXPECT_TRUE(logged("Found new node"));
  EXPECT_TRUE(logged("Node's payload has changed:"));
  EXPECT_TRUE(logged("Payloads attached to cluster heartbeat: Hello world!"));
  EXPECT_TRUE(logged("No payload attached to cluster heartbeat"));
  for (const metric_t &m : metrics) {
    int len = int(m.name.size());
    EXPECT_EQ(metrics_am_i_responsible(1, m.uuid, m.name.data(), len),
              metrics_do_i_own(1, m.uuid, m.name.data(), len, nullptr))
        << m.name;
  }

  // The zero check UUID and the empty name are always this node's, owned or not.
  const metric_t *foreign = nullptr;
  for (const metric_t &m : metrics)
    if (!metrics_do_i_own(1, m.uuid, m.name.data(), int(m.name.size()), nullptr)) foreign = &m;
  ASSERT_NE(foreign, nullptr);
  EXPECT_FALSE(
      metrics_am_i_responsible(1, foreign->uuid, foreign->name.data(), int(foreign->name.size())));
  EXPECT_TRUE(metrics_am_i_responsible(1, foreign->uuid, foreign->name.data(), 0));
  EXPECT_TRUE(metrics_am_i_responsible(1, foreign->uuid, nullptr, 5));
  uint8_t zero[16] = {};
  EXPECT_TRUE(metrics_am_i_responsible(1, zero, foreign->name.data(), int(foreign->name.size())));
  EXPECT_TRUE(
      metrics_am_i_responsible(1, nullptr, foreign->name.data(), int(foreign->name.size())));
  // A negative length reads the name as a C string.
  EXPECT_FALSE(metrics_am_i_responsible(1, foreign->uuid, foreign->name.c_str(), -1));

  // The console names a metric's owners by check UUID and name, tags in any order. A metric of
  // b and c: this node neither owns it nor answers for it while both are live.
  std::string tagged;
  for (int i = 0; tagged.empty(); i++) {
    std::string canonical = "disk" + std::to_string(i) + "|ST[a:1,b:2]";
    if (!metrics_do_i_own(1, foreign->uuid, canonical.c_str(), -1, nullptr))
      tagged = "disk" + std::to_string(i) + "|ST[b:2,a:1]";
  }
  char uuid_text[37], b_id[37], c_id[37];
  tovi_cluster_uuid_unparse(foreign->uuid, uuid_text);
  tovi_cluster_get_my_id(b, peer_id);
  tovi_cluster_uuid_unparse(peer_id, b_id);
  tovi_cluster_get_my_id(c, peer_id);
  tovi_cluster_uuid_unparse(peer_id, c_id);
  std::string command = std::string("show cluster metric ") + uuid_text + " " + tagged;
  auto owners_line = [](const std::string &reply, const char *label) {
    size_t at = reply.find(std::string("  ") + label + ":");
    EXPECT_NE(at, std::string::npos) << reply;
    if (at == std::string::npos) return std::set<std::string>{};
    std::istringstream words(reply.substr(at, reply.find('\n', at) - at));
    std::set<std::string> ids;
    std::string word;
    words >> word;
    while (words >> word)
      ids.insert(word);
    return ids;
  };
  std::string reply = tovi_console_execute(command);
  EXPECT_NE(reply.find("|ST[a:1,b:2]"), std::string::npos) << reply;
  EXPECT_EQ(owners_line(reply, "owners"), (std::set<std::string>{b_id, c_id})) << reply;
  EXPECT_EQ(owners_line(reply, "live_owners"), (std::set<std::string>{b_id, c_id})) << reply;
  EXPECT_NE(reply.find("this node: owner=no responsible=no"), std::string::npos) << reply;
  EXPECT_NE(tovi_console_execute("show cluster metric not-a-uuid cpu").find("bad check uuid"),
            std::string::npos);

  // Node b stops: after the timeout this node answers for the metrics b owned with it.
  std::string hb = tovi_cluster_heartbeat_build(c, my_id);
  tovi_cluster_heartbeat_receive(mine, hb.data(), hb.size(), 1900);
  tovi_cluster_tick(mine, 2000);
  reply = tovi_console_execute(command);
  EXPECT_EQ(owners_line(reply, "owners"), (std::set<std::string>{b_id, c_id})) << reply;
  EXPECT_EQ(owners_line(reply, "live_owners"), (std::set<std::string>{c_id, node_ids[0]})) << reply;
  EXPECT_NE(reply.find("this node: owner=no responsible=yes"), std::string::npos) << reply;
  for (const metric_t &m : metrics) {
    int len = int(m.name.size());
    EXPECT_TRUE(metrics_am_i_responsible(1, m.uuid, m.name.data(), len)) << m.name;
  }
  tovi_cluster_free(b);
  tovi_cluster_free(c);
}

TEST(metrics_cluster, names_are_cut_to_4080_bytes_in_the_key) {
  uint8_t uuid[16];
  for (int i = 0; i < 16; i++)
    uuid[i] = uint8_t(0xa0 + i);
  std::string base(4080, 'n');
  uint32_t h1 = 0, h2 = 0, h3 = 0, h4 = 0;
  // Same first 4080 bytes: same hash, same ownership, whatever follows.
  std::string x = base + "tail-one", y = base + "another tail that is longer";
  bool own_x = metrics_do_i_own(1, uuid, x.data(), int(x.size()), &h1);
  bool own_y = metrics_do_i_own(1, uuid, y.data(), int(y.size()), &h2);
  EXPECT_EQ(h1, h2);
  EXPECT_EQ(own_x, own_y);
  EXPECT_EQ(metrics_am_i_responsible(1, uuid, x.data(), int(x.size())),
            metrics_am_i_responsible(1, uuid, y.data(), int(y.size())));
  metrics_do_i_own(1, uuid, x.c_str(), -1, &h3);
  EXPECT_EQ(h1, h3);
  // A difference inside the first 4080 bytes counts.
  std::string z = x;
  z[4079] = 'm';
  metrics_do_i_own(1, uuid, z.data(), int(z.size()), &h4);
  EXPECT_NE(h1, h4);
  // The hash is the same on every node and in every build: it is the cluster's stable hash of
  // the key with seed 1337.
  std::string key(reinterpret_cast<const char *>(uuid), 16);
  key += "cpu";
  uint32_t h = 0;
  metrics_do_i_own(1, uuid, "cpu", 3, &h);
  EXPECT_EQ(h, tovi_cluster_hash32(key.data(), key.size(), 1337));
}
