// Clusters: the node table, the heartbeat codec, liveness and rendezvous ownership.
//
// Each cluster keeps a master copy of its node table under `lock`. Every change (an accepted
// heartbeat that told something new, a node going dead, a payload of our own) copies the table
// into a fresh immutable view_t and publishes it with one atomic exchange; the old view is
// released through the safe-memory deferred free, so readers on any thread load the view inside
// a bracket and never wait for a writer. Node pointers handed to readers point into a view and
// live as long as the reader's bracket.
//
// The heartbeat codec and its checks are in tovi_cluster_wire.cpp, the hashes in
// tovi_cluster_hash.cpp, the console commands in tovi_cluster_console.cpp; the record they share
// is in tovi_cluster_internal.h.
#include "tovi/tovi_cluster.h"

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

#include "stats/stats.h"
#include "tovi/eventer.h"
#include "tovi/tovi_asio.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_uuid.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_cluster_internal.h"

using namespace tovi_cluster_internal;

namespace {

// ---- Hooks --------------------------------------------------------------------------------------

struct hook_entry_t {
  std::string name;
  tovi_cluster_node_update_hook_t hook;
  void *closure;
};

std::mutex hooks_lock;
std::vector<hook_entry_t> hooks;  // guarded by hooks_lock

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

}  // namespace

namespace tovi_cluster_internal {

tovi_log_stream_t cluster_debug() {
  static tovi_log_stream_t ls = tovi_log_stream_find("debug/cluster");
  return ls;
}

// ---- Views --------------------------------------------------------------------------------------

void delete_view(void *v) {
  delete static_cast<view_t *>(v);
}

view_t *publish_locked(tovi_cluster_t *c, view_t **old) {
  auto *fresh = new view_t{c->nodes};
  // acq_rel: release publishes the filled view; acquire orders our later retiring of the old one.
  *old = c->view.exchange(fresh, std::memory_order_acq_rel);
  return fresh;
}

void retire(view_t *old) {
  if (old) tovi_memory_defer(delete_view, old);
}

const view_t *current_view(const tovi_cluster_t *c) {
  // Acquire pairs with the release in publish_locked: the view's contents are complete.
  return c->view.load(std::memory_order_acquire);
}

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

uint64_t wall_us() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count());
}

void count_result(tovi_cluster_t *c, tovi_cluster_heartbeat_result_t r) {
  c->results[r].fetch_add(1, std::memory_order_relaxed);
}

std::vector<tovi_cluster_t *> clusters_named(const char *name) {
  std::vector<tovi_cluster_t *> out;
  for (auto &slot : registry) {
    tovi_cluster_t *c = slot.load(std::memory_order_acquire);
    if (c && (!name || c->name == name)) out.push_back(c);
  }
  return out;
}

}  // namespace tovi_cluster_internal

// ---- Sockets ------------------------------------------------------------------------------------

using boost::asio::ip::udp;

struct tovi_cluster_internal::cluster_io_t {
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

namespace {

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
  register_console_commands();
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
