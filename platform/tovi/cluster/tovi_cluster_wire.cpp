// The heartbeat codec of the clusters: building, checking and accepting heartbeats.
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
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <string_view>

#include "tovi/tovi_assert.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_cluster_internal.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"

using namespace tovi_cluster_internal;

namespace {

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

}  // namespace

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
