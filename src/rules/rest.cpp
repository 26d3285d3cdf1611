// POST /rulesets: loads ruleset definitions from a REST body.
//
// The reply waits for the metric director: once every message received before the request has
// been handled, the caller sees the new rulesets in effect for whatever it sends next.
#include <json-c/json.h>

#include <cstdio>
#include <string>

#include "rules/rules_mgr_internal.h"
#include "tovi/eventer.h"
#include "vask/vask_director.h"

namespace {

void resume_after_flush(tovi_http_deferred_t *deferred) {
  int thread = eventer_current_thread_id();
  vask_metric_director_flush_callback(thread < 0 ? 0 : thread,
                                      [deferred] { tovi_http_rest_resume(deferred); });
}

}  // namespace

int rulesets_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  std::string_view body = tovi_http_request_body(restc);

  json_tokener *tok = json_tokener_new();
  json_object *doc = json_tokener_parse_ex(tok, body.data(), int(body.size()));
  json_tokener_error jerr = json_tokener_get_error(tok);
  // Trailing bytes after a complete document are as malformed as a truncated one.
  bool trailing =
      doc && size_t(json_tokener_get_parse_end(tok)) < body.size() &&
      body.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tok)) != std::string_view::npos;
  if (!doc || jerr != json_tokener_success || trailing) {
    const char *reason = !doc || jerr != json_tokener_success ? json_tokener_error_desc(jerr)
                                                              : "trailing data after the document";
    if (!doc && jerr == json_tokener_continue) reason = "unexpected end of data";
    json_object_put(doc);
    json_tokener_free(tok);
    json_object *err = json_object_new_object();
    json_object_object_add(err, "error", json_object_new_string(reason));
    std::string text = "{ \"error\": ";
    text += json_object_to_json_string_ext(json_object_object_get(err, "error"),
                                           JSON_C_TO_STRING_PLAIN);
    text += " }\n";
    json_object_put(err);
    rulesets_rejected.fetch_add(1, std::memory_order_relaxed);
    tovi_http_response_standard(restc, 400, "Bad Request", "application/json");
    tovi_http_response_append_str(restc, text);
    tovi_http_response_end(restc);
    return TOVI_HTTP_DONE;
  }
  json_tokener_free(tok);

  uint64_t high_water = 0;
  int errors = 0;
  int processed = parse_ruleset_response(doc, &high_water, &errors);
  json_object_put(doc);

  // The reply is known now; it is written once the director flush resumes the connection.
  char text[96];
  snprintf(text, sizeof text, "{\n  \"rulesets\": %d,\n  \"errors\": %d\n}\n", processed, errors);
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_str(restc, text);
  tovi_http_rest_set_completion(restc, rulesets_rest_post_complete);
  resume_after_flush(tovi_http_rest_float(restc));
  return TOVI_HTTP_DEFER;
}

int rulesets_rest_post_complete(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}
