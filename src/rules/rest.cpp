// The ruleset REST endpoints: loading (POST /rulesets), listing (GET /rulesets), reading single
// rulesets (GET /ruleset/...), their streams' alert states (GET /ruleset/state/<id>) and clearing
// their alerts (POST /ruleset/clear/alert/<id>).
//
// A load's reply waits for the metric director: once every message received before the request
// has been handled, the caller sees the new rulesets in effect for whatever it sends next.
//
// A listing may render every ruleset with all its streams, so it is built off the event loop by a
// job on "rulesets_fetch". Only the connection's loop thread may touch the connection: the job is
// pinned to that thread, whose completion phase appends the finished body and resumes the
// floated connection. The job holds the registry's read side only while it collects ids, then
// fetches each ruleset by id: rulesets added or removed meanwhile may or may not appear.
#include <json-c/json.h>

#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "json_elements.h"
#include "load_report.h"
#include "rules/rules_mgr_internal.h"
#include "rules/stream_internal.h"
#include "rules/registry_internal.h"
#include "store/store.h"
#include "tovi/eventer.h"
#include "tovi/tovi_uuid.h"
#include "tovi/tovi_text.h"
#include "vask/vask_director.h"

eventer_jobq_t *rulesets_fetch_jobq = nullptr;

namespace {

// Most rulesets that one metric can be looked up to, as the intake does.
constexpr int max_rulesets_per_metric = 1024;

// Appends the ruleset's JSON (plain form) to out; "null" for an empty pointer.
void append_ruleset_json(std::string *out, const ruleset_sp &r) {
  json_object *o = ruleset_to_json(r);
  *out +=
      o ? tovi_json_utf8_safe(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN)) : "null";
  json_object_put(o);
}

// The query's "account_id": 0 when absent. False (and a 400 reply sent) when it is given but is
// not a number: such a request must not be read as one for every account.
bool query_account(tovi_http_rest_closure_t *restc, uint64_t *account, bool *given) {
  const char *text = tovi_http_request_querystring(restc, "account_id");
  *account = 0;
  if (given) *given = text != nullptr;
  if (!text) return true;
  if (tovi_decimal_u64(text, account)) return true;
  tovi_http_response_json_error(restc, 400, "Bad Request", "account_id is not a number");
  return false;
}

// The rulesets that apply to the untagged metric `name` of this check and account, as the
// intake would find them. Inside a safe-memory bracket.
std::vector<ruleset_sp> rulesets_for_untagged_metric(uint64_t account, const uint8_t uuid[16],
                                                     const std::string &name) {
  vask_metric_id_t id{};
  memcpy(id.id, uuid, 16);
  id.name = name.c_str();
  id.name_len = id.name_len_with_tags = name.size();
  id.account_id = account;
  std::vector<ruleset_sp> found(max_rulesets_per_metric);
  int n = rulesets_for_metric(&id, found.data(), max_rulesets_per_metric);
  found.resize(size_t(n < 0 ? max_rulesets_per_metric : n));
  return found;
}

bool is_zero_uuid(const uint8_t uuid[16]) {
  for (int i = 0; i < 16; i++)
    if (uuid[i]) return false;
  return true;
}

// What a listing asks for, and what it answers; lives from the request to the job's completion.
struct rules_sweep_context {
  tovi_http_rest_closure_t *restc;  // touched on the connection's loop thread only
  tovi_http_deferred_t *deferred;
  uint64_t account_id = 0;
  bool account_given = false;
  uint8_t uuid[16] = {};
  bool broken = false;  // the "uuid" given is not a UUID: nothing can match
  bool has_name = false;
  std::string metric_name;
  enum { full, ecid_only } type = full;
  std::string body;  // built by the work phase
};

void sweep_emit(rules_sweep_context *ctx, const ruleset_sp &r, bool *first) {
  if (!*first) ctx->body += ",";
  *first = false;
  if (ctx->type == rules_sweep_context::ecid_only)
    ctx->body += std::to_string(r->event_criteria_id);
  else
    append_ruleset_json(&ctx->body, r);
  ctx->body += "\n";
}

void sweep_build(rules_sweep_context *ctx) {
  ctx->body = "[";
  bool first = true;
  if (!ctx->broken && !is_zero_uuid(ctx->uuid) && ctx->has_name) {
    for (const ruleset_sp &r :
         rulesets_for_untagged_metric(ctx->account_id, ctx->uuid, ctx->metric_name))
      sweep_emit(ctx, r, &first);
  } else if (!ctx->broken && ruleset_mgr) {
    std::vector<uint64_t> ids;
    ruleset_mgr->iterate([&ids](uint64_t id, const ruleset_sp &) { ids.push_back(id); });
    bool by_uuid = !is_zero_uuid(ctx->uuid);
    for (uint64_t id : ids) {
      ruleset_sp r = get_ruleset_by_id(id);
      if (!r) continue;
      if (ctx->account_given && r->account_id != ctx->account_id) continue;
      if (by_uuid && memcmp(r->check_uuid, ctx->uuid, 16) != 0) continue;
      if (ctx->has_name && ctx->metric_name != (r->metric_name ? r->metric_name : "")) continue;
      sweep_emit(ctx, r, &first);
    }
  }
  ctx->body += "]\n";
}

int rules_sweep_rest(eventer_t, int mask, void *closure, struct timeval *) {
  auto *ctx = static_cast<rules_sweep_context *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    sweep_build(ctx);
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    // Pinned to the connection's loop thread: the only thread that may write to it.
    tovi_http_response_append_str(ctx->restc, ctx->body);
    tovi_http_rest_resume(ctx->deferred);
    delete ctx;
  }
  return 0;
}

int rules_sweep_rest_complete(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

void resume_after_flush(tovi_http_deferred_t *deferred) {
  int thread = eventer_current_thread_id();
  vask_metric_director_flush_callback(thread < 0 ? 0 : thread,
                                      [deferred] { tovi_http_rest_resume(deferred); });
}

// A POST /rulesets between its handler and its reply.
struct rest_load_t {
  tovi_http_rest_closure_t *restc;  // touched on the connection's loop thread only
  tovi_http_deferred_t *deferred;
  std::string_view body;  // the request's, valid until released
  const char *syntax_error = nullptr;
  int processed = 0;
  int errors = 0;
  bool details = false;       // ?details=1: the reply adds the per-element report
  load_report_t report;       // filled by the job when details were asked for
  bool store_failed = false;  // the store could not write some of it: 503
};

int rulesets_rest_load_job(eventer_t, int mask, void *closure, struct timeval *) {
  auto *load = static_cast<rest_load_t *>(closure);
  if (mask == EVENTER_ASYNCH_WORK) {
    uint64_t high_water = 0;
    size_t size = load->body.size();
    {
      load->report.max_kept = load_report_max_details;
      load_report_scope_c scope(load->details ? &load->report : nullptr);
      store_source_scope_c source(STORE_SOURCE_REST);
      uint64_t failures = ruleset_filing_failures();
      load->processed =
          parse_ruleset_text(load->body, &high_water, &load->errors, &load->syntax_error);
      load->store_failed = ruleset_filing_failures() != failures;
    }
    // Nothing touches the floated connection meanwhile, so its body can go now.
    load->body = {};
    tovi_http_request_release_body(load->restc);
    if (size >= json_elements_large_body) json_elements_give_back_memory();
    return 0;
  }
  if (mask == EVENTER_ASYNCH_COMPLETE) {
    // On the connection's loop thread (the job's owner).
    tovi_http_rest_closure_t *restc = load->restc;
    tovi_http_deferred_t *deferred = load->deferred;
    if (load->syntax_error || load->store_failed) {
      if (load->syntax_error)
        tovi_http_response_json_error(restc, 400, "Bad Request", load->syntax_error);
      else
        tovi_http_response_json_error(restc, 503, "Service Unavailable",
                                      "the store could not write the definitions");
      tovi_http_rest_resume(deferred);
    } else {
      // The reply is known now; it is written once the director has handled every message
      // received before it, so the caller sees the new rulesets in effect for what it sends next.
      char text[96];
      tovi_http_response_standard(restc, 200, "OK", "application/json");
      if (load->details) {
        snprintf(text, sizeof text,
                 "{\n  \"rulesets\": %d,\n  \"errors\": %d,\n  \"details\": ", load->processed,
                 load->errors);
        tovi_http_response_append_str(restc, text);
        tovi_http_response_append_str(
            restc, load_report_details_json(load->report, load_report_max_details).c_str());
        tovi_http_response_append_str(restc, "\n}\n");
      } else {
        snprintf(text, sizeof text, "{\n  \"rulesets\": %d,\n  \"errors\": %d\n}\n",
                 load->processed, load->errors);
        tovi_http_response_append_str(restc, text);
      }
      resume_after_flush(deferred);
    }
    delete load;
  }
  return 0;
}

}  // namespace

int rulesets_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  int complete = 0;
  if (!tovi_rest_complete_upload(restc, &complete) || !complete) return TOVI_HTTP_DONE;
  // The body is parsed and loaded off the loop: a large one must not stall every other request
  // of this loop thread. The floated connection keeps the body until the job releases it.
  auto *load = new rest_load_t;
  load->restc = restc;
  // Asked for on the loop thread, where the request is read; the job parses with the report.
  load->details = load_report_asked(restc);
  load->body = tovi_http_request_body(restc);
  tovi_http_rest_set_completion(restc, rulesets_rest_post_complete);
  load->deferred = tovi_http_rest_float(restc);
  eventer_t job = eventer_alloc_asynch(rulesets_rest_load_job, load);
  int thread = eventer_current_thread_id();
  eventer_set_owner(job, thread < 0 ? 0 : thread);
  eventer_add_asynch(rest_loads_jobq(), job);
  return TOVI_HTTP_DEFER;
}

int rulesets_rest_post_complete(tovi_http_rest_closure_t *restc, int, char **) {
  if (!tovi_http_response_ended(restc)) tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int rulesets_rest_get(tovi_http_rest_closure_t *restc, int, char **) {
  auto *ctx = new rules_sweep_context;
  ctx->restc = restc;
  if (!query_account(restc, &ctx->account_id, &ctx->account_given)) {
    delete ctx;
    return TOVI_HTTP_DONE;
  }
  if (const char *uuid = tovi_http_request_querystring(restc, "uuid"))
    ctx->broken = !tovi_uuid_parse(uuid, strlen(uuid), ctx->uuid);
  if (const char *name = tovi_http_request_querystring(restc, "name")) {
    ctx->has_name = true;
    ctx->metric_name = name;
  }
  const char *type = tovi_http_request_querystring(restc, "type");
  if (type && strcmp(type, "ecid_only") == 0) ctx->type = rules_sweep_context::ecid_only;

  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_rest_set_completion(restc, rules_sweep_rest_complete);
  ctx->deferred = tovi_http_rest_float(restc);
  eventer_t job = eventer_alloc_asynch(rules_sweep_rest, ctx);
  int thread = eventer_current_thread_id();
  if (thread >= 0) eventer_set_owner(job, thread);
  eventer_add_asynch(rulesets_fetch_jobq, job);
  return TOVI_HTTP_DEFER;
}

int rulesets_rest_get_one(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  if (npats == 1) {
    uint64_t id = 0;
    ruleset_sp r = tovi_decimal_u64(pats[0], &id) ? get_ruleset_by_id(id) : nullptr;
    if (!r) {
      tovi_http_response_json_error(restc, 500, "ERROR", "no such ruleset");
      return TOVI_HTTP_DONE;
    }
    std::string body;
    append_ruleset_json(&body, r);
    body += "\n";
    tovi_http_response_standard(restc, 200, "OK", "application/json");
    tovi_http_response_append_str(restc, body);
    tovi_http_response_end(restc);
    return TOVI_HTTP_DONE;
  }

  uint8_t uuid[16];
  if (npats != 2 || !tovi_uuid_parse(pats[0], strlen(pats[0]), uuid)) {
    tovi_http_response_json_error(restc, 500, "ERROR",
                                  "pattern match failure, should not be possible");
    return TOVI_HTTP_DONE;
  }
  uint64_t account = 0;
  if (!query_account(restc, &account, nullptr)) return TOVI_HTTP_DONE;
  std::string body = "[";
  {
    tovi_memory_scope_c bracket;
    bool first = true;
    for (const ruleset_sp &r : rulesets_for_untagged_metric(account, uuid, pats[1])) {
      if (!first) body += ",";
      first = false;
      append_ruleset_json(&body, r);
      body += "\n";
    }
  }
  body += "]\n";
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int rulesets_rest_get_one_state(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  uint64_t id = 0;
  ruleset_sp r = npats == 1 && tovi_decimal_u64(pats[0], &id) ? get_ruleset_by_id(id) : nullptr;
  if (!r) {
    tovi_http_response_json_error(restc, 500, "ERROR",
                                  "pattern match failure, should not be possible");
    return TOVI_HTTP_DONE;
  }
  json_object *states = json_object_new_array();
  for (const rulestream_sp &stream : r->get_ruleset_streams())
    if (json_object *doc = stream->construct_json_notification())
      json_object_array_add(states, doc);
  json_object *o = json_object_new_object();
  json_object_object_add(o, "states", states);
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_json(restc, o);
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  return TOVI_HTTP_DONE;
}

int rulesets_rest_clear_alert(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  if (npats != 1) {
    tovi_http_response_json_error(restc, 500, "ERROR", "argument failed");
    return TOVI_HTTP_DONE;
  }
  uint64_t now_ms = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count());
  uint64_t id = 0;
  ruleset_sp r = tovi_decimal_u64(pats[0], &id) ? get_ruleset_by_id(id) : nullptr;
  if (r)
    for (const rulestream_sp &stream : r->get_ruleset_streams())
      stream->check_and_trigger(RULE_SEV_CLEAR, RULE_INDEX_CLEAR, now_ms, r);
  // An unknown id answers the JSON null: there was nothing to clear.
  std::string body;
  append_ruleset_json(&body, r);
  body += "\n";
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}
