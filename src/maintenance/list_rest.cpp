// Listing and ending maintenance windows over REST:
//   GET    /maintenance[?active=1|future=1|account_id=]   every live window and what it holds
//   DELETE /maintenance/<id>                              ends the window now
// Ending goes through the window's own end timer, made due now: what the window held back is
// announced exactly as when stop_on comes.
#include <json-c/json.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "maintenance.h"
#include "tovi/tovi_assert.h"
#include "tovi/tovi_memory.h"
#include "tovi/tovi_text.h"

namespace {

struct listed_t {
  uint64_t start_on;
  uint64_t id;
  json_object *json;
};

bool flag_set(tovi_http_rest_closure_t *restc, const char *name) {
  const char *v = tovi_http_request_querystring(restc, name);
  return v && (strcmp(v, "1") == 0 || strcmp(v, "true") == 0);
}

uint64_t now_seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec);
}

}  // namespace

int maint_windows_rest_list(tovi_http_rest_closure_t *restc, int, char **) {
  bool active_only = flag_set(restc, "active");
  bool future_only = flag_set(restc, "future");
  uint64_t account = 0;
  const char *account_text = tovi_http_request_querystring(restc, "account_id");
  if (account_text && !tovi_decimal_u64(account_text, &account)) {
    tovi_http_response_json_error(restc, 400, "Bad Request", "account_id is not a number");
    return TOVI_HTTP_DONE;
  }
  uint64_t now = now_seconds();
  std::vector<listed_t> listed;
  {
    tovi_memory_scope_c bracket;
    maint_windows_each([&](maint_window_t *w) {
      uint64_t start = maint_window_start_on(w), stop = maint_window_stop_on(w);
      bool active = start <= now && now <= stop;
      if (active_only && !active) return;
      if (future_only && start <= now) return;
      if (account_text && w->def.account_id != account) return;
      json_object *o = maint_window_to_json(w);
      json_object_object_add(o, "active", json_object_new_boolean(active));
      json_object *holding = json_object_new_array();
      for (uint64_t ecid : maint_window_held_ecids(w))
        json_object_array_add(holding, json_object_new_uint64(ecid));
      json_object_object_add(o, "holding", holding);
      listed.push_back({start, w->def.maintenance_id, o});
    });
  }
  std::sort(listed.begin(), listed.end(), [](const listed_t &a, const listed_t &b) {
    return a.start_on != b.start_on ? a.start_on < b.start_on : a.id < b.id;
  });
  std::string body = "[";
  for (size_t i = 0; i < listed.size(); i++) {
    if (i) body += ",";
    body += "\n";
    body += json_object_to_json_string_ext(listed[i].json, JSON_C_TO_STRING_PLAIN);
    json_object_put(listed[i].json);
  }
  body += "]\n";
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_header_set(restc, "Cache-Control", "no-store");
  tovi_http_response_append_str(restc, body);
  tovi_http_response_end(restc);
  return TOVI_HTTP_DONE;
}

int maint_windows_rest_delete(tovi_http_rest_closure_t *restc, int npats, char **pats) {
  uint64_t id = 0;
  if (npats != 1 || !tovi_decimal_u64(pats[0], &id)) {
    tovi_http_response_json_error(restc, 400, "Bad Request", "not a maintenance id");
    return TOVI_HTTP_DONE;
  }
  json_object *o = nullptr;
  {
    tovi_memory_scope_c bracket;
    if (maint_window_t *w = get_maint_window_by_id(id)) {
      o = maint_window_to_json(w);
      json_object *holding = json_object_new_array();
      for (uint64_t ecid : maint_window_held_ecids(w))
        json_object_array_add(holding, json_object_new_uint64(ecid));
      json_object_object_add(o, "holding", holding);
    }
  }
  if (!o) {
    tovi_http_response_json_error(restc, 404, "NOT FOUND", "no such maintenance window");
    return TOVI_HTTP_DONE;
  }
  // The end timer, made due now, ends the window on its own loop thread and announces what it
  // held, as it does when stop_on comes.
  maint_window_stop_now(id);
  json_object_object_add(o, "ended", json_object_new_boolean(true));
  tovi_http_response_standard(restc, 200, "OK", "application/json");
  tovi_http_response_append_json(restc, o);
  tovi_http_response_append_str(restc, "\n");
  tovi_http_response_end(restc);
  json_object_put(o);
  return TOVI_HTTP_DONE;
}

void maint_list_rest_init() {
  tovi_assert(tovi_http_rest_register_auth("GET", "/", "^maintenance$", maint_windows_rest_list,
                                           tovi_http_rest_client_cert_auth) == 0);
  tovi_assert(tovi_http_rest_register_auth("DELETE", "/maintenance/", "^(\\d+)$",
                                           maint_windows_rest_delete,
                                           tovi_http_rest_client_cert_auth) == 0);
}
