// Clusters: static membership, authenticated UDP heartbeats, liveness and ownership of keys.
//
// Configuration (one <cluster> per cluster; several daemons share one):
//   <clusters>
//     <cluster name="queltd" self="<this node's id>" key="<shared secret>" bind="<address>"
//              period_ms="1000" timeout_ms="5000" seq="0">
//       <node id="<uuid>" cn="node1" address="127.0.0.1" port="8101"/>
//       ...
//     </cluster>
//   </clusters>
// The node named by @self is this daemon: it listens for heartbeats on that node's address and
// port (or on @bind, an address, when given) and sends its own to every other node. The key is
// at least 16 bytes, given inline (@key) or as the first line of a file (@key_file). @seq is the
// membership's configuration sequence, which operators raise when they change the node list; a
// node whose sequence differs from ours is logged on "error" (once per value) and counted.
// docs/configuration.md describes every key.
//
// Heartbeats. Every period each node sends one UDP datagram to every other node. docs/cluster.md
// gives the byte layout; in short it carries the cluster name, the node id, the node's boot id
// (16 random bytes drawn at every start: the identity of this run of the node), a sequence that
// rises with every datagram of that boot, the configuration sequence, the send time, the boot
// time (only to tell which node is oldest), the recipient's boot id as the sender last heard it
// (the echo), a digest of the sender's configured node list and the (application, key) -> bytes
// payloads that modules attached, followed by an HMAC-SHA256 of all of it under the shared key.
//
// A receiver drops, and counts by reason, a datagram that is malformed, has a bad MAC, names
// another cluster, comes from a node that is not configured, claims to come from the receiver
// itself, was sent farther than timeout_ms from the receiver's clock (stale), or is a replay: a
// sequence not above the last one of the same boot, a boot id that was already replaced, or a new
// boot id whose send time is not after the newest heartbeat seen from that node. An authentic,
// fresh datagram that echoes anything but the receiver's current boot id ("unconfirmed") teaches
// the receiver the sender's boot id and sequence, so that the receiver echoes it back, but it does
// not make the sender live: only a heartbeat sent after the sender heard from this run of the
// receiver does. A restarted receiver therefore cannot be fooled by heartbeats captured before it
// restarted, however fresh. A node is live from a confirmed heartbeat until none was accepted
// for timeout_ms; this node is always live to itself. A node whose node-list digest differs from
// ours (the two compute different owners) is logged on "error", counted and flagged in
// "show cluster"; its heartbeats still count for liveness.
//
// Ownership. The owners of a byte key are the configured nodes (live or not) ranked by
// rendezvous hashing: every node scores fmix64(key_hash ^ node_hash), where key_hash is the first
// 64-bit word of MurmurHash3 x64_128 of the key with seed 0, node_hash the same of the node's 16
// id bytes, and fmix64 MurmurHash3's 64-bit finaliser; higher scores rank first and equal scores
// fall back to the id bytes, smaller first. Every node that has the same node list computes the
// same owners, and removing a node only moves the keys that it owned.
//
// Threads. Each started cluster runs on one event-loop thread: its UDP socket, its heartbeat
// timer, the liveness check and the node-update hooks all run there. Readers on any thread see
// the node table as an immutable snapshot published through safe memory: queries never block.
// Functions that hand out node pointers require the caller to be inside a safe-memory bracket
// (tovi_memory_begin/end) and the pointers stay valid until that bracket ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tovi/tovi_conf.h"

typedef struct tovi_cluster_s tovi_cluster_t;

// Change flags of a node update (a bit set).
enum : uint32_t {
  TOVI_CLUSTER_NODE_DIED = 1,             // no heartbeat for the timeout: live -> dead
  TOVI_CLUSTER_NODE_NEW = 2,              // first heartbeat ever accepted from the node
  TOVI_CLUSTER_NODE_REBOOTED = 4,         // its boot id changed (the node restarted)
  TOVI_CLUSTER_NODE_PAYLOAD_CHANGED = 8,  // its heartbeat payloads changed (or first carried)
  TOVI_CLUSTER_NODE_CONFIG_CHANGED = 16,  // its configuration sequence changed
  TOVI_CLUSTER_NODE_CAME_ALIVE = 32,      // dead (or never seen) -> live
};

// One heartbeat payload.
struct tovi_cluster_payload_t {
  uint8_t app = 0;
  uint8_t key = 0;
  std::string bytes;
};

// A node as one snapshot of the node table saw it. Immutable once published.
struct tovi_cluster_node_t {
  // Constant: from the configuration.
  uint8_t id[16] = {};
  char id_text[37] = {};  // lower case
  std::string cn;
  std::string address;
  uint16_t port = 0;
  bool is_self = false;
  uint64_t rank_hash = 0;  // node_hash of the ownership ranking
  // What the heartbeats told (for this node itself: its own values).
  bool seen = false;  // a heartbeat was ever accepted
  bool live = false;
  uint8_t boot_id[16] = {};   // of the run that sent the last accepted heartbeat; zeros before
  uint64_t boot_time_us = 0;  // microseconds since the epoch, as the node's clock told it; 0 before
                              // the first heartbeat. Only ranks the oldest node, never identifies.
  bool node_list_differs = false;  // its last heartbeat carried another node-list digest
  uint64_t config_seq = 0;
  int64_t last_contact_ms = 0;  // tovi_cluster_clock_ms() of the last accepted heartbeat
  uint64_t heartbeats = 0;      // accepted from this node
  std::vector<tovi_cluster_payload_t> payloads;  // sorted by (app, key)
};

// ---- Configuration and set-up -------------------------------------------------------------------

struct tovi_cluster_node_config_t {
  std::string id;  // UUID text
  std::string cn;
  std::string address;  // numeric IPv4 or IPv6 address
  uint16_t port = 0;
};

struct tovi_cluster_config_t {
  std::string name;
  std::string self_id;       // UUID text of this node; must be one of nodes
  std::string key;           // shared HMAC key, at least 16 bytes
  std::string bind_address;  // empty: the self node's address
  int64_t period_ms = 1000;
  int64_t timeout_ms = 5000;
  uint64_t config_seq = 0;
  uint64_t boot_time_us = 0;  // 0: now (only ranks the oldest node)
  std::vector<tovi_cluster_node_config_t> nodes;
};

// Reads one <cluster> section. False with *error naming the key when it cannot be used.
bool tovi_cluster_config_read(tovi_conf_section_t section, tovi_cluster_config_t *out,
                              std::string *error);

// A cluster object built from a configuration, not yet registered nor started (no socket). Null
// with *error when the configuration is inconsistent (bad or duplicate ids, unknown self, short
// key, timeout not above the period, ...). Free with tovi_cluster_free once no thread uses it and
// it is neither registered nor started.
tovi_cluster_t *tovi_cluster_alloc(const tovi_cluster_config_t &config, std::string *error);
void tovi_cluster_free(tovi_cluster_t *cluster);

// Reads //clusters, allocates, registers and starts every configured cluster, and registers the
// console commands "show cluster [name]" and "show cluster owners <key> [redundancy [name]]".
// Returns the number of clusters started, 0 when clustering is not enabled (no //clusters
// section, or <clusters enabled="false">), -1 when the configuration cannot be used (logged on
// "error"). Started clusters count their heartbeats in the statistics under tovi/cluster/<name>.
// Call once on the main thread after eventer_init() and tovi_console_init().
int tovi_cluster_init(void);
// Whether tovi_cluster_init found clustering enabled. Any thread.
bool tovi_cluster_enabled(void);

// The registry of clusters by name. Lookups are lock-free. A name may be registered once;
// register returns false for a duplicate. Unregistering does not free: the caller frees after
// every reader is done (tovi_memory_synchronize). Tests use these directly.
bool tovi_cluster_register(tovi_cluster_t *cluster);
bool tovi_cluster_unregister(tovi_cluster_t *cluster);
tovi_cluster_t *tovi_cluster_find(const char *name);

// Opens the UDP socket and starts the heartbeat timer on loop thread `thread`. False with
// *error when the socket cannot be bound. Call once per cluster; a started cluster is never
// stopped or freed.
bool tovi_cluster_start(tovi_cluster_t *cluster, int thread, std::string *error);

// ---- Node-update hooks --------------------------------------------------------------------------

#define TOVI_HOOK_CONTINUE 0
#define TOVI_HOOK_DONE 1

// Called for every change of a node (changes is the set of TOVI_CLUSTER_NODE_* flags; old boot
// time is the node's boot time before this update). Runs on the cluster's thread (or the thread
// that fed the heartbeat to tovi_cluster_heartbeat_receive / tovi_cluster_tick), inside a
// safe-memory bracket; `node` is valid for the call. Returning TOVI_HOOK_DONE stops the hooks
// registered after this one for this update.
typedef int (*tovi_cluster_node_update_hook_t)(void *closure, uint32_t changes,
                                               const tovi_cluster_node_t *node,
                                               tovi_cluster_t *cluster, uint64_t old_boot_time_us);
// Registers (or, for a name already registered, replaces) a hook for every cluster. False for
// a null name or hook. Any thread.
bool tovi_cluster_node_update_hook_register(const char *name, tovi_cluster_node_update_hook_t hook,
                                            void *closure);

// ---- Queries (any thread, lock-free)
// -------------------------------------------------------------

const char *tovi_cluster_get_name(const tovi_cluster_t *cluster);
void tovi_cluster_get_my_id(const tovi_cluster_t *cluster, uint8_t out[16]);
uint64_t tovi_cluster_get_config_seq(const tovi_cluster_t *cluster);
// This run's boot id (random, drawn by tovi_cluster_alloc).
void tovi_cluster_get_boot_id(const tovi_cluster_t *cluster, uint8_t out[16]);
// The digest of the configured node list that heartbeats carry: the first 16 bytes of SHA-256
// over the node ids (16 bytes each) in ascending byte order. Nodes that compute the same digest
// rank owners alike.
void tovi_cluster_get_node_list_digest(const tovi_cluster_t *cluster, uint8_t out[16]);
int64_t tovi_cluster_get_period_ms(const tovi_cluster_t *cluster);
int64_t tovi_cluster_get_timeout_ms(const tovi_cluster_t *cluster);

// Whether this node is the oldest live node (smallest boot time, then smallest id).
bool tovi_cluster_am_i_oldest_visible_node(tovi_cluster_t *cluster);

// The first min(redundancy, max, nodes) owners of the key, best first, into owners[]. Returns
// their count. Requires a safe-memory bracket.
int tovi_cluster_get_owners(tovi_cluster_t *cluster, const void *key, size_t len,
                            const tovi_cluster_node_t **owners, int max, int redundancy);
// Whether this node is among the first `redundancy` owners of the key.
bool tovi_cluster_am_i_owner(tovi_cluster_t *cluster, const void *key, size_t len, int redundancy);

// A node filter; the liveness filter keeps live nodes (the closure is unused).
typedef bool (*tovi_cluster_node_filter_t)(const tovi_cluster_node_t *node, void *closure);
bool tovi_cluster_liveness_filter(const tovi_cluster_node_t *node, void *closure);
// The first `max` nodes in the key's ownership order that pass the filter, best first: with the
// liveness filter and max equal to the redundancy, a dead owner's place goes to the next live
// node in the order. Returns their count. Requires a safe-memory bracket.
int tovi_cluster_filter_owners(tovi_cluster_t *cluster, const void *key, size_t len,
                               const tovi_cluster_node_t **owners, int max,
                               tovi_cluster_node_filter_t filter, void *closure);
// Whether one of the nodes is this node.
bool tovi_cluster_is_self_among(const tovi_cluster_t *cluster,
                                const tovi_cluster_node_t *const *nodes, int count);

// The node with this id in the current snapshot, or null. Requires a safe-memory bracket.
const tovi_cluster_node_t *tovi_cluster_find_node(tovi_cluster_t *cluster, const uint8_t id[16]);
// A copy of the current node table in configuration order (consoles, tests). Any thread.
std::vector<tovi_cluster_node_t> tovi_cluster_nodes_copy(tovi_cluster_t *cluster);
// The payload of (app, key) a node carries, or null.
const tovi_cluster_payload_t *tovi_cluster_node_find_payload(const tovi_cluster_node_t *node,
                                                             uint8_t app, uint8_t key);

// ---- Heartbeat payloads
// ---------------------------------------------------------------------------

// Sets (copying the bytes) the payload of (app, key) that this node's heartbeats carry from the
// next heartbeat on; len 0 removes it. False for a null cluster or when the heartbeat would grow
// beyond TOVI_CLUSTER_MAX_HEARTBEAT bytes. Any thread.
#define TOVI_CLUSTER_MAX_HEARTBEAT 8192
bool tovi_cluster_set_heartbeat_payload(tovi_cluster_t *cluster, uint8_t app, uint8_t key,
                                        const void *data, size_t len);

// ---- The heartbeat engine without sockets (the started cluster drives these; tests too) --------

enum tovi_cluster_heartbeat_result_t {
  TOVI_CLUSTER_HB_ACCEPTED = 0,
  TOVI_CLUSTER_HB_MALFORMED,
  TOVI_CLUSTER_HB_BAD_MAC,
  TOVI_CLUSTER_HB_WRONG_CLUSTER,
  TOVI_CLUSTER_HB_UNKNOWN_NODE,
  TOVI_CLUSTER_HB_FROM_SELF,
  TOVI_CLUSTER_HB_REPLAYED,
  TOVI_CLUSTER_HB_STALE,        // sent_at farther than the timeout from our clock
  TOVI_CLUSTER_HB_UNCONFIRMED,  // authentic and new, but does not echo our boot id (see above)
  TOVI_CLUSTER_HB_RESULT_COUNT
};
// "accepted", "malformed", "bad_mac", "wrong_cluster", "unknown_node", "from_self", "replayed",
// "stale", "unconfirmed".
const char *tovi_cluster_heartbeat_result_name(tovi_cluster_heartbeat_result_t result);

// This node's next heartbeat datagram for the node `to` (the sequence advances by one per call):
// it echoes the boot id last learned from `to` (zeros when none was, or `to` is null). Any thread.
std::string tovi_cluster_heartbeat_build(tovi_cluster_t *cluster, const uint8_t to[16]);
// Handles one received datagram at monotonic time now_ms: updates the node table, publishes a
// new snapshot and runs the hooks on the calling thread when something changed.
tovi_cluster_heartbeat_result_t tovi_cluster_heartbeat_receive(tovi_cluster_t *cluster,
                                                               const void *data, size_t len,
                                                               int64_t now_ms);
// Marks dead the nodes whose last heartbeat is older than the timeout at now_ms; runs the hooks.
void tovi_cluster_tick(tovi_cluster_t *cluster, int64_t now_ms);

struct tovi_cluster_counters_t {
  uint64_t sent = 0;                                    // datagrams sent
  uint64_t send_errors = 0;                             // datagrams the socket refused
  uint64_t received = 0;                                // datagrams received (accepted + rejected)
  uint64_t results[TOVI_CLUSTER_HB_RESULT_COUNT] = {};  // by result; [0] is accepted
  uint64_t node_list_mismatches = 0;   // authentic heartbeats with another node-list digest
  uint64_t config_seq_mismatches = 0;  // authentic heartbeats with another configuration sequence
};
tovi_cluster_counters_t tovi_cluster_get_counters(const tovi_cluster_t *cluster);

// ---- Helpers
// -------------------------------------------------------------------------------------

// Monotonic milliseconds, the clock of liveness.
int64_t tovi_cluster_clock_ms(void);
// MurmurHash3 x86_32 of the bytes: stable across nodes, builds and byte orders.
uint32_t tovi_cluster_hash32(const void *data, size_t len, uint32_t seed);
// The first 64-bit word of MurmurHash3 x64_128 of the bytes (read little-endian).
uint64_t tovi_cluster_hash64(const void *data, size_t len, uint32_t seed);
// UUID text (36 characters, either case) <-> 16 bytes. parse returns false on a bad text.
bool tovi_cluster_uuid_parse(const char *text, uint8_t out[16]);
void tovi_cluster_uuid_unparse(const uint8_t id[16], char out[37]);
