// What the files of the cluster library share: the cluster record, its published views and the
// helpers that publish them. Included only by platform/tovi/cluster/*.cpp.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tovi/tovi_cluster.h"
#include "tovi/tovi_log.h"

namespace tovi_cluster_internal {

inline constexpr char hb_magic[4] = {'Q', 'L', 'H', 'B'};
inline constexpr uint8_t hb_version = 2;
inline constexpr size_t mac_len = 32;
inline constexpr size_t max_nodes = 1024;
inline constexpr size_t min_key_len = 16;
// magic, version, name length, id, boot id, seq, config seq, sent at, boot time, echo, digest,
// payload count
inline constexpr size_t fixed_len = 4 + 1 + 1 + 16 + 16 + 8 + 8 + 8 + 8 + 16 + 16 + 2;

// The "debug/cluster" stream.
tovi_log_stream_t cluster_debug();

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

struct cluster_io_t;  // the socket and timer of a started cluster (tovi_cluster.cpp)

struct pending_update_t {
  int index;
  uint32_t changes;
  uint64_t old_boot_time_us;
};

// Publishes a copy of the master table; returns the new view and hands the replaced one to
// *old, which the caller retires once it is outside its own bracket. Called with c->lock held.
view_t *publish_locked(tovi_cluster_t *c, view_t **old);
// Frees a replaced view once every reader that could hold it has left its bracket. Never called
// inside a bracket: the deferred free may have to wait for the grace period itself.
void retire(view_t *old);
// The published view; read inside a safe-memory bracket.
const view_t *current_view(const tovi_cluster_t *c);
// Runs the hooks for updates made in `v`. The caller is inside a safe-memory bracket that
// began before v was published, so v outlives the calls.
void run_hooks(tovi_cluster_t *c, const view_t *v, const std::vector<pending_update_t> &updates);
void count_result(tovi_cluster_t *c, tovi_cluster_heartbeat_result_t r);
// Wall-clock microseconds since the epoch.
uint64_t wall_us();

// The 64-bit finaliser of the hashes, also the mix of a key's hash with a node's rank.
inline uint64_t fmix64(uint64_t k) {
  k ^= k >> 33;
  k *= 0xff51afd7ed558ccdULL;
  k ^= k >> 33;
  k *= 0xc4ceb9fe1a85ec53ULL;
  k ^= k >> 33;
  return k;
}

// The registered clusters, or the one of that name (null: all). Any thread.
std::vector<tovi_cluster_t *> clusters_named(const char *name);
// Registers the console commands "show cluster" and "show cluster owners", once.
void register_console_commands();

}  // namespace tovi_cluster_internal

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
  std::vector<tovi_cluster_internal::peer_private_t> peers;
  std::vector<tovi_cluster_payload_t> my_payloads;
  uint64_t next_seq = 1;

  // Published view. Release on store so that a reader's acquire load sees a complete view.
  std::atomic<tovi_cluster_internal::view_t *> view{nullptr};

  // Counters: relaxed, they order nothing.
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> send_errors{0};
  std::atomic<uint64_t> received{0};
  std::array<std::atomic<uint64_t>, TOVI_CLUSTER_HB_RESULT_COUNT> results{};
  std::atomic<uint64_t> node_list_mismatches{0};
  std::atomic<uint64_t> config_seq_mismatches{0};

  // Set by tovi_cluster_start; the loop thread owns it afterwards.
  tovi_cluster_internal::cluster_io_t *io = nullptr;
  std::atomic<bool> registered{false};
};
