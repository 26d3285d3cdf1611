// GET /metric/<type>/<check UUID>/<name>: a metric state and its windows as JSON.
//
// The dump reads every window under the window's lock, which every push also takes, so it never
// sees a window half updated by the worker that owns the metric.
#include <json-c/json.h>

#include <cstdlib>
#include <cstring>

#include "metrics/metrics_internal.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_uuid.h"

const char *const metric_state_rest_pattern =
    "^([^/]+)/([0-9a-fA-F]{4}(?:[0-9a-fA-F]{4}-){4}[0-9a-fA-F]{12})/(.*)$";

namespace {

int answer_error(tovi_http_rest_closure_t *restc, const char *message) {
  json_object *o = json_object_new_object();
  json_object_object_add(o, "error", json_object_new_string(message));
  tovi_http_response_standard(restc, 500, "ERROR", "application/json");
  tovi_http_response_append_json(restc, o);
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  return TOVI_HTTP_DONE;
}

bool parse_type_word(const char *word, rule_metric_type_t *type) {
  if (strcmp(word, "numeric") == 0)
    *type = RULE_NUMERIC;
  else if (strcmp(word, "text") == 0)
    *type = RULE_TEXT;
  else if (strcmp(word, "histogram") == 0)
    *type = RULE_HISTOGRAM;
  else
    return false;
  return true;
}

}  // namespace

int metric_state_get(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  if (npats != 3) return answer_error(restc, "pattern match failure, should not be possible");
  rule_metric_type_t type;
  if (!parse_type_word(pats[0], &type)) return answer_error(restc, "unsupported type");
  uint8_t uuid[16];
  if (!tovi_uuid_parse(pats[1], strlen(pats[1]), uuid)) return answer_error(restc, "invalid uuid");

  const char *signature = tovi_http_request_querystring(restc, "signature");
  const char *duration = tovi_http_request_querystring(restc, "windowing_duration");
  const char *min_duration = tovi_http_request_querystring(restc, "windowing_min_duration");
  int window = duration ? atoi(duration) : -1;
  int min_window = min_duration ? atoi(min_duration) : 0;

  tovi_memory_scope_c bracket;
  metric_state_t *ms = metric_state_find(type, uuid, pats[2], int(strlen(pats[2])), signature);
  json_object *o = metric_state_to_json(ms, window, min_window);
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  if (o)
    tovi_http_response_append_json(restc, o);
  else
    tovi_http_response_append_str(restc, "null");
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  return TOVI_HTTP_DONE;
}
