// The console commands of the clusters: "show cluster" and "show cluster owners".
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tovi/tovi_cluster.h"
#include "tovi/tovi_cluster_internal.h"
#include "tovi/tovi_console.h"
#include "tovi/tovi_memory.h"

using namespace tovi_cluster_internal;

namespace {

void hex_of(const uint8_t bytes[16], char out[33]) {
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; i++) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 15];
  }
  out[32] = 0;
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

}  // namespace

void tovi_cluster_internal::register_console_commands() {
  static std::once_flag console_once;
  std::call_once(console_once, [] {
    tovi_console_command_register("show cluster", show_cluster, complete_cluster_names,
                                  "cluster nodes, their liveness and heartbeat counters", nullptr);
    tovi_console_command_register("show cluster owners", show_cluster_owners, nullptr,
                                  "the owners of a key: <key> [redundancy [cluster]]", nullptr);
  });
}
