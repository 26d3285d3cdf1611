#include "daemon_stats.h"

#include "quelt_version.h"
#include "tovi/tovi_assert.h"

namespace {

stats_recorder_t *global_stats = nullptr;

}  // namespace

stats_recorder_t *stats_recorder(void) {
  // Unguarded on purpose: the first call is made by start-up before any other thread exists.
  if (!global_stats) {
    stats_recorder_t *rec = stats_process_recorder();
    stats_recorder_set_label(rec, "app", "queltd");
    stats_ns_t *root = stats_recorder_root(rec);
    stats_register_text(root, "branch", &quelt_branch);
    stats_register_text(root, "version", &quelt_version);
    global_stats = rec;
  }
  return global_stats;
}

int stats_handler(tovi_http_rest_closure_t *restc, int, char **) {
  stats_json_format_t format =
      stats_json_format_parse(tovi_http_request_querystring(restc, "format"));
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, stats_recorder_to_json(stats_recorder(), format));
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int stats_metrics_handler(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_ok(restc, "text/plain; version=0.0.4");
  tovi_http_response_append_str(restc, stats_recorder_to_prometheus(stats_recorder()));
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void stats_rest_init(void) {
  stats_recorder();
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^stats\\.json$", stats_handler,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^metrics$", stats_metrics_handler,
                                           tovi_http_rest_client_cert_auth) == 0);
}
