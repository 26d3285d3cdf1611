// Maintenance windows over REST and as JSON: reading a list of windows (a REST body or an API
// response), writing one window, and the endpoints
//   GET  /maintenance/<id>     the live window, or null
//   POST /maintenance          a JSON array of windows; the reply waits for the metric director
//   POST /maintenance/leave    every rule stream back to undetermined
// and the module's start-up.
#include <json-c/json.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api.h"
#include "api_loader.h"
#include "json_elements.h"
#include "load_report.h"
#include "rest_load.h"
#include "maintenance.h"
#include "maintenance/maintenance_internal.h"
#include "daemon_stats.h"
#include "store/store.h"
#include "tovi/eventer.h"
#include "tovi/eventer_jobq.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_conf.h"
#include "tovi/tovi_conf_keys.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_text.h"

std::atomic<uint64_t> maint_unrecognised{0};
uint64_t maint_windows_max_held = 1000000;
std::atomic<uint64_t> maint_windows_over_limit{0};

namespace {

// 2^64 as a double: the first value that does not fit.
constexpr double two_to_64 = 18446744073709551616.0;

bool text_as_uint64(const char *text, uint64_t *value) {
  const char *p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
    p++;
  // A sign is not a number of ours: "-1" would otherwise wrap to 2^64-1.
  if (*p < '0' || *p > '9') return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(p, &end, 10);
  if (errno == ERANGE || end == p) return false;
  *value = v;
  return true;
}

const char *const window_keys[] = {"maintenance_id", "maintenance_type", "maintenance_item",
                                   "severities",     "start_on",         "stop_on",
                                   "account_id"};
const std::vector<std::string> window_types = {"account", "check", "metric", "host"};

// Keys nothing reads are ignored; each is counted and, when the load keeps a report, a warning.
void lint_window(json_object *el) {
  std::vector<std::string> known(std::begin(window_keys), std::end(window_keys));
  json_object_object_foreach(el, key, value) {
    (void)value;
    if (std::find(known.begin(), known.end(), key) != known.end()) continue;
    maint_unrecognised.fetch_add(1, std::memory_order_relaxed);
    if (!load_report_active()) continue;
    std::string text = "unknown key \"" + std::string(key) + "\"";
    std::string near = tovi_closest_name(key, known);
    if (!near.empty()) text += "; did you mean \"" + near + "\"?";
    load_report_warning(text);
  }
}

// Refuses with a reason for the report; the window is not taken.
bool refuse(const char *fmt, const char *what) {
  load_report_error(fmt, what);
  return false;
}

bool element_to_window(json_object *el, maint_window_t *w, int *errors) {
  uint64_t id, start_on, stop_on, account_id;
  if (!json_object_is_type(el, json_type_object)) return refuse("%s", "not a JSON object");
  if (!get_kv_as_uint64(el, "maintenance_id", &id))
    return refuse("%s is missing or not an unsigned number", "maintenance_id");
  load_report_id(id);
  lint_window(el);
  if (!get_kv_as_uint64(el, "start_on", &start_on))
    return refuse("%s is missing or not an unsigned number", "start_on");
  if (!get_kv_as_uint64(el, "stop_on", &stop_on))
    return refuse("%s is missing or not an unsigned number", "stop_on");
  if (!get_kv_as_uint64(el, "account_id", &account_id))
    return refuse("%s is missing or not an unsigned number", "account_id");
  json_object *sevs = nullptr;
  if (!json_object_object_get_ex(el, "severities", &sevs) ||
      !json_object_is_type(sevs, json_type_array))
    return refuse("%s is missing or not an array", "severities");
  json_object *type_obj = nullptr;
  if (!json_object_object_get_ex(el, "maintenance_type", &type_obj) ||
      !json_object_is_type(type_obj, json_type_string))
    return refuse("%s is missing or not text", "maintenance_type");
  const char *type_text = json_object_get_string(type_obj);
  // A NUL would cut the word short: "host\u0000x" is no type of ours.
  if (strlen(type_text) != size_t(json_object_get_string_len(type_obj)))
    return refuse("%s holds a NUL character", "maintenance_type");
  maint_item_type_t type;
  if (!strcmp(type_text, "account"))
    type = MAINT_ON_ACCOUNT;
  else if (!strcmp(type_text, "check"))
    type = MAINT_ON_CHECK;
  else if (!strcmp(type_text, "metric"))
    type = MAINT_ON_METRIC;
  else if (!strcmp(type_text, "host"))
    type = MAINT_ON_HOST;
  else {
    std::string near = tovi_closest_name(type_text, window_types);
    std::string hint = " (account, check, metric or host)";
    if (!near.empty()) hint = "; did you mean \"" + near + "\"?";
    load_report_error("unknown maintenance_type \"%s\"%s", type_text, hint.c_str());
    return false;
  }
  if (type == MAINT_ON_HOST) {
    json_object *item = nullptr;
    if (!json_object_object_get_ex(el, "maintenance_item", &item) ||
        !json_object_is_type(item, json_type_string) || json_object_get_string_len(item) == 0 ||
        strlen(json_object_get_string(item)) != size_t(json_object_get_string_len(item)))
      return refuse("%s of a host window must be a non-empty text without NUL", "maintenance_item");
    w->def.maintenance.host = strdup(json_object_get_string(item));
    tovi_assert(w->def.maintenance.host != nullptr);
  } else if (!get_kv_as_uint64(el, "maintenance_item", &w->def.maintenance.generic_uint64)) {
    return refuse("%s is missing or not an unsigned number", "maintenance_item");
  }
  w->def.maintenance_type = type;
  w->def.maintenance_id = id;
  w->def.start_on = start_on;
  w->def.stop_on = stop_on;
  w->def.account_id = account_id;
  // A severity outside 1..5 is an error, but the window is still taken with the others.
  for (size_t i = 0, n = json_object_array_length(sevs); i < n; i++) {
    int sev = json_object_get_int(json_object_array_get_idx(sevs, i));
    if (sev >= 1 && sev <= 5) {
      w->def.severity_mask |= uint8_t(1u << sev);
    } else {
      (*errors)++;
      load_report_error("severities[%s] is outside 1 to 5 (the window is taken without it)",
                        std::to_string(i).c_str());
    }
  }
  return true;
}

// POST /maintenance: a body refused whole is a 500 "ERROR"; the high-water mark is not kept.
int load_maint_windows(std::string_view body, int *errors, const char **syntax_error) {
  uint64_t hwm = 0;
  store_source_scope_c source(STORE_SOURCE_REST);
  uint64_t failures = maint_store_failures();
  int cnt = parse_maint_windows_text(body, &hwm, errors, syntax_error);
  if (maint_store_failures() != failures)
    rest_load_unavailable("the store could not write the definitions");
  if (!*syntax_error)
    tovi_log(maint_debug_stream(), "parse -> (cnt: %d, errors: %d)\n", cnt, *errors);
  return cnt;
}

constexpr rest_load_kind_t maint_windows_load = {"maintenance", 500, "ERROR", load_maint_windows};

// ---- Leave: every stream back to undetermined -------------------------------------------------

std::atomic<maint_reset_streams_fn_t> reset_streams_fn{nullptr};

}  // namespace

bool get_kv_as_uint64(json_object *object, const char *key, uint64_t *value) {
  json_object *o = nullptr;
  if (!object || !json_object_object_get_ex(object, key, &o) || !o) return false;
  switch (json_object_get_type(o)) {
    case json_type_double: {
      double d = json_object_get_double(o);
      if (!std::isfinite(d) || d < 0 || d >= two_to_64) return false;
      *value = uint64_t(d);
      return true;
    }
    case json_type_int:
      // Integers above 2^63-1 read as positive here and exactly through the unsigned getter;
      // an integer too large even for that is refused rather than saturated.
      if (json_object_get_int64(o) < 0) return false;
      errno = 0;
      *value = json_object_get_uint64(o);
      return errno != ERANGE;
    case json_type_string:
      if (strlen(json_object_get_string(o)) != size_t(json_object_get_string_len(o))) return false;
      return text_as_uint64(json_object_get_string(o), value);
    default:
      return false;
  }
}

void maint_batch_begin(maint_batch_t *batch, size_t count) {
  batch->max_held = maint_windows_max_held;
  tovi_log(maint_debug_stream(), "parse, new %d maintenance windows\n", int(count));
}

void maint_batch_element(maint_batch_t *batch, json_object *element) {
  load_report_begin(batch->index++);
  maint_window_t *w = maint_window_safe_alloc();
  int errors = 0;
  if (!element) load_report_error("%s", "not a JSON object, or too large to read");
  if (!element || !element_to_window(element, w, &errors)) {
    batch->errors += errors + 1;
    maint_window_safe_free_no_remove(w);
    return;
  }
  batch->errors += errors;
  // The registry is bounded: a new id beyond the limit is refused apart from the errors.
  bool known;
  {
    tovi_memory_scope_c bracket;
    known = get_maint_window_by_id(w->def.maintenance_id) != nullptr;
  }
  if (!known && maint_windows_live() >= batch->max_held) {
    batch->over_limit++;
    load_report_error("not loaded: the most windows allowed (%lu) are live",
                      (unsigned long)batch->max_held);
    maint_windows_over_limit.fetch_add(1, std::memory_order_relaxed);
    maint_window_safe_free_no_remove(w);
    return;
  }
  if (!maint_store_window(w->def)) {
    batch->errors++;
    load_report_error("%s", "not loaded: the store could not write it");
    maint_window_safe_free_no_remove(w);
    return;
  }
  batch->hwm = w->def.maintenance_id;
  batch->handed++;
  uint64_t id = w->def.maintenance_id;
  if (maint_window_update(w) < 0) {
    batch->errors++;
    load_report_error("%s", "refused by the registry (see the error/maintenance log)");
    maint_store_resync(id);
  }
}

int maint_batch_end(maint_batch_t *batch, int *errors) {
  if (batch->over_limit)
    tovi_log_fields(maint_error_stream(), ({"refused", batch->over_limit}),
                    "%lu maintenance windows refused: the most allowed (%lu) are live\n",
                    (unsigned long)batch->over_limit, (unsigned long)batch->max_held);
  *errors += batch->errors;
  return batch->handed;
}

int parse_maint_windows_text(std::string_view text, uint64_t *hwm, int *errors,
                             const char **syntax_error) {
  json_document_t doc = json_document_check(text);
  if (!doc.ok) {
    if (syntax_error) *syntax_error = doc.error;
    (*errors)++;
    return -1;
  }
  if (syntax_error) *syntax_error = nullptr;
  if (!doc.is_array) return parse_maint_windows_response(nullptr, hwm, errors);
  maint_batch_t batch;
  maint_batch_begin(&batch, doc.elements);
  json_elements_each(text, [&batch](std::string_view, json_object *element) {
    maint_batch_element(&batch, element);
  });
  if (batch.handed) *hwm = batch.hwm;
  return maint_batch_end(&batch, errors);
}

int parse_maint_windows_response(json_object *document, uint64_t *hwm, int *errors) {
  if (!document || !json_object_is_type(document, json_type_array)) {
    (*errors)++;
    tovi_log(maint_debug_stream(), "Bad toplevel maintenance object type\n");
    return -1;
  }
  size_t n = json_object_array_length(document);
  maint_batch_t batch;
  maint_batch_begin(&batch, n);
  for (size_t i = 0; i < n; i++)
    maint_batch_element(&batch, json_object_array_get_idx(document, i));
  if (batch.handed) *hwm = batch.hwm;
  return maint_batch_end(&batch, errors);
}

json_object *maint_window_to_json(maint_window_t *w) {
  if (!w) return nullptr;
  json_object *o = json_object_new_object();
  json_object_object_add(o, "maintenance_id", json_object_new_uint64(w->def.maintenance_id));
  json_object *sevs = json_object_new_array();
  uint8_t mask = maint_window_severity_mask(w);
  for (int sev = 1; sev <= 5; sev++)
    if (mask & (1u << sev)) json_object_array_add(sevs, json_object_new_int(sev));
  json_object_object_add(o, "severities", sevs);
  json_object_object_add(o, "start_on", json_object_new_uint64(maint_window_start_on(w)));
  json_object_object_add(o, "stop_on", json_object_new_uint64(maint_window_stop_on(w)));
  json_object_object_add(o, "account_id", json_object_new_uint64(w->def.account_id));
  json_object_object_add(o, "maintenance_type",
                         json_object_new_string(maint_item_type_name(w->def.maintenance_type)));
  if (w->def.maintenance_type == MAINT_ON_HOST) {
    const char *host = w->def.maintenance.host;
    json_object_object_add(o, "maintenance_item", json_object_new_string(host ? host : ""));
  } else {
    char digits[24];
    snprintf(digits, sizeof digits, "%llu", (unsigned long long)w->def.maintenance.generic_uint64);
    json_object_object_add(o, "maintenance_item", json_object_new_string(digits));
  }
  return o;
}

int maint_windows_rest_get(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  std::string text = "null";
  if (npats >= 1) {
    errno = 0;
    unsigned long long id = strtoull(pats[0], nullptr, 10);
    if (errno != ERANGE) {
      tovi_memory_scope_c bracket;
      if (json_object *o = maint_window_to_json(get_maint_window_by_id(id))) {
        text = tovi_json_utf8_safe(json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN));
        json_object_put(o);
      }
    }
  }
  text += "\n";
  tovi_http_response_ok(restc, "application/json");
  tovi_http_response_append_str(restc, text);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int maint_windows_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  // Parsed and applied off the loop, like POST /rulesets.
  return rest_load_post(restc, &maint_windows_load);
}

int maint_leave_rest_post(tovi_http_rest_closure_t *restc, int, char **) {
  tovi_log(maint_debug_stream(), "beginning system-wide maintenance recovery\n");
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  return rest_load_answer_from_job(restc, nullptr, [] {
    uint64_t rule_cnt = 0;
    if (maint_reset_streams_fn_t fn = reset_streams_fn.load(std::memory_order_acquire))
      rule_cnt = fn();
    char text[64];
    snprintf(text, sizeof text, "{ \"rulesets\": %llu }\n", (unsigned long long)rule_cnt);
    return std::string(text);
  });
}

void maintenance_init() {
  int64_t max_held = int64_t(maint_windows_max_held);
  if (tovi_conf_exists(nullptr, "//orvane/state/maintenance/@max_held") &&
      (!tovi_conf_get_int64(nullptr, "//orvane/state/maintenance/@max_held", &max_held) ||
       max_held < 0)) {
    tovi_log(tovi_error, "//orvane/state/maintenance/@max_held is not a number of windows\n");
    exit(2);
  }
  maint_windows_max_held = uint64_t(max_held);
  maintenance_tables_init();
  maint_bus_queue_init();
  // Reloads of single windows run on the API's job queue.
  tovi_assert(api_jobq);
  api_loader_register_stats(&maint_windows_loader_kind);
  maint_bus_init();
  static std::once_flag registered;
  std::call_once(registered, [] {
    stats_ns_t *ns = stats_register_ns(stats_recorder_root(stats_recorder()), "maintenance");
    stats_register_u64_fn(ns, "windows", STATS_GAUGE, [] { return maint_windows_live(); });
    stats_register_u64(ns, "held_back", STATS_COUNTER, &maint_held_back_count);
    stats_register_u64(ns, "ended", STATS_COUNTER, &maint_ended_count);
    stats_register_u64(ns, "unrecognised", STATS_COUNTER, &maint_unrecognised);
    stats_register_u64(ns, "over_limit", STATS_COUNTER, &maint_windows_over_limit);
  });
  tovi_assert(tovi_http_rest_register_auth("GET", "/maintenance/", "^(\\d+)$",
                                           maint_windows_rest_get,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/", "^maintenance$", maint_windows_rest_post,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("POST", "/maintenance/", "^leave$",
                                           maint_leave_rest_post,
                                           tovi_http_rest_client_cert_auth) == 0);
  maint_list_rest_init();
  if (!maint_bus_register_hook()) {
    tovi_log(tovi_error, "AMQP module not loaded, but required. Misconfiguration!\n");
    exit(2);
  }
}

void maintenance_set_reset_streams(maint_reset_streams_fn_t fn) {
  reset_streams_fn.store(fn, std::memory_order_release);
}
