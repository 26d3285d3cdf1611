#include "tovi/tovi_cluster.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "test_support.h"

namespace {

const char *const test_key = "a test key of more than sixteen bytes";

std::string node_id(int i) {
  char text[37];
  snprintf(text, sizeof(text), "%08x-1c2d-4e5f-8a9b-%012x", 0x5eed0000u + unsigned(i),
           0xc0ffeeu * unsigned(i + 1));
  return text;
}

tovi_cluster_config_t make_config(const std::vector<int> &nodes, int self, const char *name = "t",
                                  const char *key = test_key) {
  tovi_cluster_config_t cfg;
  cfg.name = name;
  cfg.key = key;
  cfg.self_id = node_id(self);
  cfg.period_ms = 100;
  cfg.timeout_ms = 1000;
  for (int i : nodes)
    cfg.nodes.push_back({node_id(i), "node" + std::to_string(i), "127.0.0.1", uint16_t(9000 + i)});
  return cfg;
}

struct cluster_deleter_t {
  void operator()(tovi_cluster_t *c) const { tovi_cluster_free(c); }
};
typedef std::unique_ptr<tovi_cluster_t, cluster_deleter_t> cluster_up;

cluster_up make_cluster(const tovi_cluster_config_t &cfg) {
  std::string error;
  tovi_cluster_t *c = tovi_cluster_alloc(cfg, &error);
  EXPECT_NE(c, nullptr) << error;
  return cluster_up(c);
}

std::vector<std::string> owner_ids(tovi_cluster_t *c, const std::string &key, int redundancy) {
  tovi_memory_scope_c bracket;
  const tovi_cluster_node_t *owners[16];
  int n = tovi_cluster_get_owners(c, key.data(), key.size(), owners, 16, redundancy);
  std::vector<std::string> out;
  for (int i = 0; i < n; i++)
    out.push_back(owners[i]->id_text);
  return out;
}

std::vector<std::string> live_owner_ids(tovi_cluster_t *c, const std::string &key, int max) {
  tovi_memory_scope_c bracket;
  const tovi_cluster_node_t *owners[16];
  int n = tovi_cluster_filter_owners(c, key.data(), key.size(), owners, max,
                                     tovi_cluster_liveness_filter, nullptr);
  std::vector<std::string> out;
  for (int i = 0; i < n; i++)
    out.push_back(owners[i]->id_text);
  return out;
}

tovi_cluster_node_t node_of(tovi_cluster_t *c, int i) {
  uint8_t id[16];
  EXPECT_TRUE(tovi_cluster_uuid_parse(node_id(i).c_str(), id));
  for (const auto &n : tovi_cluster_nodes_copy(c))
    if (memcmp(n.id, id, 16) == 0) return n;
  ADD_FAILURE() << "no node " << i;
  return {};
}

// The datagram `from` sends to `to`: it echoes the boot id that `from` learned of `to`.
std::string beat(tovi_cluster_t *from, tovi_cluster_t *to) {
  uint8_t id[16];
  tovi_cluster_get_my_id(to, id);
  return tovi_cluster_heartbeat_build(from, id);
}

// `listener` hears one heartbeat of `speaker` and learns its boot id, so that what `listener`
// sends to `speaker` afterwards is confirmed there.
void hear(tovi_cluster_t *listener, tovi_cluster_t *speaker) {
  std::string hb = beat(speaker, listener);
  tovi_cluster_heartbeat_result_t r =
      tovi_cluster_heartbeat_receive(listener, hb.data(), hb.size(), 0);
  EXPECT_TRUE(r == TOVI_CLUSTER_HB_UNCONFIRMED || r == TOVI_CLUSTER_HB_ACCEPTED)
      << tovi_cluster_heartbeat_result_name(r);
}

// Waits for the wall clock to reach a new millisecond, so that a new boot's heartbeat is sent
// after everything an earlier one sent.
void next_wall_ms() {
  auto ms = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  auto start = ms();
  while (ms() == start)
    std::this_thread::yield();
}

// Records the updates the hooks report, per cluster.
struct update_t {
  tovi_cluster_t *cluster;
  std::string node;
  uint32_t changes;
  uint64_t old_boot;
};
std::mutex updates_lock;
std::vector<update_t> updates;

int record_update(void *, uint32_t changes, const tovi_cluster_node_t *node,
                  tovi_cluster_t *cluster, uint64_t old_boot) {
  std::lock_guard<std::mutex> g(updates_lock);
  updates.push_back(update_t{cluster, node->id_text, changes, old_boot});
  return TOVI_HOOK_CONTINUE;
}

// Freed clusters' addresses come back: each test forgets the updates of the tests before it.
void forget_updates() {
  std::lock_guard<std::mutex> g(updates_lock);
  updates.clear();
}

std::vector<update_t> updates_of(tovi_cluster_t *c) {
  std::lock_guard<std::mutex> g(updates_lock);
  std::vector<update_t> out;
  for (const auto &u : updates)
    if (u.cluster == c) out.push_back(u);
  return out;
}

class cluster_environment_c : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(tovi_conf_load_string(
        "<queltd><eventer><config><concurrency>2</concurrency></config></eventer></queltd>",
        "cluster.conf"));
    ASSERT_EQ(eventer_init(), 0);
    ASSERT_TRUE(tovi_cluster_node_update_hook_register("test-recorder", record_update, nullptr));
    quelt_test::start_event_loop();
  }
  void TearDown() override { quelt_test::stop_event_loop(); }
};
const auto *environment = ::testing::AddGlobalTestEnvironment(new cluster_environment_c);

}  // namespace

TEST(tovi_cluster, uuid_text_round_trips_and_bad_texts_are_refused) {
  uint8_t id[16];
  ASSERT_TRUE(tovi_cluster_uuid_parse("0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", id));
  char text[37];
  tovi_cluster_uuid_unparse(id, text);
  EXPECT_STREQ(text, "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9");
  for (const char *bad :
       {"", "0a1b2c3d4e5f60718293a4b5c6d7e8f9", "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f",
        "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f90", "0a1b2c3d-4e5f-6071-8293_a4b5c6d7e8f9",
        "0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8fg"})
    EXPECT_FALSE(tovi_cluster_uuid_parse(bad, id)) << bad;
}

TEST(tovi_cluster, hashes_are_murmur3_and_never_change) {
  // Published MurmurHash3 x86_32 values.
  EXPECT_EQ(tovi_cluster_hash32("", 0, 0), 0u);
  EXPECT_EQ(tovi_cluster_hash32("", 0, 1), 0x514e28b7u);
  EXPECT_EQ(tovi_cluster_hash32("", 0, 0xffffffff), 0x81f16f39u);
  EXPECT_EQ(tovi_cluster_hash32("\0\0\0\0", 4, 0), 0x2362f9deu);
  EXPECT_EQ(tovi_cluster_hash32("aaaa", 4, 0x9747b28c), 0x5a97808au);
  EXPECT_EQ(tovi_cluster_hash32("Hello, world!", 13, 0x9747b28c), 0x24884cbau);
  EXPECT_EQ(tovi_cluster_hash32("The quick brown fox jumps over the lazy dog", 43, 0x9747b28c),
            0x2fa826cdu);
  EXPECT_EQ(tovi_cluster_hash64("", 0, 0), 0u);
  // Nodes of different builds must agree: these values are part of the wire contract.
  EXPECT_EQ(tovi_cluster_hash64("hello", 5, 0), 0xcbd8a7b341bd9b02ull);
}

TEST(tovi_cluster, every_node_computes_the_same_owners) {
  std::vector<int> all = {0, 1, 2, 3, 4};
  std::vector<cluster_up> nodes;
  for (int self : all)
    nodes.push_back(make_cluster(make_config(all, self)));
  for (int k = 0; k < 500; k++) {
    std::string key = "key-" + std::to_string(k);
    std::vector<std::string> expected = owner_ids(nodes[0].get(), key, 2);
    ASSERT_EQ(expected.size(), 2u);
    EXPECT_NE(expected[0], expected[1]);
    int owning = 0;
    for (auto &c : nodes) {
      EXPECT_EQ(owner_ids(c.get(), key, 2), expected);
      owning += tovi_cluster_am_i_owner(c.get(), key.data(), key.size(), 2);
    }
    EXPECT_EQ(owning, 2) << key;
  }
}

TEST(tovi_cluster, owner_count_follows_redundancy_and_capacity) {
  std::vector<int> all = {0, 1, 2};
  cluster_up c = make_cluster(make_config(all, 0));
  tovi_memory_scope_c bracket;
  const tovi_cluster_node_t *owners[8];
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "k", 1, owners, 8, 0), 0);
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "k", 1, owners, 8, 1), 1);
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "k", 1, owners, 8, 3), 3);
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "k", 1, owners, 8, 7), 3);
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "k", 1, owners, 2, 3), 2);
  // The first owners of a larger redundancy are the owners of a smaller one.
  EXPECT_EQ(owner_ids(c.get(), "k", 3)[0], owner_ids(c.get(), "k", 1)[0]);
  // An empty key has owners like any other.
  EXPECT_EQ(tovi_cluster_get_owners(c.get(), "", 0, owners, 8, 2), 2);
}

TEST(tovi_cluster, ownership_is_balanced_across_nodes) {
  std::vector<int> all = {0, 1, 2, 3, 4};
  cluster_up c = make_cluster(make_config(all, 0));
  std::map<std::string, int> owned;
  const int keys = 20000;
  for (int k = 0; k < keys; k++)
    for (const auto &id : owner_ids(c.get(), "metric/" + std::to_string(k), 2))
      owned[id]++;
  ASSERT_EQ(owned.size(), 5u);
  const double expected = keys * 2.0 / 5;
  for (const auto &[id, count] : owned) {
    EXPECT_GT(count, expected * 0.93) << id;
    EXPECT_LT(count, expected * 1.07) << id;
  }
}

TEST(tovi_cluster, removing_a_node_moves_only_the_keys_it_owned) {
  cluster_up five = make_cluster(make_config({0, 1, 2, 3, 4}, 0));
  cluster_up four = make_cluster(make_config({0, 1, 2, 4}, 0));
  const std::string removed = node_id(3);
  int moved = 0;
  for (int k = 0; k < 2000; k++) {
    std::string key = "k" + std::to_string(k);
    std::vector<std::string> before = owner_ids(five.get(), key, 2);
    std::vector<std::string> after = owner_ids(four.get(), key, 2);
    bool had_removed = before[0] == removed || before[1] == removed;
    if (!had_removed) {
      EXPECT_EQ(before, after) << key;
      continue;
    }
    moved++;
    // The surviving owner keeps the key; one new owner joins.
    const std::string &survivor = before[0] == removed ? before[1] : before[0];
    EXPECT_TRUE(after[0] == survivor || after[1] == survivor) << key;
  }
  EXPECT_GT(moved, 2000 * 2 / 5 * 0.85);
  EXPECT_LT(moved, 2000 * 2 / 5 * 1.15);
}

TEST(tovi_cluster, heartbeats_carry_identity_and_payloads) {
  forget_updates();
  tovi_cluster_config_t a_cfg = make_config({0, 1}, 0);
  a_cfg.config_seq = 7;
  a_cfg.boot_time_us = 1000;
  cluster_up a = make_cluster(a_cfg);
  cluster_up b = make_cluster(make_config({0, 1}, 1));
  ASSERT_TRUE(tovi_cluster_set_heartbeat_payload(a.get(), 1, 1, "Hello world!\0\0", 14));
  ASSERT_TRUE(tovi_cluster_set_heartbeat_payload(a.get(), 2, 5, "x", 1));

  EXPECT_FALSE(node_of(b.get(), 0).seen);
  hear(a.get(), b.get());
  std::string hb = beat(a.get(), b.get());
  ASSERT_EQ(tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size(), 50),
            TOVI_CLUSTER_HB_ACCEPTED);
  tovi_cluster_node_t seen = node_of(b.get(), 0);
  EXPECT_TRUE(seen.seen);
  EXPECT_TRUE(seen.live);
  EXPECT_EQ(seen.boot_time_us, 1000u);
  uint8_t a_boot[16];
  tovi_cluster_get_boot_id(a.get(), a_boot);
  EXPECT_EQ(memcmp(seen.boot_id, a_boot, 16), 0);
  EXPECT_FALSE(seen.node_list_differs);
  EXPECT_EQ(seen.config_seq, 7u);
  EXPECT_EQ(seen.cn, "node0");
  ASSERT_EQ(seen.payloads.size(), 2u);
  const tovi_cluster_payload_t *p = tovi_cluster_node_find_payload(&seen, 1, 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->bytes, std::string("Hello world!\0\0", 14));
  EXPECT_EQ(tovi_cluster_node_find_payload(&seen, 2, 1), nullptr);

  std::vector<update_t> u = updates_of(b.get());
  ASSERT_EQ(u.size(), 1u);
  EXPECT_EQ(u[0].node, node_id(0));
  EXPECT_EQ(u[0].changes, uint32_t(TOVI_CLUSTER_NODE_NEW | TOVI_CLUSTER_NODE_CAME_ALIVE |
                                   TOVI_CLUSTER_NODE_PAYLOAD_CHANGED));

  // The same payloads again change nothing; a removed payload is a change.
  hb = beat(a.get(), b.get());
  tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size(), 60);
  EXPECT_EQ(updates_of(b.get()).size(), 1u);
  ASSERT_TRUE(tovi_cluster_set_heartbeat_payload(a.get(), 2, 5, nullptr, 0));
  hb = beat(a.get(), b.get());
  tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size(), 70);
  u = updates_of(b.get());
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[1].changes, uint32_t(TOVI_CLUSTER_NODE_PAYLOAD_CHANGED));
  EXPECT_EQ(node_of(b.get(), 0).payloads.size(), 1u);
  // Our own payloads show on our own node.
  EXPECT_EQ(node_of(a.get(), 0).payloads.size(), 1u);
}

TEST(tovi_cluster, payloads_beyond_the_datagram_limit_are_refused) {
  cluster_up a = make_cluster(make_config({0, 1}, 0));
  std::string big(TOVI_CLUSTER_MAX_HEARTBEAT, 'x');
  EXPECT_FALSE(tovi_cluster_set_heartbeat_payload(a.get(), 1, 1, big.data(), big.size()));
  EXPECT_TRUE(tovi_cluster_set_heartbeat_payload(a.get(), 1, 1, big.data(), 4000));
  EXPECT_FALSE(tovi_cluster_set_heartbeat_payload(a.get(), 1, 2, big.data(), 4200));
  EXPECT_FALSE(tovi_cluster_set_heartbeat_payload(nullptr, 1, 1, "x", 1));
  EXPECT_LE(tovi_cluster_heartbeat_build(a.get(), nullptr).size(),
            size_t(TOVI_CLUSTER_MAX_HEARTBEAT));
}

TEST(tovi_cluster, any_tampered_byte_is_rejected) {
  forget_updates();
  cluster_up a = make_cluster(make_config({0, 1}, 0));
  cluster_up b = make_cluster(make_config({0, 1}, 1));
  ASSERT_TRUE(tovi_cluster_set_heartbeat_payload(a.get(), 1, 1, "payload", 7));
  hear(a.get(), b.get());
  std::string hb = beat(a.get(), b.get());
  for (size_t i = 0; i < hb.size(); i++) {
    for (uint8_t flip : {0x01, 0x80}) {
      std::string bad = hb;
      bad[i] = char(bad[i] ^ flip);
      EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), bad.data(), bad.size(), 10),
                TOVI_CLUSTER_HB_BAD_MAC)
          << "byte " << i;
    }
  }
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size() - 1, 10),
            TOVI_CLUSTER_HB_BAD_MAC);
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), hb.data(), 20, 10), TOVI_CLUSTER_HB_MALFORMED);
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), nullptr, 0, 10), TOVI_CLUSTER_HB_MALFORMED);
  EXPECT_FALSE(node_of(b.get(), 0).seen);
  EXPECT_TRUE(updates_of(b.get()).empty());

  // Signed with another key: rejected the same way.
  cluster_up forger = make_cluster(make_config({0, 1}, 0, "t", "another key, also long enough"));
  std::string forged = beat(forger.get(), b.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), forged.data(), forged.size(), 10),
            TOVI_CLUSTER_HB_BAD_MAC);

  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size(), 10),
            TOVI_CLUSTER_HB_ACCEPTED);
  tovi_cluster_counters_t k = tovi_cluster_get_counters(b.get());
  EXPECT_EQ(k.received, hb.size() * 2 + 5);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_ACCEPTED], 1u);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_BAD_MAC], hb.size() * 2 + 2);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_MALFORMED], 2u);
}

TEST(tovi_cluster, replays_strangers_self_and_other_clusters_are_rejected) {
  forget_updates();
  tovi_cluster_config_t a_cfg = make_config({0, 1}, 0);
  a_cfg.boot_time_us = 5000;
  cluster_up a = make_cluster(a_cfg);
  cluster_up b = make_cluster(make_config({0, 1}, 1));
  hear(a.get(), b.get());
  std::string first = beat(a.get(), b.get());
  std::string second = beat(a.get(), b.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), second.data(), second.size(), 1),
            TOVI_CLUSTER_HB_ACCEPTED);
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), second.data(), second.size(), 2),
            TOVI_CLUSTER_HB_REPLAYED);
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), first.data(), first.size(), 3),
            TOVI_CLUSTER_HB_REPLAYED);

  // A restart: a new boot id starts its sequence over and is reported, with the old boot time.
  // Its boot time an hour behind (a clock that was an hour ahead before) changes nothing.
  next_wall_ms();
  a_cfg.boot_time_us = 1;
  a_cfg.config_seq = 3;
  cluster_up a2 = make_cluster(a_cfg);
  hear(a2.get(), b.get());
  std::string rebooted = beat(a2.get(), b.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), rebooted.data(), rebooted.size(), 4),
            TOVI_CLUSTER_HB_ACCEPTED);
  std::vector<update_t> u = updates_of(b.get());
  ASSERT_EQ(u.size(), 2u);
  EXPECT_EQ(u[1].changes, uint32_t(TOVI_CLUSTER_NODE_REBOOTED | TOVI_CLUSTER_NODE_CONFIG_CHANGED));
  EXPECT_EQ(u[1].old_boot, 5000u);
  // What the previous run sent before the restart is now a replay; so is anything it sends
  // afterwards, which a genuine node never does.
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), first.data(), first.size(), 5),
            TOVI_CLUSTER_HB_REPLAYED);
  EXPECT_EQ(node_of(b.get(), 0).boot_time_us, 1u);
  EXPECT_EQ(node_of(b.get(), 0).config_seq, 3u);

  // A node that is not configured here, though it knows the key.
  cluster_up stranger = make_cluster(make_config({0, 1, 9}, 9));
  std::string s = beat(stranger.get(), b.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), s.data(), s.size(), 6),
            TOVI_CLUSTER_HB_UNKNOWN_NODE);
  // Our own id coming back (a loop, or a second daemon configured with our id).
  std::string mine = beat(b.get(), a.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), mine.data(), mine.size(), 7),
            TOVI_CLUSTER_HB_FROM_SELF);
  // Another cluster sharing the key.
  cluster_up other = make_cluster(make_config({0, 1}, 0, "other"));
  std::string o = beat(other.get(), b.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(b.get(), o.data(), o.size(), 8),
            TOVI_CLUSTER_HB_WRONG_CLUSTER);
  tovi_cluster_counters_t k = tovi_cluster_get_counters(b.get());
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_REPLAYED], 3u);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_UNKNOWN_NODE], 1u);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_FROM_SELF], 1u);
  EXPECT_EQ(k.results[TOVI_CLUSTER_HB_WRONG_CLUSTER], 1u);
  EXPECT_EQ(k.node_list_mismatches, 0u);
}

// A receiver that restarts forgets every sequence. Heartbeats captured before that, however
// fresh, echo its previous boot id: they teach it nothing about liveness, and the genuine node
// is back one heartbeat after it hears from the new run.
TEST(tovi_cluster, heartbeats_captured_before_a_receiver_restart_revive_nothing) {
  forget_updates();
  std::vector<int> all = {0, 1, 2};
  cluster_up a = make_cluster(make_config(all, 0));
  cluster_up b = make_cluster(make_config(all, 1));
  hear(b.get(), a.get());
  std::vector<std::string> captured;
  for (int i = 0; i < 5; i++) {
    captured.push_back(beat(b.get(), a.get()));
    ASSERT_EQ(tovi_cluster_heartbeat_receive(a.get(), captured.back().data(),
                                             captured.back().size(), 10 * i),
              TOVI_CLUSTER_HB_ACCEPTED);
  }
  std::string key;
  for (int k = 0; key.empty(); k++) {
    std::string candidate = "key" + std::to_string(k);
    if (owner_ids(a.get(), candidate, 1)[0] == node_id(1)) key = candidate;
  }
  EXPECT_EQ(live_owner_ids(a.get(), key, 1), std::vector<std::string>{node_id(1)});

  // b is killed; a restarts with the same configuration and meets the replays first.
  cluster_up a2 = make_cluster(make_config(all, 0));
  for (const std::string &hb : captured)
    EXPECT_EQ(tovi_cluster_heartbeat_receive(a2.get(), hb.data(), hb.size(), 100),
              TOVI_CLUSTER_HB_UNCONFIRMED);
  EXPECT_FALSE(node_of(a2.get(), 1).live);
  EXPECT_FALSE(node_of(a2.get(), 1).seen);
  EXPECT_TRUE(updates_of(a2.get()).empty());
  EXPECT_NE(live_owner_ids(a2.get(), key, 1), std::vector<std::string>{node_id(1)});
  EXPECT_EQ(tovi_cluster_get_counters(a2.get()).results[TOVI_CLUSTER_HB_UNCONFIRMED], 5u);
  EXPECT_EQ(tovi_cluster_get_counters(a2.get()).results[TOVI_CLUSTER_HB_REPLAYED], 0u);

  // Had b lived on, it would hear a2 and be confirmed by its next heartbeat.
  next_wall_ms();
  hear(b.get(), a2.get());
  std::string fresh = beat(b.get(), a2.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(a2.get(), fresh.data(), fresh.size(), 200),
            TOVI_CLUSTER_HB_ACCEPTED);
  EXPECT_EQ(live_owner_ids(a2.get(), key, 1), std::vector<std::string>{node_id(1)});
}

// Nodes configured with different node lists rank owners differently: every heartbeat says so.
TEST(tovi_cluster, a_differing_node_list_is_flagged_counted_and_shown) {
  cluster_up a = make_cluster(make_config({0, 1, 2}, 0));
  cluster_up b = make_cluster(make_config({0, 1}, 1));
  cluster_up b_same = make_cluster(make_config({2, 1, 0}, 1));  // order does not matter
  uint8_t da[16], db[16], dsame[16];
  tovi_cluster_get_node_list_digest(a.get(), da);
  tovi_cluster_get_node_list_digest(b.get(), db);
  tovi_cluster_get_node_list_digest(b_same.get(), dsame);
  EXPECT_NE(memcmp(da, db, 16), 0);
  EXPECT_EQ(memcmp(da, dsame, 16), 0);

  hear(b.get(), a.get());
  for (int i = 0; i < 3; i++) {
    std::string hb = beat(b.get(), a.get());
    // Still a live peer: liveness is a fact, whatever the lists say.
    EXPECT_EQ(tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), i),
              TOVI_CLUSTER_HB_ACCEPTED);
  }
  EXPECT_TRUE(node_of(a.get(), 1).live);
  EXPECT_TRUE(node_of(a.get(), 1).node_list_differs);
  EXPECT_EQ(tovi_cluster_get_counters(a.get()).node_list_mismatches, 3u);
  // b counts the one heartbeat it heard from a.
  EXPECT_EQ(tovi_cluster_get_counters(b.get()).node_list_mismatches, 1u);

  ASSERT_TRUE(tovi_conf_load_string("<queltd/>", "cluster.conf"));
  EXPECT_EQ(tovi_cluster_init(), 0);  // registers the console commands
  ASSERT_TRUE(tovi_cluster_register(a.get()));
  std::string shown = tovi_console_execute("show cluster t");
  tovi_cluster_unregister(a.get());
  tovi_memory_synchronize();
  EXPECT_NE(shown.find("node_list_mismatches=3"), std::string::npos) << shown;
  EXPECT_NE(shown.find("cn=node1 address=127.0.0.1:9001 state=live"), std::string::npos) << shown;
  EXPECT_NE(shown.find("node_list=differs"), std::string::npos) << shown;

  // The node is reconfigured (a restart with our list): the flag clears, the count stays.
  next_wall_ms();
  hear(b_same.get(), a.get());
  std::string hb = beat(b_same.get(), a.get());
  EXPECT_EQ(tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), 10),
            TOVI_CLUSTER_HB_ACCEPTED);
  EXPECT_FALSE(node_of(a.get(), 1).node_list_differs);
  EXPECT_EQ(tovi_cluster_get_counters(a.get()).node_list_mismatches, 3u);
}

// A node that runs another membership configuration (its sequence differs) is an operator's
// half-finished change: it is logged on "error" once per value it reports, and every heartbeat
// is counted. It stays live.
TEST(tovi_cluster, a_differing_membership_sequence_is_logged_once_per_value_and_counted) {
  static std::mutex lock;
  static std::vector<std::string> lines;
  tovi_log_outlet_register_callback(
      "test_cluster_seq", [](tovi_log_stream_t ls, std::string_view t) {
        std::lock_guard<std::mutex> g(lock);
        lines.push_back(std::string(tovi_log_stream_name(ls)) + ": " + std::string(t));
      });
  tovi_log_stream_add_outlet("error", "test_cluster_seq");
  tovi_log_stream_add_outlet("notice", "test_cluster_seq");
  auto count = [](const std::string &text) {
    std::lock_guard<std::mutex> g(lock);
    int n = 0;
    for (const std::string &l : lines)
      n += l.find(text) != std::string::npos;
    return n;
  };

  tovi_cluster_config_t cfg_a = make_config({0, 1, 2}, 0);
  cfg_a.config_seq = 5;
  cluster_up a = make_cluster(cfg_a);
  std::vector<tovi_cluster_config_t> peers;
  for (uint64_t seq : {4, 6, 5}) {
    peers.push_back(make_config({0, 1, 2}, 1));
    peers.back().config_seq = seq;
  }
  int64_t now = 0;
  std::string first =
      "node " + node_id(1) + " (node1) runs membership configuration 4, this node 5";
  std::string second =
      "node " + node_id(1) + " (node1) runs membership configuration 6, this node 5";
  std::string agrees = "node " + node_id(1) + " (node1) now runs our membership configuration 5";
  uint64_t expected_mismatches[3] = {3, 6, 6};
  for (size_t p = 0; p < peers.size(); p++) {
    // Each configuration is a restart of node 1 with a new boot.
    next_wall_ms();
    cluster_up b = make_cluster(peers[p]);
    hear(b.get(), a.get());
    for (int i = 0; i < 3; i++) {
      std::string hb = beat(b.get(), a.get());
      EXPECT_EQ(tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), ++now),
                TOVI_CLUSTER_HB_ACCEPTED);
    }
    EXPECT_TRUE(node_of(a.get(), 1).live);
    EXPECT_EQ(node_of(a.get(), 1).config_seq, peers[p].config_seq);
    EXPECT_EQ(tovi_cluster_get_counters(a.get()).config_seq_mismatches, expected_mismatches[p]);
  }
  EXPECT_EQ(count("error: cluster t: " + first), 1);
  EXPECT_EQ(count("error: cluster t: " + second), 1);
  EXPECT_EQ(count("notice: cluster t: " + agrees), 1);
}

TEST(tovi_cluster, liveness_follows_the_timeout_and_the_filter_skips_dead_owners) {
  forget_updates();
  std::vector<int> all = {0, 1, 2};
  cluster_up a = make_cluster(make_config(all, 0));
  cluster_up b = make_cluster(make_config(all, 1));
  cluster_up c = make_cluster(make_config(all, 2));
  // Before any heartbeat only this node is live: it is the only live owner of everything.
  EXPECT_EQ(live_owner_ids(a.get(), "some key", 2), std::vector<std::string>{node_id(0)});

  const int64_t t0 = 100000;
  for (tovi_cluster_t *peer : {b.get(), c.get()}) {
    hear(peer, a.get());
    std::string hb = beat(peer, a.get());
    ASSERT_EQ(tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), t0),
              TOVI_CLUSTER_HB_ACCEPTED);
  }
  // A key owned by b and c while everyone is live, and one owned by a and b.
  std::string bc_key, ab_key;
  for (int k = 0; bc_key.empty() || ab_key.empty(); k++) {
    std::string key = "key" + std::to_string(k);
    std::set<std::string> owners;
    for (const auto &id : owner_ids(a.get(), key, 2))
      owners.insert(id);
    if (owners == std::set<std::string>{node_id(1), node_id(2)}) bc_key = key;
    if (owners == std::set<std::string>{node_id(0), node_id(1)}) ab_key = key;
  }
  EXPECT_EQ(live_owner_ids(a.get(), bc_key, 2), owner_ids(a.get(), bc_key, 2));

  // c keeps beating, b goes quiet.
  std::string hb = beat(c.get(), a.get());
  tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), t0 + 900);
  tovi_cluster_tick(a.get(), t0 + 999);
  EXPECT_TRUE(node_of(a.get(), 1).live);
  tovi_cluster_tick(a.get(), t0 + 1000);
  EXPECT_FALSE(node_of(a.get(), 1).live);
  EXPECT_TRUE(node_of(a.get(), 1).seen);
  EXPECT_TRUE(node_of(a.get(), 2).live);
  std::vector<update_t> u = updates_of(a.get());
  ASSERT_FALSE(u.empty());
  EXPECT_EQ(u.back().node, node_id(1));
  EXPECT_EQ(u.back().changes, uint32_t(TOVI_CLUSTER_NODE_DIED));
  // Ticking again reports nothing new.
  size_t reported = u.size();
  tovi_cluster_tick(a.get(), t0 + 1500);
  EXPECT_EQ(updates_of(a.get()).size(), reported);

  // Ownership does not change with liveness; the live owners skip b and take the next node.
  std::vector<std::string> owners = owner_ids(a.get(), bc_key, 2);
  std::vector<std::string> live = live_owner_ids(a.get(), bc_key, 2);
  EXPECT_EQ(std::set<std::string>(owners.begin(), owners.end()),
            (std::set<std::string>{node_id(1), node_id(2)}));
  EXPECT_EQ(std::set<std::string>(live.begin(), live.end()),
            (std::set<std::string>{node_id(0), node_id(2)}));
  live = live_owner_ids(a.get(), ab_key, 2);
  EXPECT_EQ(std::set<std::string>(live.begin(), live.end()),
            (std::set<std::string>{node_id(0), node_id(2)}));
  // With room for one, the first live node in the order: a, whether or not b ranked first.
  EXPECT_EQ(live_owner_ids(a.get(), ab_key, 1), std::vector<std::string>{node_id(0)});

  // b comes back.
  hb = beat(b.get(), a.get());
  ASSERT_EQ(tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), t0 + 2000),
            TOVI_CLUSTER_HB_ACCEPTED);
  EXPECT_EQ(updates_of(a.get()).back().changes, uint32_t(TOVI_CLUSTER_NODE_CAME_ALIVE));
  EXPECT_EQ(live_owner_ids(a.get(), bc_key, 2), owner_ids(a.get(), bc_key, 2));
}

TEST(tovi_cluster, the_oldest_visible_node_is_the_oldest_live_one) {
  tovi_cluster_config_t a_cfg = make_config({0, 1}, 0);
  a_cfg.boot_time_us = 100;
  tovi_cluster_config_t b_cfg = make_config({0, 1}, 1);
  b_cfg.boot_time_us = 200;
  cluster_up a = make_cluster(a_cfg);
  cluster_up b = make_cluster(b_cfg);
  EXPECT_TRUE(tovi_cluster_am_i_oldest_visible_node(b.get()));
  hear(a.get(), b.get());
  EXPECT_TRUE(tovi_cluster_am_i_oldest_visible_node(b.get()));  // not yet confirmed
  std::string hb = beat(a.get(), b.get());
  tovi_cluster_heartbeat_receive(b.get(), hb.data(), hb.size(), 0);
  EXPECT_FALSE(tovi_cluster_am_i_oldest_visible_node(b.get()));
  hb = beat(b.get(), a.get());
  tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), 0);
  EXPECT_TRUE(tovi_cluster_am_i_oldest_visible_node(a.get()));
  tovi_cluster_tick(b.get(), 5000);
  EXPECT_TRUE(tovi_cluster_am_i_oldest_visible_node(b.get()));
}

TEST(tovi_cluster, unusable_configurations_are_refused_with_the_reason) {
  const std::string n0 = node_id(0), n1 = node_id(1);
  auto node = [](const std::string &id, const char *port) {
    return "<node id=\"" + id + "\" address=\"127.0.0.1\" port=\"" + port + "\"/>";
  };
  const std::string good_key = " key=\"0123456789abcdef\"";
  struct case_t {
    std::string cluster;
    const char *reason;
  };
  std::vector<case_t> cases = {
      {"<cluster self=\"" + n0 + "\"" + good_key + ">" + node(n0, "1") + "</cluster>", "@name"},
      {"<cluster name=\"q\"" + good_key + ">" + node(n0, "1") + "</cluster>", "@self"},
      {"<cluster name=\"q\" self=\"" + n0 + "\">" + node(n0, "1") + "</cluster>", "@key"},
      {"<cluster name=\"q\" self=\"" + n0 + "\" key=\"short\">" + node(n0, "1") + "</cluster>",
       "at least 16"},
      {"<cluster name=\"q\" self=\"" + n0 + "\"" + good_key + ">" + node(n0, "0") + "</cluster>",
       "port"},
      {"<cluster name=\"q\" self=\"" + n1 + "\"" + good_key + ">" + node(n0, "1") + "</cluster>",
       "not one of its nodes"},
      {"<cluster name=\"q\" self=\"" + n0 + "\"" + good_key + ">" + node(n0, "1") + node(n0, "2") +
           "</cluster>",
       "twice"},
      {"<cluster name=\"q\" self=\"" + n0 + "\"" + good_key + ">" + node("nope", "1") +
           "</cluster>",
       "not a UUID"},
      {"<cluster name=\"q\" self=\"" + n0 + "\"" + good_key +
           " period_ms=\"1000\" timeout_ms=\"500\">" + node(n0, "1") + "</cluster>",
       "timeout_ms"},
      {"<cluster name=\"q\" self=\"" + n0 + "\"" + good_key + "><node id=\"" + n0 +
           "\" address=\"db.example\" port=\"1\"/></cluster>",
       "not an IP address"},
  };
  for (const auto &c : cases) {
    std::string xml = "<queltd><clusters>" + c.cluster + "</clusters></queltd>";
    ASSERT_TRUE(tovi_conf_load_string(xml.c_str(), "cluster.conf")) << xml;
    tovi_conf_section_read_hold();
    tovi_conf_section_t s = tovi_conf_get_section(nullptr, "//clusters/cluster");
    tovi_cluster_config_t cfg;
    std::string error;
    bool ok = tovi_cluster_config_read(s, &cfg, &error);
    tovi_conf_section_read_release();
    if (ok) {
      tovi_cluster_t *cl = tovi_cluster_alloc(cfg, &error);
      EXPECT_EQ(cl, nullptr) << xml;
      tovi_cluster_free(cl);
    }
    EXPECT_NE(error.find(c.reason), std::string::npos) << xml << " -> " << error;
  }

  // And a good one, with every setting.
  std::string xml =
      "<queltd><clusters><cluster name=\"q\" self=\"" + n1 +
      "\" key=\"0123456789abcdef\" period_ms=\"250\" timeout_ms=\"2000\" seq=\"4\" "
      "bind=\"0.0.0.0\">" +
      node(n0, "7001") + "<node id=\"" + n1 +
      "\" cn=\"second\" address=\"::1\" port=\"7002\"/></cluster></clusters></queltd>";
  ASSERT_TRUE(tovi_conf_load_string(xml.c_str(), "cluster.conf"));
  tovi_conf_section_read_hold();
  tovi_cluster_config_t cfg;
  std::string error;
  ASSERT_TRUE(
      tovi_cluster_config_read(tovi_conf_get_section(nullptr, "//clusters/cluster"), &cfg, &error))
      << error;
  tovi_conf_section_read_release();
  EXPECT_EQ(cfg.period_ms, 250);
  EXPECT_EQ(cfg.timeout_ms, 2000);
  EXPECT_EQ(cfg.config_seq, 4u);
  EXPECT_EQ(cfg.bind_address, "0.0.0.0");
  cluster_up c = make_cluster(cfg);
  std::vector<tovi_cluster_node_t> nodes = tovi_cluster_nodes_copy(c.get());
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].cn, n0);  // no cn: the id stands in
  EXPECT_EQ(nodes[1].cn, "second");
  EXPECT_TRUE(nodes[1].is_self);
  EXPECT_TRUE(nodes[1].live);
}

TEST(tovi_cluster, started_clusters_see_each_other_over_udp) {
  auto free_udp_port = [] {
    boost::asio::io_context ctx;
    boost::asio::ip::udp::socket s(
        ctx, boost::asio::ip::udp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return s.local_endpoint().port();
  };
  uint16_t ports[2] = {free_udp_port(), free_udp_port()};
  tovi_cluster_t *started[2];
  for (int self = 0; self < 2; self++) {
    tovi_cluster_config_t cfg = make_config({0, 1}, self, "udp-a");
    cfg.period_ms = 20;
    cfg.timeout_ms = 2000;
    cfg.nodes[0].port = ports[0];
    cfg.nodes[1].port = ports[1];
    std::string error;
    started[self] = tovi_cluster_alloc(cfg, &error);
    ASSERT_NE(started[self], nullptr) << error;
    ASSERT_TRUE(tovi_cluster_start(started[self], self, &error)) << error;
  }
  EXPECT_TRUE(quelt_test::wait_for(
      [&] { return node_of(started[0], 1).live && node_of(started[1], 0).live; }));
  EXPECT_TRUE(node_of(started[0], 1).live);
  EXPECT_TRUE(node_of(started[1], 0).live);
  tovi_cluster_counters_t k = tovi_cluster_get_counters(started[0]);
  EXPECT_GT(k.sent, 0u);
  EXPECT_GT(k.results[TOVI_CLUSTER_HB_ACCEPTED], 0u);
  // Before a node hears from its peer, its heartbeats cannot echo the peer's boot id.
  EXPECT_EQ(k.received,
            k.results[TOVI_CLUSTER_HB_ACCEPTED] + k.results[TOVI_CLUSTER_HB_UNCONFIRMED]);

  // The console commands come with tovi_cluster_init, here without any configured cluster;
  // registering one of the started clusters lets the console show it.
  ASSERT_TRUE(tovi_conf_load_string("<queltd/>", "cluster.conf"));
  EXPECT_EQ(tovi_cluster_init(), 0);
  EXPECT_FALSE(tovi_cluster_enabled());
  ASSERT_TRUE(tovi_cluster_register(started[0]));
  std::string shown = tovi_console_execute("show cluster udp-a");
  EXPECT_NE(shown.find("node " + node_id(1) +
                       " cn=node1 address=127.0.0.1:" + std::to_string(ports[1]) + " state=live"),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("state=self"), std::string::npos) << shown;
  std::string owners = tovi_console_execute("show cluster owners some-key 2 udp-a");
  EXPECT_NE(owners.find("owners: " + owner_ids(started[0], "some-key", 2)[0]), std::string::npos)
      << owners;
  EXPECT_NE(tovi_console_execute("show cluster nothing").find("no cluster named nothing"),
            std::string::npos);
}

TEST(tovi_cluster, readers_never_wait_for_or_lose_a_changing_table) {
  std::vector<int> all = {0, 1, 2};
  cluster_up a = make_cluster(make_config(all, 0));
  cluster_up b = make_cluster(make_config(all, 1));
  std::atomic<bool> stop{false};
  std::atomic<long> bad{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; r++) {
    readers.emplace_back([&, r] {
      while (!stop.load()) {
        std::string key = "k" + std::to_string(reads.load() % 97 + r);
        tovi_memory_scope_c bracket;
        const tovi_cluster_node_t *owners[2];
        int n = tovi_cluster_get_owners(a.get(), key.data(), key.size(), owners, 2, 2);
        int live = tovi_cluster_filter_owners(a.get(), key.data(), key.size(), owners, 2,
                                              tovi_cluster_liveness_filter, nullptr);
        // a itself is always live; b flaps; c is never heard from.
        if (n != 2 || live < 1 || live > 2 || owners[0]->cn.empty()) bad++;
        reads++;
      }
    });
  }
  int64_t now = 0;
  hear(b.get(), a.get());
  for (int i = 0; i < 2000; i++) {
    std::string hb = beat(b.get(), a.get());
    tovi_cluster_heartbeat_receive(a.get(), hb.data(), hb.size(), now);
    tovi_cluster_set_heartbeat_payload(a.get(), 1, 1, &i, sizeof(i));
    now += 2000;  // past the timeout: every tick kills b, every heartbeat revives it
    tovi_cluster_tick(a.get(), now);
  }
  stop = true;
  for (auto &t : readers)
    t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(node_of(a.get(), 1).heartbeats, 2000u);
  tovi_memory_synchronize();
}
