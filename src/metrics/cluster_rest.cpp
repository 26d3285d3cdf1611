// GET /cluster[?uuid=<check uuid>&name=<metric name>]: the cluster's nodes as this node sees them
// and, for a metric, the nodes that own it and those that publish its alerts now.
//   {"enabled": true, "name": "queltd", "self": "<id>", "timeout_ms": n,
//    "nodes": [{"id", "cn", "address", "port", "self", "live", "seen", "last_contact_age_ms",
//               "heartbeats"}],
//    "metric": {"check_uuid", "name", "owners": [ids], "live_owners": [ids],
//               "owned": bool, "operated": bool}}
// Without a cluster: {"enabled": false, ...} where this node owns and operates every metric.
#include <cstring>
#include <string>

#include "metrics.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_cluster.h"
#include "tovi/tovi_http.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_text.h"
#include "tovi/tovi_uuid.h"

namespace {

const int redundancy = 2;

void append_ids(std::string *out, const tovi_cluster_node_t *const *nodes, int n) {
  *out += "[";
  for (int i = 0; i < n; i++) {
    if (i) *out += ", ";
    tovi_json_escape_into(out, nodes[i]->id_text);
  }
  *out += "]";
}

int cluster_rest_get(tovi_http_rest_closure_t *restc, int, char **) {
  const char *uuid_text = tovi_http_request_querystring(restc, "uuid");
  const char *name = tovi_http_request_querystring(restc, "name");
  uint8_t uuid[16] = {};
  if (uuid_text && !tovi_uuid_parse(uuid_text, strlen(uuid_text), uuid)) {
    tovi_http_response_json_error(restc, 400, "Bad Request", "uuid is not a UUID");
    return TOVI_HTTP_DONE;
  }
  bool metric = uuid_text && name;
  tovi_cluster_t *cluster = tovi_cluster_enabled() ? tovi_cluster_find("queltd") : nullptr;
  std::string out = "{\"enabled\": ";
  out += cluster ? "true" : "false";
  if (cluster) {
    out += ", \"name\": \"queltd\", \"self\": ";
    uint8_t me[16];
    tovi_cluster_get_my_id(cluster, me);
    char me_text[37];
    tovi_uuid_unparse(me, me_text);
    tovi_json_escape_into(&out, me_text);
    out += ", \"timeout_ms\": " + std::to_string(tovi_cluster_get_timeout_ms(cluster));
    out += ", \"nodes\": [";
    int64_t now = tovi_cluster_clock_ms();
    bool first = true;
    for (const tovi_cluster_node_t &n : tovi_cluster_nodes_copy(cluster)) {
      out += first ? "\n" : ",\n";
      first = false;
      out += "{\"id\": ";
      tovi_json_escape_into(&out, n.id_text);
      out += ", \"cn\": ";
      tovi_json_escape_into(&out, n.cn);
      out += ", \"address\": ";
      tovi_json_escape_into(&out, n.address);
      out += ", \"port\": " + std::to_string(n.port);
      out += std::string(", \"self\": ") + (n.is_self ? "true" : "false");
      out += std::string(", \"live\": ") + (n.live ? "true" : "false");
      out += std::string(", \"seen\": ") + (n.seen ? "true" : "false");
      out += ", \"last_contact_age_ms\": ";
      out += n.seen && !n.is_self ? std::to_string(now - n.last_contact_ms) : "null";
      out += ", \"heartbeats\": " + std::to_string(n.heartbeats) + "}";
    }
    out += "]";
  }
  if (metric) {
    out += ", \"metric\": {\"check_uuid\": ";
    char text[37];
    tovi_uuid_unparse(uuid, text);
    tovi_json_escape_into(&out, text);
    out += ", \"name\": ";
    tovi_json_escape_into(&out, name);
    if (cluster) {
      std::string key = metrics_ownership_key(uuid, name, -1);
      tovi_memory_scope_c bracket;
      const tovi_cluster_node_t *owners[redundancy];
      int n =
          tovi_cluster_get_owners(cluster, key.data(), key.size(), owners, redundancy, redundancy);
      out += ", \"owners\": ";
      append_ids(&out, owners, n);
      n = tovi_cluster_filter_owners(cluster, key.data(), key.size(), owners, redundancy,
                                     tovi_cluster_liveness_filter, nullptr);
      out += ", \"live_owners\": ";
      append_ids(&out, owners, n);
    }
    // The account does not take part in the ownership key; 0 asks about ownership alone.
    bool owned = metrics_do_i_own(0, uuid, name, -1, nullptr);
    bool operated = metrics_am_i_responsible(0, uuid, name, -1);
    out += std::string(", \"owned\": ") + (owned ? "true" : "false");
    out += std::string(", \"operated\": ") + (operated ? "true" : "false") + "}";
  }
  out += "}\n";
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_header_set(restc, "Cache-Control", "no-store");
  tovi_http_response_append_str(restc, out);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

}  // namespace

void cluster_rest_init(void) {
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^cluster$", cluster_rest_get,
                                           tovi_http_rest_client_cert_auth) == 0);
}
