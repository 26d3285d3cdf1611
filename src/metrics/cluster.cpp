#include "metrics.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

#include "general.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_log.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_uuid.h"
#include "vask/vask_decoder.h"

// ---- Cluster membership and ownership ----------------------------------------------------------
//
// The cluster object is looked up by name on every question instead of being cached, so the
// answers follow whatever the framework holds; its snapshots make the lookups lock-free.

namespace {

const char *const cluster_name = "queltd";
// How many nodes own each metric.
const int cluster_redundancy = 2;
// The longest part of a metric name that goes into its ownership key.
const int max_key_name = 4080;
const uint32_t ownership_hash_seed = 1337;

// Written once by init_cluster before the cluster thread runs; read-only afterwards.
tovi_cluster_t *my_cluster = nullptr;
uint8_t my_cluster_id[16];
uint8_t my_payload[32];

// The ownership key: check UUID then the name, cut to max_key_name bytes.
struct ownership_key_t {
  uint8_t bytes[16 + max_key_name];
  size_t len;
};

// Length of the name's part of the key. A negative length asks for the C string's length; a
// null name is empty.
int key_name_length(const char *name, int len) {
  if (!name) return 0;
  if (len < 0) return int(strnlen(name, size_t(max_key_name)));
  return len > max_key_name ? max_key_name : len;
}

void build_ownership_key(const uint8_t uuid[16], const char *name, int name_len,
                         ownership_key_t *key) {
  if (uuid)
    memcpy(key->bytes, uuid, 16);
  else
    memset(key->bytes, 0, 16);
  if (name_len > 0) memcpy(key->bytes + 16, name, size_t(name_len));
  key->len = 16 + size_t(name_len);
}

bool uuid_is_zero(const uint8_t uuid[16]) {
  if (!uuid) return true;
  for (int i = 0; i < 16; i++)
    if (uuid[i]) return false;
  return true;
}

std::string node_ids_text(const tovi_cluster_node_t *const *nodes, int n) {
  std::string text;
  for (int i = 0; i < n; i++)
    text += std::string(" ") + nodes[i]->id_text;
  return text;
}

// "show cluster metric <check uuid> <metric name>": the owners and live owners of the metric's
// ownership key, as rulesets and alerts ask for them. The console splits at spaces, so the words
// after the UUID are joined again with single spaces. A name with tag blocks is put in canonical
// form first, as a ruleset keeps it.
int show_cluster_metric(tovi_console_t *console, int argc, const char *const *argv, void *) {
  if (argc < 2) {
    tovi_console_printf(console, "usage: show cluster metric <check uuid> <metric name>\n");
    return -1;
  }
  uint8_t uuid[16];
  if (!tovi_uuid_parse(argv[0], strlen(argv[0]), uuid)) {
    tovi_console_printf(console, "bad check uuid: %s\n", argv[0]);
    return -1;
  }
  std::string name = argv[1];
  for (int i = 2; i < argc; i++)
    name += std::string(" ") + argv[i];
  if (name.find("|ST[") != std::string::npos || name.find("|MT{") != std::string::npos) {
    char canonical[4096];
    int len = vask_metric_canonicalize(name.data(), name.size(), canonical, sizeof canonical, true);
    if (len > 0) {
      std::string c(canonical, size_t(len));
      size_t mt = c.find("|MT{");
      name = mt == std::string::npos ? c : c.substr(0, mt);
    }
  }
  tovi_cluster_t *cluster = tovi_cluster_find(cluster_name);
  if (!cluster) {
    tovi_console_printf(console, "clustering is not enabled: every metric is owned here\n");
    return 0;
  }
  std::string key = metrics_ownership_key(uuid, name.data(), int(name.size()));
  char uuid_text[37];
  tovi_uuid_unparse(uuid, uuid_text);
  tovi_memory_scope_c bracket;
  const tovi_cluster_node_t *owners[cluster_redundancy];
  int n = tovi_cluster_get_owners(cluster, key.data(), key.size(), owners, cluster_redundancy,
                                  cluster_redundancy);
  bool owned = tovi_cluster_is_self_among(cluster, owners, n);
  tovi_console_printf(console, "cluster %s metric %s %s\n", cluster_name, uuid_text, name.c_str());
  tovi_console_printf(console, "  key: %zu bytes, hash %" PRIu32 "\n", key.size(),
                      tovi_cluster_hash32(key.data(), key.size(), ownership_hash_seed));
  tovi_console_printf(console, "  owners:%s\n", node_ids_text(owners, n).c_str());
  n = tovi_cluster_filter_owners(cluster, key.data(), key.size(), owners, cluster_redundancy,
                                 tovi_cluster_liveness_filter, nullptr);
  bool responsible = tovi_cluster_is_self_among(cluster, owners, n);
  tovi_console_printf(console, "  live_owners:%s\n", node_ids_text(owners, n).c_str());
  tovi_console_printf(console, "  this node: owner=%s responsible=%s\n", owned ? "yes" : "no",
                      responsible ? "yes" : "no");
  return 0;
}

}  // namespace

void init_cluster(void) {
  int started = tovi_cluster_init();
  if (started < 0) exit(2);
  // Registered after the framework's "show cluster" commands, below them in the tree.
  tovi_console_command_register("show cluster metric", show_cluster_metric, nullptr,
                                "the owners of a metric: <check uuid> <metric name>", nullptr);
  cluster_rest_init();
  if (!tovi_cluster_enabled()) return;

  my_cluster = tovi_cluster_find(cluster_name);
  if (!my_cluster) {
    tovi_log_fields(tovi_debug, ({"cluster_name", cluster_name}), "Unable to find cluster %s\n",
                    cluster_name);
    // The debug stream is off by default; the reason for the exit must reach the operator.
    tovi_log_fields(tovi_error, ({"cluster_name", cluster_name}), "Unable to find cluster %s\n",
                    cluster_name);
    exit(1);
  }
  tovi_cluster_get_my_id(my_cluster, my_cluster_id);
  tovi_assert(tovi_cluster_node_update_hook_register("cluster-topology-listener", on_node_updated,
                                                     nullptr));
  char id_text[37];
  tovi_cluster_uuid_unparse(my_cluster_id, id_text);
  tovi_log_fields(tovi_debug, ({"cluster_name", cluster_name}, {"cluster_node_id", id_text}),
                  "Initialized cluster. My uuid is: %s\n", id_text);

  // The framework copies the payload when it is attached, so it is filled first.
  memset(my_payload, 0, sizeof(my_payload));
  memcpy(my_payload, "Hello world!", 12);
  tovi_assert(tovi_cluster_set_heartbeat_payload(my_cluster, 1, 1, my_payload, sizeof(my_payload)));
}

const uint8_t *metrics_my_cluster_id(void) {
  return my_cluster_id;
}

int on_node_updated(void *, uint32_t changes, const tovi_cluster_node_t *node,
                    tovi_cluster_t *cluster, uint64_t) {
  if (!tovi_log_stream_enabled(tovi_debug)) return TOVI_HOOK_CONTINUE;
  const char *name = tovi_cluster_get_name(cluster);
  bool oldest = tovi_cluster_am_i_oldest_visible_node(cluster);
#define NODE_FIELDS \
  ({"cluster_node_cn", node->cn}, {"cluster_node_id", node->id_text}, {"cluster_name", name})
  tovi_log_fields(tovi_debug, NODE_FIELDS,
                  "The cluster topology has changed (seq=%ld): I am oldest node: %d\n",
                  long(node->config_seq), oldest ? 1 : 0);
  if (changes & TOVI_CLUSTER_NODE_NEW) tovi_log_fields(tovi_debug, NODE_FIELDS, "Found new node\n");
  if (changes & TOVI_CLUSTER_NODE_PAYLOAD_CHANGED)
    tovi_log_fields(tovi_debug, NODE_FIELDS, "Node's payload has changed:\n");
  if (!node->payloads.empty()) {
    const tovi_cluster_payload_t *p = tovi_cluster_node_find_payload(node, 1, 1);
    // The payload is bytes from the network: print its text up to the first zero byte, never
    // past its end.
    int text_len = p ? int(strnlen(p->bytes.data(), p->bytes.size())) : 0;
    tovi_log_fields(tovi_debug, NODE_FIELDS, "Payloads attached to cluster heartbeat: %.*s\n",
                    text_len, p ? p->bytes.data() : "");
  } else {
    tovi_log_fields(tovi_debug, NODE_FIELDS, "No payload attached to cluster heartbeat\n");
  }
#undef NODE_FIELDS
  return TOVI_HOOK_CONTINUE;
}

bool metrics_do_i_own(uint64_t account_id, const uint8_t check_uuid[16], const char *name,
                      int name_len, uint32_t *hashval) {
  if (!should_handle_account(account_id)) return false;
  ownership_key_t key;
  build_ownership_key(check_uuid, name, key_name_length(name, name_len), &key);
  if (hashval) *hashval = tovi_cluster_hash32(key.bytes, key.len, ownership_hash_seed);
  tovi_cluster_t *cluster = tovi_cluster_find(cluster_name);
  if (!cluster) return true;
  return tovi_cluster_am_i_owner(cluster, key.bytes, key.len, cluster_redundancy);
}

bool metrics_am_i_responsible(uint64_t, const uint8_t check_uuid[16], const char *name, int len) {
  int name_len = key_name_length(name, len);
  if (name_len == 0 || uuid_is_zero(check_uuid)) return true;
  tovi_cluster_t *cluster = tovi_cluster_find(cluster_name);
  if (!cluster) return true;
  ownership_key_t key;
  build_ownership_key(check_uuid, name, name_len, &key);
  tovi_memory_scope_c bracket;
  const tovi_cluster_node_t *live_owners[cluster_redundancy];
  int n = tovi_cluster_filter_owners(cluster, key.bytes, key.len, live_owners, cluster_redundancy,
                                     tovi_cluster_liveness_filter, nullptr);
  return tovi_cluster_is_self_among(cluster, live_owners, n);
}

std::string metrics_ownership_key(const uint8_t check_uuid[16], const char *name, int len) {
  ownership_key_t key;
  build_ownership_key(check_uuid, name, key_name_length(name, len), &key);
  return std::string(reinterpret_cast<const char *>(key.bytes), key.len);
}
