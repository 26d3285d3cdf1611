// Clusters: the node table, the heartbeat codec, liveness and rendezvous ownership.
//
// Each cluster keeps a master copy of its node table under `lock`. Every change (an accepted
// heartbeat that told something new, a node going dead, a payload of our own) copies the table
// into a fresh immutable view_t and publishes it with one atomic exchange; the old view is
// released through the safe-memory deferred free, so readers on any thread load the view inside
// a bracket and never wait for a writer. Node pointers handed to readers point into a view and
// live as long as the reader's bracket.
//
// The wire format of a heartbeat (integers big-endian; docs/cluster.md has the same with reasons):
//   "QLHB" | version 2 (1 byte) | name length (1) | cluster name | node id (16) | boot id (16) |
//   sequence (8) | configuration sequence (8) | sent at, epoch ms (8) | boot time us (8) |
//   echo: the recipient's boot id as the sender last heard it, zeros if never (16) |
//   node-list digest (16) | payload count (2) | count x { app (1) | key (1) | length (2) | bytes }
//   | HMAC-SHA256 of everything before it (32)
// The MAC is checked before anything else in the datagram is looked at.
//
// Replays. Per node the receiver keeps the boot id it last learned, the last sequence of that
// boot and the newest send time of any boot. A sequence not above the last, or another boot id
// sent no later than the newest heartbeat we know of, is a replay. (Boot ids are not ordered and
// no list of replaced ones is kept: after a clock step back across a restart, a replayed
// heartbeat of the previous run could displace the genuine one for at most the size of the step,
// while a list would lock the genuine run out for good.) None of that survives a restart of the
// receiver, so liveness needs more: a heartbeat makes its sender live only when it echoes the
// receiver's current boot id, which is drawn at random at every start and learned by the peers from
// the receiver's own heartbeats. What was captured before a restart echoes the old boot id and can
// no longer revive anything; a genuine peer is confirmed one period after it hears from the
// restarted node. Boot times only rank the oldest node: a clock an hour ahead no longer outranks
// the node's next run.
#include "tovi/tovi_cluster.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string_view>

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"
#include "tovi/tovi_memory.h"

namespace {

constexpr char hb_magic[4] = {'Q', 'L', 'H', 'B'};
constexpr uint8_t hb_version = 2;
constexpr size_t mac_len = 32;
constexpr size_t max_nodes = 1024;
constexpr size_t min_key_len = 16;
// magic, version, name length, id, boot id, seq, config seq, sent at, boot time, echo, digest,
// payload count
constexpr size_t fixed_len = 4 + 1 + 1 + 16 + 16 + 8 + 8 + 8 + 8 + 16 + 16 + 2;

tovi_log_stream_t cluster_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/cluster");
  return ls;
}

struct view_t {
  std::vector<tovi_cluster_node_t> nodes;  // configuration order
};

// What the receiver learned of a node from authentic, fresh heartbeats, confirmed or not.
struct peer_private_t {
  bool known = false;
  uint8_t boot_id[16] = {};
  uint64_t last_seq = 0;         // of boot_id
  uint64_t last_sent_at_ms = 0;  // newest send time of any boot
  // The configuration sequence of its last heartbeat when that differed from ours, so that a
  // mismatch is logged once per value it reports, not once per heartbeat.
  bool config_seq_differs = false;
  uint64_t differing_config_seq = 0;
};

struct cluster_io_t;

}  // namespace

struct tovi_cluster_s {
  // Constant after tovi_cluster_alloc.
  std::string name;
  std::string key;
  std::string bind_address;
  int64_t period_ms = 1000;
  int64_t timeout_ms = 5000;
  uint64_t config_seq = 0;
  uint64_t boot_time_us = 0;
  uint8_t boot_id[16] = {};
  uint8_t node_list_digest[16] = {};
  uint8_t self_id[16] = {};
  int self_index = -1;

  std::mutex lock;
  // Guarded by lock: the master table, what we know of each peer, our payloads and sequence.
  std::vector<tovi_cluster_node_t> nodes;
  std::vector<peer_private_t> peers;
  std::vector<tovi_cluster_payload_t> my_payloads;
  uint64_t next_seq = 1;

  // Published view. Release on store so that a reader's acquire load sees a complete view.
  std::atomic<view_t *> view{nullptr};

  // Counters: relaxed, they order nothing.
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> send_errors{0};
  std::atomic<uint64_t> received{0};
  std::array<std::atomic<uint64_t>, TOVI_CLUSTER_HB_RESULT_COUNT> results{};
  std::atomic<uint64_t> node_list_mismatches{0};
  std::atomic<uint64_t> config_seq_mismatches{0};

  // Set by tovi_cluster_start; the loop thread owns it afterwards.
  cluster_io_t *io = nullptr;
  std::atomic<bool> registered{false};
};

namespace {

// ---- Hashing ----------------------------------------------------------------------------------

inline uint32_t rotl32(uint32_t x, int r) {
  return (x << r) | (x >> (32 - r));
}
inline uint64_t rotl64(uint64_t x, int r) {
  return (x << r) | (x >> (64 - r));
}

inline uint32_t read32le(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t read64le(const uint8_t *p) {
  return uint64_t(read32le(p)) | uint64_t(read32le(p + 4)) << 32;
}

inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

// ---- Views --------------------------------------------------------------------------------------

void delete_view(void *v) {
  delete static_cast<view_t *>(v);
}

// Publishes a copy of the master table; returns the new view and hands the replaced one to
// *old, which the caller retires once it is outside its own bracket. Called with c->lock held.
view_t *publish_locked(tovi_cluster_t *c, view_t **old) {
  auto *fresh = new view_t{c->nodes};
  // acq_rel: release publishes the filled view; acquire orders our later retiring of the old one.
  *old = c->view.exchange(fresh, std::memory_order_acq_rel);
  return fresh;
}

// Frees a replaced view once every reader that could hold it has left its bracket. Never called
// inside a bracket: the deferred free may have to wait for the grace period itself.
void retire(view_t *old) {
  if (old) tovi_memory_defer(delete_view, old);
}

const view_t *current_view(const tovi_cluster_t *c) {
  // Acquire pairs with the release in publish_locked: the view's contents are complete.
  return c->view.load(std::memory_order_acquire);
}

// ---- Hooks --------------------------------------------------------------------------------------

struct hook_entry_t {
  std::string name;
  tovi_cluster_node_update_hook_t hook;
  void *closure;
};

std::mutex hooks_lock;
std::vector<hook_entry_t> hooks;  // guarded by hooks_lock

struct pending_update_t {
  int index;
  uint32_t changes;
  uint64_t old_boot_time_us;
};

// Runs the hooks for updates made in `v`. The caller is inside a safe-memory bracket that
// began before v was published, so v outlives the calls.
void run_hooks(tovi_cluster_t *c, const view_t *v, const std::vector<pending_update_t> &updates) {
  if (updates.empty()) return;
  std::vector<hook_entry_t> copy;
  {
    std::lock_guard<std::mutex> g(hooks_lock);
    copy = hooks;
  }
  for (const pending_update_t &u : updates) {
    const tovi_cluster_node_t &node = v->nodes[u.index];
    if (u.changes & TOVI_CLUSTER_NODE_CAME_ALIVE)
      tovi_log_fields(tovi_notice, ({"cluster_name", c->name}, {"cluster_node_id", node.id_text}),
                      "cluster %s: node %s (%s) is live\n", c->name.c_str(), node.id_text,
                      node.cn.c_str());
    if (u.changes & TOVI_CLUSTER_NODE_DIED)
      tovi_log_fields(tovi_notice, ({"cluster_name", c->name}, {"cluster_node_id", node.id_text}),
                      "cluster %s: node %s (%s) is dead: no heartbeat for %" PRId64 " ms\n",
                      c->name.c_str(), node.id_text, node.cn.c_str(), c->timeout_ms);
    for (const hook_entry_t &h : copy) {
      if (h.hook(h.closure, u.changes, &node, c, u.old_boot_time_us) == TOVI_HOOK_DONE) break;
    }
  }
}

// ---- Encoding -----------------------------------------------------------------------------------

void put_u16(std::string *out, uint16_t v) {
  out->push_back(char(v >> 8));
  out->push_back(char(v));
}
void put_u64(std::string *out, uint64_t v) {
  for (int shift = 56; shift >= 0; shift -= 8)
    out->push_back(char(v >> shift));
}

class reader_c {
 public:
  reader_c(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
  bool take(size_t n, const uint8_t **out) {
    if (size_t(end_ - p_) < n) return false;
    *out = p_;
    p_ += n;
    return true;
  }
  bool u8(uint8_t *v) {
    const uint8_t *q;
    if (!take(1, &q)) return false;
    *v = q[0];
    return true;
  }
  bool u16(uint16_t *v) {
    const uint8_t *q;
    if (!take(2, &q)) return false;
    *v = uint16_t(q[0] << 8 | q[1]);
    return true;
  }
  bool u64(uint64_t *v) {
    const uint8_t *q;
    if (!take(8, &q)) return false;
    *v = 0;
    for (int i = 0; i < 8; i++)
      *v = *v << 8 | q[i];
    return true;
  }
  bool at_end() const { return p_ == end_; }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

void mac_of(const std::string &key, const void *data, size_t len, uint8_t out[mac_len]) {
  unsigned int out_len = 0;
  uint8_t *r = HMAC(EVP_sha256(), key.data(), int(key.size()), static_cast<const uint8_t *>(data),
                    len, out, &out_len);
  tovi_assert(r != nullptr && out_len == mac_len);
}

size_t encoded_size(const tovi_cluster_t *c, const std::vector<tovi_cluster_payload_t> &payloads) {
  size_t n = fixed_len + c->name.size() + mac_len;
  for (const auto &p : payloads)
    n += 4 + p.bytes.size();
  return n;
}

struct decoded_t {
  std::string_view name;
  uint8_t id[16];
  uint8_t boot_id[16];
  uint64_t seq;
  uint64_t config_seq;
  uint64_t sent_at_ms;
  uint64_t boot_time_us;
  uint8_t echo[16];
  uint8_t node_list_digest[16];
  std::vector<tovi_cluster_payload_t> payloads;
};

bool decode(const uint8_t *p, size_t n, decoded_t *d) {
  reader_c r(p, n);
  const uint8_t *q;
  uint8_t version, name_len;
  if (!r.take(4, &q) || memcmp(q, hb_magic, 4) != 0) return false;
  if (!r.u8(&version) || version != hb_version) return false;
  if (!r.u8(&name_len) || !r.take(name_len, &q)) return false;
  d->name = std::string_view(reinterpret_cast<const char *>(q), name_len);
  if (!r.take(16, &q)) return false;
  memcpy(d->id, q, 16);
  if (!r.take(16, &q)) return false;
  memcpy(d->boot_id, q, 16);
  if (!r.u64(&d->seq) || !r.u64(&d->config_seq) || !r.u64(&d->sent_at_ms) ||
      !r.u64(&d->boot_time_us))
    return false;
  if (!r.take(16, &q)) return false;
  memcpy(d->echo, q, 16);
  if (!r.take(16, &q)) return false;
  memcpy(d->node_list_digest, q, 16);
  uint16_t count;
  if (!r.u16(&count)) return false;
  d->payloads.clear();
  for (uint16_t i = 0; i < count; i++) {
    tovi_cluster_payload_t pl;
    uint16_t len;
    if (!r.u8(&pl.app) || !r.u8(&pl.key) || !r.u16(&len) || !r.take(len, &q)) return false;
    pl.bytes.assign(reinterpret_cast<const char *>(q), len);
    d->payloads.push_back(std::move(pl));
  }
  if (!r.at_end()) return false;
  // Payloads are sorted and unique by (app, key) as we send them; accept nothing else.
  for (size_t i = 1; i < d->payloads.size(); i++) {
    const auto &a = d->payloads[i - 1], &b = d->payloads[i];
    if (std::make_pair(a.app, a.key) >= std::make_pair(b.app, b.key)) return false;
  }
  return true;
}

bool payloads_equal(const std::vector<tovi_cluster_payload_t> &a,
                    const std::vector<tovi_cluster_payload_t> &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (a[i].app != b[i].app || a[i].key != b[i].key || a[i].bytes != b[i].bytes) return false;
  return true;
}

uint64_t wall_us() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

void count_result(tovi_cluster_t *c, tovi_cluster_heartbeat_result_t r) {
  c->results[r].fetch_add(1, std::memory_order_relaxed);
}

// ---- Ranking ------------------------------------------------------------------------------------

struct scored_t {
  uint64_t score;
  int index;
};

// Fills order[0..n) with the node indices of v in the key's ownership order.
void rank_nodes(const view_t *v, const void *key, size_t len, scored_t *order) {
  uint64_t key_hash = tovi_cluster_hash64(key, len, 0);
  size_t n = v->nodes.size();
  for (size_t i = 0; i < n; i++)
    order[i] = scored_t{fmix64(key_hash ^ v->nodes[i].rank_hash), int(i)};
  std::sort(order, order + n, [v](const scored_t &a, const scored_t &b) {
    if (a.score != b.score) return a.score > b.score;
    return memcmp(v->nodes[a.index].id, v->nodes[b.index].id, 16) < 0;
  });
}

// A ranking buffer on the stack for the usual small clusters.
class ranking_c {
 public:
  ranking_c(const view_t *v, const void *key, size_t len) {
    size_t n = v->nodes.size();
    if (n > small_.size()) large_.resize(n);
    order_ = n > small_.size() ? large_.data() : small_.data();
    rank_nodes(v, key, len, order_);
  }
  const scored_t &operator[](size_t i) const { return order_[i]; }

 private:
  std::array<scored_t, 64> small_;
  std::vector<scored_t> large_;
  scored_t *order_;
};

// ---- Registry -----------------------------------------------------------------------------------

constexpr size_t max_clusters = 16;
std::mutex registry_lock;  // writers only
std::array<std::atomic<tovi_cluster_t *>, max_clusters> registry{};
std::atomic<bool> clustering_enabled{false};

// ---- Sockets ------------------------------------------------------------------------------------

using boost::asio::ip::udp;

struct cluster_io_t {
  tovi_cluster_t *cluster;
  int thread;
  udp::socket socket;
  boost::asio::steady_timer timer;
  struct peer_address_t {
    udp::endpoint endpoint;
    uint8_t id[16];
  };
  std::vector<peer_address_t> peers;
  udp::endpoint from;
  std::array<uint8_t, 65536> buf;

  cluster_io_t(tovi_cluster_t *c, int t)
      : cluster(c), thread(t), socket(eventer_io_context(t)), timer(eventer_io_context(t)) {}

  void receive() {
    socket.async_receive_from(
        boost::asio::buffer(buf), from, [this](const boost::system::error_code &ec, size_t n) {
          if (ec == boost::asio::error::operation_aborted) return;
          if (!ec) tovi_cluster_heartbeat_receive(cluster, buf.data(), n, tovi_cluster_clock_ms());
          receive();
        });
  }

  void beat() {
    for (const peer_address_t &to : peers) {
      // Each peer gets its own datagram: it echoes that peer's boot id.
      std::string hb = tovi_cluster_heartbeat_build(cluster, to.id);
      const udp::endpoint &peer = to.endpoint;
      boost::system::error_code ec;
      socket.send_to(boost::asio::buffer(hb), peer, 0, ec);
      if (ec) {
        cluster->send_errors.fetch_add(1, std::memory_order_relaxed);
        tovi_log(cluster_debug(), "cluster %s: heartbeat to %s:%u not sent: %s\n",
                 cluster->name.c_str(), peer.address().to_string().c_str(), peer.port(),
                 ec.message().c_str());
      } else {
        cluster->sent.fetch_add(1, std::memory_order_relaxed);
      }
    }
    tovi_cluster_tick(cluster, tovi_cluster_clock_ms());
  }

  void schedule() {
    auto period = std::chrono::milliseconds(cluster->period_ms);
    auto next = timer.expiry() + period;
    // A loop thread that was held up does not send a burst of heartbeats to catch up.
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + period;
    timer.expires_at(next);
    timer.async_wait([this](const boost::system::error_code &ec) {
      if (ec == boost::asio::error::operation_aborted) return;
      beat();
      schedule();
    });
  }
};

void register_statistics(tovi_cluster_t *c) {
  stats_ns_t *ns = stats_register_ns(
      stats_register_ns(stats_register_ns(stats_recorder_root(stats_process_recorder()), "tovi"),
                        "cluster"),
      c->name.c_str());
  if (!ns) return;
  stats_ns_add_tag(ns, "cluster", c->name.c_str());
  stats_register_u64(ns, "heartbeats_sent", STATS_COUNTER, &c->sent, {.units = "datagrams"});
  stats_register_u64(ns, "heartbeat_send_errors", STATS_COUNTER, &c->send_errors,
                     {.units = "datagrams"});
  stats_register_u64(ns, "heartbeats_received", STATS_COUNTER, &c->received,
                     {.units = "datagrams"});
  stats_register_u64(ns, "heartbeats_accepted", STATS_COUNTER,
                     &c->results[TOVI_CLUSTER_HB_ACCEPTED], {.units = "datagrams"});
  for (int r = TOVI_CLUSTER_HB_ACCEPTED + 1; r < TOVI_CLUSTER_HB_RESULT_COUNT; r++) {
    const char *reason = tovi_cluster_heartbeat_result_name(tovi_cluster_heartbeat_result_t(r));
    std::string name = std::string("heartbeats_rejected_") + reason;
    stats_opts_t opts;
    opts.units = "datagrams";
    opts.tagged_name = "heartbeats_rejected";
    opts.tags = {{"reason", reason}};
    stats_register_u64(ns, name.c_str(), STATS_COUNTER, &c->results[r], opts);
  }
  stats_register_u64(ns, "node_list_mismatches", STATS_COUNTER, &c->node_list_mismatches,
                     {.units = "datagrams"});
  stats_register_u64(ns, "config_seq_mismatches", STATS_COUNTER, &c->config_seq_mismatches,
                     {.units = "datagrams"});
  stats_register_i64_fn(ns, "nodes_live", STATS_GAUGE, [c]() -> int64_t {
    tovi_memory_scope_c bracket;
    int64_t live = 0;
    for (const auto &n : current_view(c)->nodes)
      live += n.live;
    return live;
  });
}

// ---- Console ------------------------------------------------------------------------------------

void hex_of(const uint8_t bytes[16], char out[33]) {
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; i++) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  out[32] = 0;
}

std::vector<tovi_cluster_t *> clusters_named(const char *name) {
  std::vector<tovi_cluster_t *> out;
  for (auto &slot : registry) {
    tovi_cluster_t *c = slot.load(std::memory_order_acquire);
    if (c && (!name || c->name == name)) out.push_back(c);
  }
  return out;
}

int show_cluster(tovi_console_t *console, int argc, const char *const *argv, void *) {
  std::vector<tovi_cluster_t *> list = clusters_named(argc > 0 ? argv[0] : nullptr);
  if (list.empty()) {
    if (argc > 0)
      tovi_console_printf(console, "no cluster named %s\n", argv[0]);
    else
      tovi_console_printf(console, "clustering is not enabled\n");
    return argc > 0 ? -1 : 0;
  }
  int64_t now = tovi_cluster_clock_ms();
  for (tovi_cluster_t *c : list) {
    tovi_cluster_counters_t k = tovi_cluster_get_counters(c);
    std::vector<tovi_cluster_node_t> nodes = tovi_cluster_nodes_copy(c);
    char self_text[37], boot_text[37], digest_text[33];
    tovi_cluster_uuid_unparse(c->self_id, self_text);
    tovi_cluster_uuid_unparse(c->boot_id, boot_text);
    hex_of(c->node_list_digest, digest_text);
    tovi_console_printf(console,
                        "cluster %s: self %s, period %" PRId64 " ms, timeout %" PRId64
                        " ms, config seq %" PRIu64 ", oldest %s, boot id %s, node list %s\n",
                        c->name.c_str(), self_text, c->period_ms, c->timeout_ms, c->config_seq,
                        tovi_cluster_am_i_oldest_visible_node(c) ? "yes" : "no", boot_text,
                        digest_text);
    std::string rejected;
    uint64_t rejected_total = 0;
    for (int r = 1; r < TOVI_CLUSTER_HB_RESULT_COUNT; r++) {
      rejected_total += k.results[r];
      rejected += std::string(" ") +
                  tovi_cluster_heartbeat_result_name(tovi_cluster_heartbeat_result_t(r)) + "=" +
                  std::to_string(k.results[r]);
    }
    tovi_console_printf(console,
                        "  heartbeats: sent=%" PRIu64 " send_errors=%" PRIu64 " received=%" PRIu64
                        " accepted=%" PRIu64 " rejected=%" PRIu64 "%s node_list_mismatches=%" PRIu64
                        " config_seq_mismatches=%" PRIu64 "\n",
                        k.sent, k.send_errors, k.received, k.results[0], rejected_total,
                        rejected.c_str(), k.node_list_mismatches, k.config_seq_mismatches);
    for (const auto &n : nodes) {
      const char *state = n.is_self ? "self" : n.live ? "live" : n.seen ? "dead" : "unseen";
      std::string age = n.is_self || !n.seen ? "-" : std::to_string(now - n.last_contact_ms);
      char node_boot[37];
      tovi_cluster_uuid_unparse(n.boot_id, node_boot);
      tovi_console_printf(
          console,
          "  node %s cn=%s address=%s:%u state=%s age_ms=%s boot_us=%" PRIu64 " config_seq=%" PRIu64
          " heartbeats=%" PRIu64 " boot_id=%s node_list=%s\n",
          n.id_text, n.cn.c_str(), n.address.c_str(), n.port, state, age.c_str(), n.boot_time_us,
          n.config_seq, n.heartbeats, node_boot, n.node_list_differs ? "differs" : "same");
    }
  }
  return 0;
}

int show_cluster_owners(tovi_console_t *console, int argc, const char *const *argv, void *) {
  if (argc < 1 || argc > 3) {
    tovi_console_printf(console, "usage: show cluster owners <key> [redundancy [cluster]]\n");
    return -1;
  }
  int redundancy = 2;
  if (argc > 1) {
    char *end = nullptr;
    long r = strtol(argv[1], &end, 10);
    if (!end || *end || r < 1 || r > int(max_nodes)) {
      tovi_console_printf(console, "bad redundancy: %s\n", argv[1]);
      return -1;
    }
    redundancy = int(r);
  }
  std::vector<tovi_cluster_t *> list = clusters_named(argc > 2 ? argv[2] : nullptr);
  if (list.empty()) {
    tovi_console_printf(console, argc > 2 ? "no such cluster\n" : "clustering is not enabled\n");
    return -1;
  }
  const char *key = argv[0];
  size_t len = strlen(key);
  for (tovi_cluster_t *c : list) {
    tovi_memory_scope_c bracket;
    std::vector<const tovi_cluster_node_t *> owners(static_cast<size_t>(redundancy));
    int n = tovi_cluster_get_owners(c, key, len, owners.data(), redundancy, redundancy);
    std::string text;
    for (int i = 0; i < n; i++)
      text += std::string(" ") + owners[i]->id_text;
    tovi_console_printf(console, "cluster %s key %s redundancy %d\n", c->name.c_str(), key,
                        redundancy);
    tovi_console_printf(console, "  owners:%s\n", text.c_str());
    n = tovi_cluster_filter_owners(c, key, len, owners.data(), redundancy,
                                   tovi_cluster_liveness_filter, nullptr);
    text.clear();
    for (int i = 0; i < n; i++)
      text += std::string(" ") + owners[i]->id_text;
    tovi_console_printf(console, "  live_owners:%s\n", text.c_str());
  }
  return 0;
}

void complete_cluster_names(int argc, const char *const *, const char *,
                            tovi_console_candidates_t *out, void *) {
  if (argc > 0) return;
  for (tovi_cluster_t *c : clusters_named(nullptr))
    tovi_console_candidate_add(out, c->name.c_str());
}

bool read_key_file(const std::string &path, std::string *key) {
  std::ifstream in(path);
  if (!in) return false;
  std::getline(in, *key);
  while (!key->empty() && isspace(static_cast<unsigned char>(key->back())))
    key->pop_back();
  return true;
}

}  // namespace

// ---- Helpers ------------------------------------------------------------------------------------

int64_t tovi_cluster_clock_ms(void) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t tovi_cluster_hash32(const void *data, size_t len, uint32_t seed) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  const size_t blocks = len / 4;
  const uint32_t c1 = 0xcc9e2d51, c2 = 0x1b873593;
  uint32_t h = seed;
  for (size_t i = 0; i < blocks; i++) {
    uint32_t k = read32le(p + 4 * i);
    k *= c1;
    k = rotl32(k, 15);
    k *= c2;
    h ^= k;
    h = rotl32(h, 13);
    h = h * 5 + 0xe6546b64;
  }
  const uint8_t *tail = p + blocks * 4;
  uint32_t k = 0;
  switch (len & 3) {
    case 3:
      k ^= uint32_t(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= uint32_t(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = rotl32(k, 15);
      k *= c2;
      h ^= k;
  }
  h ^= uint32_t(len);
  h ^= h >> 16;
  h *= 0x85ebca6b;
  h ^= h >> 13;
  h *= 0xc2b2ae35;
  h ^= h >> 16;
  return h;
}

uint64_t tovi_cluster_hash64(const void *data, size_t len, uint32_t seed) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  const size_t blocks = len / 16;
  const uint64_t c1 = 0x87c37b91114253d5ULL, c2 = 0x4cf5ad432745937fULL;
  uint64_t h1 = seed, h2 = seed;
  for (size_t i = 0; i < blocks; i++) {
    uint64_t k1 = read64le(p + 16 * i), k2 = read64le(p + 16 * i + 8);
    k1 *= c1;
    k1 = rotl64(k1, 31);
    k1 *= c2;
    h1 ^= k1;
    h1 = rotl64(h1, 27);
    h1 += h2;
    h1 = h1 * 5 + 0x52dce729;
    k2 *= c2;
    k2 = rotl64(k2, 33);
    k2 *= c1;
    h2 ^= k2;
    h2 = rotl64(h2, 31);
    h2 += h1;
    h2 = h2 * 5 + 0x38495ab5;
  }
  const uint8_t *tail = p + blocks * 16;
  uint64_t k1 = 0, k2 = 0;
  switch (len & 15) {
    case 15:
      k2 ^= uint64_t(tail[14]) << 48;
      [[fallthrough]];
    case 14:
      k2 ^= uint64_t(tail[13]) << 40;
      [[fallthrough]];
    case 13:
      k2 ^= uint64_t(tail[12]) << 32;
      [[fallthrough]];
    case 12:
      k2 ^= uint64_t(tail[11]) << 24;
      [[fallthrough]];
    case 11:
      k2 ^= uint64_t(tail[10]) << 16;
      [[fallthrough]];
    case 10:
      k2 ^= uint64_t(tail[9]) << 8;
      [[fallthrough]];
    case 9:
      k2 ^= uint64_t(tail[8]);
      k2 *= c2;
      k2 = rotl64(k2, 33);
      k2 *= c1;
      h2 ^= k2;
      [[fallthrough]];
    case 8:
      k1 ^= uint64_t(tail[7]) << 56;
      [[fallthrough]];
    case 7:
      k1 ^= uint64_t(tail[6]) << 48;
      [[fallthrough]];
    case 6:
      k1 ^= uint64_t(tail[5]) << 40;
      [[fallthrough]];
    case 5:
      k1 ^= uint64_t(tail[4]) << 32;
      [[fallthrough]];
    case 4:
      k1 ^= uint64_t(tail[3]) << 24;
      [[fallthrough]];
    case 3:
      k1 ^= uint64_t(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k1 ^= uint64_t(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k1 ^= uint64_t(tail[0]);
      k1 *= c1;
      k1 = rotl64(k1, 31);
      k1 *= c2;
      h1 ^= k1;
  }
  h1 ^= uint64_t(len);
  h2 ^= uint64_t(len);
  h1 += h2;
  h2 += h1;
  h1 = fmix64(h1);
  h2 = fmix64(h2);
  h1 += h2;
  return h1;
}

bool tovi_cluster_uuid_parse(const char *text, uint8_t out[16]) {
  return text && tovi_uuid_parse(text, strlen(text), out);
}

void tovi_cluster_uuid_unparse(const uint8_t id[16], char out[37]) {
  tovi_uuid_unparse(id, out);
}

const char *tovi_cluster_heartbeat_result_name(tovi_cluster_heartbeat_result_t result) {
  switch (result) {
    case TOVI_CLUSTER_HB_ACCEPTED:
      return "accepted";
    case TOVI_CLUSTER_HB_MALFORMED:
      return "malformed";
    case TOVI_CLUSTER_HB_BAD_MAC:
      return "bad_mac";
    case TOVI_CLUSTER_HB_WRONG_CLUSTER:
      return "wrong_cluster";
    case TOVI_CLUSTER_HB_UNKNOWN_NODE:
      return "unknown_node";
    case TOVI_CLUSTER_HB_FROM_SELF:
      return "from_self";
    case TOVI_CLUSTER_HB_REPLAYED:
      return "replayed";
    case TOVI_CLUSTER_HB_STALE:
      return "stale";
    case TOVI_CLUSTER_HB_UNCONFIRMED:
      return "unconfirmed";
    default:
      return "unknown";
  }
}

// ---- Configuration ------------------------------------------------------------------------------

bool tovi_cluster_config_read(tovi_conf_section_t section, tovi_cluster_config_t *out,
                              std::string *error) {
  *out = tovi_cluster_config_t{};
  tovi_cluster_config_t &cfg = *out;
  if (!tovi_conf_get_string(section, "@name", &cfg.name) || cfg.name.empty()) {
    *error = "//clusters/cluster/@name is required";
    return false;
  }
  const std::string where = "//clusters/cluster[@name='" + cfg.name + "']";
  if (!tovi_conf_get_string(section, "@self", &cfg.self_id)) {
    *error = where + "/@self (this node's id) is required";
    return false;
  }
  std::string key_file;
  bool has_key = tovi_conf_get_string(section, "@key", &cfg.key);
  if (tovi_conf_get_string(section, "@key_file", &key_file)) {
    if (has_key) {
      *error = where + ": give either @key or @key_file, not both";
      return false;
    }
    if (!read_key_file(key_file, &cfg.key)) {
      *error = where + "/@key_file: cannot read " + key_file;
      return false;
    }
  } else if (!has_key) {
    *error = where + "/@key or @key_file (the shared heartbeat key) is required";
    return false;
  }
  tovi_conf_get_string(section, "@bind", &cfg.bind_address);
  if (tovi_conf_exists(section, "@period_ms") &&
      !tovi_conf_get_int64(section, "@period_ms", &cfg.period_ms)) {
    *error = where + "/@period_ms is not an integer";
    return false;
  }
  if (tovi_conf_exists(section, "@timeout_ms") &&
      !tovi_conf_get_int64(section, "@timeout_ms", &cfg.timeout_ms)) {
    *error = where + "/@timeout_ms is not an integer";
    return false;
  }
  int64_t seq = 0;
  if (tovi_conf_exists(section, "@seq") &&
      (!tovi_conf_get_int64(section, "@seq", &seq) || seq < 0)) {
    *error = where + "/@seq is not an integer of 0 or more";
    return false;
  }
  cfg.config_seq = uint64_t(seq);
  for (tovi_conf_section_t node : tovi_conf_get_sections(section, "node")) {
    tovi_cluster_node_config_t n;
    int32_t port = 0;
    tovi_conf_get_string(node, "@id", &n.id);
    tovi_conf_get_string(node, "@cn", &n.cn);
    tovi_conf_get_string(node, "@address", &n.address);
    if (!tovi_conf_get_int32(node, "@port", &port) || port < 1 || port > 65535) {
      *error = where + "/node/@port must be 1 to 65535 (node '" + n.id + "')";
      return false;
    }
    n.port = uint16_t(port);
    cfg.nodes.push_back(std::move(n));
  }
  return true;
}

tovi_cluster_t *tovi_cluster_alloc(const tovi_cluster_config_t &cfg, std::string *error) {
  const std::string where = "cluster '" + cfg.name + "': ";
  if (cfg.name.empty() || cfg.name.size() > 255) {
    *error = where + "the name must be 1 to 255 bytes";
    return nullptr;
  }
  if (cfg.key.size() < min_key_len) {
    *error = where + "the key must be at least 16 bytes";
    return nullptr;
  }
  if (cfg.period_ms < 10 || cfg.period_ms > 60000) {
    *error = where + "period_ms must be 10 to 60000";
    return nullptr;
  }
  if (cfg.timeout_ms <= cfg.period_ms || cfg.timeout_ms > 3600000) {
    *error = where + "timeout_ms must be above period_ms and at most 3600000";
    return nullptr;
  }
  if (cfg.nodes.empty() || cfg.nodes.size() > max_nodes) {
    *error = where + "it needs 1 to 1024 nodes";
    return nullptr;
  }
  if (!cfg.bind_address.empty()) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(cfg.bind_address, ec);
    if (ec) {
      *error = where + "bind '" + cfg.bind_address + "' is not an IP address";
      return nullptr;
    }
  }
  uint8_t self[16];
  if (!tovi_cluster_uuid_parse(cfg.self_id.c_str(), self)) {
    *error = where + "self '" + cfg.self_id + "' is not a UUID";
    return nullptr;
  }
  auto c = std::make_unique<tovi_cluster_t>();
  c->name = cfg.name;
  c->key = cfg.key;
  c->bind_address = cfg.bind_address;
  c->period_ms = cfg.period_ms;
  c->timeout_ms = cfg.timeout_ms;
  c->config_seq = cfg.config_seq;
  c->boot_time_us = cfg.boot_time_us ? cfg.boot_time_us : wall_us();
  if (RAND_bytes(c->boot_id, sizeof c->boot_id) != 1) {
    *error = where + "no random bytes for the boot id";
    return nullptr;
  }
  memcpy(c->self_id, self, 16);
  for (const auto &nc : cfg.nodes) {
    tovi_cluster_node_t n;
    if (!tovi_cluster_uuid_parse(nc.id.c_str(), n.id)) {
      *error = where + "node id '" + nc.id + "' is not a UUID";
      return nullptr;
    }
    for (const auto &other : c->nodes)
      if (memcmp(other.id, n.id, 16) == 0) {
        *error = where + "node id '" + nc.id + "' is configured twice";
        return nullptr;
      }
    boost::system::error_code ec;
    boost::asio::ip::make_address(nc.address, ec);
    if (ec) {
      *error = where + "node '" + nc.id + "' address '" + nc.address + "' is not an IP address";
      return nullptr;
    }
    if (nc.port == 0) {
      *error = where + "node '" + nc.id + "' needs a port";
      return nullptr;
    }
    tovi_cluster_uuid_unparse(n.id, n.id_text);
    n.cn = nc.cn.empty() ? std::string(n.id_text) : nc.cn;
    n.address = nc.address;
    n.port = nc.port;
    n.rank_hash = tovi_cluster_hash64(n.id, 16, 0);
    n.is_self = memcmp(n.id, self, 16) == 0;
    if (n.is_self) {
      c->self_index = int(c->nodes.size());
      n.seen = n.live = true;
      n.boot_time_us = c->boot_time_us;
      n.config_seq = c->config_seq;
    }
    c->nodes.push_back(std::move(n));
  }
  if (c->self_index < 0) {
    *error = where + "self '" + cfg.self_id + "' is not one of its nodes";
    return nullptr;
  }
  memcpy(c->nodes[size_t(c->self_index)].boot_id, c->boot_id, 16);
  // The digest covers what the ownership ranking depends on: the set of node ids, in any order.
  std::vector<std::array<uint8_t, 16>> ids(c->nodes.size());
  for (size_t i = 0; i < c->nodes.size(); i++)
    memcpy(ids[i].data(), c->nodes[i].id, 16);
  std::sort(ids.begin(), ids.end());
  uint8_t sha[SHA256_DIGEST_LENGTH];
  SHA256(ids.data()->data(), ids.size() * 16, sha);
  memcpy(c->node_list_digest, sha, 16);
  c->peers.resize(c->nodes.size());
  view_t *old = nullptr;
  {
    std::lock_guard<std::mutex> g(c->lock);
    publish_locked(c.get(), &old);
  }
  retire(old);
  return c.release();
}

void tovi_cluster_free(tovi_cluster_t *cluster) {
  if (!cluster) return;
  tovi_assert(!cluster->registered.load() && cluster->io == nullptr);
  delete cluster->view.load(std::memory_order_acquire);
  delete cluster;
}

// ---- Registry and start -------------------------------------------------------------------------

bool tovi_cluster_register(tovi_cluster_t *cluster) {
  if (!cluster) return false;
  std::lock_guard<std::mutex> g(registry_lock);
  std::atomic<tovi_cluster_t *> *free_slot = nullptr;
  for (auto &slot : registry) {
    tovi_cluster_t *c = slot.load(std::memory_order_relaxed);
    if (c && c->name == cluster->name) return false;
    if (!c && !free_slot) free_slot = &slot;
  }
  if (!free_slot) return false;
  cluster->registered = true;
  // Release: a finder that sees the pointer sees a fully built cluster.
  free_slot->store(cluster, std::memory_order_release);
  return true;
}

bool tovi_cluster_unregister(tovi_cluster_t *cluster) {
  std::lock_guard<std::mutex> g(registry_lock);
  for (auto &slot : registry) {
    if (slot.load(std::memory_order_relaxed) == cluster) {
      slot.store(nullptr, std::memory_order_release);
      cluster->registered = false;
      return true;
    }
  }
  return false;
}

tovi_cluster_t *tovi_cluster_find(const char *name) {
  if (!name) return nullptr;
  for (auto &slot : registry) {
    // Acquire pairs with the release in tovi_cluster_register.
    tovi_cluster_t *c = slot.load(std::memory_order_acquire);
    if (c && c->name == name) return c;
  }
  return nullptr;
}

bool tovi_cluster_enabled(void) {
  return clustering_enabled.load(std::memory_order_relaxed);
}

bool tovi_cluster_start(tovi_cluster_t *cluster, int thread, std::string *error) {
  tovi_assert(cluster && cluster->io == nullptr);
  auto io = std::make_unique<cluster_io_t>(cluster, thread);
  const tovi_cluster_node_t &self = cluster->nodes[size_t(cluster->self_index)];
  boost::system::error_code ec;
  auto bind_to = boost::asio::ip::make_address(
      cluster->bind_address.empty() ? self.address : cluster->bind_address, ec);
  udp::endpoint local(bind_to, self.port);
  io->socket.open(local.protocol(), ec);
  if (!ec) io->socket.bind(local, ec);
  if (ec) {
    *error = "cluster '" + cluster->name + "': cannot bind UDP " + local.address().to_string() +
             ":" + std::to_string(local.port()) + ": " + ec.message();
    return false;
  }
  io->socket.non_blocking(true, ec);
  for (const auto &n : cluster->nodes) {
    if (n.is_self) continue;
    cluster_io_t::peer_address_t to;
    to.endpoint = udp::endpoint(boost::asio::ip::make_address(n.address, ec), n.port);
    memcpy(to.id, n.id, 16);
    io->peers.push_back(to);
  }
  cluster->io = io.release();
  cluster_io_t *p = cluster->io;
  boost::asio::post(eventer_io_context(thread), [p] {
    p->timer.expires_at(std::chrono::steady_clock::now());
    p->beat();
    p->receive();
    p->schedule();
  });
  return true;
}

int tovi_cluster_init(void) {
  static std::once_flag console_once;
  std::call_once(console_once, [] {
    tovi_console_command_register("show cluster", show_cluster, complete_cluster_names,
                                  "cluster nodes, their liveness and heartbeat counters", nullptr);
    tovi_console_command_register("show cluster owners", show_cluster_owners, nullptr,
                                  "the owners of a key: <key> [redundancy [cluster]]", nullptr);
  });
  tovi_conf_section_read_hold();
  tovi_conf_section_t top = tovi_conf_get_section(nullptr, "//clusters");
  bool enabled = top != nullptr;
  if (top && tovi_conf_exists(top, "@enabled") &&
      !tovi_conf_get_boolean(top, "@enabled", &enabled)) {
    tovi_conf_section_read_release();
    tovi_log(tovi_error, "//clusters/@enabled is not a boolean\n");
    return -1;
  }
  std::vector<tovi_cluster_config_t> configs;
  if (enabled) {
    for (tovi_conf_section_t s : tovi_conf_get_sections(top, "cluster")) {
      tovi_cluster_config_t cfg;
      std::string error;
      if (!tovi_cluster_config_read(s, &cfg, &error)) {
        tovi_conf_section_read_release();
        tovi_log(tovi_error, "%s\n", error.c_str());
        return -1;
      }
      configs.push_back(std::move(cfg));
    }
  }
  tovi_conf_section_read_release();
  if (!enabled) return 0;
  clustering_enabled = true;
  int started = 0;
  for (const auto &cfg : configs) {
    std::string error;
    tovi_cluster_t *c = tovi_cluster_alloc(cfg, &error);
    if (!c) {
      tovi_log(tovi_error, "%s\n", error.c_str());
      return -1;
    }
    if (!tovi_cluster_register(c)) {
      tovi_log(tovi_error, "cluster '%s' is configured twice (or too many clusters)\n",
               cfg.name.c_str());
      tovi_cluster_free(c);
      return -1;
    }
    // Clusters spread over the loop threads by their order; each stays on its thread.
    if (!tovi_cluster_start(c, eventer_choose_owner(uint64_t(started)), &error)) {
      tovi_log(tovi_error, "%s\n", error.c_str());
      return -1;
    }
    register_statistics(c);
    tovi_log_fields(tovi_notice, ({"cluster_name", c->name}),
                    "cluster %s: %zu nodes, heartbeat every %" PRId64 " ms, timeout %" PRId64
                    " ms\n",
                    c->name.c_str(), cfg.nodes.size(), c->period_ms, c->timeout_ms);
    started++;
  }
  return started;
}

// ---- Hooks --------------------------------------------------------------------------------------

bool tovi_cluster_node_update_hook_register(const char *name, tovi_cluster_node_update_hook_t hook,
                                            void *closure) {
  if (!name || !hook) return false;
  std::lock_guard<std::mutex> g(hooks_lock);
  for (auto &h : hooks) {
    if (h.name == name) {
      h.hook = hook;
      h.closure = closure;
      return true;
    }
  }
  hooks.push_back(hook_entry_t{name, hook, closure});
  return true;
}

// ---- Queries ------------------------------------------------------------------------------------

const char *tovi_cluster_get_name(const tovi_cluster_t *cluster) {
  return cluster->name.c_str();
}

void tovi_cluster_get_my_id(const tovi_cluster_t *cluster, uint8_t out[16]) {
  memcpy(out, cluster->self_id, 16);
}

uint64_t tovi_cluster_get_config_seq(const tovi_cluster_t *cluster) {
  return cluster->config_seq;
}
void tovi_cluster_get_boot_id(const tovi_cluster_t *cluster, uint8_t out[16]) {
  memcpy(out, cluster->boot_id, 16);
}
void tovi_cluster_get_node_list_digest(const tovi_cluster_t *cluster, uint8_t out[16]) {
  memcpy(out, cluster->node_list_digest, 16);
}
int64_t tovi_cluster_get_period_ms(const tovi_cluster_t *cluster) {
  return cluster->period_ms;
}
int64_t tovi_cluster_get_timeout_ms(const tovi_cluster_t *cluster) {
  return cluster->timeout_ms;
}

bool tovi_cluster_am_i_oldest_visible_node(tovi_cluster_t *cluster) {
  tovi_memory_scope_c bracket;
  const view_t *v = current_view(cluster);
  const tovi_cluster_node_t *oldest = nullptr;
  for (const auto &n : v->nodes) {
    if (!n.live) continue;
    if (!oldest || n.boot_time_us < oldest->boot_time_us ||
        (n.boot_time_us == oldest->boot_time_us && memcmp(n.id, oldest->id, 16) < 0))
      oldest = &n;
  }
  return oldest && oldest->is_self;
}

int tovi_cluster_get_owners(tovi_cluster_t *cluster, const void *key, size_t len,
                            const tovi_cluster_node_t **owners, int max, int redundancy) {
  tovi_assert(tovi_memory_depth() > 0);
  const view_t *v = current_view(cluster);
  int k = std::min({redundancy, max, int(v->nodes.size())});
  if (k <= 0) return 0;
  ranking_c order(v, key, len);
  for (int i = 0; i < k; i++)
    owners[i] = &v->nodes[size_t(order[size_t(i)].index)];
  return k;
}

bool tovi_cluster_am_i_owner(tovi_cluster_t *cluster, const void *key, size_t len, int redundancy) {
  tovi_memory_scope_c bracket;
  const view_t *v = current_view(cluster);
  int k = std::min(redundancy, int(v->nodes.size()));
  if (k <= 0) return false;
  ranking_c order(v, key, len);
  for (int i = 0; i < k; i++)
    if (v->nodes[size_t(order[size_t(i)].index)].is_self) return true;
  return false;
}

bool tovi_cluster_liveness_filter(const tovi_cluster_node_t *node, void *) {
  return node->live;
}

int tovi_cluster_filter_owners(tovi_cluster_t *cluster, const void *key, size_t len,
                               const tovi_cluster_node_t **owners, int max,
                               tovi_cluster_node_filter_t filter, void *closure) {
  tovi_assert(tovi_memory_depth() > 0);
  const view_t *v = current_view(cluster);
  if (max <= 0 || v->nodes.empty()) return 0;
  ranking_c order(v, key, len);
  int found = 0;
  for (size_t i = 0; i < v->nodes.size() && found < max; i++) {
    const tovi_cluster_node_t *n = &v->nodes[size_t(order[i].index)];
    if (!filter || filter(n, closure)) owners[found++] = n;
  }
  return found;
}

bool tovi_cluster_is_self_among(const tovi_cluster_t *cluster,
                                const tovi_cluster_node_t *const *nodes, int count) {
  for (int i = 0; i < count; i++)
    if (nodes[i] && memcmp(nodes[i]->id, cluster->self_id, 16) == 0) return true;
  return false;
}

const tovi_cluster_node_t *tovi_cluster_find_node(tovi_cluster_t *cluster, const uint8_t id[16]) {
  tovi_assert(tovi_memory_depth() > 0);
  for (const auto &n : current_view(cluster)->nodes)
    if (memcmp(n.id, id, 16) == 0) return &n;
  return nullptr;
}

std::vector<tovi_cluster_node_t> tovi_cluster_nodes_copy(tovi_cluster_t *cluster) {
  tovi_memory_scope_c bracket;
  return current_view(cluster)->nodes;
}

const tovi_cluster_payload_t *tovi_cluster_node_find_payload(const tovi_cluster_node_t *node,
                                                             uint8_t app, uint8_t key) {
  for (const auto &p : node->payloads)
    if (p.app == app && p.key == key) return &p;
  return nullptr;
}

namespace {

// The part of receiving after the datagram proved authentic and fresh: the node lookup, the
// replay check, what we learn of the sender's boot, the echo check and the update. Runs the hooks
// for what changed; hands a replaced view to *old.
tovi_cluster_heartbeat_result_t accept_locked(tovi_cluster_t *cluster, decoded_t &d, int64_t now_ms,
                                              view_t **old) {
  std::vector<pending_update_t> updates;
  const view_t *published = nullptr;
  tovi_cluster_heartbeat_result_t result = TOVI_CLUSTER_HB_ACCEPTED;
  int list_change = 0;  // +1 the sender's node list began to differ from ours, -1 agrees again
  int seq_change = 0;   // +1 the sender reports another membership sequence, -1 ours again
  uint64_t sender_seq = 0;
  std::string node_text, node_cn;
  // The bracket begins before the new view is published, so the hooks can use it even if
  // another update replaces it meanwhile.
  tovi_memory_scope_c bracket;
  {
    std::lock_guard<std::mutex> g(cluster->lock);
    int index = -1;
    for (size_t i = 0; i < cluster->nodes.size(); i++)
      if (memcmp(cluster->nodes[i].id, d.id, 16) == 0) index = int(i);
    if (index < 0) return TOVI_CLUSTER_HB_UNKNOWN_NODE;
    tovi_cluster_node_t &n = cluster->nodes[size_t(index)];
    peer_private_t &peer = cluster->peers[size_t(index)];
    if (peer.known && memcmp(d.boot_id, peer.boot_id, 16) == 0) {
      if (d.seq <= peer.last_seq) return TOVI_CLUSTER_HB_REPLAYED;
    } else {
      // Another boot counts only when sent after everything we heard from the node.
      if (peer.known && d.sent_at_ms <= peer.last_sent_at_ms) return TOVI_CLUSTER_HB_REPLAYED;
      peer.known = true;
      memcpy(peer.boot_id, d.boot_id, 16);
    }
    peer.last_seq = d.seq;
    peer.last_sent_at_ms = std::max(peer.last_sent_at_ms, d.sent_at_ms);

    bool differs = memcmp(d.node_list_digest, cluster->node_list_digest, 16) != 0;
    if (differs) cluster->node_list_mismatches.fetch_add(1, std::memory_order_relaxed);
    if (differs != n.node_list_differs) {
      list_change = differs ? 1 : -1;
      n.node_list_differs = differs;
      node_text = n.id_text;
      node_cn = n.cn;
    }
    bool seq_differs = d.config_seq != cluster->config_seq;
    if (seq_differs) cluster->config_seq_mismatches.fetch_add(1, std::memory_order_relaxed);
    if (seq_differs && (!peer.config_seq_differs || peer.differing_config_seq != d.config_seq))
      seq_change = 1;
    else if (!seq_differs && peer.config_seq_differs)
      seq_change = -1;
    peer.config_seq_differs = seq_differs;
    peer.differing_config_seq = d.config_seq;
    if (seq_change) {
      sender_seq = d.config_seq;
      node_text = n.id_text;
      node_cn = n.cn;
    }

    uint32_t changes = 0;
    if (memcmp(d.echo, cluster->boot_id, 16) != 0) {
      // Learned from, but sent before the sender heard from this run of ours: no liveness.
      result = TOVI_CLUSTER_HB_UNCONFIRMED;
    } else {
      uint64_t old_boot = n.boot_time_us;
      if (!n.seen) changes |= TOVI_CLUSTER_NODE_NEW;
      if (!n.live) changes |= TOVI_CLUSTER_NODE_CAME_ALIVE;
      if (n.seen && memcmp(d.boot_id, n.boot_id, 16) != 0) changes |= TOVI_CLUSTER_NODE_REBOOTED;
      if (n.seen && d.config_seq != n.config_seq) changes |= TOVI_CLUSTER_NODE_CONFIG_CHANGED;
      if (!payloads_equal(d.payloads, n.payloads)) changes |= TOVI_CLUSTER_NODE_PAYLOAD_CHANGED;
      n.seen = n.live = true;
      memcpy(n.boot_id, d.boot_id, 16);
      n.boot_time_us = d.boot_time_us;
      n.config_seq = d.config_seq;
      n.last_contact_ms = now_ms;
      n.heartbeats++;
      if (changes & TOVI_CLUSTER_NODE_PAYLOAD_CHANGED) n.payloads = std::move(d.payloads);
      if (changes) updates.push_back(pending_update_t{index, changes, old_boot});
    }
    // Contact times and counts alone are not worth a new view on every heartbeat: the liveness
    // check reads them from the master table and publishes them with its tick.
    if (changes || list_change) published = publish_locked(cluster, old);
  }
  if (list_change > 0)
    tovi_log_fields(tovi_error, ({"cluster_name", cluster->name}, {"cluster_node_id", node_text}),
                    "cluster %s: node %s (%s) is configured with another node list: the two "
                    "compute different owners\n",
                    cluster->name.c_str(), node_text.c_str(), node_cn.c_str());
  else if (list_change < 0)
    tovi_log_fields(tovi_notice, ({"cluster_name", cluster->name}, {"cluster_node_id", node_text}),
                    "cluster %s: node %s (%s) now has our node list\n", cluster->name.c_str(),
                    node_text.c_str(), node_cn.c_str());
  // Another sequence means the two nodes run different membership configurations: a change
  // rolled out to one and not yet to the other, whose node lists may rank owners differently.
  if (seq_change > 0)
    tovi_log_fields(tovi_error, ({"cluster_name", cluster->name}, {"cluster_node_id", node_text}),
                    "cluster %s: node %s (%s) runs membership configuration %" PRIu64
                    ", this node %" PRIu64 "\n",
                    cluster->name.c_str(), node_text.c_str(), node_cn.c_str(), sender_seq,
                    cluster->config_seq);
  else if (seq_change < 0)
    tovi_log_fields(tovi_notice, ({"cluster_name", cluster->name}, {"cluster_node_id", node_text}),
                    "cluster %s: node %s (%s) now runs our membership configuration %" PRIu64 "\n",
                    cluster->name.c_str(), node_text.c_str(), node_cn.c_str(), cluster->config_seq);
  if (result != TOVI_CLUSTER_HB_ACCEPTED) return result;
  count_result(cluster, TOVI_CLUSTER_HB_ACCEPTED);
  if (published) run_hooks(cluster, published, updates);
  return TOVI_CLUSTER_HB_ACCEPTED;
}

}  // namespace

// ---- Payloads and heartbeats ----------------------------------------------------------------

bool tovi_cluster_set_heartbeat_payload(tovi_cluster_t *cluster, uint8_t app, uint8_t key,
                                        const void *data, size_t len) {
  if (!cluster || (len > 0 && !data)) return false;
  view_t *old = nullptr;
  std::unique_lock<std::mutex> g(cluster->lock);
  std::vector<tovi_cluster_payload_t> next = cluster->my_payloads;
  auto it = std::find_if(next.begin(), next.end(),
                         [&](const auto &p) { return p.app == app && p.key == key; });
  if (len == 0) {
    if (it != next.end()) next.erase(it);
  } else {
    std::string bytes(static_cast<const char *>(data), len);
    if (it != next.end()) {
      it->bytes = std::move(bytes);
    } else {
      next.push_back(tovi_cluster_payload_t{app, key, std::move(bytes)});
      std::sort(next.begin(), next.end(), [](const auto &a, const auto &b) {
        return std::make_pair(a.app, a.key) < std::make_pair(b.app, b.key);
      });
    }
  }
  if (encoded_size(cluster, next) > TOVI_CLUSTER_MAX_HEARTBEAT || next.size() > 0xffff)
    return false;
  cluster->my_payloads = std::move(next);
  cluster->nodes[size_t(cluster->self_index)].payloads = cluster->my_payloads;
  publish_locked(cluster, &old);
  g.unlock();
  retire(old);
  return true;
}

std::string tovi_cluster_heartbeat_build(tovi_cluster_t *cluster, const uint8_t to[16]) {
  std::string out;
  uint64_t seq;
  uint8_t echo[16] = {};
  std::vector<tovi_cluster_payload_t> payloads;
  {
    std::lock_guard<std::mutex> g(cluster->lock);
    seq = cluster->next_seq++;
    payloads = cluster->my_payloads;
    for (size_t i = 0; to && i < cluster->nodes.size(); i++)
      if (memcmp(cluster->nodes[i].id, to, 16) == 0 && cluster->peers[i].known)
        memcpy(echo, cluster->peers[i].boot_id, 16);
  }
  out.reserve(encoded_size(cluster, payloads));
  out.append(hb_magic, 4);
  out.push_back(char(hb_version));
  out.push_back(char(cluster->name.size()));
  out.append(cluster->name);
  out.append(reinterpret_cast<const char *>(cluster->self_id), 16);
  out.append(reinterpret_cast<const char *>(cluster->boot_id), 16);
  put_u64(&out, seq);
  put_u64(&out, cluster->config_seq);
  put_u64(&out, wall_us() / 1000);
  put_u64(&out, cluster->boot_time_us);
  out.append(reinterpret_cast<const char *>(echo), 16);
  out.append(reinterpret_cast<const char *>(cluster->node_list_digest), 16);
  put_u16(&out, uint16_t(payloads.size()));
  for (const auto &p : payloads) {
    out.push_back(char(p.app));
    out.push_back(char(p.key));
    put_u16(&out, uint16_t(p.bytes.size()));
    out.append(p.bytes);
  }
  uint8_t mac[mac_len];
  mac_of(cluster->key, out.data(), out.size(), mac);
  out.append(reinterpret_cast<const char *>(mac), mac_len);
  return out;
}

tovi_cluster_heartbeat_result_t tovi_cluster_heartbeat_receive(tovi_cluster_t *cluster,
                                                               const void *data, size_t len,
                                                               int64_t now_ms) {
  cluster->received.fetch_add(1, std::memory_order_relaxed);
  const uint8_t *p = static_cast<const uint8_t *>(data);
  auto reject = [&](tovi_cluster_heartbeat_result_t r, const char *detail) {
    count_result(cluster, r);
    tovi_log_fields(cluster_debug(), ({"cluster_name", cluster->name}),
                    "cluster %s: heartbeat rejected (%s)%s%s\n", cluster->name.c_str(),
                    tovi_cluster_heartbeat_result_name(r), detail ? ": " : "",
                    detail ? detail : "");
    return r;
  };
  if (!p || len < fixed_len + mac_len || len > TOVI_CLUSTER_MAX_HEARTBEAT)
    return reject(TOVI_CLUSTER_HB_MALFORMED, "bad size");
  uint8_t mac[mac_len];
  mac_of(cluster->key, p, len - mac_len, mac);
  if (CRYPTO_memcmp(mac, p + len - mac_len, mac_len) != 0)
    return reject(TOVI_CLUSTER_HB_BAD_MAC, nullptr);
  decoded_t d;
  if (!decode(p, len - mac_len, &d)) return reject(TOVI_CLUSTER_HB_MALFORMED, "bad layout");
  if (d.name != cluster->name) return reject(TOVI_CLUSTER_HB_WRONG_CLUSTER, nullptr);
  if (memcmp(d.id, cluster->self_id, 16) == 0) return reject(TOVI_CLUSTER_HB_FROM_SELF, nullptr);
  // A heartbeat sent longer ago (or further ahead) than a node stays alive without one proves
  // nothing about the node now: it is a captured one played back (which the sequence check
  // alone misses once this node restarted and forgot the sequences) or from a broken clock.
  int64_t skew_ms = int64_t(wall_us() / 1000) - int64_t(d.sent_at_ms);
  if (skew_ms > int64_t(cluster->timeout_ms) || -skew_ms > int64_t(cluster->timeout_ms))
    return reject(TOVI_CLUSTER_HB_STALE, "sent_at too far from our clock");

  view_t *old = nullptr;
  tovi_cluster_heartbeat_result_t result = accept_locked(cluster, d, now_ms, &old);
  retire(old);
  if (result != TOVI_CLUSTER_HB_ACCEPTED) return reject(result, nullptr);
  return result;
}

void tovi_cluster_tick(tovi_cluster_t *cluster, int64_t now_ms) {
  view_t *old = nullptr;
  tovi_memory_begin();
  std::vector<pending_update_t> updates;
  const view_t *published = nullptr;
  {
    std::lock_guard<std::mutex> g(cluster->lock);
    for (size_t i = 0; i < cluster->nodes.size(); i++) {
      tovi_cluster_node_t &n = cluster->nodes[i];
      if (n.is_self || !n.live || now_ms - n.last_contact_ms < cluster->timeout_ms) continue;
      n.live = false;
      updates.push_back(pending_update_t{int(i), TOVI_CLUSTER_NODE_DIED, n.boot_time_us});
    }
    // Publish at least once a tick so that readers' contact ages stay current.
    published = publish_locked(cluster, &old);
  }
  run_hooks(cluster, published, updates);
  tovi_memory_end();
  retire(old);
}

tovi_cluster_counters_t tovi_cluster_get_counters(const tovi_cluster_t *cluster) {
  tovi_cluster_counters_t k;
  k.sent = cluster->sent.load(std::memory_order_relaxed);
  k.send_errors = cluster->send_errors.load(std::memory_order_relaxed);
  k.received = cluster->received.load(std::memory_order_relaxed);
  k.node_list_mismatches = cluster->node_list_mismatches.load(std::memory_order_relaxed);
  k.config_seq_mismatches = cluster->config_seq_mismatches.load(std::memory_order_relaxed);
  for (int r = 0; r < TOVI_CLUSTER_HB_RESULT_COUNT; r++)
    k.results[r] = cluster->results[size_t(r)].load(std::memory_order_relaxed);
  return k;
}
