// Loading rulesets from the management API: the bulk load at every bus connection and the
// single reloads asked for by update messages. Paging, retry and the one-chain rule live in
// api_loader.cpp; this file says what a ruleset page is and what "gone" means for a ruleset.
#include <json-c/json.h>

#include "api_loader.h"
#include "rules/rules_mgr_internal.h"
#include "rules/registry_internal.h"
#include "store/store.h"

std::atomic<bool> rulesets_are_loading{false};

namespace {

bool ruleset_element_id(json_object *el, uint64_t *id) {
  json_object *v = nullptr;
  if (!json_object_object_get_ex(el, "event_criteria_id", &v) ||
      !json_object_is_type(v, json_type_int))
    return false;
  // Ids above 2^63 arrive as unsigned; below zero there is no ruleset.
  if (json_object_get_int64(v) < 0 && json_object_get_uint64(v) <= uint64_t(INT64_MAX))
    return false;
  *id = json_object_get_uint64(v);
  return true;
}

void *ruleset_batch_new(size_t count) {
  auto *batch = new ruleset_batch_t;
  ruleset_batch_begin(batch, count);
  return batch;
}

void ruleset_batch_add(void *batch, json_object *element, size_t raw_size) {
  ruleset_batch_element(static_cast<ruleset_batch_t *>(batch), element, raw_size);
}

int ruleset_batch_done(void *b, int *errors, uint64_t *over_limit) {
  auto *batch = static_cast<ruleset_batch_t *>(b);
  int result = ruleset_batch_end(batch, errors);
  *over_limit = batch->over_limit;
  delete batch;
  return result;
}

int ruleset_not_array(int *errors) {
  return parse_ruleset_response(nullptr, nullptr, errors);
}

// The API no longer has the ruleset: take it out everywhere, as a deletion request does, so that
// it stops alerting and leaves its target list (not only the registry).
void ruleset_gone(uint64_t ecid) {
  if (!get_ruleset_by_id(ecid)) return;
  json_object *request = json_object_new_array();
  json_object *element = json_object_new_object();
  json_object_object_add(element, "event_criteria_id", json_object_new_uint64(ecid));
  json_object_object_add(element, "rules", json_object_new_array());
  json_object_array_add(request, element);
  int errors = 0;
  parse_ruleset_response(request, nullptr, &errors);
  json_object_put(request);
}

// The first complete bulk load after a start from the store: the cached definitions it did not
// return are gone upstream.
void rulesets_bulk_finished() {
  std::vector<uint64_t> stale = store_take_untouched_api_ids(STORE_RULESET);
  for (uint64_t ecid : stale)
    ruleset_gone(ecid);
  if (!stale.empty())
    tovi_log(tovi_notice, "%zu cached rulesets dropped: the API no longer has them\n",
             stale.size());
}

}  // namespace

int fetch_some_rulesets(eventer_t e, int mask, void *closure, struct timeval *now) {
  return api_fetch_job(&rulesets_loader_kind, e, mask, closure, now);
}

api_loader_kind_t rulesets_loader_kind = {
    .stats_name = "rulesets",
    .log_id_field = "ecid",
    .batch_size_key = "//orvane/api/rulesets/@batch_size",
    .once_at_key = "//orvane/api/rulesets/@once_at",
    .bulk_url = "%s/v2/super_rule_set?from_event_criteria_id=%lu&size=%d&account_id=1",
    .single_url = "%s/v2/super_rule_set?event_criteria_id=%lu&account_id=1",
    .bulk_start_line = "starting rulesets fetch [%lu->]\n",
    .single_start_line = "starting ruleset fetch [%lu]\n",
    .elapsed_line = "rulesets[%s%lu] elapsed: %0.6fs, batchsize: %d, errors: %d\n",
    .finished_line = "Finished bulk ruleset fetch.\n",
    .error_stream = rules_error_stream,
    .element_id = ruleset_element_id,
    .batch_begin = ruleset_batch_new,
    .batch_element = ruleset_batch_add,
    .batch_end = ruleset_batch_done,
    .not_array = ruleset_not_array,
    .single_gone = ruleset_gone,
    .loading = &rulesets_are_loading,
    .job = fetch_some_rulesets,
    .bulk_finished = rulesets_bulk_finished,
};

void start_ruleset_fetch(void) {
  api_loader_start_bulk(&rulesets_loader_kind);
}

void ruleset_reload(uint64_t ecid) {
  api_loader_start_single(&rulesets_loader_kind, ecid);
}
