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
#include <memory>
#include <string>
#include <vector>

#include "rest_load.h"
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

// Answers 200 with a JSON body and ends the reply.
int reply_json(tovi_http_rest_closure_t *restc, const std::string &body) {
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

// Answers the ruleset's JSON ("null" for none).
int reply_ruleset(tovi_http_rest_closure_t *restc, const ruleset_sp &r) {
  std::string body;
  append_ruleset_json(&body, r);
  return reply_json(restc, body + "\n");
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

// POST /rulesets: a body refused whole is a 400; the parse's high-water mark is not kept.
int load_rulesets(std::string_view body, int *errors, const char **syntax_error) {
  uint64_t high_water = 0;
  store_source_scope_c source(STORE_SOURCE_REST);
  uint64_t failures = ruleset_filing_failures();
  int processed = parse_ruleset_text(body, &high_water, errors, syntax_error);
  if (ruleset_filing_failures() != failures)
    rest_load_unavailable("the store could not write the definitions");
  return processed;
}

constexpr rest_load_kind_t rulesets_load = {"rulesets", 400, "Bad Request", load_rulesets};

}  // namespace

int rulesets_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  return rest_load_post(restc, &rulesets_load);
}

int rulesets_rest_get(tovi_http_rest_closure_t *restc, int, char **) {
  auto ctx = std::make_shared<rules_sweep_context>();
  if (!query_account(restc, &ctx->account_id, &ctx->account_given)) return TOVI_HTTP_DONE;
  if (const char *uuid = tovi_http_request_querystring(restc, "uuid"))
    ctx->broken = !tovi_uuid_parse(uuid, strlen(uuid), ctx->uuid);
  if (const char *name = tovi_http_request_querystring(restc, "name")) {
    ctx->has_name = true;
    ctx->metric_name = name;
  }
  const char *type = tovi_http_request_querystring(restc, "type");
  if (type && strcmp(type, "ecid_only") == 0) ctx->type = rules_sweep_context::ecid_only;

  tovi_http_response_standard(restc, 200, "OK", "application/json");
  return rest_load_answer_from_job(restc, rulesets_fetch_jobq, [ctx] {
    sweep_build(ctx.get());
    return std::move(ctx->body);
  });
}

int rulesets_rest_get_one(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  if (npats == 1) {
    uint64_t id = 0;
    ruleset_sp r = tovi_decimal_u64(pats[0], &id) ? get_ruleset_by_id(id) : nullptr;
    if (!r) {
      tovi_http_response_json_error(restc, 500, "ERROR", "no such ruleset");
      return TOVI_HTTP_DONE;
    }
    return reply_ruleset(restc, r);
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
  return reply_json(restc, body);
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
  return reply_ruleset(restc, r);
}
